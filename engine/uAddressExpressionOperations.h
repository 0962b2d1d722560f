// Address expressions: a compact text that names a set of IPv4 addresses
// octet by octet, such as "192.168.1,3.1-20,100".
//
//   expression = part "." part "." part "." part
//   part       = item { "," item }
//   item       = number | number "-" number      (number: 0..255)
//
// Blanks are ignored anywhere. An item a-b stands for a, a+1, ..., b (a alone
// when b is below a); a part keeps its items in the order written, repeats
// included; the expression is every combination of one value per part, the
// first part varying slowest.
//
// Counts and indexes are 64-bit: "0-255.0-255.0-255.0-255" has 2^32
// addresses, which does not fit a 32-bit count.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Raised when an expression cannot give what is asked of it (an address of an
// expression that names none, an index past its end, a count beyond 64 bits).
class EExpressionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One item of a part: the values Low..High, 0 <= Low <= High <= 255.
struct TOctetRange {
    int Low = 0;
    int High = 0;
    bool operator==(const TOctetRange&) const = default;
};
using TOctetRangeList = std::vector<TOctetRange>;
// The four parts of an expression, first octet first.
using TExpressionParts = std::array<TOctetRangeList, 4>;

// True when the text is not empty, holds exactly three ".", its last
// non-blank character is none of ",", "-" and ".", and it holds nothing but
// digits, ",", "-", "." and blanks.
bool IsValidExpression(const std::string& Expression);

// Cuts the text at "." and parses the first four parts; further parts are
// ignored, missing ones leave their lists empty.
void ParseExpression(const std::string& Expression, TExpressionParts& Parts);

// Cuts a part at ","; a final "," stays with the last piece (so that piece is
// dropped or loses its stop value). Pieces ParseOctetRange refuses are dropped.
void ParseOctetPart(const std::string& Text, TOctetRangeList& Ranges);

// "a" or "a-b". A text that is not a decimal integer counts as -1; a stop
// below the start becomes the start. Accepted when both lie in 0..255.
bool ParseOctetRange(const std::string& Text, int& Low, int& High);

// Number of values of a part, repeats included.
uint64_t GetRangeListCount(const TOctetRangeList& Ranges);
// Value at Index of a part; 0 past its end.
int GetRangeListValue(const TOctetRangeList& Ranges, uint64_t Index);

// Host-order address made of the values at I0..I3 of the four parts.
uint32_t MakeExpressionAddress(const TExpressionParts& Parts, uint64_t I0, uint64_t I1, uint64_t I2,
                               uint64_t I3);

// Number of addresses; 0 when any part is empty. Raises EExpressionError when
// the product does not fit 64 bits.
uint64_t GetExpressionCount(const std::string& Expression);

// Host-order address at Index (0-based). Each call parses the text again, but
// without building the range lists, so walking an expression item by item
// stays cheap. Raises EExpressionError when Index is not below the count.
uint32_t GetExpressionItem(const std::string& Expression, uint64_t Index);

// Expression covering StartIP..StopIP octet by octet: equal pieces stay, others
// become "start-stop" (192.168.1.10 and 192.168.2.20 give 192.168.1-2.10-20,
// which covers more than the range). Equal texts give StartIP; texts that are
// not four "."-separated pieces give an empty text.
std::string RangeToExpression(const std::string& StartIP, const std::string& StopIP);
