#include "engine/uAddressExpressionOperations.h"

#include <string_view>

namespace {

// Blanks are dropped before anything else looks at the text. Working on the
// original text and skipping them on the way gives the same pieces, because
// a blank is never one of the cut characters "." and ",".
bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Decimal value of a piece, blanks ignored; -1 when it is empty or holds
// anything but digits. Large values stop at 256: every rule below only
// compares numbers with each other and with 0..255, and stopping there keeps
// those outcomes while no digit string can overflow.
int ReadNumber(std::string_view Text)
{
    int value = -1;
    for (char c : Text) {
        if (IsBlank(c))
            continue;
        if (c < '0' || c > '9')
            return -1;
        if (value < 0)
            value = 0;
        if (value <= 255)
            value = value * 10 + (c - '0');
        if (value > 255)
            value = 256;
    }
    return value;
}

bool ReadRange(std::string_view Text, int& Low, int& High)
{
    const size_t dash = Text.find('-');
    if (dash == std::string_view::npos) {
        Low = High = ReadNumber(Text);
    } else {
        Low = ReadNumber(Text.substr(0, dash));
        // Everything after the first "-": "1-2-3" has the stop "2-3", which
        // is no number, so the item is 1 alone.
        High = ReadNumber(Text.substr(dash + 1));
    }
    if (High < Low)
        High = Low;
    return Low >= 0 && Low <= 255 && High >= 0 && High <= 255;
}

// Calls Visit(Low, High) for every accepted item of a part, in order, until
// Visit returns false. The part is cut at every "," except one that ends it
// (blanks aside): that one stays in the last piece, which then reads as no
// number. This is ReadRange applied to each piece, done in one pass over the
// characters, because the pool parses the text again for every address.
template <typename F> void ForEachRange(std::string_view Part, F&& Visit)
{
    size_t end = Part.size();
    while (end > 0 && IsBlank(Part[end - 1]))
        --end;
    const size_t cutLimit = (end > 0 && Part[end - 1] == ',') ? end - 1 : end;

    // Per piece: the number before the first "-" and the one after it
    // (-1 while no digit came), and whether either holds a stray character.
    int value[2] = {-1, -1};
    bool bad[2] = {false, false};
    int side = 0;
    auto finish = [&] {
        const int low = bad[0] ? -1 : value[0];
        int high = side == 0 ? low : (bad[1] ? -1 : value[1]);
        if (high < low)
            high = low;
        const bool accepted = low >= 0 && low <= 255 && high >= 0 && high <= 255;
        value[0] = value[1] = -1;
        bad[0] = bad[1] = false;
        side = 0;
        return !accepted || Visit(low, high);
    };
    for (size_t i = 0; i < Part.size(); ++i) {
        const char c = Part[i];
        if (c >= '0' && c <= '9') {
            int& v = value[side];
            if (v < 0)
                v = 0;
            if (v <= 255)
                v = v * 10 + (c - '0');
            if (v > 255)
                v = 256; // as in ReadNumber
        } else if (c == ',' && i < cutLimit) {
            if (!finish())
                return;
        } else if (c == '-' && side == 0) {
            side = 1;
        } else if (!IsBlank(c)) {
            bad[side] = true; // a letter, a second "-", or the final ","
        }
    }
    finish();
}

// The first four "."-separated parts; those the text lacks stay empty.
std::array<std::string_view, 4> SplitParts(std::string_view Expression)
{
    std::array<std::string_view, 4> parts{};
    size_t start = 0;
    for (auto& part : parts) {
        const size_t dot = Expression.find('.', start);
        if (dot == std::string_view::npos) {
            part = Expression.substr(start);
            break;
        }
        part = Expression.substr(start, dot - start);
        start = dot + 1;
    }
    return parts;
}

uint64_t CountPart(std::string_view Part)
{
    uint64_t count = 0;
    ForEachRange(Part, [&](int low, int high) {
        count += static_cast<uint64_t>(high - low + 1);
        return true;
    });
    return count;
}

int PartValue(std::string_view Part, uint64_t Index)
{
    int value = 0;
    ForEachRange(Part, [&](int low, int high) {
        const uint64_t size = static_cast<uint64_t>(high - low + 1);
        if (Index < size) {
            value = low + static_cast<int>(Index);
            return false;
        }
        Index -= size;
        return true;
    });
    return value;
}

uint64_t CountOf(const std::array<uint64_t, 4>& Counts, const std::string& Expression)
{
    for (uint64_t c : Counts)
        if (c == 0)
            return 0;
    uint64_t total = 1;
    for (uint64_t c : Counts)
        if (__builtin_mul_overflow(total, c, &total))
            throw EExpressionError("The expression \"" + Expression +
                                   "\" names more addresses than can be counted.");
    return total;
}

std::array<uint64_t, 4> CountParts(const std::array<std::string_view, 4>& Parts)
{
    std::array<uint64_t, 4> counts{};
    for (size_t k = 0; k < 4; ++k)
        counts[k] = CountPart(Parts[k]);
    return counts;
}

uint32_t Assemble(const std::array<int, 4>& Octets)
{
    return (static_cast<uint32_t>(Octets[0]) << 24) | (static_cast<uint32_t>(Octets[1]) << 16) |
           (static_cast<uint32_t>(Octets[2]) << 8) | static_cast<uint32_t>(Octets[3]);
}

// Index split into one index per part, the first part varying slowest.
std::array<uint64_t, 4> SplitIndex(uint64_t Index, const std::array<uint64_t, 4>& Counts)
{
    const uint64_t below2 = Counts[3];
    const uint64_t below1 = Counts[2] * below2;
    const uint64_t below0 = Counts[1] * below1;
    return {Index / below0, (Index % below0) / below1, (Index % below1) / below2, Index % below2};
}

std::vector<std::string_view> CutAtDots(std::string_view Text)
{
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        const size_t dot = Text.find('.', start);
        if (dot == std::string_view::npos) {
            pieces.push_back(Text.substr(start));
            return pieces;
        }
        pieces.push_back(Text.substr(start, dot - start));
        start = dot + 1;
    }
}

} // namespace

