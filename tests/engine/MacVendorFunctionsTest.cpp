#include "engine/MacVendorFunctions.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string BinDir()
{
    const char* d = std::getenv("TOLVEX_BIN_DIR");
    return d ? d : "";
}

std::string RealDb()
{
    return BinDir() + "/vendors.db";
}

// A folder of its own for each test, removed also when the test fails.

void Exec(const std::string& File, const char* Sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(File.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, Sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::string SqlFor(const std::string& HexMac)
{
    return "Select organization_name from mac_addresses where 0x" + HexMac +
           " BETWEEN range_begin AND range_end ORDER BY bits DESC, id DESC limit 1;";
}

std::string MessageOf(const std::function<void()>& Fn)
{
    try {
        Fn();
    } catch (const EVendorDbError& e) {
        return e.what();
    }
    return "(nothing raised)";
}

// The generated database, opened as a scan worker opens it.
class RealVendorsDb : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::exists(RealDb())) << RealDb();
        Db = OpenVendorsDb(RealDb(), VendorsDbWorkerFlags);
    }
    void TearDown() override { CloseVendorsDb(Db); }
    std::string Vendor(const std::string& Mac)
    {
        std::string v = "stale";
        GetVendorByMacDb(Mac, Db, v);
        return v;
    }
    sqlite3* Db = nullptr;
};

} // namespace

TEST_F(RealVendorsDb, LongestPrefixWinsOverTheBlockAroundIt)
{
    // 00-50-C2 is the registry's own 24-bit block; the IAB inside it names
    // the holder.
    EXPECT_EQ(Vendor("00-50-C2-7D-51-23"), "DEUTA-WERKE GmbH");
    // MA-M (28 bits) inside 00-55-DA, MA-S (36 bits) inside 8C-1F-64.
    EXPECT_EQ(Vendor("00:55:DA:E1:23:45"), "Victorsure Limited");
    EXPECT_EQ(Vendor("8c1f64c57001"), "Strategic Robotic Systems");
    // The enclosing 24-bit block still answers outside the small ones.
    EXPECT_EQ(Vendor("00-50-C2-00-00-00").empty(), false);
    EXPECT_NE(Vendor("00-50-C2-00-00-00"), "DEUTA-WERKE GmbH");
    EXPECT_EQ(Vendor("00-00-0C-12-34-56"), "Cisco Systems, Inc");
}

TEST_F(RealVendorsDb, BlockListedAgainLaterGivesTheLaterHolder)
{
    // 08-00-30 is listed three times in the 24-bit list; CERN comes last.
    EXPECT_EQ(Vendor("08-00-30-00-00-01"), "CERN");
    EXPECT_EQ(Vendor("00-01-C8-AA-BB-CC"), "CONRAD CORP.");
}

TEST_F(RealVendorsDb, AddressesOutsideEveryBlockGiveEmpty)
{
    EXPECT_EQ(Vendor("02-00-00-00-00-01"), ""); // locally administered
    EXPECT_EQ(Vendor("FF-FF-FF-FF-FF-FF"), "");
    // 13 to 16 digits are still a query; the number lies beyond 48 bits.
    EXPECT_EQ(Vendor("00-50-C2-7D-51-23-45"), "");
    EXPECT_EQ(Vendor("FFFFFFFFFFFFFFFF"), ""); // a negative 64-bit literal
}

