// The program itself, started in a portable folder of its own with hostile
// files among its settings: it starts, or says why it cannot read a file;
// it ends on SIGTERM within seconds, also while a message is open, running
// its ordinary shutdown; and it leaves the user's files as they should be.
#include "settings/uXMLStorage.h"
#include "tests/app/PortableProgramTest.h"

#include <QGuiApplication>
#include <QLocalSocket>
#include <QScreen>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

class HostileSettings : public PortableProgramTest {
protected:
    static bool IsFifo(const std::string& Path)
    {
        struct stat St {};
        return ::lstat(Path.c_str(), &St) == 0 && S_ISFIFO(St.st_mode);
    }

    int StoredInteger(const std::string& Section, const std::string& Key)
    {
        TXMLStorage S(ProgramDir + "/options.xml");
        S.Load();
        return S.ReadInteger(Section, Key, -1);
    }
};

// Files that are no regular files in a settings file's place: the program
// starts (says so where it reads the file), ends on SIGTERM, and the file
// is left as it is.
TEST_F(HostileSettings, NoRegularFileInASettingsFilesPlaceNeverBlocksTheStart)
{
    struct Case {
        std::string File; // in the program folder
        bool Fifo;        // else a link to /dev/zero
        bool Said;        // a message names the file
    };
    const std::vector<Case> Cases = {
        {"options.xml", true, true},           {"options.xml", false, true},
        {"mac_comments.txt", true, true},      {"mac_comments.txt", false, true},
        {"languages/english.lng", true, true}, {"tools.xml", true, false},
        {"presets.xml", true, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.File + (C.Fifo ? " as a named pipe" : " linked to /dev/zero"));
        const std::string Path = ProgramDir + "/" + C.File;
        fs::remove(Path);
        if (C.Fifo)
            ASSERT_EQ(::mkfifo(Path.c_str(), 0600), 0);
        else
            fs::create_symlink("/dev/zero", Path);

        const pid_t Pid = Start();
        ASSERT_GT(Pid, 0);
        ASSERT_TRUE(WaitFor([&] { return Registered(Pid); }, std::chrono::seconds(20)));
        if (!C.Said) {
            EXPECT_TRUE(WaitFor([&] { return Running(Pid); }, std::chrono::seconds(20)))
                << "the window did not open";
        }
        // With a message open, the end of the session dismisses it.
        EXPECT_EQ(Terminate(Pid), 0);
        const std::string Told = ErrorText();
        if (C.Said) {
            EXPECT_NE(Told.find(Path), std::string::npos) << Told;
            EXPECT_NE(Told.find("not a regular file"), std::string::npos) << Told;
        }
        if (C.Fifo)
            EXPECT_TRUE(IsFifo(Path));
        else
            EXPECT_TRUE(fs::is_symlink(Path));
        fs::remove(Path);
        // The next case starts from the default files again.
        fs::remove(ProgramDir + "/options.xml");
        fs::remove(ProgramDir + "/mac_comments.txt");
        fs::copy_file(std::string(std::getenv("TOLVEX_BIN_DIR")) + "/languages/english.lng",
                      ProgramDir + "/languages/english.lng", fs::copy_options::overwrite_existing);
    }
}

TEST_F(HostileSettings, AStoredWindowLargerThanTheScreenOpensWithinIt)
{
    // Sizes no screen has, the left and top on the screen; panel sizes that
    // overflow when subtracted from the window's.
    for (const char* Size : {"2147483647", "30000"}) {
        SCOPED_TRACE(Size);
        TempFolder::Write(ProgramDir + "/options.xml",
                          std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>\n"
                                      "<Defaults><pnlLeftWidth>-2147483648</pnlLeftWidth>"
                                      "<PanelLogHeight>2147483647</PanelLogHeight></Defaults>"
                                      "<Window><MainWindowTop>10</MainWindowTop>"
                                      "<MainWindowLeft>10</MainWindowLeft><MainWindowWidth>") +
                              Size + "</MainWindowWidth><MainWindowHeight>" + Size +
                              "</MainWindowHeight><MainWindowState>0</MainWindowState>"
                              "</Window></Options>\n");
        const pid_t Pid = Start();
        ASSERT_GT(Pid, 0);
        EXPECT_TRUE(WaitFor([&] { return Running(Pid); }, std::chrono::seconds(20))) << ErrorText();
        EXPECT_EQ(Terminate(Pid), 0) << ErrorText();
        EXPECT_GE(StoredInteger("Window", "MainWindowWidth"), 1);
        EXPECT_LE(StoredInteger("Window", "MainWindowWidth"), Room().width());
        EXPECT_GE(StoredInteger("Window", "MainWindowHeight"), 1);
        EXPECT_LE(StoredInteger("Window", "MainWindowHeight"), Room().height());
        EXPECT_GE(StoredInteger("Defaults", "pnlLeftWidth"), 0);
        EXPECT_LE(StoredInteger("Defaults", "pnlLeftWidth"), Room().width());
    }
}

