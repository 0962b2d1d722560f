// The private temporary folders: where they are made and with what mode,
// that they go when their process ends, that a runtime folder someone else
// could reach is refused, and that two processes never touch each other's.
// Each case runs the folder routines in child processes of its own, with
// XDG_RUNTIME_DIR pointing into the test's folder.
#include "crashreport/kelExceptTemp.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A child process that sets the runtime folder, runs Body and hands its text
// back; Exit says how the child ends (exit runs the exit handlers, _exit not).
struct TChild {
    pid_t Pid = -1;
    int Out = -1; // Body's text
    int Go = -1;  // closing it lets the child end
};

TChild StartChild(const std::string& Runtime, const std::function<std::string()>& Body,
                  bool RunExitHandlers = true)
{
    int ToParent[2], FromParent[2];
    EXPECT_EQ(::pipe(ToParent), 0);
    EXPECT_EQ(::pipe(FromParent), 0);
    TChild C;
    C.Pid = ::fork();
    if (C.Pid == 0) {
        ::close(ToParent[0]);
        ::close(FromParent[1]);
        ::setenv("XDG_RUNTIME_DIR", Runtime.c_str(), 1);
        const std::string Text = Body() + "\n";
        if (::write(ToParent[1], Text.data(), Text.size()) < 0)
            ::_exit(3);
        ::close(ToParent[1]);
        char Byte;
        while (::read(FromParent[0], &Byte, 1) > 0) {
        }
        if (RunExitHandlers)
            std::exit(0);
        ::_exit(0);
    }
    ::close(ToParent[1]);
    ::close(FromParent[0]);
    C.Out = ToParent[0];
    C.Go = FromParent[1];
    return C;
}

std::string ReadLine(const TChild& C)
{
    std::string Text;
    char Byte;
    while (::read(C.Out, &Byte, 1) == 1 && Byte != '\n')
        Text += Byte;
    return Text;
}

void EndChild(TChild& C)
{
    ::close(C.Go);
    ::close(C.Out);
    int Status = 0;
    ::waitpid(C.Pid, &Status, 0);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
}

std::string RunChild(const std::string& Runtime, const std::function<std::string()>& Body,
                     bool RunExitHandlers = true)
{
    TChild C = StartChild(Runtime, Body, RunExitHandlers);
    const std::string Text = ReadLine(C);
    EndChild(C);
    return Text;
}

unsigned Mode(const std::string& Path)
{
    struct stat Info {};
    ::lstat(Path.c_str(), &Info);
    return Info.st_mode & 07777;
}

TEST(CrashreportTempFolder, PrivateFolderUnderTheRuntimeFolderGoesAtExit)
{
    TempFolder Temp;
    const std::string Runtime = Temp.Path("run");
    fs::create_directory(Runtime);
    TChild C = StartChild(Runtime, [] {
        const std::string Folder = ExceptTempFolder();
        TempFolder::Write(Folder + "/screenShot.png", "picture");
        return Folder + " " + std::to_string(::getpid());
    });
    const std::string Line = ReadLine(C);
    const std::string Folder = Line.substr(0, Line.find(' '));
    const std::string Pid = Line.substr(Line.find(' ') + 1);
    EXPECT_EQ(Folder.rfind(Runtime + "/tolvex/kelExcept." + Pid + ".", 0), 0u) << Folder;
    EXPECT_EQ(Mode(Runtime + "/tolvex"), 0700u);
    EXPECT_EQ(Mode(Folder), 0700u);
    EXPECT_TRUE(fs::exists(Folder + "/screenShot.png"));
    EndChild(C);
    EXPECT_FALSE(fs::exists(Folder));
    EXPECT_TRUE(fs::exists(Runtime + "/tolvex"));
}

