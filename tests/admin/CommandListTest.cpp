#include "admin/uCommandList.h"
#include "admin/uCommandRun.h"
#include "forms/Dialogs.h"
#include "settings/Language.h"

#include "tests/support/TempFolder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Words = std::vector<std::string>;

namespace {

std::string SourceDir()
{
    const char* Src = std::getenv("TOLVEX_SOURCE_DIR");
    return Src ? Src : ".";
}

// Every message box, answered with OK.
class MessageRecorder {
public:
    MessageRecorder()
        : FOld(SetMessageSink([this](const TMessageBoxCall& C) {
              Calls.push_back(C);
              return mrOk;
          }))
    {
    }
    ~MessageRecorder() { SetMessageSink(std::move(FOld)); }
    std::vector<TMessageBoxCall> Calls;

private:
    TMessageSink FOld;
};

// Counts the starts and the desktop's openings; starts go on to the real
// spawn unless told otherwise.
class StartRecorder {
public:
    explicit StartRecorder(bool Really = true)
    {
        FOldSpawn = SetCommandSpawn([this, Really](const platform::TSpawnRequest& R) {
            Spawns.push_back(R);
            if (Really)
                return platform::SpawnDetached(R);
            platform::TSpawnResult Fake;
            Fake.Started = true;
            return Fake;
        });
        FOldOpen = SetCommandOpenUrl([this](const std::string& Url) {
            Urls.push_back(Url);
            return OpenAnswer;
        });
    }
    ~StartRecorder()
    {
        SetCommandSpawn(std::move(FOldSpawn));
        SetCommandOpenUrl(std::move(FOldOpen));
    }
    std::vector<platform::TSpawnRequest> Spawns;
    std::vector<std::string> Urls;
    bool OpenAnswer = true;

private:
    TCommandSpawnFn FOldSpawn;
    TOpenUrlFn FOldOpen;
};

TCommandListItem Command(const std::string& FileName, const std::string& Parameters,
                         const std::string& Directory = "", const std::string& Operation = "open")
{
    TCommandListItem C;
    C.Name = "Test command";
    C.Operation = Operation;
    C.FileName = FileName;
    C.Parameters = Parameters;
    C.Directory = Directory;
    return C;
}

bool WaitForFile(const std::string& Name, std::chrono::milliseconds Limit = 15s)
{
    const auto End = std::chrono::steady_clock::now() + Limit;
    while (std::chrono::steady_clock::now() < End) {
        if (::access(Name.c_str(), F_OK) == 0)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// The recorder program (tests/admin/command_recorder.py) copied into a test
// folder, writing its record to Dir/record.json.
struct Recorder {
    TempFolder Dir;
    std::string Program;
    std::string Record;

    explicit Recorder(mode_t Mode = 0755)
    {
        Program = Dir.Path("bin/recorder");
        Record = Dir.Path("record.json");
        TempFolder::Write(Program,
                          TempFolder::Read(SourceDir() + "/tests/admin/command_recorder.py"));
        ::chmod(Program.c_str(), Mode);
        TempFolder::Write(Dir.Path("work/.keep"), "");
        ::setenv("TOLVEX_RECORD_TO", Record.c_str(), 1);
    }
    ~Recorder() { ::unsetenv("TOLVEX_RECORD_TO"); }

    QJsonObject Read() const
    {
        if (!WaitForFile(Record))
            return {};
        const std::string Bytes = TempFolder::Read(Record);
        return QJsonDocument::fromJson(QByteArray::fromStdString(Bytes)).object();
    }
};

Words Strings(const QJsonArray& A)
{
    Words R;
    for (const auto& V : A)
        R.push_back(V.toString().toStdString());
    return R;
}

std::vector<int> Ints(const QJsonArray& A)
{
    std::vector<int> R;
    for (const auto& V : A)
        R.push_back(V.toInt());
    return R;
}

} // namespace

// --- Splitting and macros ---------------------------------------------------------

TEST(CommandListArgs, BlanksAndTabsSeparateQuotesGroupAndAreRemoved)
{
    EXPECT_EQ(SplitCommandParameters(""), Words{});
    EXPECT_EQ(SplitCommandParameters(" \t "), Words{});
    EXPECT_EQ(SplitCommandParameters("  /c \t ping  x "), (Words{"/c", "ping", "x"}));
    EXPECT_EQ(SplitCommandParameters("\"a b\" c"), (Words{"a b", "c"}));
    EXPECT_EQ(SplitCommandParameters("a\"b c\"d"), (Words{"ab cd"}));
    EXPECT_EQ(SplitCommandParameters("x \"\" y"), (Words{"x", "", "y"}));
    EXPECT_EQ(SplitCommandParameters("\"open to the end"), (Words{"open to the end"}));
    EXPECT_EQ(SplitCommandParameters("back\\slash \\\"q"), (Words{"back\\slash", "\\q"}));
    EXPECT_EQ(SplitCommandParameters("a;b $(id) `x` |y"), (Words{"a;b", "$(id)", "`x`", "|y"}));
}

TEST(CommandListArgs, PingOnTenZeroZeroNineGivesExactlyThreeWords)
{
    EXPECT_EQ(CommandArguments("/c ping %COMPUTER_IP%", "10.0.0.9"),
              (Words{"/c", "ping", "10.0.0.9"}));
    EXPECT_EQ(CommandArguments("%path%\\share", "10.0.0.9"), (Words{"\\\\10.0.0.9\\share"}));
    EXPECT_EQ(CommandArguments("-e ssh %Computer_Name%", "pc-1.lan"),
              (Words{"-e", "ssh", "pc-1.lan"}));
    EXPECT_EQ(CommandArguments("\"%computer_ip%:%computer_ip%\" %PATH%", "10.0.0.9"),
              (Words{"10.0.0.9:10.0.0.9", "\\\\10.0.0.9"}));
    EXPECT_EQ(CommandArguments("%computer% %path %computer_ip", "10.0.0.9"),
              (Words{"%computer%", "%path", "%computer_ip"}));
}

TEST(CommandListArgs, WhatAMacroInsertsIsNeverScannedAgain)
{
    // Only the expander sees such hosts; the run refuses them.
    EXPECT_EQ(ExpandCommandMacros("%computer_name%", "%path%"), "%path%");
    EXPECT_EQ(ExpandCommandMacros("%computer_ip%/%path%", "%computer_ip%"),
              "%computer_ip%/\\\\%computer_ip%");
    EXPECT_EQ(ExpandCommandMacros("%%path%%", "h"), "%\\\\h%");
    // A blank in a host stays inside its word: splitting came first.
    EXPECT_EQ(CommandArguments("x%computer_ip%y", "a b"), (Words{"xa by"}));
}

TEST(CommandListHost, CanonicalAddressesAndHostNamesOnly)
{
    for (const char* Good :
         {"10.0.0.9", "0.0.0.0", "255.255.255.255", "192.168.1.10", "pc1", "pc-1.example.org",
          "PC1.LAN", "a", "1pc", "xn--bcher-kva.example", "host.example."})
        EXPECT_TRUE(IsValidCommandHost(Good)) << Good;
    // Among the bad ones, every spelling the C library reads as an address
    // ("0x7f000001" and its kin), also with a final dot.
    const std::string Long64k(65536, '1');
    std::string Dotted64k;
    while (Dotted64k.size() < 65536)
        Dotted64k += "10.";
    for (const std::string& Bad : {std::string(""),
                                   std::string("-oProxyCommand=touch X"),
                                   std::string("--help"),
                                   std::string("10.0.0.9 -x"),
                                   std::string("$(touch X)"),
                                   std::string(";touch X"),
                                   std::string("%path%"),
                                   std::string("%computer_ip%"),
                                   std::string("0x0a.0.0.9"),
                                   std::string("0x7f000001"),
                                   std::string("0X7F000001"),
                                   std::string("0x7f.0x1"),
                                   std::string("0x0a.0.0.0x9"),
                                   std::string("0177.0.0.0x1"),
                                   std::string("0x0"),
                                   std::string("0xffffffff"),
                                   std::string("0x7f000001."),
                                   std::string("0xffffffff."),
                                   std::string("2130706433."),
                                   std::string("10.1"),
                                   std::string("10.0.0"),
                                   std::string("10.0.0.09"),
                                   std::string("010.0.0.9"),
                                   std::string("256.0.0.1"),
                                   std::string("10.0.0.9."),
                                   std::string("1.2.3.4.5"),
                                   std::string("-pc1"),
                                   std::string("pc1-"),
                                   std::string("pc_1"),
                                   std::string("a..b"),
                                   std::string("."),
                                   Long64k,
                                   Dotted64k,
                                   std::string("\x1b[2J\x1b]0;pwned\x07"),
                                   std::string("pc1\n"),
                                   std::string("pc1\r"),
                                   std::string("pc1\t"),
                                   std::string("pc1\0x", 5),
                                   std::string("p\xc3\xa9"),
                                   std::string("pc1 "),
                                   std::string(" pc1"),
                                   std::string("\"pc1\""),
                                   std::string("pc1/x"),
                                   std::string("pc1\\x"),
                                   std::string(std::string(64, 'a') + ".lan"),
                                   std::string(std::string(250, 'a') + ".lan")})
        EXPECT_FALSE(IsValidCommandHost(Bad)) << ShownText(Bad);
}

// --- Running ---------------------------------------------------------------------------

TEST(CommandListRun, RecorderSeesExactArgvWorkingFolderAndStandardDescriptorsOnly)
{
    Recorder R;
    // Left open to children by the test: the command must not get it.
    const int Leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(Leaked, 3);
    MessageRecorder Messages;
    const bool Ran =
        RunCommand(Command(R.Program, "/c ping %COMPUTER_IP%", R.Dir.Path("work")), "10.0.0.9");
    ::close(Leaked);
    ASSERT_TRUE(Ran);
    EXPECT_TRUE(Messages.Calls.empty());
    const QJsonObject Rec = R.Read();
    ASSERT_FALSE(Rec.isEmpty()) << "the recorder did not run";
    EXPECT_EQ(Strings(Rec["argv"].toArray()), (Words{"/c", "ping", "10.0.0.9"}));
    EXPECT_EQ(Rec["cwd"].toString().toStdString(), R.Dir.Path("work"));
    EXPECT_EQ(Ints(Rec["fds"].toArray()), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Rec["stdin"].toString().toStdString(), "/dev/null");
    EXPECT_EQ(Rec["sid"].toInt(), Rec["pid"].toInt()) << "no session of its own";
}

TEST(CommandListRun, PathMacroGivesTheUncPrefix)
{
    Recorder R;
    MessageRecorder Messages;
    ASSERT_TRUE(RunCommand(Command(R.Program, "%path%\\share \"two words\""), "10.0.0.9"));
    const QJsonObject Rec = R.Read();
    EXPECT_EQ(Strings(Rec["argv"].toArray()), (Words{"\\\\10.0.0.9\\share", "two words"}));
}

TEST(CommandListRun, ProgramFoundInPathAndTheCallersFolderWithoutDirectory)
{
    Recorder R;
    const std::string OldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (R.Dir.Path("bin") + ":" + OldPath).c_str(), 1);
    MessageRecorder Messages;
    const bool Ran = RunCommand(Command("recorder", "%computer_name%"), "pc1.lan");
    ::setenv("PATH", OldPath.c_str(), 1);
    ASSERT_TRUE(Ran);
    const QJsonObject Rec = R.Read();
    EXPECT_EQ(Strings(Rec["argv"].toArray()), (Words{"pc1.lan"}));
    char Here[4096];
    ASSERT_TRUE(::getcwd(Here, sizeof Here));
    EXPECT_EQ(Rec["cwd"].toString().toStdString(), Here);
}

TEST(CommandListRun, FailuresToStartAreShownWithTheReason)
{
    MessageRecorder Messages;
    {
        TempFolder Dir;
        EXPECT_FALSE(RunCommand(Command(Dir.Path("missing-program"), ""), "10.0.0.9"));
    }
    {
        Recorder NotExecutable(0644);
        EXPECT_FALSE(RunCommand(Command(NotExecutable.Program, "x"), "10.0.0.9"));
        EXPECT_FALSE(WaitForFile(NotExecutable.Record, 300ms));
    }
    EXPECT_FALSE(RunCommand(Command("tolvex-no-such-program", ""), "10.0.0.9"));
    {
        Recorder R;
        EXPECT_FALSE(RunCommand(Command(R.Program, "x", R.Dir.Path("no-such-folder")), "10.0.0.9"));
        EXPECT_FALSE(WaitForFile(R.Record, 300ms));
    }
    ASSERT_EQ(Messages.Calls.size(), 4u);
    for (const auto& C : Messages.Calls) {
        EXPECT_EQ(C.Icon, TMsgIcon::Error);
        EXPECT_EQ(C.Caption, Translate("sError"));
    }
    EXPECT_NE(Messages.Calls[0].Text.find("missing-program"), std::string::npos);
    EXPECT_NE(Messages.Calls[0].Text.find("No such file or directory"), std::string::npos)
        << Messages.Calls[0].Text;
    EXPECT_NE(Messages.Calls[1].Text.find("Permission denied"), std::string::npos)
        << Messages.Calls[1].Text;
    EXPECT_NE(Messages.Calls[2].Text.find("No such file or directory"), std::string::npos);
    EXPECT_NE(Messages.Calls[3].Text.find("no-such-folder"), std::string::npos);
    EXPECT_NE(Messages.Calls[3].Text.find("working folder"), std::string::npos)
        << Messages.Calls[3].Text;
    EXPECT_NE(Messages.Calls[3].Text.find("No such file or directory"), std::string::npos);
}

TEST(CommandListRun, OtherVerbsAreAClearErrorAndOpenInAnyCaseRuns)
{
    StartRecorder Starts(false);
    MessageRecorder Messages;
    for (const char* Verb : {"print", "edit", "runas", "explore", "properties"})
        EXPECT_FALSE(RunCommand(Command("/bin/true", "", "", Verb), "10.0.0.9")) << Verb;
    EXPECT_TRUE(Starts.Spawns.empty());
    ASSERT_EQ(Messages.Calls.size(), 5u);
    EXPECT_EQ(Messages.Calls[0].Text,
              "The command \"Test command\" asks for the operation \"print\", which is not "
              "available on this system. Only \"open\" is.");
    EXPECT_TRUE(RunCommand(Command("/bin/true", "", "", "Open"), "10.0.0.9"));
    EXPECT_TRUE(RunCommand(Command("/bin/true", "", "", ""), "10.0.0.9"));
    EXPECT_EQ(Starts.Spawns.size(), 2u);
    EXPECT_EQ(Messages.Calls.size(), 5u);
}

TEST(CommandListRun, HostileHostsAreRefusedAndNothingStarts)
{
    Recorder R;
    const std::string X = R.Dir.Path("X");
    StartRecorder Starts;
    MessageRecorder Messages;
    std::string Dotted64k;
    while (Dotted64k.size() < 65536)
        Dotted64k += "10.0.";
    const std::vector<std::string> Hostile = {"-oProxyCommand=touch " + X,
                                              "-oProxyCommand=touch X",
                                              "--help",
                                              "10.0.0.9 -x",
                                              "$(touch " + X + ")",
                                              ";touch " + X,
                                              "%path%",
                                              "0x0a.0.0.9",
                                              "10.1",
                                              "",
                                              std::string(65536, 'a'),
                                              Dotted64k,
                                              "\x1b]0;x\x07\x1b[2J",
                                              "10.0.0.9\n-x"};
    // The default secure-shell command and one that takes the host alone.
    for (const char* Parameters : {"-e ssh %computer_ip%", "%computer_ip%", "%path%\\c$"})
        for (const std::string& Host : Hostile) {
            const size_t Before = Messages.Calls.size();
            EXPECT_FALSE(RunCommand(Command(R.Program, Parameters, R.Dir.Path("work")), Host))
                << ShownText(Host);
            ASSERT_EQ(Messages.Calls.size(), Before + 1) << ShownText(Host);
            const TMessageBoxCall& C = Messages.Calls.back();
            EXPECT_EQ(C.Icon, TMsgIcon::Error);
            EXPECT_LE(C.Text.size(), 400u) << "the whole host is not shown";
            EXPECT_EQ(C.Text.find('\x1b'), std::string::npos);
            EXPECT_EQ(C.Text.find('\n'), std::string::npos);
        }
    EXPECT_TRUE(Starts.Spawns.empty());
    EXPECT_TRUE(Starts.Urls.empty());
    std::this_thread::sleep_for(200ms);
    EXPECT_NE(::access(R.Record.c_str(), F_OK), 0) << "the recorder ran";
    EXPECT_NE(::access(X.c_str(), F_OK), 0);
    EXPECT_NE(::access(R.Dir.Path("work/X").c_str(), F_OK), 0);
    EXPECT_EQ(Messages.Calls[0].Text.rfind("\"-oProxyCommand=touch ", 0), 0u)
        << Messages.Calls[0].Text;
    EXPECT_NE(Messages.Calls[0].Text.find("is not a valid computer address"), std::string::npos);
    // Empty: no computer.
    EXPECT_EQ(Messages.Calls[9].Text, "No computer is selected; the command \"Test command\" "
                                      "needs one.");
}

TEST(CommandListRun, DocumentsAndUrlsAreOpenedByTheDesktop)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("notes.txt"), "hello\n");
    TempFolder::Write(Dir.Path("a folder/readme.txt"), "hello\n");
    StartRecorder Starts(false);
    MessageRecorder Messages;
    EXPECT_TRUE(RunCommand(Command("smb://server/share", "ignored %computer_ip%"), "10.0.0.9"));
    EXPECT_TRUE(RunCommand(Command("http://example.org/a?b=c", ""), "10.0.0.9"));
    EXPECT_TRUE(RunCommand(Command(Dir.Path("notes.txt"), ""), "10.0.0.9"));
    EXPECT_TRUE(RunCommand(Command("readme.txt", "", Dir.Path("a folder")), "10.0.0.9"));
    EXPECT_TRUE(RunCommand(Command(Dir.Path("a folder"), ""), "10.0.0.9"));
    EXPECT_TRUE(Starts.Spawns.empty());
    ASSERT_EQ(Starts.Urls.size(), 5u);
    EXPECT_EQ(Starts.Urls[0], "smb://server/share");
    EXPECT_EQ(Starts.Urls[1], "http://example.org/a?b=c");
    EXPECT_EQ(Starts.Urls[2], "file://" + Dir.Path("notes.txt"));
    EXPECT_EQ(Starts.Urls[3].rfind("file://", 0), 0u);
    EXPECT_NE(Starts.Urls[3].find("a%20folder/readme.txt"), std::string::npos) << Starts.Urls[3];
    EXPECT_TRUE(Messages.Calls.empty());
    // A URL the desktop cannot open is said.
    Starts.OpenAnswer = false;
    EXPECT_FALSE(RunCommand(Command("smb://server/share", ""), "10.0.0.9"));
    ASSERT_EQ(Messages.Calls.size(), 1u);
    EXPECT_NE(Messages.Calls[0].Text.find("smb://server/share"), std::string::npos);
    // A host is still needed and checked for a document.
    EXPECT_FALSE(RunCommand(Command("smb://server/share", ""), "-x"));
    EXPECT_EQ(Starts.Urls.size(), 6u);
}

