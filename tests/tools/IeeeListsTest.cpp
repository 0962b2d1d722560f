#include "tools/IeeeLists.h"
#include "engine/MacVendorFunctions.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/wait.h>

namespace fs = std::filesystem;
using Fields = std::vector<std::string>;

namespace {

void WriteFile(const std::string& File, const std::string& Text)
{
    std::ofstream(File, std::ios::binary) << Text;
}

std::string ReadFile(const std::string& File)
{
    std::ifstream in(File, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<Fields> FieldsOf(const std::string& Text)
{
    std::vector<Fields> out;
    for (const TCsvRecord& r : ParseCsv(Text))
        out.push_back(r.Fields);
    return out;
}

std::string ErrorOf(const std::string& Text)
{
    try {
        ParseIeeeList(Text, "list.csv");
    } catch (const EIeeeListError& e) {
        return e.what();
    }
    return "(nothing raised)";
}

// Runs a program with its output captured; the exit status is returned.
int RunProgram(const std::string& Command, std::string& Output)
{
    Output.clear();
    FILE* p = ::popen((Command + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        Output.append(buf, n);
    int st = ::pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string Quote(const std::string& s)
{
    return "'" + s + "'"; // the temporary paths hold no quote
}

std::string Vendor(const std::string& DbFile, const std::string& Mac)
{
    sqlite3* db = OpenVendorsDb(DbFile, VendorsDbWorkerFlags);
    std::string v;
    try {
        GetVendorByMacDb(Mac, db, v);
    } catch (...) {
        CloseVendorsDb(db);
        throw;
    }
    CloseVendorsDb(db);
    return v;
}

const char* Header = "Registry,Assignment,Organization Name,Organization Address\r\n";

} // namespace

TEST(CsvReader, QuotedFieldsKeepCommasQuotesAndLineBreaks)
{
    auto r = FieldsOf("a,\"b, c\",\"say \"\"hi\"\"\",\"two\r\nlines\nhere\"\r\nnext,1\r\n");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], (Fields{"a", "b, c", "say \"hi\"", "two\r\nlines\nhere"}));
    EXPECT_EQ(r[1], (Fields{"next", "1"}));
    // Line numbers count the breaks inside quotes.
    EXPECT_EQ(ParseCsv("x\r\n\"1\n2\n3\",y\r\nz\r\n").back().Line, 5u);
}

TEST(CsvReader, LineEndsEmptyFieldsAndTheLastLine)
{
    EXPECT_EQ(FieldsOf("a,b\nc,d\re,f\r\ng,h"),
              (std::vector<Fields>{{"a", "b"}, {"c", "d"}, {"e", "f"}, {"g", "h"}}));
    EXPECT_EQ(FieldsOf("a,,b,\r\n,\r\n"), (std::vector<Fields>{{"a", "", "b", ""}, {"", ""}}));
    EXPECT_EQ(FieldsOf("\r\n\r\na\r\n\n\nb\r\n"), (std::vector<Fields>{{"a"}, {"b"}}));
    EXPECT_EQ(FieldsOf("\"\""), (std::vector<Fields>{{""}}));
    EXPECT_TRUE(FieldsOf("").empty());
    EXPECT_EQ(FieldsOf("\xEF\xBB\xBFRegistry,x\r\n"), (std::vector<Fields>{{"Registry", "x"}}));
}

TEST(CsvReader, StrayQuotesAreTakenAsText)
{
    // As Python's csv module reads them: a quote inside an unquoted field is
    // text, and so is what follows a closing quote.
    EXPECT_EQ(FieldsOf("ab\"c,\"d\"e f,g\r\n"), (std::vector<Fields>{{"ab\"c", "de f", "g"}}));
}

TEST(CsvReader, OpenQuoteAtTheEndRaisesWithItsLine)
{
    try {
        ParseCsv("a,b\r\nc,\"never\r\nclosed,\r\n");
        FAIL() << "nothing raised";
    } catch (const EIeeeListError& e) {
        EXPECT_STREQ(e.what(), "line 2: quoted field is not closed");
    }
    EXPECT_EQ(ErrorOf(std::string(Header) + "MA-L,001122,\"Open"),
              "list.csv: line 2: quoted field is not closed");
}

TEST(IeeeList, BlocksPerRegistry)
{
    auto b =
        ParseIeeeList(std::string(Header) + "MA-L,001A2B,\" Maker, Inc. \",\"Street 1\r\nTown\"\r\n"
                                            "MA-M,70B3D5A,Medium,\r\n"
                                            "MA-S,70b3d5f2f,Small,x\r\n"
                                            "IAB,0050C27D5,Old,x\r\n",
                      "t");
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(b[0].Organization, "Maker, Inc."); // outer blanks trimmed
    EXPECT_EQ(b[0].Bits, 24);
    EXPECT_EQ(b[0].Begin, 0x001A2B000000u);
    EXPECT_EQ(b[0].End, 0x001A2BFFFFFFu);
    EXPECT_EQ(b[1].Bits, 28);
    EXPECT_EQ(b[1].Begin, 0x70B3D5A00000u);
    EXPECT_EQ(b[1].End, 0x70B3D5AFFFFFu);
    EXPECT_EQ(b[2].Bits, 36);
    EXPECT_EQ(b[2].Begin, 0x70B3D5F2F000u);
    EXPECT_EQ(b[2].End, 0x70B3D5F2FFFFu);
    EXPECT_EQ(b[3].Registry, "IAB");
    EXPECT_EQ(b[3].Bits, 36);
    EXPECT_EQ(b[3].Begin, 0x0050C27D5000u);
    // Columns are found by name, in any order.
    auto c = ParseIeeeList("Organization Name,Assignment,Registry\nX,FCFFFF,MA-L\n", "t");
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].Organization, "X");
    EXPECT_EQ(c[0].End, 0xFCFFFFFFFFFFu);
}

TEST(IeeeList, BadRowsAreClearErrors)
{
    const std::string h = Header;
    EXPECT_EQ(ErrorOf(""), "list.csv: no header line");
    EXPECT_EQ(ErrorOf("Registry,Organization Name\r\n"), "list.csv:1: no column \"Assignment\"");
    EXPECT_EQ(ErrorOf(h + "MA-L,001122,A,x\r\nCID,001122,B,x\r\n"),
              "list.csv:3: unknown registry \"CID\"");
    EXPECT_EQ(ErrorOf(h + "MA-M,001122,A,x\r\n"),
              "list.csv:2: assignment \"001122\" is not 7 hexadecimal digits");
    EXPECT_EQ(ErrorOf(h + "MA-L,00112G,A,x\r\n"),
              "list.csv:2: assignment \"00112G\" is not hexadecimal");
    EXPECT_EQ(ErrorOf(h + "MA-L,001122\r\n"), "list.csv:2: too few fields");
}

TEST(Generator, BuildsFromCraftedListsAndLaterRowsWin)
{
    TempFolder dir;
    WriteFile(dir.Path("l.csv"), std::string(Header) +
                                     "MA-L,AABBCC,First,x\r\n"
                                     "MA-L,112233,\"Big, \"\"Co\"\"\",\"a\r\nb\"\r\n"
                                     "MA-L,AABBCC,Second,x\r\n");
    WriteFile(dir.Path("m.csv"), std::string(Header) + "MA-M,1122334,Medium,x\r\n");
    WriteFile(dir.Path("s.csv"), std::string(Header) + "MA-S,112233456,Small,\"1,\r\n2\"\r\n"
                                                       "MA-S,112233999,Earlier,x\r\n");
    WriteFile(dir.Path("i.csv"), std::string(Header) + "IAB,112233999,Later,x\r\n");
    const std::string db = dir.Path("vendors.db");
    std::string out;
    ASSERT_EQ(RunProgram(std::string(TOLVEX_MAKE_VENDORS_DB) + " " + Quote(db) + " " +
                             Quote(dir.Path("l.csv")) + " " + Quote(dir.Path("m.csv")) + " " +
                             Quote(dir.Path("s.csv")) + " " + Quote(dir.Path("i.csv")),
                         out),
              0)
        << out;
    EXPECT_NE(out.find("MA-L (" + dir.Path("l.csv") + "): 3 rows"), std::string::npos) << out;
    EXPECT_NE(out.find("MA-S (" + dir.Path("s.csv") + "): 2 rows"), std::string::npos) << out;
    EXPECT_NE(out.find(": 7 rows in all"), std::string::npos) << out;

    EXPECT_EQ(Vendor(db, "AA-BB-CC-00-00-01"), "Second");      // within one list
    EXPECT_EQ(Vendor(db, "11-22-33-99-90-00"), "Later");       // across lists
    EXPECT_EQ(Vendor(db, "11-22-33-45-6F-FF"), "Small");       // 36 in 28 in 24
    EXPECT_EQ(Vendor(db, "11-22-33-45-70-00"), "Medium");      // just past it
    EXPECT_EQ(Vendor(db, "11-22-33-50-00-00"), "Big, \"Co\""); // past the 28-bit one
    EXPECT_EQ(Vendor(db, "11-22-34-00-00-00"), "");
    // Only the database is left: no temporary file.
    size_t files = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir.Path()))
        ++files;
    EXPECT_EQ(files, 5u);
}

