// The pure parts of running a user command: the parameter text as words,
// the macros replaced in each word, the check of the computer's host. No Qt,
// no files: the fuzz target builds this unit alone.
//
// The parameter text is split into words FIRST, and the macros are replaced
// in each word AFTERWARDS, so whatever a macro inserts stays inside the word
// it stood in. The rules of the split (the editor's note says the same):
//   - Blanks and tabs separate words; runs of them count as one separator,
//     and those at the start or the end give no word.
//   - A double quote starts a quoted part that ends at the next double quote
//     (or at the end of the text); blanks and tabs inside it belong to the
//     word. The quotes themselves are removed and never part of a word, so
//     a"b c"d is the one word  ab cd , and "" alone is an empty word.
//   - Every other character, the backslash too, stands for itself (so
//     %path%\share stays one word).
// Then, in each word, in ONE pass from left to right: "%computer_name%" and
// "%computer_ip%" become the host, "%path%" becomes two backslashes and the
// host; the names match in any case. What was inserted is never scanned
// again.
//
// The host is checked before anything else: it must be an IPv4 address in
// canonical dotted form (four decimal numbers 0-255 without leading zeros:
// not "10.1", "010.0.0.9" or "0x0a.0.0.9") or an RFC 1123 host name (labels
// of ASCII letters, digits and "-", not starting or ending with "-", 1-63
// characters each, at most 253 in all, an optional final "."; the last label
// not all digits) that the C library's address parser (inet_aton) does not
// read as an address, with or without its final dot ("0x7f000001",
// "0x7f.0x1", "0xffffffff." all name 127.0.0.1 or another address to the
// resolver and to net). So a host is never empty, never starts with "-", and
// holds no blank, quote, "%", "$", ";" or control character: it can never
// make a second word or an option of its own, nor a computer other than the
// one it shows.
#pragma once

#include <string>
#include <vector>

// The split described above.
std::vector<std::string> SplitCommandParameters(const std::string& Parameters);

// The one-pass replacement described above, on one word.
std::string ExpandCommandMacros(const std::string& Word, const std::string& Host);

// Split, then expand every word. Host must have passed IsValidCommandHost.
std::vector<std::string> CommandArguments(const std::string& Parameters, const std::string& Host);

// The host rule described above; the shutdown dialog's hosts follow it too.
bool IsValidCommandHost(const std::string& Host);

// True for an IPv4 address in canonical dotted form ("10.0.0.9", never
// "010.0.0.9" or "10.9").
bool IsCanonicalIpv4(const std::string& Host);

// True for every text the C library reads as an IPv4 address in any of its
// spellings (inet_aton: one to four parts, each decimal, octal or
// hexadecimal), also with one final dot.
bool IsAddressSpelling(const std::string& Host);

// A text the user may not have typed (a host from an opened file) as a
// message can show it: control characters as \xNN, at most 80 bytes, then
// "...".
std::string ShownText(const std::string& Text);