TEST(CommandListRun, ScriptsWithoutExecuteBitAreProgramsNotDocuments)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("tool.sh"), "#!/bin/sh\nexit 0\n");
    ::chmod(Dir.Path("tool.sh").c_str(), 0644);
    const TCommandPlan Plan = PlanCommand(Command(Dir.Path("tool.sh"), "a"), "10.0.0.9");
    EXPECT_EQ(Plan.Kind, TCommandPlan::RunProgram);
    EXPECT_EQ(Plan.Program, Dir.Path("tool.sh"));
    EXPECT_EQ(Plan.Arguments, Words{"a"});
}

// --- The list and the tools file ---------------------------------------------------------

namespace {

const char* const ToolsHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>\n";

std::string Item(const std::string& Name, const std::string& FileName,
                 const std::string& Extra = "<ShowCmd>1</ShowCmd>")
{
    // The store's own layout: two blanks a level.
    return "      <CommandListItem>\n        <Name>" + Name +
           "</Name>\n        <Operation>open</Operation>\n        <FileName>" + FileName +
           "</FileName>\n        <Parameters />\n        <Directory />\n" +
           (Extra.empty() ? "" : "        " + Extra + "\n") + "      </CommandListItem>\n";
}

std::string Between(const std::string& Text, const std::string& Open, const std::string& Close)
{
    const size_t B = Text.find(Open);
    const size_t E = Text.find(Close, B);
    if (B == std::string::npos || E == std::string::npos)
        return "<not found>";
    return Text.substr(B, E + Close.size() - B);
}

} // namespace

