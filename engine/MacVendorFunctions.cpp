#include "engine/MacVendorFunctions.h"

#include <sqlite3.h>

#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

static_assert(VendorsDbWorkerFlags == (SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX));
static_assert(VendorsDbSharedFlags == (SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX));

namespace {

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Whether HexMac is worth a query. An all-zero address means "no address",
// yet the registry assigns that prefix to a company, which would be named as
// its vendor. More than 16 digits are beyond SQLite's 64-bit literals: the
// statement would fail and end the whole host job over one odd adapter. And
// only digits may reach the SQL text.
bool IsQueryableHex(const std::string& HexMac)
{
    if (HexMac.size() > 16)
        return false;
    bool nonZero = false;
    for (char c : HexMac) {
        if (!IsHexDigit(c))
            return false;
        nonZero = nonZero || c != '0';
    }
    return nonZero;
}

// The main thread's connection; closed when the program ends.
class TSharedVendorsDb {
public:
    ~TSharedVendorsDb() { CloseVendorsDb(Db_); }
    void Query(const std::string& HexMac, std::string& Vendor)
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (!Db_)
            Db_ = OpenVendorsDb(GetVendorsDbFileName(), VendorsDbSharedFlags);
        QueryVendor(HexMac, Db_, Vendor);
    }

private:
    std::mutex Mutex_;
    sqlite3* Db_ = nullptr;
};

TSharedVendorsDb& SharedVendorsDb()
{
    static TSharedVendorsDb db;
    return db;
}

// Finalizes the statement on every path, also when a raise leaves the query.
struct TStatement {
    sqlite3_stmt* St = nullptr;
    ~TStatement() { sqlite3_finalize(St); }
};

// Closes a temporary connection on every path.
struct TTemporaryDb {
    sqlite3* Db = nullptr;
    ~TTemporaryDb() { CloseVendorsDb(Db); }
};

} // namespace

std::string GetVendorsDbFileName()
{
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            throw EVendorDbError("Cannot find the program file: /proc/self/exe is unreadable");
        if (static_cast<size_t>(n) < buf.size()) {
            std::string exe(buf.data(), static_cast<size_t>(n));
            return exe.substr(0, exe.rfind('/') + 1) + "vendors.db";
        }
        buf.resize(buf.size() * 2);
    }
}

sqlite3* OpenVendorsDb(const std::string& FileName, int Flags)
{
    // SQLite counts every allocation under one process-wide lock unless told
    // not to; with a worker per host each parsing its own query, that lock
    // and not the lookups themselves bounded the scan. The setting only
    // takes before SQLite is first used, so later calls change nothing.
    static std::once_flag noMemoryStatistics;
    std::call_once(noMemoryStatistics, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
    sqlite3* db = nullptr;
    // Read-only flags never create a file: a missing database fails here
    // instead of leaving an empty one beside the program.
    if (sqlite3_open_v2(FileName.c_str(), &db, Flags, nullptr) != SQLITE_OK) {
        std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
        CloseVendorsDb(db);
        throw EVendorDbError("Failed to open database \"" + FileName + "\" : " + msg);
    }
    return db;
}

void CloseVendorsDb(sqlite3*& Db)
{
    if (Db)
        sqlite3_close(Db);
    Db = nullptr;
}

std::string NormalizeMac(const std::string& Mac)
{
    std::string hex;
    for (char c : Mac)
        if (IsHexDigit(c))
            hex += c;
    if (hex.size() < 12)
        hex.append(12 - hex.size(), '0');
    return hex;
}

void RaiseSqliteError(sqlite3* Db, const std::string& Text, const std::string& SQL)
{
    // Without a handle SQLite reports "out of memory", which would be untrue.
    int code = Db ? sqlite3_errcode(Db) : 0;
    const char* msg = Db ? sqlite3_errmsg(Db) : nullptr;
    if (code != 0 && msg && *msg)
        throw EVendorDbError(Text + ".\rError [" + std::to_string(code) +
                             "]: " + sqlite3_errstr(code) + ".\r\"" + SQL + "\": " + msg);
    throw EVendorDbError(Text);
}

void QueryVendor(const std::string& HexMac, sqlite3* Db, std::string& Vendor)
{
    Vendor.clear();
    if (!Db)
        throw EVendorDbError("Failed to open database. Descriptor is null");
    if (!IsQueryableHex(HexMac))
        return;
    const std::string sql = "Select organization_name from mac_addresses where 0x" + HexMac +
                            " BETWEEN range_begin AND range_end ORDER BY bits DESC, id DESC"
                            " limit 1;";
    TStatement st;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(Db, sql.c_str(), -1, &st.St, &tail) != SQLITE_OK)
        RaiseSqliteError(Db, "Error executing SQL", sql);
    if (!st.St)
        RaiseSqliteError(Db, "Could not prepare SQL statement", sql);
    int rc = sqlite3_step(st.St);
    if (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(st.St, 0);
        if (text)
            Vendor.assign(reinterpret_cast<const char*>(text),
                          static_cast<size_t>(sqlite3_column_bytes(st.St, 0)));
    } else if (rc != SQLITE_DONE) {
        // A damaged or locked database is a failure, not an unknown vendor.
        RaiseSqliteError(Db, "Error executing SQL", sql);
    }
}

