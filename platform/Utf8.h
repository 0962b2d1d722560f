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

// The lines of a text file: a UTF-8 byte-order mark an editor left is
// dropped, and CR LF, LF and CR each end a line; a last line without a line
// break counts, and an empty line stays an empty line.
std::vector<std::string> SplitTextLines(std::string_view Text);

} // namespace platform
