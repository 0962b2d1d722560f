#include "tools/CrashTextLines.h"

#include "crashreport/kelExceptStream.h"

#include <charconv>

ECrashTextError::ECrashTextError(const std::string& File, int ALine, const std::string& Message)
    : std::runtime_error(File + ":" + std::to_string(ALine) + ": " + Message), Line(ALine)
{
}

ECrashTextError::~ECrashTextError() = default;

namespace crashtext {

namespace {

constexpr std::string_view LineBreakPlaceholder = "%LF%";

} // namespace

std::string_view TrimBlanks(std::string_view S)
{
    while (!S.empty() && (S.front() == ' ' || S.front() == '\t'))
        S.remove_prefix(1);
    while (!S.empty() && (S.back() == ' ' || S.back() == '\t'))
        S.remove_suffix(1);
    return S;
}

bool IsKeyName(std::string_view S)
{
    if (S.empty() || S.size() > 255)
        return false;
    for (char C : S)
        if (!((C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') ||
              C == '_'))
            return false;
    return true;
}

std::optional<bool> ParseBool(std::string_view S)
{
    for (auto Yes : {"true", "yes", "on", "1"})
        if (SameAsciiText(S, Yes))
            return true;
    for (auto No : {"false", "no", "off", "0"})
        if (SameAsciiText(S, No))
            return false;
    return std::nullopt;
}

std::optional<std::int32_t> ParseInt(std::string_view S)
{
    std::int32_t V = 0;
    const char* First = S.data();
    if (!S.empty() && S[0] == '+')
        ++First;
    const auto [End, Ec] = std::from_chars(First, S.data() + S.size(), V);
    if (Ec != std::errc() || End != S.data() + S.size() || First == End)
        return std::nullopt;
    return V;
}

std::string LineBreaksIn(std::string_view S)
{
    std::string Out;
    for (std::size_t At = 0;;) {
        const auto P = S.find(LineBreakPlaceholder, At);
        Out += S.substr(At, P - At);
        if (P == std::string_view::npos)
            return Out;
        Out += "\r\n";
        At = P + LineBreakPlaceholder.size();
    }
}

std::string LineBreaksOut(std::string_view S)
{
    std::string Out;
    for (std::size_t I = 0; I < S.size(); ++I) {
        if (S[I] == '\r' || S[I] == '\n') {
            Out += LineBreakPlaceholder;
            if (S[I] == '\r' && I + 1 < S.size() && S[I + 1] == '\n')
                ++I;
        } else {
            Out.push_back(S[I]);
        }
    }
    return Out;
}

void ForEachTextLine(std::string_view Text, const std::string& File,
                     const std::function<void(int LineNo, std::string_view Line)>& Take)
{
    if (Text.substr(0, 3) == "\xEF\xBB\xBF")
        Text.remove_prefix(3);
    int LineNo = 0;
    for (std::size_t At = 0; At < Text.size();) {
        ++LineNo;
        const auto Eol = Text.find('\n', At);
        std::string_view Line = Text.substr(At, Eol - At);
        At = Eol == std::string_view::npos ? Text.size() : Eol + 1;
        if (!Line.empty() && Line.back() == '\r')
            Line.remove_suffix(1);
        if (SanitizeUtf8(Line) != Line)
            throw ECrashTextError(File, LineNo, "the line is not UTF-8");
        if (Line.find('\r') != std::string_view::npos)
            throw ECrashTextError(File, LineNo,
                                  "a carriage return inside the line (a line break in a text "
                                  "is %LF%)");
        Line = TrimBlanks(Line);
        if (!Line.empty() && Line[0] != '#')
            Take(LineNo, Line);
    }
}

std::optional<TKeyLine> SplitKeyLine(std::string_view Line)
{
    const auto Eq = Line.find('=');
    if (Eq == std::string_view::npos)
        return std::nullopt;
    TKeyLine K;
    K.Key = TrimBlanks(Line.substr(0, Eq));
    K.Value = TrimBlanks(Line.substr(Eq + 1));
    if (const auto Colon = K.Key.find(':'); Colon != std::string_view::npos) {
        K.HasKind = true;
        K.Kind = TrimBlanks(K.Key.substr(Colon + 1));
        K.Key = TrimBlanks(K.Key.substr(0, Colon));
    }
    return K;
}

} // namespace crashtext
