#include "crashreport/kelLinkDisAsm.h"

#include "crashlib/kelFuncParser.h"

namespace {

struct TLinkDisAsm {
    TLinkDisAsm() { DisAsmListingHook.store(&ParseFunctionText); }
    ~TLinkDisAsm()
    {
        TDisAsmListingHook Ours = &ParseFunctionText;
        DisAsmListingHook.compare_exchange_strong(Ours, nullptr);
    }
};
const TLinkDisAsm LinkDisAsm;

} // namespace

// Asked for when the static library is linked (see kelListModules).
extern "C" const char KelLinkDisAsmLinked = 1;

bool DisAsmLinked()
{
    return DisAsmListingHook.load() == &ParseFunctionText;
}
