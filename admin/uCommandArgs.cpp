#include "admin/uCommandArgs.h"

#include <arpa/inet.h>
#include <cstdio>
#include <string_view>

namespace {

bool IsBlank(char C)
{
    return C == ' ' || C == '\t';
}

char LowerAscii(char C)
{
    return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

// Macro (lower case) at Pos of Text, in any case.
bool MacroAt(const std::string& Text, size_t Pos, const std::string_view Macro)
{
    if (Text.size() - Pos < Macro.size())
        return false;
    for (size_t J = 0; J < Macro.size(); ++J)
        if (LowerAscii(Text[Pos + J]) != Macro[J])
            return false;
    return true;
}

bool IsDigit(char C)
{
    return C >= '0' && C <= '9';
}

bool IsAlnumAscii(char C)
{
    return IsDigit(C) || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z');
}

bool IsHostName(const std::string& Host)
{
    std::string Name = Host;
    if (!Name.empty() && Name.back() == '.')
        Name.pop_back();
    if (Name.empty() || Name.size() > 253)
        return false;
    size_t Start = 0;
    bool LastAllDigits = false;
    while (Start <= Name.size()) {
        size_t End = Name.find('.', Start);
        if (End == std::string::npos)
            End = Name.size();
        const size_t Len = End - Start;
        if (Len == 0 || Len > 63 || Name[Start] == '-' || Name[End - 1] == '-')
            return false;
        LastAllDigits = true;
        for (size_t J = Start; J < End; ++J) {
            if (!IsAlnumAscii(Name[J]) && Name[J] != '-')
                return false;
            LastAllDigits = LastAllDigits && IsDigit(Name[J]);
        }
        Start = End + 1;
    }
    // "10.1", "1.2.3.4.5", "0x0a.0.0.9": no odd spelling of an address
    // passes as a name.
    return !LastAllDigits;
}

} // namespace

std::vector<std::string> SplitCommandParameters(const std::string& Parameters)
{
    std::vector<std::string> Words;
    std::string Word;
    bool InWord = false;
    bool Quoted = false;
    for (const char C : Parameters) {
        if (C == '"') {
            Quoted = !Quoted;
            InWord = true; // "" alone is an empty word
        } else if (!Quoted && IsBlank(C)) {
            if (InWord)
                Words.push_back(std::move(Word));
            Word.clear();
            InWord = false;
        } else {
            Word += C;
            InWord = true;
        }
    }
    if (InWord)
        Words.push_back(std::move(Word));
    return Words;
}

std::string ExpandCommandMacros(const std::string& Word, const std::string& Host)
{
    static constexpr std::string_view ComputerName = "%computer_name%";
    static constexpr std::string_view ComputerIp = "%computer_ip%";
    static constexpr std::string_view Path = "%path%";
    std::string Result;
    Result.reserve(Word.size() + Host.size());
    size_t I = 0;
    while (I < Word.size()) {
        if (Word[I] == '%') {
            if (MacroAt(Word, I, ComputerName)) {
                Result += Host;
                I += ComputerName.size();
                continue;
            }
            if (MacroAt(Word, I, ComputerIp)) {
                Result += Host;
                I += ComputerIp.size();
                continue;
            }
            if (MacroAt(Word, I, Path)) {
                Result += "\\\\";
                Result += Host;
                I += Path.size();
                continue;
            }
        }
        Result += Word[I++];
    }
    return Result;
}

std::vector<std::string> CommandArguments(const std::string& Parameters, const std::string& Host)
{
    std::vector<std::string> Words = SplitCommandParameters(Parameters);
    for (std::string& W : Words)
        W = ExpandCommandMacros(W, Host);
    return Words;
}

bool IsCanonicalIpv4(const std::string& Host)
{
    in_addr Addr{};
    if (::inet_pton(AF_INET, Host.c_str(), &Addr) != 1)
        return false;
    char Back[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &Addr, Back, sizeof Back) && Host == Back;
}

bool IsAddressSpelling(const std::string& Host)
{
    in_addr Addr{};
    if (::inet_aton(Host.c_str(), &Addr) != 0)
        return true;
    // The resolver takes one final dot off a name before it looks it up.
    return Host.size() > 1 && Host.back() == '.' &&
           ::inet_aton(Host.substr(0, Host.size() - 1).c_str(), &Addr) != 0;
}

bool IsValidCommandHost(const std::string& Host)
{
    if (Host.empty() || Host.size() > 254 || Host.front() == '-')
        return false;
    if (IsCanonicalIpv4(Host))
        return true;
    // "0x7f000001", "0177.0.0.0x1", "10.1": the resolver and net read them
    // as an address, which need not be the one the text seems to name.
    return !IsAddressSpelling(Host) && IsHostName(Host);
}

std::string ShownText(const std::string& Text)
{
    static constexpr size_t Most = 80;
    std::string Shown;
    for (size_t I = 0; I < Text.size() && I < Most; ++I) {
        const unsigned char C = static_cast<unsigned char>(Text[I]);
        if (C < 0x20 || C == 0x7f) {
            char Buf[8];
            std::snprintf(Buf, sizeof Buf, "\\x%02X", C);
            Shown += Buf;
        } else {
            Shown += static_cast<char>(C);
        }
    }
    if (Text.size() > Most)
        Shown += "...";
    return Shown;
}