TEST_F(RealVendorsDb, NoAddressIsNotLookedUp)
{
    // The registry does hold a block at 00-00-00 ...
    std::string raw;
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(Db, SqlFor("000000000000").c_str(), -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    raw = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    ASSERT_FALSE(raw.empty());
    // ... but an empty or all-zero MAC is "no address", not that company.
    EXPECT_EQ(Vendor(""), "");
    EXPECT_EQ(Vendor("00-00-00-00-00-00"), "");
    EXPECT_EQ(Vendor("--"), "");
    std::string v = "stale";
    QueryVendor("0", Db, v);
    EXPECT_EQ(v, "");
}

TEST_F(RealVendorsDb, OverlongOrForeignTextGivesEmptyWithoutRaising)
{
    std::string v = "stale";
    EXPECT_NO_THROW(GetVendorByMacDb("00-50-C2-7D-51-23-45-67-8", Db, v)); // 17 digits
    EXPECT_EQ(v, "");
    v = "stale";
    EXPECT_NO_THROW(QueryVendor("0050C27D5123456789ABCDEF", Db, v));
    EXPECT_EQ(v, "");
    // QueryVendor takes its text as it is; nothing but digits may reach the SQL.
    v = "stale";
    EXPECT_NO_THROW(QueryVendor("0 OR 1=1 --", Db, v));
    EXPECT_EQ(v, "");
    v = "stale";
    EXPECT_NO_THROW(QueryVendor("0050C2;DROP", Db, v));
    EXPECT_EQ(v, "");
}

TEST_F(RealVendorsDb, QueryRunsOnTheCoveringIndex)
{
    // A full table scan costs several times more per lookup.
    sqlite3_stmt* st = nullptr;
    std::string plan;
    ASSERT_EQ(sqlite3_prepare_v2(Db, ("EXPLAIN QUERY PLAN " + SqlFor("001122334455")).c_str(), -1,
                                 &st, nullptr),
              SQLITE_OK);
    while (sqlite3_step(st) == SQLITE_ROW)
        plan += std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 3))) + "\n";
    sqlite3_finalize(st);
    EXPECT_NE(plan.find("COVERING INDEX"), std::string::npos) << plan;
    EXPECT_EQ(plan.find("SCAN mac_addresses"), std::string::npos) << plan;
}

TEST_F(RealVendorsDb, WorkerConnectionIsReadOnly)
{
    int rc = sqlite3_exec(Db, "DELETE FROM mac_addresses;", nullptr, nullptr, nullptr);
    EXPECT_EQ(rc, SQLITE_READONLY);
    EXPECT_EQ(Vendor("08-00-30-00-00-01"), "CERN");
}

TEST(VendorLookup, SharedAndTemporaryConnectionsFindTheDatabaseBesideTheProgram)
{
    // The test program lies beside vendors.db, as the program file does.
    EXPECT_EQ(fs::weakly_canonical(GetVendorsDbFileName()), fs::weakly_canonical(RealDb()));
    std::string v;
    GetVendorByMac("00-50-C2-7D-51-23", v);
    EXPECT_EQ(v, "DEUTA-WERKE GmbH");
    LookupVendor("080030000001", v); // the shared connection, now open
    EXPECT_EQ(v, "CERN");
    LookupVendor("020000000001", v);
    EXPECT_EQ(v, "");
    v = "stale";
    LookupVendorDb("0050C27D5123", nullptr, v); // temporary connection
    EXPECT_EQ(v, "DEUTA-WERKE GmbH");
    GetVendorByMacDb("00-00-00-00-00-00", nullptr, v);
    EXPECT_EQ(v, "");
}

TEST(VendorLookup, NormalizeMacKeepsHexDigitsAndPads)
{
    EXPECT_EQ(NormalizeMac("00-1A-2b-3c-4d-5e"), "001A2b3c4d5e");
    EXPECT_EQ(NormalizeMac("00:1a"), "001a00000000");
    EXPECT_EQ(NormalizeMac(""), "000000000000");
    EXPECT_EQ(NormalizeMac("g0x1 zZ-F"), "01F000000000"); // 'x' and 'g' are no digits
    EXPECT_EQ(NormalizeMac("00-50-C2-7D-51-23-45"), "0050C27D512345");
    EXPECT_EQ(NormalizeMac("\xC3\xA4"
                           "ab"),
              "ab0000000000"); // UTF-8 bytes dropped
}

