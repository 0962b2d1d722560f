// The crash library's codec benchmark prints one table: each row is one of
// our routines beside its anchor (zlib, OpenSSL, ...) on one corpus, both
// measured in the same run. The compression rows and the program's main live
// in CrashlibCodecBench.cpp, the cipher and Base64 rows in
// CrashlibCryptBench.cpp.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace codecbench {

struct Corpus {
    std::string Name; // "sources", "tolvex", "screenshot rows"
    std::string Data;
};

struct Row {
    std::string What; // "deflate", "inflate", "crc32", "blowfish enc", ...
    std::string CorpusName;
    std::string Anchor; // "zlib level 2", "OpenSSL BF_ecb", ...
    double OursMBps = 0;
    double AnchorMBps = 0;
    std::string Note; // sizes, ratios, anything else worth printing
};

// Seconds one run of Work takes: the best of five rounds, each repeating the
// work for at least 50 ms, so that a short corpus is timed as reliably as a
// long one. One run first warms caches and tables.
inline double BestSeconds(const std::function<void()>& Work)
{
    using Clock = std::chrono::steady_clock;
    Work();
    double Best = 1e30;
    for (int Round = 0; Round < 5; ++Round) {
        int Times = 0;
        const auto Start = Clock::now();
        double Elapsed = 0;
        do {
            Work();
            ++Times;
            Elapsed = std::chrono::duration<double>(Clock::now() - Start).count();
        } while (Elapsed < 0.05);
        Best = std::min(Best, Elapsed / Times);
    }
    return Best;
}

inline double MBps(std::size_t Bytes, double Seconds)
{
    return static_cast<double>(Bytes) / Seconds / 1e6;
}

// Rows for Blowfish and Base64 over the given corpora.
std::vector<Row> CryptRows(const std::vector<Corpus>& Corpora);

} // namespace codecbench