TEST(CommandListFile, AddItemNeedsNameOperationAndFileName)
{
    TCommandList L("Nettools");
    EXPECT_EQ(L.AddItem("", "open", 1, "", "", "x"), nullptr);
    EXPECT_EQ(L.AddItem("n", "", 1, "", "", "x"), nullptr);
    EXPECT_EQ(L.AddItem("n", "open", 1, "", "", ""), nullptr);
    EXPECT_EQ(L.Count(), 0);
    EXPECT_FALSE(L.Modified);
    TCommandListItem* C = L.AddItem("n", "open", 5, "/d", "p", "f");
    ASSERT_NE(C, nullptr);
    EXPECT_EQ(C->ShowCmd, 5);
    EXPECT_EQ(C->Directory, "/d");
    EXPECT_EQ(C->Parameters, "p");
    EXPECT_TRUE(L.Modified);
    TCommandListItem Copy;
    Copy.Assign(*C);
    EXPECT_EQ(Copy.Name, "n");
    EXPECT_EQ(Copy.FileName, "f");
    EXPECT_EQ(Copy.ShowCmd, 5);
}

TEST(CommandListFile, DefaultToolsFileReadsWhole)
{
    const std::string File = SourceDir() + "/resources/Default/tools.xml";
    TCommandList Net("Nettools"), Admin("Admintools");
    EXPECT_TRUE(Net.LoadFromFile(File));
    EXPECT_TRUE(Admin.LoadFromFile(File));
    EXPECT_TRUE(Net.ReadWhole());
    EXPECT_TRUE(Net.LoadReport().empty());
    ASSERT_EQ(Net.Count(), 3);
    ASSERT_EQ(Admin.Count(), 3);
    EXPECT_EQ(Admin.Items(0)->FileName, "%shutdown%");
    EXPECT_EQ(Admin.Items(1)->FileName, "%send_message%");
    for (const TCommandList* L : {&Net, &Admin})
        for (int I = 0; I < L->Count(); ++I)
            EXPECT_EQ(L->Items(I)->Operation, "open");
}

