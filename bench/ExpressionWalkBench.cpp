// Walks 65,536-address expressions item by item, as the scan pool does (one
// GetExpressionItem call per job, each parsing the text again), and prints the
// time per item beside the same walk through the range lists.
#include "engine/uAddressExpressionOperations.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

void Walk(const char* title, const std::string& expression)
{
    const uint64_t count = GetExpressionCount(expression);

    uint64_t sum = 0;
    auto t0 = Clock::now();
    for (uint64_t i = 0; i < count; ++i)
        sum += GetExpressionItem(expression, i);
    const double walk = Seconds(t0);

    // The same walk with the text parsed into range lists at every item.
    uint64_t check = 0;
    t0 = Clock::now();
    for (uint64_t i = 0; i < count; ++i) {
        TExpressionParts parts;
        ParseExpression(expression, parts);
        const uint64_t c1 = GetRangeListCount(parts[1]), c2 = GetRangeListCount(parts[2]),
                       c3 = GetRangeListCount(parts[3]);
        check += MakeExpressionAddress(parts, i / (c1 * c2 * c3), (i % (c1 * c2 * c3)) / (c2 * c3),
                                       (i % (c2 * c3)) / c3, i % c3);
    }
    const double lists = Seconds(t0);

    std::printf("%s: %llu addresses, %zu characters\n", title,
                static_cast<unsigned long long>(count), expression.size());
    std::printf("  GetExpressionItem walk: %8.2f ms  %7.1f ns/item\n", walk * 1e3,
                walk * 1e9 / static_cast<double>(count));
    std::printf("  range-list walk:        %8.2f ms  %7.1f ns/item  (%.1fx)%s\n", lists * 1e3,
                lists * 1e9 / static_cast<double>(count), lists / walk,
                sum == check ? "" : "  RESULTS DIFFER");
}

} // namespace

int main()
{
    Walk("two ranges", "192.168.0-255.0-255");

    std::string single = "0";
    for (int v = 1; v < 256; ++v)
        single += "," + std::to_string(v);
    Walk("256 single items in the last part", "10.20.0-255." + single);
    return 0;
}