TEST(Generator, FailedRunKeepsTheOldDatabaseAndLeavesNoTemporaryFile)
{
    TempFolder dir;
    const std::string db = dir.Path("vendors.db");
    WriteFile(dir.Path("good.csv"), std::string(Header) + "MA-L,AABBCC,Kept,x\r\n");
    WriteFile(dir.Path("bad.csv"), std::string(Header) + "MA-L,AABBCC,New,x\r\nMA-L,ZZ,Bad,x\r\n");
    std::string out;
    const std::string gen = TOLVEX_MAKE_VENDORS_DB;
    ASSERT_EQ(RunProgram(gen + " " + Quote(db) + " " + Quote(dir.Path("good.csv")), out), 0) << out;
    const std::string before = ReadFile(db);

    EXPECT_EQ(RunProgram(gen + " " + Quote(db) + " " + Quote(dir.Path("bad.csv")), out), 1);
    EXPECT_NE(out.find(dir.Path("bad.csv") + ":3: assignment \"ZZ\""), std::string::npos) << out;
    EXPECT_EQ(RunProgram(gen + " " + Quote(db) + " " + Quote(dir.Path("missing.csv")), out), 1);
    EXPECT_NE(out.find("cannot read " + dir.Path("missing.csv")), std::string::npos) << out;
    EXPECT_EQ(ReadFile(db), before);
    EXPECT_EQ(Vendor(db, "AA-BB-CC-00-00-00"), "Kept");

    // A database that cannot be written: the folder does not exist.
    EXPECT_EQ(
        RunProgram(gen + " " + Quote(dir.Path("no/vendors.db")) + " " + Quote(dir.Path("good.csv")),
                   out),
        1);
    size_t files = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir.Path()))
        ++files;
    EXPECT_EQ(files, 3u);
}

