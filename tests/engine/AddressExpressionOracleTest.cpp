// Random expressions read by this engine and by an independent Python reading
// of the same rules (tests/engine/expression_oracle.py); both must agree on
// validity, count and the addresses at a set of probe indexes.
#include "engine/NetUtil.h"
#include "engine/uAddressExpressionOperations.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string RandomItem(std::mt19937& rng)
{
    std::uniform_int_distribution<int> pick(0, 99);
    auto number = [&] {
        const int p = pick(rng);
        if (p < 70)
            return std::to_string(pick(rng) % 12); // small, so ranges overlap and repeat
        if (p < 90)
            return std::to_string(240 + pick(rng) % 20); // around 255
        if (p < 95)
            return std::string("0") + std::to_string(pick(rng) % 10);
        return std::string(p < 98 ? "" : "x");
    };
    std::string item = number();
    const int p = pick(rng);
    if (p < 40)
        item += "-" + number();
    else if (p < 43)
        item += "-" + number() + "-" + number();
    if (pick(rng) < 8)
        item.insert(pick(rng) % (item.size() + 1), pick(rng) < 50 ? " " : "\t");
    return item;
}

std::string RandomExpression(std::mt19937& rng)
{
    std::uniform_int_distribution<int> pick(0, 99);
    const int partCount = pick(rng) < 85 ? 4 : pick(rng) % 6;
    std::string text;
    for (int k = 0; k < partCount; ++k) {
        if (k > 0)
            text += pick(rng) < 5 ? ". " : ".";
        const int items = pick(rng) < 10 ? 0 : 1 + pick(rng) % 3;
        for (int i = 0; i < items; ++i) {
            if (i > 0)
                text += ",";
            text += RandomItem(rng);
        }
        if (pick(rng) < 5)
            text += ",";
    }
    if (pick(rng) < 5)
        text += pick(rng) < 50 ? " " : "-";
    return text;
}

std::string RunCapture(const std::string& command)
{
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

} // namespace

TEST(AddressExpressionOracle, AgreesWithAnIndependentReadingOnRandomExpressions)
{
    const char* source = std::getenv("TOLVEX_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string script = std::string(source) + "/tests/engine/expression_oracle.py";

    std::mt19937 rng(20261208);
    std::vector<std::string> expressions = {"10.0.0.1-3", "10.0-1.5.1,9", "10. 0 .0. 1 - 2",
                                            "0-255.0-255.0-255.0-255"};
    while (expressions.size() < 3000)
        expressions.push_back(RandomExpression(rng));

    TempFolder temp;
    const std::string path = temp.Path("expressions.txt");
    {
        std::ofstream f(path);
        for (const auto& e : expressions)
            f << e << '\n';
    }
    const std::string output = RunCapture("/usr/bin/python3 '" + script + "' < '" + path + "'");

    std::istringstream lines(output);
    std::string line;
    size_t row = 0, withAddresses = 0;
    for (; row < expressions.size() && std::getline(lines, line); ++row) {
        const std::string& e = expressions[row];
        SCOPED_TRACE("expression \"" + e + "\"");
        std::istringstream fields(line);
        int valid = -1;
        uint64_t count = 0;
        fields >> valid >> count;
        EXPECT_EQ(IsValidExpression(e), valid == 1);
        ASSERT_EQ(GetExpressionCount(e), count);
        if (count == 0)
            continue;
        ++withAddresses;
        std::vector<uint64_t> probes = {0, count - 1};
        for (uint64_t j = 1; j <= 8; ++j)
            probes.push_back((j * 2654435761ull) % count);
        for (uint64_t index : probes) {
            std::string expected;
            fields >> expected;
            EXPECT_EQ(HostOrderToIP(GetExpressionItem(e, index)), expected) << "index " << index;
        }
    }
    EXPECT_EQ(row, expressions.size()) << "the oracle answered fewer lines";
    // The generator must keep producing both kinds, or the comparison says little.
    EXPECT_GT(withAddresses, expressions.size() / 4);
    EXPECT_LT(withAddresses, expressions.size());
}