bool IsValidExpression(const std::string& Expression)
{
    if (Expression.empty())
        return false;
    int dots = 0;
    char lastNonBlank = '\0';
    for (char c : Expression) {
        if (IsBlank(c))
            continue;
        // Letters and other signs would only be dropped silently by the
        // parser, so a typing error is refused here rather than scanned as
        // fewer addresses than the user meant.
        if (!((c >= '0' && c <= '9') || c == ',' || c == '-' || c == '.'))
            return false;
        if (c == '.')
            ++dots;
        lastNonBlank = c;
    }
    return dots == 3 && lastNonBlank != '\0' && lastNonBlank != ',' && lastNonBlank != '-' &&
           lastNonBlank != '.';
}

void ParseExpression(const std::string& Expression, TExpressionParts& Parts)
{
    const auto views = SplitParts(Expression);
    for (size_t k = 0; k < 4; ++k)
        ParseOctetPart(std::string(views[k]), Parts[k]);
}

void ParseOctetPart(const std::string& Text, TOctetRangeList& Ranges)
{
    Ranges.clear();
    ForEachRange(Text, [&](int low, int high) {
        Ranges.push_back({low, high});
        return true;
    });
}

bool ParseOctetRange(const std::string& Text, int& Low, int& High)
{
    return ReadRange(Text, Low, High);
}

uint64_t GetRangeListCount(const TOctetRangeList& Ranges)
{
    uint64_t count = 0;
    for (const auto& r : Ranges)
        count += static_cast<uint64_t>(r.High - r.Low + 1);
    return count;
}

int GetRangeListValue(const TOctetRangeList& Ranges, uint64_t Index)
{
    for (const auto& r : Ranges) {
        const uint64_t size = static_cast<uint64_t>(r.High - r.Low + 1);
        if (Index < size)
            return r.Low + static_cast<int>(Index);
        Index -= size;
    }
    return 0;
}

uint32_t MakeExpressionAddress(const TExpressionParts& Parts, uint64_t I0, uint64_t I1, uint64_t I2,
                               uint64_t I3)
{
    return Assemble({GetRangeListValue(Parts[0], I0), GetRangeListValue(Parts[1], I1),
                     GetRangeListValue(Parts[2], I2), GetRangeListValue(Parts[3], I3)});
}

uint64_t GetExpressionCount(const std::string& Expression)
{
    return CountOf(CountParts(SplitParts(Expression)), Expression);
}

uint32_t GetExpressionItem(const std::string& Expression, uint64_t Index)
{
    const auto parts = SplitParts(Expression);
    const auto counts = CountParts(parts);
    const uint64_t total = CountOf(counts, Expression);
    if (total == 0)
        throw EExpressionError("The expression \"" + Expression + "\" names no address.");
    if (Index >= total)
        throw EExpressionError("Address " + std::to_string(Index) + " is beyond the " +
                               std::to_string(total) + " addresses of the expression \"" +
                               Expression + "\".");
    const auto index = SplitIndex(Index, counts);
    std::array<int, 4> octets{};
    for (size_t k = 0; k < 4; ++k)
        octets[k] = PartValue(parts[k], index[k]);
    return Assemble(octets);
}

std::string RangeToExpression(const std::string& StartIP, const std::string& StopIP)
{
    if (StartIP == StopIP)
        return StartIP;
    const auto start = CutAtDots(StartIP);
    const auto stop = CutAtDots(StopIP);
    if (start.size() != 4 || stop.size() != 4)
        return "";
    std::string result;
    for (size_t k = 0; k < 4; ++k) {
        if (k > 0)
            result += '.';
        result += start[k];
        if (start[k] != stop[k]) {
            result += '-';
            result += stop[k];
        }
    }
    return result;
}
