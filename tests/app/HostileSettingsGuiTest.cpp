// The program itself, started in a portable folder of its own with hostile
// files among its settings: it starts, or says why it cannot read a file;
// it ends on SIGTERM within seconds, also while a message is open, running
// its ordinary shutdown; and it leaves the user's files as they should be.
#include "CheckPrevious.h"
#include "GuiTestApp.h"
#include "TempFolder.h"
#include "uXMLStorage.h"

#include <QGuiApplication>
#include <QLocalSocket>
#include <QScreen>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
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

class HostileSettings : public ::testing::Test {
protected:
    // The one offscreen screen the program is shown on.
    static constexpr int ScreenWidth = 1280, ScreenHeight = 1024;

    static bool OnX()
    {
        const char* Platform = std::getenv("QT_QPA_PLATFORM");
        return Platform && std::string(Platform) == "xcb";
    }
    // The room the program's window has: on a real X server that of the
    // screen this test sees too.
    static QSize Room()
    {
        if (OnX())
            return QGuiApplication::primaryScreen()->availableGeometry().size();
        return {ScreenWidth, ScreenHeight};
    }

    void SetUp() override
    {
        App();
        Runtime = Dir.Path("run");
        ::mkdir(Runtime.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", Runtime.c_str(), 1);
        MappingName = TolvexInstanceGuid;
        // A portable program folder: the program file (linked, or copied
        // where links cannot be made), its default files and languages.
        const char* Bin = std::getenv("TOLVEX_BIN_DIR");
        ASSERT_NE(Bin, nullptr);
        ProgramDir = Dir.Path("app");
        fs::create_directories(ProgramDir);
        std::error_code Ec;
        fs::create_hard_link(std::string(Bin) + "/tolvex", ProgramDir + "/tolvex", Ec);
        if (Ec)
            fs::copy_file(std::string(Bin) + "/tolvex", ProgramDir + "/tolvex");
        fs::copy(std::string(Bin) + "/Default", ProgramDir + "/Default",
                 fs::copy_options::recursive);
        fs::copy(std::string(Bin) + "/languages", ProgramDir + "/languages",
                 fs::copy_options::recursive);
    }
    void TearDown() override
    {
        for (pid_t P : Children) {
            ::kill(P, SIGKILL);
            ::waitpid(P, nullptr, 0);
        }
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    pid_t Start()
    {
        const std::string Program = ProgramDir + "/tolvex";
        // On a real X server (the Xvfb run) the program shows its window
        // there; otherwise on one offscreen screen.
        std::vector<std::string> Env;
        for (char** E = environ; *E; ++E) {
            const std::string V = *E;
            if (V.rfind("XDG_RUNTIME_DIR=", 0) != 0 &&
                (OnX() || V.rfind("QT_QPA_PLATFORM=", 0) != 0))
                Env.push_back(V);
        }
        Env.push_back("XDG_RUNTIME_DIR=" + Runtime);
        if (!OnX()) {
            const std::string Screens = Dir.Path("screens.json");
            TempFolder::Write(Screens, "{\"screens\": [{\"name\": \"Primary\", \"x\": 0, "
                                       "\"y\": 0, \"width\": " +
                                           std::to_string(ScreenWidth) + ", \"height\": " +
                                           std::to_string(ScreenHeight) + "}]}\n");
            Env.push_back("QT_QPA_PLATFORM=offscreen:configfile=" + Screens);
        }
        std::vector<char*> Envp;
        for (std::string& V : Env)
            Envp.push_back(V.data());
        Envp.push_back(nullptr);
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_addopen(&Actions, 2, Errors().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        char Portable[] = "-portable";
        char* Argv[] = {const_cast<char*>(Program.c_str()), Portable, nullptr};
        pid_t Pid = -1;
        EXPECT_EQ(::posix_spawn(&Pid, Program.c_str(), &Actions, nullptr, Argv, Envp.data()), 0);
        posix_spawn_file_actions_destroy(&Actions);
        if (Pid > 0)
            Children.push_back(Pid);
        return Pid;
    }

    // Waits (at most a generous while: a watchdog, not a measure) for Done.
    static bool WaitFor(const std::function<bool()>& Done, std::chrono::seconds Limit)
    {
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        while (!Done()) {
            if (std::chrono::steady_clock::now() > Deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // Counted in the instance block: from here on SIGTERM is the program's.
    static bool Registered(pid_t Pid)
    {
        TInstanceInfo Info;
        return ReadInstanceInfo(Info) && Info.PreviousHandle == static_cast<uint32_t>(Pid) &&
               Info.RunCounter == 1;
    }
    // Its window exists and the event loop answers.
    static bool Running(pid_t Pid)
    {
        if (!Registered(Pid))
            return false;
        QLocalSocket Probe;
        Probe.connectToServer(QString::fromStdString(ActivationSocketPath()));
        return Probe.waitForConnected(200);
    }

    // SIGTERM, then the exit code (128 + signal when killed by one), or -1
    // when it had not ended after a generous while.
    int Terminate(pid_t Pid)
    {
        ::kill(Pid, SIGTERM);
        int Status = 0;
        pid_t R = 0;
        WaitFor([&] { return (R = ::waitpid(Pid, &Status, WNOHANG)) == Pid; },
                std::chrono::seconds(20));
        if (R != Pid)
            return -1;
        std::erase(Children, Pid);
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    }

    std::string Errors() const { return Dir.Path("stderr.txt"); }
    std::string ErrorText() const { return TempFolder::Read(Errors()); }

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

    TempFolder Dir;
    std::string ProgramDir;
    std::string Runtime;
    std::vector<pid_t> Children;
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

} // namespace