TEST(VendorLookup, MissingDatabaseIsAnOpenErrorAndCreatesNoFile)
{
    TempFolder dir;
    const std::string file = dir.Path("vendors.db");
    for (int flags : {VendorsDbWorkerFlags, VendorsDbSharedFlags}) {
        EXPECT_EQ(MessageOf([&] { OpenVendorsDb(file, flags); }),
                  "Failed to open database \"" + file + "\" : unable to open database file");
        EXPECT_FALSE(fs::exists(file));
    }
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(VendorLookup, NullHandleRaises)
{
    std::string v = "stale";
    EXPECT_EQ(MessageOf([&] { QueryVendor("0050C27D5123", nullptr, v); }),
              "Failed to open database. Descriptor is null");
    EXPECT_EQ(v, "");
    sqlite3* db = nullptr;
    CloseVendorsDb(db); // closing nothing is harmless
    EXPECT_EQ(db, nullptr);
}

TEST(VendorLookup, SqlErrorNamesCodeStatementAndMessage)
{
    TempFolder dir;
    const std::string file = dir.Path("vendors.db");
    Exec(file, "CREATE TABLE other (x INTEGER);");
    sqlite3* db = OpenVendorsDb(file, VendorsDbWorkerFlags);
    std::string v = "stale";
    EXPECT_EQ(MessageOf([&] { QueryVendor("0050C27D5123", db, v); }),
              "Error executing SQL.\rError [1]: SQL logic error.\r\"" + SqlFor("0050C27D5123") +
                  "\": no such table: mac_addresses");
    EXPECT_EQ(v, "");
    // A handle without a pending error gives the text alone.
    sqlite3_exec(db, "SELECT 1;", nullptr, nullptr, nullptr);
    EXPECT_EQ(MessageOf([&] { RaiseSqliteError(db, "Could not prepare SQL statement", "x"); }),
              "Could not prepare SQL statement");
    EXPECT_EQ(MessageOf([&] { RaiseSqliteError(nullptr, "Error executing SQL", "x"); }),
              "Error executing SQL");
    CloseVendorsDb(db);
    EXPECT_EQ(db, nullptr);
}

TEST(VendorLookup, DamagedTableRaisesInsteadOfAnsweringUnknown)
{
    TempFolder dir;
    const std::string file = dir.Path("vendors.db");
    Exec(file, "PRAGMA page_size=4096;"
               "CREATE TABLE mac_addresses (id INTEGER PRIMARY KEY, organization_name TEXT,"
               " range_begin INTEGER, range_end INTEGER, bits INTEGER);"
               "INSERT INTO mac_addresses VALUES (1, 'A', 0x001122000000, 0x001122FFFFFF, 24);");
    {
        // The schema stays on page 1; the table's own page is overwritten.
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096);
        std::string junk(4096, '\xA5');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    sqlite3* db = OpenVendorsDb(file, VendorsDbWorkerFlags);
    std::string v = "stale";
    std::string msg = MessageOf([&] { QueryVendor("001122334455", db, v); });
    CloseVendorsDb(db);
    EXPECT_EQ(
        msg.rfind("Error executing SQL.\rError [11]: database disk image is malformed.\r\"", 0), 0u)
        << msg;
    EXPECT_EQ(v, "");
}

namespace {

// Looks every address up twice, in an order that mixes the prefixes, through
// the cache and straight through the query; both must agree every time.
void ExpectCacheAgreesWithQuery(const std::string& File, const std::vector<std::string>& Macs,
                                long long ExpectedHits)
{
    sqlite3* db = OpenVendorsDb(File, VendorsDbWorkerFlags);
    TVendorCache cache;
    for (int round = 0; round < 2; ++round)
        for (size_t i = 0; i < Macs.size(); ++i) {
            const std::string& mac = Macs[(i * 7 + round) % Macs.size()];
            std::string cached = "stale", direct;
            cache.GetVendorByMac(mac, db, cached);
            QueryVendor(NormalizeMac(mac), db, direct);
            EXPECT_EQ(cached, direct) << mac;
        }
    if (ExpectedHits >= 0) {
        EXPECT_EQ(cache.Hits(), ExpectedHits);
    }
    CloseVendorsDb(db);
}

} // namespace

TEST(VendorCache, RemembersOnlyPrefixesThatNoBlockBeginsOrEndsInside)
{
    TempFolder dir;
    const std::string file = dir.Path("vendors.db");
    Exec(file, "CREATE TABLE mac_addresses (id INTEGER PRIMARY KEY, organization_name TEXT,"
               " range_begin INTEGER, range_end INTEGER, bits INTEGER);"
               // a whole prefix
               "INSERT INTO mac_addresses VALUES (1, 'Whole', 0x001122000000, 0x001122FFFFFF, 24);"
               // a prefix with a longer block inside it
               "INSERT INTO mac_addresses VALUES (2, 'Outer', 0x0050C2000000, 0x0050C2FFFFFF, 24);"
               "INSERT INTO mac_addresses VALUES (3, 'Inner', 0x0050C27D5000, 0x0050C27D5FFF, 36);"
               // a block that begins halfway into a prefix
               "INSERT INTO mac_addresses VALUES (4, 'Half', 0x00AA00800000, 0x00AA00FFFFFF, 25);"
               // one block over two whole prefixes
               "INSERT INTO mac_addresses VALUES (5, 'Two', 0x00BB00000000, 0x00BB01FFFFFF, 23);");
    const std::vector<std::string> macs = {
        "00-11-22-00-00-01",       "00-11-22-ff-ff-ff",
        "00:11:22:33:44:55", // Whole
        "00-50-C2-7D-51-23",       "00-50-C2-7D-4F-FF",
        "00-50-C2-00-00-00", // Outer/Inner
        "00-AA-00-7F-FF-FF",       "00-AA-00-80-00-00",
        "00-aa-00-ff-00-01", // Half
        "00-BB-00-12-34-56",       "00-BB-01-00-00-00",
        "00-BB-01-FF-FF-FF",                            // Two
        "00-CC-00-00-00-01",       "00-CC-00-99-00-01", // no block
        "00-00-00-00-00-00",       "",                  // not looked up
        "00-11-22-33-44-55-66-77",                      // longer than a MAC
    };
    // Uniform prefixes: 001122 (3 addresses), 00BB00 (1), 00BB01 and 00CC00
    // (2 each): 8 lookups a round, less the first under each of the four.
    ExpectCacheAgreesWithQuery(file, macs, 2 * 8 - 4);
}

TEST(VendorCache, AgreesWithTheQueryOnTheRealDatabase)
{
    // Addresses under many prefixes of the real lists, also those that
    // hold 28- and 36-bit blocks, and some that no block holds.
    std::vector<std::string> macs;
    const char* prefixes[] = {"0050C2", "001BC5", "70B3D5", "40D855", "8C1F64", "000000",
                              "3C5AB4", "F8E43B", "FCFFFF", "AC1F6B", "020000", "E4956E"};
    for (const char* p : prefixes)
        for (unsigned tail : {0x000000u, 0x123456u, 0x7D5123u, 0xABCDEFu, 0xFFFFFFu}) {
            char buf[13];
            std::snprintf(buf, sizeof buf, "%s%06X", p, tail);
            macs.push_back(buf);
        }
    ExpectCacheAgreesWithQuery(RealDb(), macs, -1);
}

namespace {

// Runs Lookup on Workers threads at once, each with its own connection to
// File and its own cache, as the scan pool's workers look up the vendors of
// the hosts they found.
void OnWorkersAtOnce(const std::string& File, int Workers,
                     const std::function<void(sqlite3*, TVendorCache&)>& Lookup)
{
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < Workers; ++i)
        threads.emplace_back([&] {
            sqlite3* db = OpenVendorsDb(File, VendorsDbWorkerFlags);
            TVendorCache cache;
            while (!go)
                std::this_thread::yield();
            Lookup(db, cache);
            CloseVendorsDb(db);
        });
    go = true;
    for (std::thread& t : threads)
        t.join();
}

} // namespace