TEST(CommandListFile, RoundTripKeepsEveryFieldInTheTableOrder)
{
    TempFolder Dir;
    const std::string File = Dir.Path("tools.xml");
    TempFolder::Write(File, std::string(ToolsHead) + "</Options>\n");
    TCommandList L("Nettools");
    L.AddItem("Tom & Jerry <\"quoted\">", "open", 3, "/srv/a b", "-x \"%computer_ip%\"\tq",
              "x-terminal-emulator");
    L.AddItem("Line\r\nbreak", "open", -2, "", "", "f");
    ASSERT_TRUE(L.SaveToFile(File));
    EXPECT_FALSE(L.Modified);
    const std::string Bytes = TempFolder::Read(File);
    // HTML-encoded, then escaped by XML: the file format's double encoding.
    EXPECT_NE(Bytes.find("<Name>Tom &amp;amp; Jerry &amp;lt;&amp;quot;quoted&amp;quot;&amp;gt;"
                         "</Name>"),
              std::string::npos)
        << Bytes;
    const size_t N = Bytes.find("<Name>"), O = Bytes.find("<Operation>"),
                 F = Bytes.find("<FileName>"), P = Bytes.find("<Parameters>"),
                 D = Bytes.find("<Directory>"), S = Bytes.find("<ShowCmd>");
    EXPECT_TRUE(N < O && O < F && F < P && P < D && D < S) << Bytes;
    EXPECT_NE(Bytes.find("<CommandList>"), std::string::npos);
    EXPECT_NE(Bytes.find("<Nettools>"), std::string::npos);
    EXPECT_NE(Bytes.find("<CommandListItem>"), std::string::npos);
    EXPECT_NE(Bytes.find("<ShowCmd>3</ShowCmd>"), std::string::npos);

    TCommandList Back("Nettools");
    ASSERT_TRUE(Back.LoadFromFile(File));
    ASSERT_EQ(Back.Count(), 2);
    EXPECT_TRUE(Back.SameAs(L));
    EXPECT_EQ(Back.Items(0)->Name, "Tom & Jerry <\"quoted\">");
    EXPECT_EQ(Back.Items(0)->Parameters, "-x \"%computer_ip%\"\tq");
    EXPECT_EQ(Back.Items(1)->Name, "Line\r\nbreak");
    EXPECT_EQ(Back.Items(1)->ShowCmd, -2);
    // Loading does not empty the list first.
    Back.LoadFromFile(File);
    EXPECT_EQ(Back.Count(), 4);
}