// Python's csv module reads the real lists independently; the generated
// database must hold exactly its rows, in its order, with the same ranges.
TEST(Generator, RealDatabaseMatchesPythonsReadingOfTheLists)
{
    TempFolder dir;
    const std::string oracle = dir.Path("oracle.db");
    const std::string ieee = TOLVEX_IEEE_DIR;
    const std::string script = R"PY(
import csv, sqlite3, sys
bits = {'MA-L': 24, 'MA-M': 28, 'MA-S': 36, 'IAB': 36}
db = sqlite3.connect(sys.argv[1])
db.execute('CREATE TABLE o (id INTEGER PRIMARY KEY, name TEXT, b INTEGER, e INTEGER, bits INTEGER)')
n = 0
for f in sys.argv[2:]:
    rows = [r for r in csv.reader(open(f, newline='', encoding='utf-8')) if r]
    head = rows[0]
    reg, asg, org = (head.index(c) for c in ('Registry', 'Assignment', 'Organization Name'))
    for r in rows[1:]:
        k = bits[r[reg]]
        b = int(r[asg], 16) << (48 - k)
        n += 1
        db.execute('INSERT INTO o VALUES (?,?,?,?,?)',
                   (n, r[org].strip(' \t\r\n'), b, b | ((1 << (48 - k)) - 1), k))
    print(r[reg], len(rows) - 1)
db.commit()
)PY";
    WriteFile(dir.Path("oracle.py"), script);
    std::string out;
    ASSERT_EQ(RunProgram("/usr/bin/python3 " + Quote(dir.Path("oracle.py")) + " " + Quote(oracle) +
                             " " + ieee + "/oui.csv " + ieee + "/mam.csv " + ieee + "/oui36.csv " +
                             ieee + "/iab.csv",
                         out),
              0)
        << out;

    // The counts per registry, as the generator's own reading gives them.
    std::map<std::string, size_t> ours;
    for (const char* f : {"oui.csv", "mam.csv", "oui36.csv", "iab.csv"})
        for (const TVendorBlock& b : ReadIeeeList(ieee + "/" + f))
            ++ours[b.Registry];
    for (const auto& [reg, n] : ours)
        EXPECT_NE(out.find(reg + " " + std::to_string(n) + "\n"), std::string::npos)
            << reg << " " << n << " vs\n"
            << out;
    EXPECT_EQ(ours.size(), 4u);

    sqlite3* db = nullptr;
    const std::string real = std::string(std::getenv("TOLVEX_BIN_DIR")) + "/vendors.db";
    ASSERT_EQ(sqlite3_open_v2(real.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db, ("ATTACH '" + oracle + "' AS py;").c_str(), nullptr, nullptr, nullptr),
        SQLITE_OK);
    auto count = [&](const char* Sql) {
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, Sql, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_int64 n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        return n;
    };
    const auto total = count("SELECT count(*) FROM py.o");
    EXPECT_GT(total, 40000);
    EXPECT_EQ(count("SELECT count(*) FROM main.mac_addresses"), total);
    EXPECT_EQ(count("SELECT count(*) FROM main.mac_addresses m JOIN py.o ON o.id = m.id"
                    " WHERE m.organization_name = o.name AND m.range_begin = o.b"
                    " AND m.range_end = o.e AND m.bits = o.bits"),
              total);
    sqlite3_close(db);
}
