#include "engine/uComputerList.h"
#include "tests/support/ComputerBuilders.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& P)
{
    std::ifstream in(P, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& P, const std::string& Data)
{
    std::ofstream out(P, std::ios::binary);
    out << Data;
}

// xmllint as the independent judge of well-formedness.
bool XmlLintAccepts(const fs::path& P)
{
    const std::string cmd = "xmllint --noout '" + P.string() + "' 2>/dev/null";
    const int rc = std::system(cmd.c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

class ComputerListFile : public ::testing::Test {
protected:
    TempFolder Temp;
    const fs::path Dir = Temp.Path();
    // Files in Dir other than the given one: leftovers of a save.
    size_t OtherFiles(const fs::path& Keep) const
    {
        size_t n = 0;
        for (const auto& e : fs::directory_iterator(Dir))
            if (e.path() != Keep)
                ++n;
        return n;
    }
};

} // namespace

TEST_F(ComputerListFile, ByteLayout)
{
    TComputerList list;
    auto c = MakeComputer("PC1", "10.0.0.5", true);
    c->AdapterList.push_back(MakeAdapter("", "00-1a-2b-3c-4d-5e", "Example Corp"));
    list.push_back(std::move(c));
    list.push_back(MakeComputer("", "10.0.0.6", false));

    const fs::path f = Dir / "list.xml";
    SaveComputerListToFile(f, list);
    EXPECT_EQ(ReadFile(f), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<ComputerList>\n"
                           "  <Computer>\n"
                           "    <Name>PC1</Name>\n"
                           "    <IP>10.0.0.5</IP>\n"
                           "    <Single>True</Single>\n"
                           "    <AdapterList>\n"
                           "      <Adapter>\n"
                           "        <Name />\n"
                           "        <Number>00-1a-2b-3c-4d-5e</Number>\n"
                           "        <Vendor>Example Corp</Vendor>\n"
                           "      </Adapter>\n"
                           "    </AdapterList>\n"
                           "  </Computer>\n"
                           "  <Computer>\n"
                           "    <Name />\n"
                           "    <IP>10.0.0.6</IP>\n"
                           "    <Single>False</Single>\n"
                           "    <AdapterList />\n"
                           "  </Computer>\n"
                           "</ComputerList>\n");
    EXPECT_TRUE(XmlLintAccepts(f));
}

TEST_F(ComputerListFile, EmptyListIsARootWithoutChildren)
{
    const fs::path f = Dir / "empty.xml";
    SaveComputerListToFile(f, {});
    EXPECT_EQ(ReadFile(f), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ComputerList />\n");
    EXPECT_TRUE(XmlLintAccepts(f));
    TComputerList back;
    EXPECT_EQ(LoadComputerListFromFile(f, back), 0u);
    EXPECT_TRUE(back.empty());
}

TEST_F(ComputerListFile, SavedAndReadBackGivesTheSameFields)
{
    TComputerList list;
    auto c1 = MakeComputer("PC1", "10.0.0.5", true);
    c1->AdapterList.push_back(MakeAdapter("", "00-1a-2b-3c-4d-5e", "Example Corp"));
    auto c2 = MakeComputer("SERVER", "10.0.0.7", false);
    auto wmi = MakeAdapter("Intel(R) PRO/1000", "00:1B:21:00:00:01", "Intel Corporate");
    wmi->SetIndex(7);
    wmi->SetIPAddress("10.0.0.7, fe80::1");
    c2->AdapterList.push_back(std::move(wmi));
    c2->AdapterList.push_back(MakeAdapter("eth1", "00-1B-21-00-00-02", ""));
    list.push_back(std::move(c1));
    list.push_back(std::move(c2));

    const fs::path f = Dir / "round.xml";
    SaveComputerListToFile(f, list);
    ASSERT_TRUE(XmlLintAccepts(f));

    TComputerList back;
    ASSERT_EQ(LoadComputerListFromFile(f, back), 2u);
    ASSERT_EQ(back.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(back[i]->Name, list[i]->Name);
        EXPECT_EQ(back[i]->IP, list[i]->IP);
        EXPECT_EQ(back[i]->Single, list[i]->Single);
        ASSERT_EQ(back[i]->AdapterList.size(), list[i]->AdapterList.size());
        for (size_t k = 0; k < back[i]->AdapterList.size(); ++k) {
            const TMacAddress& a = *back[i]->AdapterList[k];
            const TMacAddress& b = *list[i]->AdapterList[k];
            EXPECT_EQ(a.Name, b.Name);
            EXPECT_EQ(a.Number, b.Number);
            EXPECT_EQ(a.Vendor, b.Vendor);
            // Not stored: empty after reading.
            EXPECT_EQ(a.Index, 0);
            EXPECT_EQ(a.IPAddress, "");
        }
    }
}

TEST_F(ComputerListFile, AwkwardTextsSurviveAndForbiddenOnesAreDropped)
{
    TComputerList list;
    auto c = MakeComputer("a & b <c> \"d\" 'e' ]]>", "10.0.0.1", false);
    c->AdapterList.push_back(
        MakeAdapter("Größe € 日本 😀", "00-00-00-00-00-01", "tab\there\r\nline"));
    c->AdapterList.push_back(MakeAdapter(std::string("bell\x07nul") + '\0' + "esc\x1b" + "end",
                                         "bad\xff\xfe utf8 \xc3",
                                         "\xef\xbf\xbe"
                                         "x\xed\xa0\x80y"));
    c->AdapterList.push_back(MakeAdapter("   ", " lead and trail ",
                                         "\xc0\xaf"
                                         "overlong"));
    list.push_back(std::move(c));

    const fs::path f = Dir / "awkward.xml";
    SaveComputerListToFile(f, list);
    ASSERT_TRUE(XmlLintAccepts(f)) << ReadFile(f);

    TComputerList back;
    ASSERT_EQ(LoadComputerListFromFile(f, back), 1u);
    const TComputer& r = *back[0];
    EXPECT_EQ(r.Name, "a & b <c> \"d\" 'e' ]]>");
    ASSERT_EQ(r.AdapterList.size(), 3u);
    EXPECT_EQ(r.AdapterList[0]->Name, "Größe € 日本 😀");
    EXPECT_EQ(r.AdapterList[0]->Vendor, "tab\there\r\nline");
    EXPECT_EQ(r.AdapterList[1]->Name, "bellnulescend");
    EXPECT_EQ(r.AdapterList[1]->Number, "bad utf8 ");
    EXPECT_EQ(r.AdapterList[1]->Vendor, "xy"); // U+FFFE and an encoded surrogate
    EXPECT_EQ(r.AdapterList[2]->Name, "   ");
    EXPECT_EQ(r.AdapterList[2]->Number, " lead and trail ");
    EXPECT_EQ(r.AdapterList[2]->Vendor, "overlong");

    // The list read back saves again to the same bytes.
    const fs::path g = Dir / "again.xml";
    SaveComputerListToFile(g, back);
    EXPECT_EQ(ReadFile(g), ReadFile(f));
}

TEST(XmlText, StripsOnlyWhatXmlCannotHold)
{
    EXPECT_EQ(StripInvalidXmlChars("plain"), "plain");
    EXPECT_EQ(StripInvalidXmlChars("\t\n\r"), "\t\n\r");
    EXPECT_EQ(StripInvalidXmlChars(std::string("a\0b", 3)), "ab");
    EXPECT_EQ(StripInvalidXmlChars("\x01\x1f\x7f"), "\x7f"); // DEL is allowed in XML 1.0
    EXPECT_EQ(StripInvalidXmlChars("\xf4\x8f\xbf\xbf"), "\xf4\x8f\xbf\xbf"); // U+10FFFF
    EXPECT_EQ(StripInvalidXmlChars("\xf4\x90\x80\x80"), "");                 // beyond it
    EXPECT_EQ(StripInvalidXmlChars("\xe2\x82"), "");                         // cut off
    EXPECT_EQ(StripInvalidXmlChars("\xe2\x82"
                                   "A"),
              "A");                                                  // resynchronised
    EXPECT_EQ(StripInvalidXmlChars("\xef\xbf\xbd"), "\xef\xbf\xbd"); // U+FFFD stays
    EXPECT_EQ(StripInvalidXmlChars("\xef\xbf\xbf"), "");             // U+FFFF
    EXPECT_EQ(StripInvalidXmlChars("\xe0\x80\x80"), "");             // overlong NUL
}

TEST_F(ComputerListFile, SingleIsReadAsABoolean)
{
    const struct {
        const char* Element;
        bool Expected;
    } Cases[] = {
        {"<Single>True</Single>", true},
        {"<Single>TRUE</Single>", true},
        {"<Single>true</Single>", true},
        {"<Single>\n  True\n</Single>", true},
        {"<Single>1</Single>", true},
        {"<Single>-2.5</Single>", true},
        {"<Single>1e3</Single>", true},
        {"<Single>False</Single>", false},
        {"<Single>fALSE</Single>", false},
        {"<Single>0</Single>", false},
        {"<Single>0.00</Single>", false},
        {"<Single>yes</Single>", false},
        {"<Single>Truex</Single>", false},
        {"<Single>1x</Single>", false},
        {"<Single>.</Single>", false},
        {"<Single></Single>", false},
        {"<Single/>", false},
        {"", false},
    };
    for (const auto& t : Cases) {
        SCOPED_TRACE(t.Element);
        const fs::path f = Dir / "single.xml";
        WriteFile(f, std::string("<ComputerList><Computer><IP>10.0.0.1</IP>") + t.Element +
                         "</Computer></ComputerList>");
        TComputerList back;
        ASSERT_EQ(LoadComputerListFromFile(f, back), 1u);
        EXPECT_EQ(back[0]->Single, t.Expected);
    }
}

TEST_F(ComputerListFile, LenientReading)
{
    const fs::path f = Dir / "lenient.xml";
    // Names of the root's children are not checked; a missing
    // AdapterList gives no adapters; missing fields stay empty; comments and
    // CDATA are text as the XML layer gives it.
    WriteFile(f, "<?xml version=\"1.0\"?>\n"
                 "<ComputerList>\n"
                 "  <!-- a comment -->\n"
                 "  <Other><Name>n<![CDATA[<x>]]>m</Name></Other>\n"
                 "  <Computer><IP>10.0.0.2</IP></Computer>\n"
                 "  <Computer><AdapterList>\n"
                 "    <Adapter><Number>00-11-22-33-44-55</Number></Adapter>\n"
                 "    <Whatever/>\n"
                 "  </AdapterList></Computer>\n"
                 "</ComputerList>\n");
    TComputerList back;
    ASSERT_EQ(LoadComputerListFromFile(f, back), 3u);
    EXPECT_EQ(back[0]->Name, "n<x>m");
    EXPECT_EQ(back[0]->IP, "");
    EXPECT_TRUE(back[0]->AdapterList.empty());
    EXPECT_EQ(back[1]->IP, "10.0.0.2");
    EXPECT_EQ(back[1]->Name, "");
    EXPECT_TRUE(back[1]->AdapterList.empty());
    ASSERT_EQ(back[2]->AdapterList.size(), 2u);
    EXPECT_EQ(back[2]->AdapterList[0]->Number, "00-11-22-33-44-55");
    EXPECT_EQ(back[2]->AdapterList[0]->Name, "");
    EXPECT_EQ(back[2]->AdapterList[0]->Vendor, "");
    EXPECT_EQ(back[2]->AdapterList[1]->Number, "");
}

TEST_F(ComputerListFile, ReadingAppendsToWhatTheListHolds)
{
    const fs::path f = Dir / "one.xml";
    TComputerList one;
    one.push_back(MakeComputer("B", "10.0.0.2", false));
    SaveComputerListToFile(f, one);
    TComputerList list;
    list.push_back(MakeComputer("A", "10.0.0.1", true));
    EXPECT_EQ(LoadComputerListFromFile(f, list), 1u);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->Name, "A");
    EXPECT_EQ(list[1]->Name, "B");
}

TEST_F(ComputerListFile, RootWithoutChildrenGivesNoComputers)
{
    const fs::path f = Dir / "bare.xml";
    WriteFile(f, "<ComputerList>\n  \n</ComputerList>\n");
    TComputerList back;
    EXPECT_EQ(LoadComputerListFromFile(f, back), 0u);
    EXPECT_TRUE(back.empty());
}

TEST_F(ComputerListFile, AnotherRootIsRefusedAndTheListStaysAsItWas)
{
    const fs::path f = Dir / "other.xml";
    TComputerList list;
    list.push_back(MakeComputer("kept", "10.0.0.1", false));
    // The settings files' root, any root, and the right name in another case.
    for (const char* xml : {"<?xml version=\"1.0\"?>\n<Options><CommandList/></Options>\n",
                            "<Foo/>", "<computerlist><Computer/></computerlist>"}) {
        WriteFile(f, xml);
        try {
            LoadComputerListFromFile(f, list);
            ADD_FAILURE() << "no exception for " << xml;
        } catch (const ENotAComputerListError& e) {
            EXPECT_NE(std::string(e.what()).find(f.string()), std::string::npos) << e.what();
        }
        ASSERT_EQ(list.size(), 1u) << xml;
        EXPECT_EQ(list[0]->Name, "kept");
    }
}

TEST_F(ComputerListFile, MalformedFilesRaiseWithTheParsersMessage)
{
    const fs::path f = Dir / "bad.xml";
    WriteFile(f, "<ComputerList>\n  <Computer>\n    <Name>x</Nam>\n");
    TComputerList list;
    list.push_back(MakeComputer("kept", "10.0.0.1", false));
    try {
        LoadComputerListFromFile(f, list);
        FAIL() << "no exception";
    } catch (const EComputerListError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find(f.string()), std::string::npos) << m;
        EXPECT_NE(m.find("mismatch"), std::string::npos) << m;
        EXPECT_NE(m.find("line 3"), std::string::npos) << m;
        EXPECT_NE(m.find("offset"), std::string::npos) << m;
    }
    ASSERT_EQ(list.size(), 1u); // nothing added, nothing lost
    EXPECT_EQ(list[0]->Name, "kept");

    WriteFile(f, "");
    EXPECT_THROW(LoadComputerListFromFile(f, list), EComputerListError);
    WriteFile(f, "<?xml version=\"1.0\"?>\n");
    EXPECT_THROW(LoadComputerListFromFile(f, list), EComputerListError);
    WriteFile(f, "<a></a>\n<b></b>");
    try {
        LoadComputerListFromFile(f, list);
        FAIL() << "no exception";
    } catch (const EComputerListError& e) {
        EXPECT_NE(std::string(e.what()).find("line 2, column 1"), std::string::npos) << e.what();
    }
    EXPECT_EQ(list.size(), 1u);
}

TEST_F(ComputerListFile, AReferenceToNulIsRefusedNotCutShort)
{
    // XML holds no NUL: a field would end at it and lose the rest unseen.
    const fs::path f = Dir / "nul.xml";
    for (const std::string ref : {"&#0;", "&#x0;", "&#000;", "&#x00;"}) {
        WriteFile(f, "<?xml version=\"1.0\"?>\n<ComputerList>\n"
                     "  <Computer><Name>PC" +
                         ref + "hidden</Name><IP>10.0.0.1</IP></Computer>\n</ComputerList>\n");
        TComputerList list;
        try {
            LoadComputerListFromFile(f, list);
            FAIL() << ref << " read as \"" << (list.empty() ? "" : list[0]->Name) << "\"";
        } catch (const EComputerListError& e) {
            EXPECT_NE(std::string(e.what()).find("line 3, column 21"), std::string::npos)
                << e.what();
        }
        EXPECT_TRUE(list.empty());
    }
    // The same characters where they are no reference, and references to
    // characters other than NUL, read as before.
    WriteFile(f, "<?xml version=\"1.0\"?>\n<ComputerList><!-- &#0; -->\n"
                 "  <Computer><Name><![CDATA[a&#0;b]]>&#10;&#x30;</Name></Computer>\n"
                 "</ComputerList>\n");
    TComputerList list;
    ASSERT_EQ(LoadComputerListFromFile(f, list), 1u);
    EXPECT_EQ(list[0]->Name, "a&#0;b\n0");
}

TEST_F(ComputerListFile, UnreadableFilesRaise)
{
    TComputerList list;
    EXPECT_THROW(LoadComputerListFromFile(Dir / "missing.xml", list), EComputerListError);
    EXPECT_THROW(LoadComputerListFromFile(Dir, list), EComputerListError);
    const fs::path fifo = Dir / "fifo.xml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(LoadComputerListFromFile(fifo, list), EComputerListError); // must not hang
}

TEST_F(ComputerListFile, SaveIntoAMissingFolderRaises)
{
    TComputerList list;
    list.push_back(MakeComputer("A", "10.0.0.1", true));
    try {
        SaveComputerListToFile(Dir / "no" / "such" / "list.xml", list);
        FAIL() << "no exception";
    } catch (const EComputerListError& e) {
        EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(OtherFiles({}), 0u);
}

TEST_F(ComputerListFile, ReadOnlyFileIsNotReplaced)
{
    const fs::path f = Dir / "ro.xml";
    const std::string old = "<ComputerList><Computer><Name>old</Name></Computer></ComputerList>";
    WriteFile(f, old);
    ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
    TComputerList list;
    list.push_back(MakeComputer("new", "10.0.0.1", true));
    EXPECT_THROW(SaveComputerListToFile(f, list), EComputerListError);
    EXPECT_EQ(ReadFile(f), old);
    EXPECT_EQ(OtherFiles(f), 0u); // no temporary file left behind
}

TEST_F(ComputerListFile, AWriteThatFailsHalfWayLeavesTheOldFile)
{
    const fs::path f = Dir / "big.xml";
    const std::string old = "<ComputerList />\n";
    WriteFile(f, old);
    TComputerList list;
    for (int i = 0; i < 2000; ++i)
        list.push_back(
            MakeComputer("computer-with-a-long-name-" + std::to_string(i), "10.0.0.1", true));

    // In a child process, limit the file size so that the write stops part
    // of the way through (EFBIG), as a full disk would.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &lim);
        try {
            SaveComputerListToFile(f, list);
        } catch (const EComputerListError& e) {
            const bool named = std::string(e.what()).find("File too large") != std::string::npos;
            ::_exit(named ? 0 : 2);
        }
        ::_exit(1); // the save claimed success
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no error raised, 2: wrong message";
    EXPECT_EQ(ReadFile(f), old);
    EXPECT_EQ(OtherFiles(f), 0u);
}

TEST_F(ComputerListFile, AnySavedListReopens)
{
    // Random bytes stand for whatever names a network may send.
    std::mt19937 rng(20261208);
    auto randomText = [&] {
        std::string t(rng() % 24, '\0');
        for (char& ch : t)
            ch = static_cast<char>(rng() % 256);
        return t;
    };
    TComputerList list;
    for (int i = 0; i < 300; ++i) {
        auto c = MakeComputer(randomText(), randomText(), rng() % 2 == 0);
        for (unsigned k = rng() % 3; k > 0; --k)
            c->AdapterList.push_back(MakeAdapter(randomText(), randomText(), randomText()));
        list.push_back(std::move(c));
    }
    const fs::path f = Dir / "random.xml";
    SaveComputerListToFile(f, list);
    ASSERT_TRUE(XmlLintAccepts(f));
    TComputerList back;
    ASSERT_EQ(LoadComputerListFromFile(f, back), list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(back[i]->Name, StripInvalidXmlChars(list[i]->Name));
        EXPECT_EQ(back[i]->IP, StripInvalidXmlChars(list[i]->IP));
        EXPECT_EQ(back[i]->Single, list[i]->Single);
        ASSERT_EQ(back[i]->AdapterList.size(), list[i]->AdapterList.size());
        for (size_t k = 0; k < list[i]->AdapterList.size(); ++k) {
            EXPECT_EQ(back[i]->AdapterList[k]->Name,
                      StripInvalidXmlChars(list[i]->AdapterList[k]->Name));
            EXPECT_EQ(back[i]->AdapterList[k]->Number,
                      StripInvalidXmlChars(list[i]->AdapterList[k]->Number));
            EXPECT_EQ(back[i]->AdapterList[k]->Vendor,
                      StripInvalidXmlChars(list[i]->AdapterList[k]->Vendor));
        }
    }
}

TEST_F(ComputerListFile, FolderAsTargetRaises)
{
    const fs::path d = Dir / "sub";
    fs::create_directory(d);
    EXPECT_THROW(SaveComputerListToFile(d, {}), EComputerListError);
    EXPECT_TRUE(fs::is_directory(d));
}

TEST_F(ComputerListFile, ReplacingKeepsModeAndLinksAndLeavesNoTemporaryFile)
{
    const fs::path f = Dir / "list.xml";
    WriteFile(f, "old");
    ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
    const fs::path link = Dir / "link.xml";
    fs::create_symlink(f, link);

    TComputerList list;
    list.push_back(MakeComputer("new", "10.0.0.1", true));
    SaveComputerListToFile(link, list);

    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(ReadFile(f).find("<Name>new</Name>"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(OtherFiles(f), 1u); // only the link beside it

    SaveComputerListToFile(f, {});
    EXPECT_EQ(ReadFile(f), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ComputerList />\n");
    EXPECT_EQ(OtherFiles(f), 1u);
}

TEST(ComputerListGlobal, IsNullUntilCreated)
{
    EXPECT_EQ(ComputerList, nullptr);
    ComputerList = std::make_unique<TComputerList>();
    ComputerList->push_back(std::make_unique<TComputer>());
    EXPECT_EQ(ComputerList->size(), 1u);
    ComputerList.reset(); // frees every computer and its adapters
}

TEST_F(ComputerListFile, LongestFileNameStillSaves)
{
    // The temporary file beside the target must not exceed the name limit.
    const fs::path f = Dir / (std::string(250, 'n') + ".xml");
    SaveComputerListToFile(f, {});
    EXPECT_TRUE(fs::exists(f));
    EXPECT_EQ(OtherFiles(f), 0u);
}