TEST(CommandListFile, MissingOrOddShowCmdIsOne)
{
    TempFolder Dir;
    const std::string File = Dir.Path("tools.xml");
    TempFolder::Write(File, std::string(ToolsHead) + "  <CommandList>\n    <Nettools>\n" +
                                Item("a", "f", "") + Item("b", "f", "<ShowCmd>x</ShowCmd>") +
                                Item("c", "f", "<ShowCmd></ShowCmd>") +
                                Item("d", "f", "<ShowCmd>7</ShowCmd>") +
                                "    </Nettools>\n  </CommandList>\n</Options>\n");
    TCommandList L("Nettools");
    ASSERT_TRUE(L.LoadFromFile(File));
    ASSERT_EQ(L.Count(), 4);
    EXPECT_EQ(L.Items(0)->ShowCmd, 1);
    EXPECT_EQ(L.Items(1)->ShowCmd, 1);
    EXPECT_EQ(L.Items(2)->ShowCmd, 1);
    EXPECT_EQ(L.Items(3)->ShowCmd, 7);
}

TEST(CommandListFile, SavingAdmintoolsKeepsNettoolsByteIdentical)
{
    TempFolder Dir;
    const std::string File = Dir.Path("tools.xml");
    TempFolder::Write(File, TempFolder::Read(SourceDir() + "/resources/Default/tools.xml"));
    const std::string Before = TempFolder::Read(File);
    TCommandList Admin("Admintools");
    ASSERT_TRUE(Admin.LoadFromFile(File));
    Admin.AddItem("R&D shell", "open", 1, "", "-e ssh %computer_ip%", "x-terminal-emulator");
    ASSERT_TRUE(Admin.SaveToFile(File));
    const std::string After = TempFolder::Read(File);
    EXPECT_NE(Before, After);
    EXPECT_EQ(Between(After, "<Nettools>", "</Nettools>"),
              Between(Before, "<Nettools>", "</Nettools>"));
    TCommandList Net("Nettools"), Back("Admintools");
    ASSERT_TRUE(Net.LoadFromFile(File));
    EXPECT_EQ(Net.Count(), 3);
    ASSERT_TRUE(Back.LoadFromFile(File));
    ASSERT_EQ(Back.Count(), 4);
    EXPECT_EQ(Back.Items(3)->Name, "R&D shell");
    // An unchanged list writes nothing at all.
    const auto Stamp = std::filesystem::last_write_time(File);
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(Net.SaveToFile(File));
    EXPECT_EQ(std::filesystem::last_write_time(File), Stamp);
}

