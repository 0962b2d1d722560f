// Cost of one vendor lookup in the generated vendors.db: random addresses,
// addresses inside 24-, 28- and 36-bit blocks, several workers at once, and
// for comparison the same query on copies with other indexes.
//
//   vendor_lookup_bench [path/to/vendors.db]
//
// One run on the 8-core build machine (SQLite 3.40.1, 46,524 blocks):
// 0.8 ms per random address, 1.4 / 0.8 / 1.3 ms inside 24- / 28- / 36-bit
// blocks, of which 14 us is preparing the statement; 8 workers together
// about 8,000 lookups a second. A table scan costs 4.5-4.9 ms, plain
// indexes on either bound 6-16 ms (a row read per entry), a covering index
// led by range_begin 2.0-2.7 ms.
// The condition "X BETWEEN range_begin AND range_end" bounds an index range
// on one side only, so every lookup walks all entries on that side of X
// (about half of the table); no index turns it into a seek. Reaching 20,000
// lookups a second takes a query that bounds both sides, which is a change
// of the SQL, not of the indexes.
#include "engine/MacVendorFunctions.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string MacText(uint64_t v)
{
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02X-%02X-%02X-%02X-%02X-%02X", unsigned(v >> 40 & 255),
                  unsigned(v >> 32 & 255), unsigned(v >> 24 & 255), unsigned(v >> 16 & 255),
                  unsigned(v >> 8 & 255), unsigned(v & 255));
    return buf;
}

struct TBlock {
    uint64_t Begin, End;
};

std::vector<TBlock> BlocksOf(sqlite3* Db, int Bits)
{
    std::vector<TBlock> out;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(Db, "SELECT range_begin, range_end FROM mac_addresses WHERE bits = ?;", -1,
                       &st, nullptr);
    sqlite3_bind_int(st, 1, Bits);
    while (sqlite3_step(st) == SQLITE_ROW)
        out.push_back(
            {uint64_t(sqlite3_column_int64(st, 0)), uint64_t(sqlite3_column_int64(st, 1))});
    sqlite3_finalize(st);
    return out;
}

std::vector<std::string> RandomMacs(size_t N, std::mt19937_64& Rng)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < N; ++i)
        out.push_back(MacText(Rng() & 0xFFFFFFFFFFFFull));
    return out;
}

std::vector<std::string> MacsIn(const std::vector<TBlock>& Blocks, size_t N, std::mt19937_64& Rng)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < N; ++i) {
        const TBlock& b = Blocks[Rng() % Blocks.size()];
        out.push_back(MacText(b.Begin + Rng() % (b.End - b.Begin + 1)));
    }
    return out;
}

// Microseconds per lookup; Found counts the addresses that got a vendor.
double Measure(sqlite3* Db, const std::vector<std::string>& Macs, size_t& Found)
{
    std::string v;
    Found = 0;
    auto t0 = Clock::now();
    for (const std::string& m : Macs) {
        GetVendorByMacDb(m, Db, v);
        Found += !v.empty();
    }
    std::chrono::duration<double, std::micro> d = Clock::now() - t0;
    return d.count() / double(Macs.size());
}

void Report(const char* What, sqlite3* Db, const std::vector<std::string>& Macs)
{
    size_t found;
    Measure(Db, std::vector<std::string>(Macs.begin(), Macs.begin() + 50), found); // warm up
    double us = Measure(Db, Macs, found);
    std::printf("  %-34s %7zu lookups  %8.1f us each  %8.0f /s  (%zu with a vendor)\n", What,
                Macs.size(), us, 1e6 / us, found);
}

// Cost of preparing the statement alone: the part that the literal in the
// SQL text forces on every lookup.
void ReportPrepare(sqlite3* Db, const std::vector<std::string>& Macs)
{
    auto t0 = Clock::now();
    for (const std::string& m : Macs) {
        std::string sql = "Select organization_name from mac_addresses where 0x" + NormalizeMac(m) +
                          " BETWEEN range_begin AND range_end ORDER BY bits DESC, id DESC limit 1;";
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(Db, sql.c_str(), -1, &st, nullptr);
        sqlite3_finalize(st);
    }
    std::chrono::duration<double, std::micro> d = Clock::now() - t0;
    std::printf("  %-34s %7zu prepares %8.1f us each\n", "prepare alone", Macs.size(),
                d.count() / double(Macs.size()));
}

