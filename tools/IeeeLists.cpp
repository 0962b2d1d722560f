#include "tools/IeeeLists.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

std::string Trim(const std::string& s)
{
    const char* ws = " \t\r\n";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string Where(const std::string& Origin, size_t Line)
{
    return Origin + ":" + std::to_string(Line) + ": ";
}

// Owns a connection of the writer and closes it on every path.
struct TWriterDb {
    sqlite3* Db = nullptr;
    ~TWriterDb()
    {
        if (Db)
            sqlite3_close(Db);
    }
    void Exec(const char* Sql) const
    {
        char* err = nullptr;
        if (sqlite3_exec(Db, Sql, nullptr, nullptr, &err) != SQLITE_OK) {
            std::string msg = err ? err : sqlite3_errmsg(Db);
            sqlite3_free(err);
            throw EIeeeListError(std::string("cannot write the vendor database: ") + msg);
        }
    }
    void Fail(const std::string& What) const
    {
        throw EIeeeListError("cannot write the vendor database: " + What + ": " +
                             sqlite3_errmsg(Db));
    }
};

void SyncPath(const std::string& Path, int Flags)
{
    int fd = ::open(Path.c_str(), Flags | O_CLOEXEC);
    if (fd < 0)
        throw EIeeeListError("cannot open " + Path + ": " + std::strerror(errno));
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0)
        throw EIeeeListError("cannot flush " + Path + ": " + std::strerror(err));
}

std::string DirectoryOf(const std::string& Path)
{
    size_t slash = Path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : Path.substr(0, slash);
}

