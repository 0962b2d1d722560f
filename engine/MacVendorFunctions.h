// Vendor lookup: the organisation a MAC address is assigned to, from the
// SQLite database "vendors.db" beside the program file.
//
// Every scan worker opens its own read-only connection (VendorsDbWorkerFlags);
// the main thread shares one that is opened on first use and closed at
// program end. Lookups raise EVendorDbError when the database cannot be
// opened or the query fails; an address that no block holds gives an empty
// vendor.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>

struct sqlite3;

class EVendorDbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX: a worker's own connection.
constexpr int VendorsDbWorkerFlags = 0x8001;
// SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX: shared and temporary ones.
constexpr int VendorsDbSharedFlags = 0x10001;

// The running program file's folder + "vendors.db".
std::string GetVendorsDbFileName();
// Opens FileName (UTF-8) with Flags. Raises "Failed to open database "%s" : %s".
sqlite3* OpenVendorsDb(const std::string& FileName, int Flags);
// Closes Db when it is set; Db becomes nullptr.
void CloseVendorsDb(sqlite3*& Db);

// The hexadecimal digits of Mac in order, padded with "0" to 12 characters;
// longer texts are kept whole.
std::string NormalizeMac(const std::string& Mac);

// Vendor of the block with the longest prefix that holds HexMac (the highest
// id among equal prefixes). Raises for a null Db and on SQL errors. An empty
// or all-zero HexMac, one of more than 16 digits or one that is not
// hexadecimal is not looked up: the vendor is empty.
void QueryVendor(const std::string& HexMac, sqlite3* Db, std::string& Vendor);
// QueryVendor on Db, or on a temporary connection when Db is null.
void LookupVendorDb(const std::string& HexMac, sqlite3* Db, std::string& Vendor);
// NormalizeMac, then LookupVendorDb (scan workers, on their own connection).
void GetVendorByMacDb(const std::string& Mac, sqlite3* Db, std::string& Vendor);
// QueryVendor on the shared connection.
void LookupVendor(const std::string& HexMac, std::string& Vendor);
// NormalizeMac, then LookupVendor (main thread).
void GetVendorByMac(const std::string& Mac, std::string& Vendor);

// A scan worker's memory of the vendors looked up, one 24-bit prefix at a
// time: the hosts of a network share a handful of vendors, and every query
// walks a good part of the table. A prefix is remembered only when no block
// of the table begins or ends inside it; then every address under it lies in
// the same blocks, and the query's answer is the same for all of them. Other
// prefixes, longer texts and failures always go to the query. What one
// worker's query found, the process's other workers on the same file take
// from it (and wait for it while it runs) instead of asking again.
struct TVendorMemory;

class TVendorCache {
public:
    // GetVendorByMacDb with the memory (on a temporary connection, and
    // without it, when Db is null).
    void GetVendorByMac(const std::string& Mac, sqlite3* Db, std::string& Vendor);
    // How many lookups the memory answered.
    long long Hits() const { return FHits; }

private:
    bool FReadSplit = false;
    std::shared_ptr<TVendorMemory> FMemory; // null: no memory
    std::unordered_map<uint32_t, std::string> FVendors;
    long long FHits = 0;
};

// Raises EVendorDbError: Text + ".\rError [code]: name.\r"SQL": message" when
// Db holds an error, else Text alone.
[[noreturn]] void RaiseSqliteError(sqlite3* Db, const std::string& Text, const std::string& SQL);