TEST(CommandListFile, AnUndecodableCommandIsSkippedReportedOnceAndTheFileNeverWrittenOver)
{
    TempFolder Dir;
    const std::string File = Dir.Path("tools.xml");
    const std::string Bytes = std::string(ToolsHead) + "  <CommandList>\n    <Nettools>\n" +
                              Item("one", "f1") + Item("two &amp;nosuchentity; x", "f2") +
                              Item("three", "f3") + Item("four", "f4") + Item("five", "f5") +
                              "    </Nettools>\n    <Admintools>\n" + Item("admin", "fa") +
                              "    </Admintools>\n  </CommandList>\n</Options>\n";
    TempFolder::Write(File, Bytes);
    MessageRecorder Messages;
    TCommandList Net("Nettools");
    EXPECT_FALSE(Net.LoadFromFile(File));
    EXPECT_FALSE(Net.ReadWhole());
    EXPECT_EQ(Net.SkippedItems(), 1);
    ASSERT_EQ(Net.Count(), 4);
    EXPECT_EQ(Net.Items(0)->Name, "one");
    EXPECT_EQ(Net.Items(1)->Name, "three");
    EXPECT_EQ(Net.Items(3)->Name, "five");
    EXPECT_EQ(Net.LoadReport(), "1 command(s) of the list \"Nettools\" in the file " + File +
                                    " could not be read. The file is left as it is.");
    // The caller shows the report; loading itself shows nothing.
    EXPECT_TRUE(Messages.Calls.empty());

    // Neither an unchanged nor a changed list writes over it.
    EXPECT_FALSE(Net.SaveToFile(File));
    Net.AddItem("six", "open", 1, "", "", "f6");
    EXPECT_FALSE(Net.SaveToFile(File));
    EXPECT_EQ(TempFolder::Read(File), Bytes);

    // The other list of the same file was read whole; saving it keeps the
    // unreadable command where it is.
    TCommandList Admin("Admintools");
    EXPECT_TRUE(Admin.LoadFromFile(File));
    EXPECT_TRUE(Admin.SaveToFile(File)); // unchanged: nothing written
    EXPECT_EQ(TempFolder::Read(File), Bytes);
    Admin.AddItem("more", "open", 1, "", "", "fm");
    EXPECT_TRUE(Admin.SaveToFile(File));
    const std::string After = TempFolder::Read(File);
    EXPECT_EQ(Between(After, "<Nettools>", "</Nettools>"),
              Between(Bytes, "<Nettools>", "</Nettools>"));

    // Another file is not held back by this one.
    const std::string Other = Dir.Path("other.xml");
    TempFolder::Write(Other, std::string(ToolsHead) + "</Options>\n");
    EXPECT_TRUE(Net.SaveToFile(Other));
    TCommandList FromOther("Nettools");
    EXPECT_TRUE(FromOther.LoadFromFile(Other));
    EXPECT_EQ(FromOther.Count(), 5);
}

TEST(CommandListFile, CommandsWithoutNameOperationOrFileNameCountAsSkipped)
{
    TempFolder Dir;
    const std::string File = Dir.Path("tools.xml");
    const std::string Bytes = std::string(ToolsHead) + "  <CommandList>\n    <Nettools>\n" +
                              Item("", "f1") + Item("ok", "f2") + Item("nofile", "") +
                              "      <CommandListItem><Name>n<b/></Name></CommandListItem>\n" +
                              "    </Nettools>\n  </CommandList>\n</Options>\n";
    TempFolder::Write(File, Bytes);
    TCommandList L("Nettools");
    EXPECT_FALSE(L.LoadFromFile(File));
    EXPECT_EQ(L.Count(), 1);
    EXPECT_EQ(L.SkippedItems(), 3);
    L.AddItem("x", "open", 1, "", "", "y");
    EXPECT_FALSE(L.SaveToFile(File));
    EXPECT_EQ(TempFolder::Read(File), Bytes);
}

