#include "app/uAddressListFile.h"

#include "platform/AtomicFile.h"
#include "platform/Utf8.h"

std::vector<std::string> ParseAddressListText(const std::string& Text)
{
    return platform::SplitTextLines(Text);
}

std::string TrimAddressLine(const std::string& Line)
{
    const auto IsBlank = [](char C) { return static_cast<unsigned char>(C) <= ' '; };
    size_t First = 0, Last = Line.size();
    while (First < Last && IsBlank(Line[First]))
        ++First;
    while (Last > First && IsBlank(Line[Last - 1]))
        --Last;
    return Line.substr(First, Last - First);
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
