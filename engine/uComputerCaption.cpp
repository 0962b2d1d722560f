#include "engine/uComputerCaption.h"

#include "engine/uEngineOptions.h"
#include "engine/uFormat.h"

std::string GetComputerCaption(const std::string& Name, const std::string& IP,
                               TComputerCaptionStyle Style)
{
    if (IP.empty())
        return Name;
    if (Name.empty() || Name == IP)
        return Name.empty() ? IP : Name;
    switch (Style) {
    case ccsNameIP:
        return FormatChecked(sComputerCaptionStyle, "sComputerCaptionStyle", {Name, IP});
    case ccsIPName:
        return FormatChecked(sComputerCaptionStyle, "sComputerCaptionStyle", {IP, Name});
    case ccsIP:
        return IP;
    case ccsName:
    default:
        return Name;
    }
}

std::string GetCaptionFirstWord(const std::string& Caption)
{
    const size_t blank = Caption.find(' ');
    if (blank == std::string::npos)
        return Caption;
    // Trimmed as the class library trims: every control character and blank.
    size_t b = 0, e = blank;
    while (b < e && static_cast<unsigned char>(Caption[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(Caption[e - 1]) <= ' ')
        --e;
    return Caption.substr(b, e - b);
}