// A list longer than a menu can sensibly hold, and a file larger than a
// tools file can be: what is taken, what is said, and that the file stays.
TEST(CommandListFile, ATooLongListOrATooLargeFileIsCutOrRefusedAndLeftAlone)
{
    const struct {
        const char* What;
        int Commands;
        size_t Padding; // bytes of name per command
        int Taken;
        const char* Said;
    } Cases[] = {
        {"at the limit", MaxCommandListItems, 8, MaxCommandListItems, ""},
        {"one beyond", MaxCommandListItems + 1, 8, MaxCommandListItems,
         "the 1 after them are left out"},
        {"far beyond", 3000, 8, MaxCommandListItems, "the 2000 after them are left out"},
        {"a file too large", 20, MaxToolsFileSize / 16, 0, "File too large"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.What);
        TempFolder Dir;
        const std::string File = Dir.Path("tools.xml");
        std::string Items;
        for (int I = 0; I < C.Commands; ++I)
            Items += Item("c" + std::to_string(I) + std::string(C.Padding, 'x'), "f");
        const std::string Bytes = std::string(ToolsHead) + "  <CommandList>\n    <Nettools>\n" +
                                  Items + "    </Nettools>\n  </CommandList>\n</Options>\n";
        TempFolder::Write(File, Bytes);
        std::vector<std::string> Stored;
        auto Old = SetXMLStorageMessageHandler(
            [&Stored](const std::string&, const std::string& Text) { Stored.push_back(Text); });
        TCommandList L("Nettools");
        const bool Whole = L.LoadFromFile(File);
        SetXMLStorageMessageHandler(std::move(Old));
        EXPECT_EQ(Whole, C.Taken == C.Commands);
        ASSERT_EQ(L.Count(), C.Taken);
        if (C.Taken > 0) {
            EXPECT_EQ(L.Items(C.Taken - 1)->Name,
                      "c" + std::to_string(C.Taken - 1) + std::string(C.Padding, 'x'));
        }
        const std::string Told = L.LoadReport() + (Stored.empty() ? "" : Stored[0]);
        if (*C.Said) {
            EXPECT_NE(Told.find(C.Said), std::string::npos) << Told;
        } else {
            EXPECT_EQ(Told, "");
        }
        if (C.Taken > 0 && C.Taken < C.Commands) {
            EXPECT_NE(Told.find("than the 1000 a list can have"), std::string::npos) << Told;
        }
        L.AddItem("added", "open", 1, "", "", "y");
        EXPECT_EQ(L.SaveToFile(File), Whole);
        EXPECT_EQ(TempFolder::Read(File) == Bytes, !Whole);
    }
}

TEST(CommandListFile, MissingFileOrListGivesAnEmptyWholeList)
{
    TempFolder Dir;
    TCommandList L("Nettools");
    EXPECT_TRUE(L.LoadFromFile(Dir.Path("none.xml")));
    EXPECT_EQ(L.Count(), 0);
    TempFolder::Write(Dir.Path("t.xml"), std::string(ToolsHead) + "<CommandList/></Options>\n");
    EXPECT_TRUE(L.LoadFromFile(Dir.Path("t.xml")));
    EXPECT_EQ(L.Count(), 0);
    EXPECT_TRUE(L.LoadReport().empty());
}

TEST(CommandListFile, AnUnreadableFileIsNotWrittenOver)
{
    TempFolder Dir;
    const std::string File = Dir.Path("tools.xml");
    const std::string Bytes = "<Options><CommandList><Nettools>broken";
    TempFolder::Write(File, Bytes);
    MessageRecorder Messages;
    auto Old = SetXMLStorageMessageHandler([](const std::string&, const std::string&) {});
    TCommandList L("Nettools");
    EXPECT_FALSE(L.LoadFromFile(File));
    EXPECT_FALSE(L.ReadWhole());
    L.AddItem("x", "open", 1, "", "", "y");
    EXPECT_FALSE(L.SaveToFile(File));
    SetXMLStorageMessageHandler(std::move(Old));
    EXPECT_EQ(TempFolder::Read(File), Bytes);
}

TEST(CommandListFile, AssignExchangeDeleteAndModified)
{
    TCommandList A("Nettools"), B("Nettools");
    A.AddItem("a", "open", 1, "", "", "fa");
    A.AddItem("b", "print", 4, "", "", "fb");
    A.Modified = false;
    B.Assign(A);
    EXPECT_TRUE(B.SameAs(A));
    EXPECT_TRUE(B.Modified);
    B.Modified = false;
    B.Assign(A);
    EXPECT_FALSE(B.Modified);
    B.Exchange(0, 1);
    EXPECT_EQ(B.Items(0)->Name, "b");
    EXPECT_EQ(B.Items(0)->Operation, "print");
    EXPECT_EQ(B.Items(0)->ShowCmd, 4);
    EXPECT_TRUE(B.Modified);
    B.Delete(0);
    EXPECT_EQ(B.Count(), 1);
    EXPECT_EQ(B.Items(5), nullptr);
    EXPECT_EQ(B.Items(-1), nullptr);
    EXPECT_EQ(EscapeMenuCaption("R&D && more\ttab"), "R&&D &&&& more tab");
}

TEST(CommandListFile, DefaultToolsFileIsInTheStoresOwnLayout)
{
    // So that saving one list leaves the other's bytes as they are from the
    // first start on.
    TempFolder Dir;
    const std::string File = Dir.Path("tools.xml");
    const std::string Default = TempFolder::Read(SourceDir() + "/resources/Default/tools.xml");
    TempFolder::Write(File, Default);
    for (const char* Name : {"Nettools", "Admintools"}) {
        TCommandList L(Name);
        ASSERT_TRUE(L.LoadFromFile(File));
        L.Modified = true;
        ASSERT_TRUE(L.SaveToFile(File));
        EXPECT_EQ(TempFolder::Read(File), Default) << Name;
    }
}

