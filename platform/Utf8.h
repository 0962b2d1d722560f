// UTF-8 reading and writing, and the characters an XML 1.0 document may hold.
// Texts from the network and from files are untrusted, so decoding rejects
// every malformed form instead of guessing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Length of the well-formed UTF-8 sequence at Pos, with its code point in
// Code; 0 for a malformed one (cut off, overlong, a surrogate, beyond
// U+10FFFF, a stray continuation byte).
std::size_t DecodeUtf8(std::string_view Text, std::size_t Pos, char32_t& Code);

// Appends Code as UTF-8 (the caller passes a valid scalar value).
void AppendUtf8(std::string& Out, char32_t Code);

// True for the characters XML 1.0 allows in a document (CR included).
bool IsXmlChar(char32_t Code);

// The byte-order mark some editors put before a UTF-8 text.
inline constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

// Drops a leading byte-order mark from Text; true when there was one.
bool StripUtf8Bom(std::string_view& Text);

// The lines of a text one by one, as views into it: CR LF, LF and a lone CR
// each end a line (files come from Windows, Unix and old Mac editors alike);
// a last line without a line break counts, and an empty line stays an empty
// line. A byte-order mark is left to the caller (StripUtf8Bom).
class TextLines {
public:
    explicit TextLines(std::string_view Text) : Rest(Text) {}
    // The next line into Line; false after the last.
    bool Next(std::string_view& Line);

private:
    std::string_view Rest;
};

// The lines of a text file, its byte-order mark dropped.
std::vector<std::string> SplitTextLines(std::string_view Text);

// The text with A..Z made a..z and every other byte as it is, so that UTF-8
// sequences pass unchanged: case-blind keys for MAC addresses and list text.
std::string LowerAscii(std::string_view Text);

} // namespace platform
