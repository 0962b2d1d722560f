// Any bytes as the text of a settings value, and as a value to store: the
// decoder never reads outside its text, and what the store writes reopens
// and reads back the same way every time.
#include "settings/HTMLUtil.h"
#include "settings/uXMLStorage.h"
#include "tests/fuzz/FuzzFiles.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

std::string StoreAndRead(const std::string& File, const std::string& Value)
{
    std::ofstream(File, std::ios::trunc) << "<Options/>";
    TXMLStorage W(File);
    W.Load();
    W.WriteString("Defaults", "v", Value);
    W.WriteStrings("Defaults", "lst", {Value, Value});
    if (!W.Save())
        std::abort();
    TXMLStorage R(File);
    R.Load();
    if (R.LoadFailed())
        __builtin_trap();
    return R.ReadString("Defaults", "v", "\x01missing");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    try {
        if (HTMLDecode(Text).size() > Text.size())
            __builtin_trap();
    } catch (const EConvertError&) {
    }
    if (HTMLDecode(HTMLEncode(Text)) != Text)
        __builtin_trap();

    static bool Quiet = [] {
        SetXMLStorageMessageHandler([](const std::string&, const std::string&) {});
        return true;
    }();
    (void)Quiet;
    const std::string File = fuzzfiles::PathOf("options.xml");
    const std::string Once = StoreAndRead(File, Text);
    if (StoreAndRead(File, Once) != Once)
        __builtin_trap();
    return 0;
}
