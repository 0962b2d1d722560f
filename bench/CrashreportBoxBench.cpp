// From kill -SEGV to the exception box mapped on the display, for the
// capture's probe and for tolvex, beside the anchor: a bare Qt program that
// shows a message box as it starts (from its start to its box mapped). Run
// under a display: xvfb-run -a build/bench/crashreport_box_bench [rounds].
//
// A window counts as mapped when the X server says so (MapNotify on the root
// window's children) for a window whose _NET_WM_PID is the process watched.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

xcb_connection_t* X = nullptr;
xcb_window_t Root = 0;
xcb_atom_t PidAtom = 0;

bool Connect()
{
    X = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(X))
        return false;
    Root = xcb_setup_roots_iterator(xcb_get_setup(X)).data->root;
    const uint32_t Mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(X, Root, XCB_CW_EVENT_MASK, &Mask);
    const char* Name = "_NET_WM_PID";
    auto* A = xcb_intern_atom_reply(X, xcb_intern_atom(X, 0, std::strlen(Name), Name), nullptr);
    PidAtom = A ? A->atom : 0;
    std::free(A);
    xcb_flush(X);
    return PidAtom != 0;
}

pid_t WindowPid(xcb_window_t W)
{
    auto* R = xcb_get_property_reply(X, xcb_get_property(X, 0, W, PidAtom, XCB_ATOM_CARDINAL, 0, 1),
                                     nullptr);
    pid_t Pid = 0;
    if (R && xcb_get_property_value_length(R) == 4)
        Pid = static_cast<pid_t>(*static_cast<uint32_t*>(xcb_get_property_value(R)));
    std::free(R);
    return Pid;
}

// Waits up to Limit for a window of a process that IsOurs accepts to be
// mapped; the moment, or none.
template <class F> std::optional<Clock::time_point> WaitForMap(F IsOurs, std::chrono::seconds Limit)
{
    const auto End = Clock::now() + Limit;
    while (Clock::now() < End) {
        while (xcb_generic_event_t* E = xcb_poll_for_event(X)) {
            const auto At = Clock::now();
            if ((E->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                const auto* M = reinterpret_cast<xcb_map_notify_event_t*>(E);
                if (IsOurs(WindowPid(M->window))) {
                    std::free(E);
                    return At;
                }
            }
            std::free(E);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

void Drain()
{
    while (xcb_generic_event_t* E = xcb_poll_for_event(X))
        std::free(E);
}

pid_t Spawn(const std::vector<std::string>& Args, const std::vector<std::string>& Env = {})
{
    const pid_t Pid = fork();
    if (Pid == 0) {
        for (const auto& E : Env)
            putenv(const_cast<char*>(E.c_str()));
        std::freopen("/dev/null", "w", stdout);
        std::vector<char*> Argv;
        for (const auto& A : Args)
            Argv.push_back(const_cast<char*>(A.c_str()));
        Argv.push_back(nullptr);
        execv(Argv[0], Argv.data());
        _exit(127);
    }
    return Pid;
}

void End(pid_t Pid)
{
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
}

bool IsChildOf(pid_t Pid, pid_t Parent)
{
    char Path[64];
    std::snprintf(Path, sizeof Path, "/proc/%d/stat", static_cast<int>(Pid));
    FILE* F = std::fopen(Path, "r");
    if (!F)
        return false;
    int Self = 0, PPid = 0;
    char State = 0;
    char Comm[256];
    const bool Ok = std::fscanf(F, "%d %255s %c %d", &Self, Comm, &State, &PPid) == 4;
    std::fclose(F);
    return Ok && PPid == Parent;
}

// The anchor: from its start to its message box mapped.
double Anchor()
{
    Drain();
    const auto Start = Clock::now();
    const pid_t Pid = Spawn({TOLVEX_BOX_ANCHOR});
    const auto At = WaitForMap([Pid](pid_t P) { return P == Pid; }, std::chrono::seconds(20));
    End(Pid);
    return At ? std::chrono::duration<double, std::milli>(*At - Start).count() : -1;
}

// A program crashing: started, its main window (or a second) given to settle,
// then kill -SEGV to the helper's box mapped.
double Crash(const std::vector<std::string>& Args, const std::vector<std::string>& Env)
{
    Drain();
    const pid_t Pid = Spawn(Args, Env);
    WaitForMap([Pid](pid_t P) { return P == Pid; }, std::chrono::seconds(3));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    Drain();
    const auto Start = Clock::now();
    kill(Pid, SIGSEGV);
    const auto At = WaitForMap([Pid](pid_t P) { return P != Pid && IsChildOf(P, Pid); },
                               std::chrono::seconds(20));
    End(Pid);
    return At ? std::chrono::duration<double, std::milli>(*At - Start).count() : -1;
}

double Median(std::vector<double> V)
{
    std::sort(V.begin(), V.end());
    return V.empty() ? -1 : V[V.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int Rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (!Connect()) {
        std::fprintf(stderr, "crashreport_box_bench: no X display (run it under xvfb-run -a)\n");
        return 2;
    }
    char Home[] = "/tmp/crashreport-box-bench-XXXXXX";
    if (mkdtemp(Home) == nullptr)
        return 2;
    const std::string H = Home;
    const std::vector<std::string> Env = {"HOME=" + H, "XDG_STATE_HOME=" + H + "/state",
                                          "XDG_CONFIG_HOME=" + H + "/config",
                                          "PROBE_FULL_HANDLING=1"};
    std::vector<double> A, P, T;
    for (int I = 0; I < Rounds; ++I) {
        A.push_back(Anchor());
        P.push_back(Crash({TOLVEX_CRASHREPORT_PROBE, "idle"}, Env));
        T.push_back(Crash({TOLVEX_PROGRAM, "--portable"}, Env));
    }
    const double Am = Median(A), Pm = Median(P), Tm = Median(T);
    std::printf("Exception box mapped, median of %d rounds (ms):\n", Rounds);
    std::printf("  %-44s %8.1f\n", "anchor: bare Qt message box at start", Am);
    std::printf("  %-44s %8.1f  %.2fx\n", "crashreport_probe: kill -SEGV to the box", Pm, Pm / Am);
    std::printf("  %-44s %8.1f  %.2fx\n", "tolvex: kill -SEGV to the box", Tm, Tm / Am);
    std::system(("rm -rf " + H).c_str());
    return 0;
}