void FillDb(const std::string& FileName, const std::vector<TVendorBlock>& Blocks)
{
    TWriterDb w;
    if (sqlite3_open_v2(FileName.c_str(), &w.Db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK)
        w.Fail("cannot create " + FileName);
    // The file is only renamed into place once complete, so no journal is
    // needed to keep it whole.
    w.Exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
    w.Exec("CREATE TABLE mac_addresses ("
           " id INTEGER PRIMARY KEY,"
           " organization_name TEXT NOT NULL,"
           " range_begin INTEGER NOT NULL,"
           " range_end INTEGER NOT NULL,"
           " bits INTEGER NOT NULL);");
    w.Exec("BEGIN;");
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(w.Db,
                           "INSERT INTO mac_addresses (id, organization_name, range_begin,"
                           " range_end, bits) VALUES (?, ?, ?, ?, ?);",
                           -1, &st, nullptr) != SQLITE_OK)
        w.Fail("prepare");
    sqlite3_int64 id = 0;
    for (const TVendorBlock& b : Blocks) {
        sqlite3_bind_int64(st, 1, ++id);
        sqlite3_bind_text(st, 2, b.Organization.data(), static_cast<int>(b.Organization.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(st, 3, static_cast<sqlite3_int64>(b.Begin));
        sqlite3_bind_int64(st, 4, static_cast<sqlite3_int64>(b.End));
        sqlite3_bind_int(st, 5, b.Bits);
        if (sqlite3_step(st) != SQLITE_DONE) {
            sqlite3_finalize(st);
            w.Fail("insert");
        }
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    // The lookup's condition "X BETWEEN range_begin AND range_end" can use an
    // index on one bound only. range_end leads because most assigned blocks
    // lie low in the address space, so "range_end >= X" passes over fewer
    // entries than "range_begin <= X" for the addresses met in practice; the
    // other columns make the index covering, so that no table row is read.
    w.Exec("CREATE INDEX mac_addresses_by_end ON mac_addresses"
           " (range_end, range_begin, bits, id, organization_name);");
    w.Exec("COMMIT;");
    if (sqlite3_close(w.Db) != SQLITE_OK)
        w.Fail("close");
    w.Db = nullptr;
}

} // namespace

std::vector<TCsvRecord> ParseCsv(const std::string& Text)
{
    std::vector<TCsvRecord> out;
    size_t i = 0, n = Text.size(), line = 1;
    if (Text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        i = 3;
    while (i < n) {
        // An empty line is no record.
        if (Text[i] == '\n' || Text[i] == '\r') {
            if (Text[i] == '\r' && i + 1 < n && Text[i + 1] == '\n')
                ++i;
            ++i;
            ++line;
            continue;
        }
        TCsvRecord rec;
        rec.Line = line;
        std::string field;
        bool endOfRecord = false;
        while (!endOfRecord) {
            if (i < n && Text[i] == '"') {
                size_t openLine = line;
                ++i;
                for (;;) {
                    if (i >= n)
                        throw EIeeeListError("line " + std::to_string(openLine) +
                                             ": quoted field is not closed");
                    char c = Text[i++];
                    if (c == '"') {
                        if (i < n && Text[i] == '"') {
                            field += '"';
                            ++i;
                            continue;
                        }
                        break;
                    }
                    if (c == '\n' || (c == '\r' && !(i < n && Text[i] == '\n')))
                        ++line;
                    field += c;
                }
            }
            // Unquoted text, or text after a closing quote: taken as it is.
            while (i < n && Text[i] != ',' && Text[i] != '\n' && Text[i] != '\r')
                field += Text[i++];
            rec.Fields.push_back(std::move(field));
            field.clear();
            if (i < n && Text[i] == ',') {
                ++i;
                continue;
            }
            endOfRecord = true;
            if (i < n) {
                if (Text[i] == '\r' && i + 1 < n && Text[i + 1] == '\n')
                    ++i;
                ++i;
                ++line;
            }
        }
        out.push_back(std::move(rec));
    }
    return out;
}

int RegistryBits(const std::string& Registry)
{
    if (Registry == "MA-L")
        return 24;
    if (Registry == "MA-M")
        return 28;
    if (Registry == "MA-S" || Registry == "IAB")
        return 36;
    return 0;
}

std::vector<TVendorBlock> ParseIeeeList(const std::string& Text, const std::string& Origin)
{
    std::vector<TCsvRecord> records;
    try {
        records = ParseCsv(Text);
    } catch (const EIeeeListError& e) {
        throw EIeeeListError(Origin + ": " + e.what());
    }
    if (records.empty())
        throw EIeeeListError(Origin + ": no header line");
    const std::vector<std::string>& head = records.front().Fields;
    auto column = [&](const char* Name) {
        for (size_t c = 0; c < head.size(); ++c)
            if (Trim(head[c]) == Name)
                return c;
        throw EIeeeListError(Where(Origin, records.front().Line) + "no column \"" + Name + "\"");
    };
    const size_t regCol = column("Registry");
    const size_t asgCol = column("Assignment");
    const size_t orgCol = column("Organization Name");
    const size_t need = std::max({regCol, asgCol, orgCol}) + 1;

    std::vector<TVendorBlock> blocks;
    blocks.reserve(records.size() - 1);
    for (size_t r = 1; r < records.size(); ++r) {
        const TCsvRecord& rec = records[r];
        if (rec.Fields.size() < need)
            throw EIeeeListError(Where(Origin, rec.Line) + "too few fields");
        TVendorBlock b;
        b.Registry = Trim(rec.Fields[regCol]);
        b.Bits = RegistryBits(b.Registry);
        if (b.Bits == 0)
            throw EIeeeListError(Where(Origin, rec.Line) + "unknown registry \"" + b.Registry +
                                 "\"");
        const std::string assignment = Trim(rec.Fields[asgCol]);
        if (assignment.size() * 4 != static_cast<size_t>(b.Bits))
            throw EIeeeListError(Where(Origin, rec.Line) + "assignment \"" + assignment +
                                 "\" is not " + std::to_string(b.Bits / 4) + " hexadecimal digits");
        uint64_t prefix = 0;
        for (char c : assignment) {
            int v = HexValue(c);
            if (v < 0)
                throw EIeeeListError(Where(Origin, rec.Line) + "assignment \"" + assignment +
                                     "\" is not hexadecimal");
            prefix = prefix << 4 | static_cast<uint64_t>(v);
        }
        const int free = 48 - b.Bits;
        b.Begin = prefix << free;
        b.End = b.Begin | ((uint64_t{1} << free) - 1);
        b.Organization = Trim(rec.Fields[orgCol]);
        blocks.push_back(std::move(b));
    }
    return blocks;
}

std::vector<TVendorBlock> ReadIeeeList(const std::string& FileName)
{
    std::ifstream in(FileName, std::ios::binary);
    if (!in)
        throw EIeeeListError("cannot read " + FileName + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw EIeeeListError("cannot read " + FileName);
    return ParseIeeeList(text.str(), FileName);
}

void WriteVendorsDb(const std::string& FileName, const std::vector<TVendorBlock>& Blocks)
{
    const std::string temp = FileName + ".tmp-" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    try {
        FillDb(temp, Blocks);
        SyncPath(temp, O_RDONLY);
        if (std::rename(temp.c_str(), FileName.c_str()) != 0)
            throw EIeeeListError("cannot rename " + temp + " to " + FileName + ": " +
                                 std::strerror(errno));
        SyncPath(DirectoryOf(FileName), O_RDONLY | O_DIRECTORY);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}