TEST(CrashreportTempFolder, FoldersOfEndedProcessesGoLiveOnesStay)
{
    TempFolder Temp;
    const std::string Runtime = Temp.Path("run");
    fs::create_directory(Runtime);
    // A process that still runs.
    TChild Live = StartChild(Runtime, [] { return ExceptTempFolder(); });
    const std::string LiveFolder = ReadLine(Live);
    // A process that ended without its exit handlers (killed, crashed).
    const std::string Ended = RunChild(
        Runtime, [] { return ExceptTempFolder(); }, false);
    ASSERT_TRUE(fs::exists(Ended));
    // This test's own process id with another start time: its id was reused.
    const std::string Reused =
        Runtime + "/tolvex/kelExcept." + std::to_string(::getpid()) + ".1.abcdef";
    fs::create_directory(Reused);
    const std::string Other = Runtime + "/tolvex/progress-slot-0";
    TempFolder::Write(Other, "");

    const std::string Count = RunChild(Runtime, [] {
        const int Removed = RemoveEndedTempFolders();
        return std::to_string(Removed) + " " + ExceptTempFolder();
    });
    EXPECT_EQ(Count.substr(0, 2), "2 ");
    EXPECT_FALSE(fs::exists(Ended));
    EXPECT_FALSE(fs::exists(Reused));
    EXPECT_TRUE(fs::exists(LiveFolder));
    EXPECT_TRUE(fs::exists(Other));
    EndChild(Live);
}

TEST(CrashreportTempFolder, RuntimeFolderOthersCouldReachIsRefused)
{
    struct TCase {
        const char* Name;
        std::function<void(const std::string& Tolvex, const std::string& Elsewhere)> Prepare;
    };
    const TCase Cases[] = {
        {"a symbolic link",
         [](const std::string& Tolvex, const std::string& Elsewhere) {
             fs::create_directory_symlink(Elsewhere, Tolvex);
         }},
        {"open to others",
         [](const std::string& Tolvex, const std::string&) {
             fs::create_directory(Tolvex);
             ::chmod(Tolvex.c_str(), 0755);
         }},
        {"a file",
         [](const std::string& Tolvex, const std::string&) { TempFolder::Write(Tolvex, "x"); }},
        {"another user's",
         [](const std::string& Tolvex, const std::string&) {
             fs::create_directory(Tolvex);
             ::chmod(Tolvex.c_str(), 0700);
             if (::chown(Tolvex.c_str(), ::geteuid() + 1, ::getegid()) != 0)
                 GTEST_SKIP() << "cannot give a folder to another user";
         }},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        TempFolder Temp;
        const std::string Runtime = Temp.Path("run"), Elsewhere = Temp.Path("elsewhere");
        fs::create_directory(Runtime);
        fs::create_directory(Elsewhere);
        ::chmod(Elsewhere.c_str(), 0700);
        C.Prepare(Runtime + "/tolvex", Elsewhere);
        EXPECT_EQ(RunChild(Runtime, [] { return ExceptTempFolder() + "|" + CrashRuntimeFolder(); }),
                  "|");
        EXPECT_TRUE(fs::is_empty(Elsewhere));
    }
}

TEST(CrashreportTempFolder, TwoInstancesKeepTheirOwnFiles)
{
    TempFolder Temp;
    const std::string Runtime = Temp.Path("run");
    fs::create_directory(Runtime);
    auto Make = [] {
        const std::string Folder = ExceptTempFolder();
        TempFolder::Write(Folder + "/bugreport.kbr", "report");
        fs::create_directory(Folder + "/sub");
        return Folder;
    };
    TChild First = StartChild(Runtime, Make);
    const std::string FirstFolder = ReadLine(First);
    const std::string Second = RunChild(Runtime, [&] {
        const std::string Folder = Make();
        ClearExceptTempFolder();
        return Folder + (fs::is_empty(Folder) ? " empty" : " full");
    });
    EXPECT_NE(Second.substr(0, Second.find(' ')), FirstFolder);
    EXPECT_EQ(Second.substr(Second.find(' ') + 1), "empty");
    EXPECT_TRUE(fs::exists(FirstFolder + "/bugreport.kbr"));
    EXPECT_TRUE(fs::exists(FirstFolder + "/sub"));
    EndChild(First);
}

TEST(CrashreportTempFolder, StartTimeOfThisProcessAndOfNone)
{
    EXPECT_GT(ProcessStartTime(::getpid()), 0u);
    EXPECT_EQ(ProcessStartTime(0x3fffffff), 0u);
    // A child started later has a start time no earlier than ours.
    const pid_t Child = ::fork();
    if (Child == 0) {
        ::pause();
        ::_exit(0);
    }
    EXPECT_GE(ProcessStartTime(Child), ProcessStartTime(::getpid()));
    ::kill(Child, SIGKILL);
    ::waitpid(Child, nullptr, 0);
    EXPECT_EQ(ProcessStartTime(Child), 0u);
}

} // namespace
