// Any bytes as an address-list file: the entries read are the entries the
// file holds line by line, and writing them gives a file that reads back to
// the same entries.
#include "app/uAddressListFile.h"
#include "tests/fuzz/FuzzFiles.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string Bytes(reinterpret_cast<const char*>(Data), Size);
    const std::vector<std::string> Entries = ParseAddressListText(Bytes);
    size_t Length = 0;
    for (const std::string& Entry : Entries) {
        Check(Entry.find_first_of("\r\n") == std::string::npos);
        Length += Entry.size();
    }
    Check(Length <= Size);

    // Written out, the entries read back as they are; except that a first
    // entry that starts with U+FEFF loses it, as its file's byte-order mark.
    const std::string Text = FormatAddressListText(Entries);
    const bool Marked = !Entries.empty() && Entries[0].starts_with("\xEF\xBB\xBF");
    Check(Marked || ParseAddressListText(Text) == Entries);

    const std::string File = fuzzfiles::PathOf("addresses.txt");
    fuzzfiles::Write(File, Bytes);
    Check(ReadAddressListFile(File) == Entries);
    WriteAddressListFile(File, Entries);
    Check(fuzzfiles::Read(File) == Text);
    return 0;
}
