// Any bytes as "options.xml", read through the settings store and the
// program's option tables. Whatever the file held, the options read from it
// must survive a save and a fresh read unchanged, and the saved file must
// stay within a bound of what was read (what the store keeps of unknown
// elements must not grow on the way out).
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"
#include "tests/fuzz/FuzzFiles.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

// Every option as the program writes it, into a file of its own.
std::string Snapshot()
{
    const std::string File = fuzzfiles::PathOf("snapshot.xml");
    fuzzfiles::Write(File, "<Options/>");
    TXMLStorage S(File);
    S.Load();
    WriteProgramOptions(S);
    Check(S.Save());
    return fuzzfiles::Read(File);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    static const bool Quiet = [] {
        SetXMLStorageMessageHandler([](const std::string&, const std::string&) {});
        return true;
    }();
    (void)Quiet;
    const std::string File = fuzzfiles::PathOf("options.xml");
    fuzzfiles::Write(File, std::string_view(reinterpret_cast<const char*>(Data), Size));

    ResetProgramOptions();
    TXMLStorage Store(File);
    Store.Load();
    ReadProgramOptions(Store);
    const std::string Read = Snapshot();

    WriteProgramOptions(Store);
    Check(Store.Save());
    const std::string Written = fuzzfiles::Read(File);
    Check(Written.size() <= 16 * Size + Read.size() + 4096);

    ResetProgramOptions();
    TXMLStorage Again(File);
    Again.Load();
    Check(!Again.LoadFailed());
    ReadProgramOptions(Again);
    Check(Snapshot() == Read);
    return 0;
}
