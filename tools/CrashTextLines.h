// What the readable texts of the crash reporter's sections share (the
// settings text, tools/CrashSettingsText.h, and the assistant forms' texts,
// tools/CrashFormText.h): UTF-8 lines, blank lines and "#" comment lines
// skipped, "Key = value" and "Key:kind = value" lines, blanks around each part
// not counting, "%LF%" for a line break inside a value, and errors that name
// the file and the line.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// A line that cannot be read: "file:line: what is wrong".
class ECrashTextError : public std::runtime_error {
public:
    ECrashTextError(const std::string& File, int Line, const std::string& Message);
    ~ECrashTextError() override;
    int Line;
};

namespace crashtext {

std::string_view TrimBlanks(std::string_view S);

// Letters, digits and "_", 1 to 255 of them.
bool IsKeyName(std::string_view S);

// true, yes, on, 1 / false, no, off, 0 (any case).
std::optional<bool> ParseBool(std::string_view S);
// A 32-bit decimal integer, optionally signed, nothing else.
std::optional<std::int32_t> ParseInt(std::string_view S);

// "%LF%" (exactly so) becomes CR LF.
std::string LineBreaksIn(std::string_view S);
// Every line break (CR LF, or a lone CR or LF) becomes "%LF%", so that a value
// stays on its line.
std::string LineBreaksOut(std::string_view S);

// Calls Take with the number and the trimmed text of every line that is
// neither blank nor a comment. A byte-order mark at the start is skipped; a
// line that is not UTF-8 or holds a carriage return of its own fails.
void ForEachTextLine(std::string_view Text, const std::string& File,
                     const std::function<void(int LineNo, std::string_view Line)>& Take);

// "Key = value" or "Key:kind = value", each part trimmed; none without "=".
struct TKeyLine {
    std::string_view Key, Kind, Value;
    bool HasKind = false;
};
std::optional<TKeyLine> SplitKeyLine(std::string_view Line);

} // namespace crashtext