TEST(CommandListFile, DefaultTraceRouteKeepsTheHostOneWordOutsideTheScript)
{
    TCommandList Net("Nettools");
    ASSERT_TRUE(Net.LoadFromFile(SourceDir() + "/resources/Default/tools.xml"));
    ASSERT_EQ(Net.Items(1)->Name, "Trace route");
    EXPECT_EQ(CommandArguments(Net.Items(1)->Parameters, "10.0.0.9"),
              (Words{"-e", "sh", "-c",
                     "trap : INT; tracepath -- $0; echo; echo Press Enter to close.; read x",
                     "10.0.0.9"}));
    EXPECT_EQ(CommandArguments(Net.Items(2)->Parameters, "10.0.0.9"), (Words{"smb://10.0.0.9/"}));
}

namespace {

struct TScriptRun {
    std::string Output; // what the terminal would show
    std::string Args;   // the program's arguments, each in < >
    bool WaitedForKey = false;
};

// Runs a default command's terminal script as the terminal would ("sh -c
// Script Host"), its program replaced by a stand-in that prints its
// arguments and ends with ExitCode; the script's input is a pipe that gets
// an Enter only after the script has been seen waiting for it.
TScriptRun RunTerminalScript(const std::string& Script, const std::string& Program, int ExitCode)
{
    TempFolder Bin;
    const std::string StandIn = Bin.Path(Program);
    TempFolder::Write(StandIn,
                      "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>' \"$a\"; done\necho\nexit " +
                          std::to_string(ExitCode) + "\n");
    ::chmod(StandIn.c_str(), 0755);
    int In[2], Out[2];
    if (::pipe(In) != 0 || ::pipe(Out) != 0)
        return {};
    const pid_t Pid = ::fork();
    if (Pid == 0) {
        ::dup2(In[0], 0);
        ::dup2(Out[1], 1);
        ::dup2(Out[1], 2);
        ::close(In[1]);
        ::close(Out[0]);
        ::setenv("PATH", (Bin.Path("") + ":/usr/bin:/bin").c_str(), 1);
        ::execl("/bin/sh", "sh", "-c", Script.c_str(), "10.0.0.9", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(In[0]);
    ::close(Out[1]);
    ::fcntl(Out[0], F_SETFL, O_NONBLOCK);
    TScriptRun Run;
    const auto Drain = [&] {
        char Buf[256];
        ssize_t N;
        while ((N = ::read(Out[0], Buf, sizeof Buf)) > 0)
            Run.Output.append(Buf, static_cast<size_t>(N));
    };
    const auto Ended = [&](int Ms) {
        for (int I = 0; I < Ms / 10; ++I) {
            int Status;
            if (::waitpid(Pid, &Status, WNOHANG) == Pid)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    // Still there a while after its program ended: it waits for the key.
    Run.WaitedForKey = !Ended(500);
    Drain();
    if (Run.WaitedForKey) {
        [[maybe_unused]] const ssize_t W = ::write(In[1], "\n", 1);
    }
    ::close(In[1]);
    if (!Ended(5000)) {
        ::kill(Pid, SIGKILL);
        ::waitpid(Pid, nullptr, 0);
    }
    Drain();
    ::close(Out[0]);
    const size_t Open = Run.Output.find('<');
    if (Open != std::string::npos)
        Run.Args = Run.Output.substr(Open, Run.Output.find('\n', Open) - Open);
    return Run;
}

} // namespace

// A terminal closes when its command ends: a ping or a secure shell that
// fails at once must leave its message on the screen until a key is pressed.
TEST(CommandListFile, DefaultTerminalCommandsStayOpenOnAFailureUntilAKeyIsPressed)
{
    const std::string File = SourceDir() + "/resources/Default/tools.xml";
    TCommandList Net("Nettools"), Admin("Admintools");
    ASSERT_TRUE(Net.LoadFromFile(File));
    ASSERT_TRUE(Admin.LoadFromFile(File));
    struct Case {
        const TCommandListItem* Item;
        const char* Program;
        int ExitCode;
        bool Waits;
    };
    const Case Cases[] = {
        {Net.Items(0), "ping", 2, true},      // no such host, no socket...
        {Net.Items(0), "ping", 0, true},      // stopped with Ctrl+C: its summary stays
        {Net.Items(1), "tracepath", 1, true}, // as it always did
        {Admin.Items(2), "ssh", 255, true},   // refused, unknown host key...
        {Admin.Items(2), "ssh", 0, false},    // the user logged out
    };
    for (const Case& C : Cases) {
        ASSERT_NE(C.Item, nullptr);
        SCOPED_TRACE(C.Item->Name + " ending with " + std::to_string(C.ExitCode));
        const Words Args = CommandArguments(C.Item->Parameters, "10.0.0.9");
        ASSERT_EQ(Args.size(), 5u);
        EXPECT_EQ((Words{Args[0], Args[1], Args[2], Args[4]}),
                  (Words{"-e", "sh", "-c", "10.0.0.9"}));
        const TScriptRun Run = RunTerminalScript(Args[3], C.Program, C.ExitCode);
        // The host reaches the program as one word after its options.
        EXPECT_EQ(Run.Args, "<-->"
                            "<10.0.0.9>");
        EXPECT_EQ(Run.WaitedForKey, C.Waits) << Run.Output;
        EXPECT_EQ(Run.Output.find("Press Enter to close.") != std::string::npos, C.Waits)
            << Run.Output;
    }
}