TEST(VendorCache, WorkersOfOneProcessAskTheDatabaseOncePerPrefix)
{
    TempFolder dir;
    const std::string file = dir.Path("vendors.db");
    Exec(file,
         "CREATE TABLE mac_addresses (id INTEGER PRIMARY KEY, organization_name TEXT,"
         " range_begin INTEGER, range_end INTEGER, bits INTEGER);"
         "INSERT INTO mac_addresses VALUES (1, 'One', 0x001122000000, 0x001122FFFFFF, 24);"
         "INSERT INTO mac_addresses VALUES (2, 'Two', 0x3CD92B000000, 0x3CD92BFFFFFF, 24);"
         "INSERT INTO mac_addresses VALUES (3, 'Outer', 0x0050C2000000, 0x0050C2FFFFFF, 24);"
         "INSERT INTO mac_addresses VALUES (4, 'Inner', 0x0050C27D5000, 0x0050C27D5FFF, 36);");
    // Three prefixes no block splits (one of them in no block), two
    // addresses under the split one.
    const std::vector<std::string> macs = {
        "00-11-22-00-00-01", "3C-D9-2B-12-34-56", "02-00-00-00-5D-03", "00-50-C2-7D-51-23",
        "00-11-22-FF-FF-FE", "3C-D9-2B-00-00-00", "02-00-00-00-5D-08", "00-50-C2-00-00-01"};
    std::map<std::string, std::string> direct;
    {
        sqlite3* db = OpenVendorsDb(file, VendorsDbWorkerFlags);
        for (const std::string& mac : macs)
            QueryVendor(NormalizeMac(mac), db, direct[mac]);
        CloseVendorsDb(db);
    }
    constexpr int workers = 24;
    std::mutex lock;
    long long hits = 0;
    int wrong = 0;
    OnWorkersAtOnce(file, workers, [&](sqlite3* Db, TVendorCache& Cache) {
        int mismatches = 0;
        for (const std::string& mac : macs) {
            std::string vendor = "stale";
            Cache.GetVendorByMac(mac, Db, vendor);
            mismatches += vendor != direct[mac];
        }
        std::lock_guard<std::mutex> l(lock);
        hits += Cache.Hits();
        wrong += mismatches;
    });
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(direct["00-11-22-00-00-01"], "One");
    EXPECT_EQ(direct["00-50-C2-7D-51-23"], "Inner");
    // Six lookups a worker under the three uniform prefixes; one query in
    // the whole process for each of them.
    EXPECT_EQ(hits, workers * 6 - 3);
}