TEST_F(HostileSettings, DeeplyNestedUnknownElementsNeitherGrowTheFileNorHangTheExit)
{
    std::string Deep = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options><Extra>";
    for (int I = 0; I < 200000; ++I)
        Deep += "<a>";
    for (int I = 0; I < 200000; ++I)
        Deep += "</a>";
    Deep += "</Extra></Options>\n";
    TempFolder::Write(ProgramDir + "/options.xml", Deep);
    const pid_t Pid = Start();
    ASSERT_GT(Pid, 0);
    EXPECT_TRUE(WaitFor([&] { return Running(Pid); }, std::chrono::seconds(20))) << ErrorText();
    EXPECT_EQ(Terminate(Pid), 0) << ErrorText();
    EXPECT_LT(fs::file_size(ProgramDir + "/options.xml"), 64u * 1024u);
    EXPECT_GE(StoredInteger("Window", "MainWindowState"), 0);
    // What was dropped is kept aside.
    bool Kept = false;
    for (const auto& E : fs::directory_iterator(ProgramDir))
        if (E.path().filename().string().rfind("options.xml.bad", 0) == 0)
            Kept = Kept || TempFolder::Read(E.path().string()) == Deep;
    EXPECT_TRUE(Kept);
}

TEST_F(HostileSettings, TheEndOfTheSessionDismissesAnOpenMessageAndSavesTheOptions)
{
    // An unreadable options file: its message is open when the session
    // ends. The options are still written, the unreadable file kept aside.
    const std::string Broken = "<Options><Defaults>";
    TempFolder::Write(ProgramDir + "/options.xml", Broken);
    const pid_t Pid = Start();
    ASSERT_GT(Pid, 0);
    ASSERT_TRUE(WaitFor([&] { return Registered(Pid); }, std::chrono::seconds(20)));
    EXPECT_EQ(Terminate(Pid), 0);
    EXPECT_NE(ErrorText().find("Can't read file " + ProgramDir + "/options.xml: "),
              std::string::npos)
        << ErrorText();
    EXPECT_EQ(StoredInteger("Defaults", "iMaxThreads"), 64);
    bool Kept = false;
    for (const auto& E : fs::directory_iterator(ProgramDir))
        if (E.path().filename().string().rfind("options.xml.bad", 0) == 0)
            Kept = Kept || TempFolder::Read(E.path().string()) == Broken;
    EXPECT_TRUE(Kept);
    // The next start reads what the last one wrote, without a message.
    const pid_t Next = Start();
    ASSERT_GT(Next, 0);
    EXPECT_TRUE(WaitFor([&] { return Running(Next); }, std::chrono::seconds(20)));
    EXPECT_EQ(Terminate(Next), 0);
    EXPECT_EQ(ErrorText().find("Can't"), std::string::npos) << ErrorText();
}

// The session's end reaches the program as SIGTERM, or as SIGHUP when its
// terminal or session goes away: either ends it the ordinary way, with a
// message open or not, and the options are written.
TEST_F(HostileSettings, SighupEndsTheProgramAsSigtermDoes)
{
    const struct {
        int Signal;
        bool MessageOpen; // an unreadable options file is being reported
    } Cases[] = {{SIGTERM, false}, {SIGHUP, false}, {SIGINT, false}, {SIGHUP, true}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(std::string(strsignal(C.Signal)) + (C.MessageOpen ? ", a message open" : ""));
        fs::remove(ProgramDir + "/options.xml");
        if (C.MessageOpen)
            TempFolder::Write(ProgramDir + "/options.xml", "<Options><Defaults>");
        const pid_t Pid = Start();
        ASSERT_GT(Pid, 0);
        ASSERT_TRUE(WaitFor([&] { return C.MessageOpen ? Registered(Pid) : Running(Pid); },
                            std::chrono::seconds(20)))
            << ErrorText();
        EXPECT_EQ(Terminate(Pid, C.Signal), 0) << ErrorText();
        EXPECT_EQ(StoredInteger("Defaults", "iMaxThreads"), 64) << "the options were not written";
    }
}

} // namespace
