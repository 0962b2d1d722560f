// Reading the IEEE registry lists (Debian's ieee-data CSV files) and writing
// the vendor database that the program looks MAC addresses up in.
//
// The lists are RFC 4180 CSV: quoted fields may hold commas, doubled quotes
// and line breaks. A block that is listed twice keeps both rows; the row read
// later gets the higher id, and the lookup prefers the higher id among blocks
// of equal prefix length, so the later row wins.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Bad input: the message names the file and line where it can be found.
class EIeeeListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TCsvRecord {
    size_t Line = 0; // line on which the record starts, from 1
    std::vector<std::string> Fields;
};

// Splits CSV text into records. Line ends are CR LF, LF or CR; a leading
// UTF-8 byte order mark is skipped; empty lines give no record. A quoted
// field left open at the end of the text raises.
std::vector<TCsvRecord> ParseCsv(const std::string& Text);

// One assigned block: first and last 48-bit address as big-endian numbers.
struct TVendorBlock {
    std::string Organization;
    uint64_t Begin = 0;
    uint64_t End = 0;
    int Bits = 0;
    std::string Registry;
};

// Prefix length of a registry name ("MA-L" 24, "MA-M" 28, "MA-S" and "IAB"
// 36); 0 for a name that is not a MAC block registry.
int RegistryBits(const std::string& Registry);

// The blocks of one list file in file order. The columns are found by their
// header names "Registry", "Assignment" and "Organization Name".
std::vector<TVendorBlock> ReadIeeeList(const std::string& FileName);
std::vector<TVendorBlock> ParseIeeeList(const std::string& Text, const std::string& Origin);

// Writes the database with table "mac_addresses" (ids from 1 in the order of
// Blocks) to a temporary file beside FileName and renames it into place, so
// that FileName is either the old database or the whole new one.
void WriteVendorsDb(const std::string& FileName, const std::vector<TVendorBlock>& Blocks);