TEST(VendorCache, QueryThatFailsFailsForEveryWorkerWaitingOnItAndIsAskedAgain)
{
    TempFolder dir;
    const std::string file = dir.Path("vendors.db");
    Exec(file, "PRAGMA page_size=4096;"
               "CREATE TABLE mac_addresses (id INTEGER PRIMARY KEY, organization_name TEXT,"
               " range_begin INTEGER, range_end INTEGER, bits INTEGER);"
               "CREATE INDEX mac_addresses_by_end ON mac_addresses(range_end);"
               "INSERT INTO mac_addresses VALUES (1, 'A', 0x001122000000, 0x001122FFFFFF, 24);");
    {
        // The index's page is overwritten: the table reads whole, so the
        // prefixes are remembered, while the query, which walks the index,
        // fails.
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(2 * 4096);
        std::string junk(4096, '\xA5');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    std::atomic<int> raised{0}, answered{0};
    OnWorkersAtOnce(file, 16, [&](sqlite3* Db, TVendorCache& Cache) {
        for (int round = 0; round < 2; ++round) {
            std::string vendor;
            const std::string msg =
                MessageOf([&] { Cache.GetVendorByMac("00-11-22-33-44-55", Db, vendor); });
            if (msg.rfind("Error executing SQL.\rError [11]: database disk image is malformed.",
                          0) == 0)
                ++raised;
            else
                ++answered;
        }
    });
    EXPECT_EQ(raised, 32);
    EXPECT_EQ(answered, 0);
}
