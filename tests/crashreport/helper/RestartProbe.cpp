// A program the restart tests start and the helper starts again.
//
//   crashreport_restart_probe <folder> <mode> <helper program> [arguments...]
//
// Started afresh, it starts the helper on a link, greets it, and asks for a
// restart with the times 11, 22, ..., 100: mode "exit" ends at once (exit
// code 2), "term" through SIGTERM, "ignore-term" ignores SIGTERM and sleeps
// (the helper kills it). When the helper refuses, it writes <folder>/refused.
// Started again (TOLVEX_CRASH_RESTARTED set), it writes <folder>/second.txt:
// what it found, one "name=value" per line, and exits 0.
#include "crashreport/kelExceptLink.h"
#include "crashreport/kelExceptRestart.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "gone" when the process has ended (no longer there, or a zombie).
std::string ProcessState(const char* Pid)
{
    std::ifstream In(std::string("/proc/") + Pid + "/stat");
    std::string Stat;
    std::getline(In, Stat);
    const auto Close = Stat.rfind(')');
    if (Stat.empty() || Close == std::string::npos || Close + 2 >= Stat.size())
        return "gone";
    return Stat[Close + 2] == 'Z' ? "gone" : "running";
}

int Again(int Argc, char** Argv)
{
    const std::string Folder = Argv[1];
    const char* Old = std::getenv(RestartedVariable);
    std::string Out = "old_state=" + ProcessState(Old) + "\n";
    Out += "old_pid=" + std::string(Old) + "\n";
    const char* TimesFile = std::getenv(RestartTimesVariable);
    struct stat Info {};
    Out += "times_mode=" +
           std::to_string(TimesFile && ::stat(TimesFile, &Info) == 0 ? (Info.st_mode & 0777) : 0) +
           "\n";
    const auto T = TakeOverRestart();
    Out += "took_over_pid=" + std::to_string(T ? T->OldPid : -1) + "\n";
    Out += "times=";
    if (T)
        for (const auto V : T->ExceptionTimes)
            Out += std::to_string(V) + ",";
    Out += "\n";
    Out += "times_file_left=" +
           std::to_string(TimesFile != nullptr && ::access(TimesFile, F_OK) == 0) + "\n";
    Out += "variables_left=" +
           std::to_string(std::getenv(RestartedVariable) != nullptr ||
                          std::getenv(RestartTimesVariable) != nullptr) +
           "\n";
    char Cwd[PATH_MAX] = "";
    Out += "cwd=" + std::string(::getcwd(Cwd, sizeof Cwd) ? Cwd : "") + "\n";
    const char* Mark = std::getenv("TOLVEX_TEST_MARK");
    Out += "mark=" + std::string(Mark ? Mark : "") + "\n";
    Out += "pid=" + std::to_string(::getpid()) + "\n";
    for (int I = 0; I < Argc; ++I)
        Out += "arg=" + std::string(Argv[I]) + "\n";
    // Whole or not at all, for the test that waits for it.
    std::ofstream(Folder + "/second.tmp") << Out;
    return std::rename((Folder + "/second.tmp").c_str(), (Folder + "/second.txt").c_str()) == 0 ? 0
                                                                                                : 1;
}

} // namespace

int main(int Argc, char** Argv)
{
    if (Argc < 4)
        return 64;
    if (std::getenv(RestartedVariable) != nullptr)
        return Again(Argc, Argv);
    const std::string Mode = Argv[2];
    int Fds[2];
    if (!CreateLinkPair(Fds))
        return 65;
    if (StartHelperProcess(Argv[3], Fds[1]) < 0)
        return 66;
    ::close(Fds[1]);
    TExceptLink Link(Fds[0]);
    Link.Send(THelloFrame{LinkVersion, static_cast<std::uint32_t>(::getpid()), Argv[0]});
    if (Mode == "ignore-term")
        std::signal(SIGTERM, SIG_IGN);
    std::vector<std::int64_t> Times;
    for (int I = 1; I <= 10; ++I)
        Times.push_back(11 * I);
    if (!RestartProgram(Link, Times, Mode == "exit")) {
        std::ofstream(std::string(Argv[1]) + "/refused") << "refused\n";
        return 3;
    }
    // SIGTERM ignored: the helper's patience runs out first.
    ::sleep(120);
    return 4;
}