void ReportThreads(const std::string& File, const std::vector<std::string>& Macs, unsigned N)
{
    std::vector<std::thread> threads;
    auto t0 = Clock::now();
    for (unsigned t = 0; t < N; ++t)
        threads.emplace_back([&, t] {
            sqlite3* db = OpenVendorsDb(File, VendorsDbWorkerFlags);
            std::string v;
            for (size_t i = t; i < Macs.size(); i += N)
                GetVendorByMacDb(Macs[i], db, v);
            CloseVendorsDb(db);
        });
    for (auto& th : threads)
        th.join();
    std::chrono::duration<double> d = Clock::now() - t0;
    std::printf("  %2u workers, own connections        %7zu lookups  %8.0f /s together\n", N,
                Macs.size(), double(Macs.size()) / d.count());
}

// A copy of the database with the given index statements in place of its own.
std::string Variant(const std::string& From, const std::string& Dir, const char* Name,
                    const char* Sql)
{
    std::string file = Dir + "/" + Name + ".db";
    std::filesystem::copy_file(From, file, std::filesystem::copy_options::overwrite_existing);
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    std::string all = std::string("DROP INDEX IF EXISTS mac_addresses_by_end;") + Sql + "VACUUM;";
    if (sqlite3_exec(db, all.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    sqlite3_close(db);
    return file;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const std::string file = argc > 1 ? argv[1] : TOLVEX_BIN_DIR "/vendors.db";
        std::mt19937_64 rng(20240501);
        sqlite3* db = OpenVendorsDb(file, VendorsDbWorkerFlags);
        std::printf("vendor lookup in %s (SQLite %s)\n", file.c_str(), sqlite3_libversion());

        const auto random = RandomMacs(100000, rng);
        const auto in24 = MacsIn(BlocksOf(db, 24), 5000, rng);
        const auto in28 = MacsIn(BlocksOf(db, 28), 5000, rng);
        const auto in36 = MacsIn(BlocksOf(db, 36), 5000, rng);
        std::printf("shipped index (range_end, range_begin, bits, id, organization_name):\n");
        Report("random addresses", db, random);
        Report("addresses in 24-bit blocks", db, in24);
        Report("addresses in 28-bit blocks", db, in28);
        Report("addresses in 36-bit blocks", db, in36);
        ReportPrepare(db, in24);
        CloseVendorsDb(db);
        for (unsigned n : {2u, 4u, std::max(1u, std::thread::hardware_concurrency())})
            ReportThreads(file, std::vector<std::string>(random.begin(), random.begin() + 20000),
                          n);

        // The same query on copies with other indexes.
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "tolvex-bench-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        const std::vector<std::string> fewRandom(random.begin(), random.begin() + 500);
        const std::vector<std::string> few24(in24.begin(), in24.begin() + 500);
        struct {
            const char* Name;
            const char* Sql;
        } variants[] = {
            {"no index (table scan)", ""},
            {"index (range_begin)", "CREATE INDEX i ON mac_addresses (range_begin);"},
            {"index (range_end)", "CREATE INDEX i ON mac_addresses (range_end);"},
            {"covering, range_begin first",
             "CREATE INDEX i ON mac_addresses (range_begin, range_end, bits, id, "
             "organization_name);"},
        };
        int k = 0;
        for (const auto& v : variants) {
            std::string copy = Variant(file, tmpl, ("v" + std::to_string(k++)).c_str(), v.Sql);
            sqlite3* cdb = OpenVendorsDb(copy, VendorsDbWorkerFlags);
            std::printf("%s:\n", v.Name);
            Report("random addresses", cdb, fewRandom);
            Report("addresses in 24-bit blocks", cdb, few24);
            CloseVendorsDb(cdb);
        }
        std::filesystem::remove_all(tmpl);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vendor_lookup_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