void LookupVendorDb(const std::string& HexMac, sqlite3* Db, std::string& Vendor)
{
    if (Db) {
        QueryVendor(HexMac, Db, Vendor);
        return;
    }
    Vendor.clear();
    TTemporaryDb temp;
    temp.Db = OpenVendorsDb(GetVendorsDbFileName(), VendorsDbSharedFlags);
    QueryVendor(HexMac, temp.Db, Vendor);
}

void GetVendorByMacDb(const std::string& Mac, sqlite3* Db, std::string& Vendor)
{
    LookupVendorDb(NormalizeMac(Mac), Db, Vendor);
}

void LookupVendor(const std::string& HexMac, std::string& Vendor)
{
    Vendor.clear();
    SharedVendorsDb().Query(HexMac, Vendor);
}

void GetVendorByMac(const std::string& Mac, std::string& Vendor)
{
    LookupVendor(NormalizeMac(Mac), Vendor);
}

// What the workers of one process know of one database file: the 24-bit
// prefixes of the 48-bit space that some block of the table begins or ends
// inside, and the vendor of each other prefix asked so far, or the query
// for it that one worker has under way while the others wait for its
// answer. A worker's first query walks half the table on a connection whose
// page cache is still empty; 250 workers starting at once on a network of
// one vendor would each pay that, when one query answers them all.
struct TVendorMemory {
    std::unordered_set<uint32_t> Split;
    std::mutex Lock;
    // No value: that worker's query failed; a waiter asks on its own.
    std::unordered_map<uint32_t, std::shared_future<std::optional<std::string>>> Vendors;
};

namespace {

// The memory of Db's file, read once per file (and again when the file
// changes): null when the table cannot be read whole.
std::shared_ptr<TVendorMemory> VendorMemoryOf(sqlite3* Db)
{
    const char* name = sqlite3_db_filename(Db, "main");
    struct stat st {};
    if (!name || !*name || ::stat(name, &st) != 0)
        return nullptr;
    const std::string key = std::string(name) + '\n' + std::to_string(st.st_mtim.tv_sec) + '.' +
                            std::to_string(st.st_mtim.tv_nsec) + '\n' + std::to_string(st.st_size);
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<TVendorMemory>> known;
    std::lock_guard<std::mutex> l(lock);
    if (auto it = known.find(key); it != known.end())
        return it->second;
    sqlite3_stmt* st0 = nullptr;
    if (sqlite3_prepare_v2(Db, "SELECT range_begin, range_end FROM mac_addresses", -1, &st0,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(st0);
        return nullptr;
    }
    auto memory = std::make_shared<TVendorMemory>();
    std::unordered_set<uint32_t>& split = memory->Split;
    constexpr int64_t space = int64_t(1) << 48, prefix = int64_t(1) << 24;
    int rc;
    while ((rc = sqlite3_step(st0)) == SQLITE_ROW) {
        const int64_t begin = sqlite3_column_int64(st0, 0), end = sqlite3_column_int64(st0, 1);
        // A boundary strictly inside a prefix makes its addresses differ.
        if (begin > 0 && begin < space && begin % prefix != 0)
            split.insert(static_cast<uint32_t>(begin / prefix));
        if (end >= 0 && end < space - 1 && (end + 1) % prefix != 0)
            split.insert(static_cast<uint32_t>(end / prefix));
    }
    sqlite3_finalize(st0);
    if (rc != SQLITE_DONE)
        return nullptr;
    known[key] = memory;
    return memory;
}

} // namespace

void TVendorCache::GetVendorByMac(const std::string& Mac, sqlite3* Db, std::string& Vendor)
{
    const std::string hex = NormalizeMac(Mac);
    if (!Db || hex.size() != 12 || !IsQueryableHex(hex)) {
        LookupVendorDb(hex, Db, Vendor);
        return;
    }
    if (!FReadSplit) {
        FReadSplit = true;
        FMemory = VendorMemoryOf(Db);
    }
    const auto prefix = static_cast<uint32_t>(std::stoul(hex.substr(0, 6), nullptr, 16));
    if (!FMemory || FMemory->Split.count(prefix)) {
        QueryVendor(hex, Db, Vendor);
        return;
    }
    if (auto it = FVendors.find(prefix); it != FVendors.end()) {
        Vendor = it->second;
        ++FHits;
        return;
    }
    std::promise<std::optional<std::string>> mine;
    std::shared_future<std::optional<std::string>> asked;
    {
        std::lock_guard<std::mutex> l(FMemory->Lock);
        auto [it, added] = FMemory->Vendors.try_emplace(prefix);
        if (added)
            it->second = mine.get_future().share();
        else
            asked = it->second;
    }
    if (asked.valid()) {
        if (const std::optional<std::string>& known = asked.get()) {
            Vendor = *known;
            FVendors.emplace(prefix, Vendor);
            ++FHits;
        } else {
            QueryVendor(hex, Db, Vendor);
        }
        return;
    }
    try {
        QueryVendor(hex, Db, Vendor);
    } catch (...) {
        // The workers waiting ask on their own; the next one asks again.
        mine.set_value(std::nullopt);
        std::lock_guard<std::mutex> l(FMemory->Lock);
        FMemory->Vendors.erase(prefix);
        throw;
    }
    mine.set_value(Vendor);
    FVendors.emplace(prefix, Vendor);
}
