#include "app/uAddressListFile.h"

#include "platform/AtomicFile.h"
#include "platform/Utf8.h"

std::vector<std::string> ParseAddressListText(const std::string& Text)
{
    return platform::SplitTextLines(Text);
}

std::vector<std::string> ReadAddressListFile(const std::string& FileName)
{
    std::string Text;
    try {
        Text = platform::ReadWholeFile(FileName);
    } catch (const platform::EFileError& E) {
        throw EAddressListFileError("Can't read file " + FileName + ": " + E.Reason);
    }
    return ParseAddressListText(Text);
}

std::string FormatAddressListText(const std::vector<std::string>& Lines)
{
    std::string Out;
    for (const std::string& Line : Lines)
        Out += Line + "\r\n";
    return Out;
}

void WriteAddressListFile(const std::string& FileName, const std::vector<std::string>& Lines)
{
    platform::ReplaceFileAtomically(FileName, FormatAddressListText(Lines));
}
