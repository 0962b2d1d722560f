// Trace requests from another process: tests/crashreport/trace_client.py asks
// this test program for its trace report through the socket, as the same
// user and as another one.
#include "crashreport/kelTraceProcess.h"

#include "crashlib/kelStrings.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TOLVEX_CRASHREPORT_TEST_DIR
#define TOLVEX_CRASHREPORT_TEST_DIR "tests/crashreport"
#endif

namespace {

class CrashreportTrace : public ::testing::Test {
protected:
    void SetUp() override
    {
        Folder = Runtime.Path("tolvex");
        ASSERT_EQ(mkdir(Folder.c_str(), 0700), 0);
        ASSERT_TRUE(StartTraceProcessThread(Folder));
    }
    void TearDown() override { StopTraceProcessThread(); }

    // The client's standard output (its answer) and exit status, run with the
    // runtime folder in its environment; Prefix runs it as another user.
    TCommandResult Ask(std::uint32_t Size, const std::string& Prefix = "")
    {
        return RunCommand("XDG_RUNTIME_DIR=" + Quote(Runtime.Path()) + " " + Prefix +
                          " /usr/bin/python3 " TOLVEX_CRASHREPORT_TEST_DIR "/trace_client.py " +
                          std::to_string(getpid()) + " " + std::to_string(Size) + " 2>&1");
    }

    TempFolder Runtime;
    std::string Folder;
};

int TaskCount()
{
    int N = 0;
    if (DIR* D = opendir("/proc/self/task")) {
        while (const dirent* E = readdir(D))
            N += E->d_name[0] != '.';
        closedir(D);
    }
    return N;
}

} // namespace

TEST_F(CrashreportTrace, ARequestOfSizeNGetsAtMostNMinusOneBytesAndAZero)
{
    struct stat St {};
    ASSERT_EQ(stat(TraceSocketPath(Folder, getpid()).c_str(), &St), 0);
    EXPECT_TRUE(S_ISSOCK(St.st_mode));
    EXPECT_EQ(St.st_mode & 0777, 0600u);

    for (const std::uint32_t Size : {100u, 1u, 2u}) {
        const auto R = Ask(Size);
        ASSERT_EQ(R.Status, 0) << R.Output;
        EXPECT_EQ(R.Output.size(), Size) << R.Output;
        EXPECT_EQ(R.Output.back(), '\0');
        EXPECT_EQ(R.Output.find('\0'), R.Output.size() - 1);
        // The start of the report: its first field.
        const std::string Text = R.Output.substr(0, R.Output.size() - 1);
        EXPECT_EQ(Text.substr(0, 9), std::string("date/time").substr(0, Text.size()));
    }
    const auto None = Ask(0);
    EXPECT_EQ(None.Status, 2);
    EXPECT_NE(None.Output.find("closed without an answer"), std::string::npos) << None.Output;
}

TEST_F(CrashreportTrace, AWholeTraceListsEveryThreadAndNoException)
{
    const int Tasks = TaskCount();
    const auto R = Ask(1u << 24);
    ASSERT_EQ(R.Status, 0) << R.Output;
    ASSERT_EQ(R.Output.back(), '\0');
    const std::string Text = R.Output.substr(0, R.Output.size() - 1);
    EXPECT_EQ(Text.find('\0'), std::string::npos);
    EXPECT_EQ(Text.find(", exception location:"), std::string::npos);
    EXPECT_NE(Text.find("\r\n\r\nmain thread ($" +
                        CardToHexA(static_cast<std::uint32_t>(getpid())) + "):\r\n"),
              std::string::npos)
        << Text;
    // Every thread of this process has a section (the trace thread's too);
    // only the calculation's own thread, started for the trace, is not one.
    int Sections = 0;
    for (std::size_t P = 0; (P = Text.find("\r\n\r\n", P)) != std::string::npos; P += 4)
        Sections +=
            Text.compare(P + 4, 7, "thread ") == 0 || Text.compare(P + 4, 12, "main thread ") == 0;
    EXPECT_EQ(Sections, Tasks) << Text;
    EXPECT_EQ(Text.find(">> will be calculated soon"), std::string::npos);
}

TEST_F(CrashreportTrace, AnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can run the client as another user";
    // The folder keeps the other user out...
    const auto Locked = Ask(100, "setpriv --reuid 65534 --regid 65534 --clear-groups");
    EXPECT_EQ(Locked.Status, 2);
    EXPECT_NE(Locked.Output.find("cannot connect"), std::string::npos) << Locked.Output;
    // ... and one that may pass every permission is still not answered: the
    // socket asks the kernel who connected.
    const auto Passed =
        Ask(100, "setpriv --reuid 65534 --regid 65534 --clear-groups --inh-caps +dac_override "
                 "--ambient-caps +dac_override");
    EXPECT_EQ(Passed.Status, 2);
    EXPECT_NE(Passed.Output.find("closed without an answer"), std::string::npos) << Passed.Output;
    // The same user is still served afterwards.
    EXPECT_EQ(Ask(10).Status, 0);
}
