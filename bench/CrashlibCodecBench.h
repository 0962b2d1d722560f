// The crash library's codec benchmark prints one table: each row is one of
// our routines beside its anchor (zlib, OpenSSL, ...) on one corpus, both
// measured in the same run. The compression rows and the program's main live
// in CrashlibCodecBench.cpp, the cipher and Base64 rows in
// CrashlibCryptBench.cpp.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace codecbench {

struct Corpus {
    std::string Name;  // "sources", "tolvex", "screenshot rows"
    std::string Data;
};

struct Row {
    std::string What;        // "deflate", "inflate", "crc32", "blowfish enc", ...
    std::string CorpusName;
    std::string Anchor;      // "zlib level 2", "OpenSSL BF_ecb", ...
    double OursMBps = 0;
    double AnchorMBps = 0;
    std::string Note;        // sizes, ratios, anything else worth printing
};

// Rows for Blowfish and Base64 over the given corpora.
std::vector<Row> CryptRows(const std::vector<Corpus>& Corpora);

}  // namespace codecbench
