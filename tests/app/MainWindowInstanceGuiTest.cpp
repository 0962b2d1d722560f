// One instance per user: real second starts of the program against a
// running instance (this test process, or a program started before).
#include "app/CheckPrevious.h"
#include "tests/app/InstanceProbe.h"
#include "tests/app/MainWindowTestSupport.h"

#include <QFile>
#include <QLocalSocket>
#include <QWidget>

#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

class MainWindowInstance : public MainWindowFixture {
protected:
    void SetUp() override
    {
        MainWindowFixture::SetUp();
        Runtime = Home.Path("run");
        ::mkdir(Runtime.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", Runtime.c_str(), 1);
        MappingName = TolvexInstanceGuid;
    }
    void TearDown() override
    {
        for (pid_t P : Children) {
            ::kill(P, SIGKILL);
            ::waitpid(P, nullptr, 0);
        }
        FinalizeCheckPrevious();
        ::unsetenv("XDG_RUNTIME_DIR");
        MainWindowFixture::TearDown();
    }

    // The program, with this test's runtime folder and the settings folder
    // Config.
    pid_t Start(const std::string& Config)
    {
        const char* Bin = std::getenv("TOLVEX_BIN_DIR");
        const std::string Program = std::string(Bin ? Bin : ".") + "/tolvex";
        std::vector<std::string> Env;
        for (char** E = environ; *E; ++E) {
            const std::string V = *E;
            if (V.rfind("XDG_RUNTIME_DIR=", 0) != 0 && V.rfind("XDG_CONFIG_HOME=", 0) != 0 &&
                V.rfind("QT_QPA_PLATFORM=", 0) != 0)
                Env.push_back(V);
        }
        Env.push_back("XDG_RUNTIME_DIR=" + Runtime);
        Env.push_back("XDG_CONFIG_HOME=" + Config);
        Env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> Envp;
        for (std::string& V : Env)
            Envp.push_back(V.data());
        Envp.push_back(nullptr);
        char* Argv[] = {const_cast<char*>(Program.c_str()), nullptr};
        pid_t Pid = -1;
        EXPECT_EQ(::posix_spawn(&Pid, Program.c_str(), nullptr, nullptr, Argv, Envp.data()), 0);
        if (Pid > 0)
            Children.push_back(Pid);
        return Pid;
    }

    // Serves this process's events until Pid ends; its exit code, or -1
    // when it did not end in time.
    int WaitExit(pid_t Pid, int TimeoutMs = 15000)
    {
        int Status = 0;
        pid_t R = 0;
        PumpUntil(
            [&] {
                if (R != Pid)
                    R = ::waitpid(Pid, &Status, WNOHANG);
                return R == Pid;
            },
            TimeoutMs);
        if (R != Pid)
            return -1;
        std::erase(Children, Pid);
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    }

    static bool Registered(pid_t Pid) { return InstanceRegistered(Pid); }
    static bool Running(pid_t Pid) { return InstanceRunning(Pid); }

    std::string Runtime;
    std::vector<pid_t> Children;
};

TEST_F(MainWindowInstance, SecondStartBringsTheFirstForwardAndTouchesNoSettings)
{
    ASSERT_FALSE(RestoreIfRunning(static_cast<uint32_t>(::getpid()), 1));
    QWidget Window;
    Window.setObjectName("first");
    Window.showMinimized();
    ASSERT_TRUE(Window.isMinimized());
    ListenForActivation(&Window);
    const int Before = ActivationRequests();

    const std::string Config = Home.Path("config-second");
    ::mkdir(Config.c_str(), 0700);
    const pid_t Second = Start(Config);
    ASSERT_GT(Second, 0);
    EXPECT_EQ(WaitExit(Second), 0);

    EXPECT_EQ(ActivationRequests(), Before + 1);
    EXPECT_FALSE(Window.isMinimized());
    EXPECT_TRUE(Window.isVisible());
    EXPECT_TRUE(std::filesystem::is_empty(Config)) << "the second start made settings";
    // The second start did not count itself, nor take the first's place.
    EXPECT_TRUE(Registered(::getpid()));

    FinalizeCheckPrevious();
    TInstanceInfo Info;
    ASSERT_TRUE(ReadInstanceInfo(Info));
    EXPECT_EQ(Info.RunCounter, 0);
    EXPECT_FALSE(IsRegisteredInstance());
}

TEST_F(MainWindowInstance, StartAfterTheFirstWasKilledRunsAndEndsCleanly)
{
    const std::string Config = Home.Path("config");
    const pid_t First = Start(Config);
    ASSERT_GT(First, 0);
    ASSERT_TRUE(PumpUntil([&] { return Running(First); }, 15000));
    ::kill(First, SIGKILL);
    EXPECT_EQ(WaitExit(First), 128 + SIGKILL);
    // The block still counts the killed instance.
    TInstanceInfo Info;
    ASSERT_TRUE(ReadInstanceInfo(Info));
    EXPECT_EQ(Info.RunCounter, 1);

    const pid_t Next = Start(Config);
    ASSERT_GT(Next, 0);
    ASSERT_TRUE(PumpUntil([&] { return Running(Next); }, 15000))
        << "the start after a killed instance did not run";
    // The session ends: the window closes the ordinary way.
    ::kill(Next, SIGTERM);
    EXPECT_EQ(WaitExit(Next), 0);
    ASSERT_TRUE(ReadInstanceInfo(Info));
    EXPECT_EQ(Info.RunCounter, 0);
    QFile Options(QString::fromStdString(Config + "/Tolvex Project/Tolvex/options.xml"));
    ASSERT_TRUE(Options.open(QIODevice::ReadOnly)) << "the options were not written";
    EXPECT_TRUE(Options.readAll().contains("MainWindowState"));
}

TEST_F(MainWindowInstance, StartsAtTheSameMomentRunOneInstance)
{
    const std::string Config = Home.Path("config");
    std::vector<pid_t> Started;
    for (int I = 0; I < 4; ++I)
        Started.push_back(Start(Config));
    // Three hand over and end; one stays.
    std::vector<pid_t> Ended;
    PumpUntil(
        [&] {
            for (pid_t P : Started) {
                int Status = 0;
                if (std::find(Ended.begin(), Ended.end(), P) == Ended.end() &&
                    ::waitpid(P, &Status, WNOHANG) == P) {
                    Ended.push_back(P);
                    std::erase(Children, P);
                    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
                }
            }
            return Ended.size() >= 3;
        },
        20000);
    ASSERT_EQ(Ended.size(), 3u);
    pid_t Survivor = -1;
    for (pid_t P : Started)
        if (std::find(Ended.begin(), Ended.end(), P) == Ended.end())
            Survivor = P;
    EXPECT_TRUE(Registered(Survivor));
    ::kill(Survivor, SIGTERM);
    EXPECT_EQ(WaitExit(Survivor), 0);
}

} // namespace
