// The crash capture's probe: crashreport_probe <scenario> meets one kind of
// trouble with crash reporting on (the program has its own settings section)
// and the tests look at what arrived.
//
// The probe replaces the handling of a record with its own: each record is
// appended to the file $PROBE_SINK as lines "key=value" between "record" and
// "end", and the verdict is $PROBE_VERDICT (continue, close or restart;
// continue when unset), after $PROBE_HANDLER_DELAY_MS milliseconds; with
// $PROBE_FULL_HANDLING set it keeps the crash reporter's own handling (its
// helper, its box), and with $PROBE_STALLING_PLUGIN a report section whose
// calculation never ends. The freeze scenario is busy $PROBE_BUSY_MS milliseconds
// (2000 when unset). On stdout
// it says what it is about to do ("pointer 0x..." before a fault, "went on"
// and "alive" when the program lives on, thread ids for the tests that look at
// threads from outside).
#include "crashlib/kelMemory.h"
#include "crashlib/kelStackTrace.h"
#include "crashlib/kelTools.h"
#include "crashreport/kelExceptFreeze.h"
#include "crashreport/kelExceptHandler.h"
#include "crashreport/kelExceptInit.h"
#include "crashreport/kelExceptReport.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelExceptTemp.h"
#include "crashreport/kelExceptThreads.h"
#include "platform/Thread.h"
#include "tests/crashreport/probe/ForeignThreads.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <link.h>
#include <map>
#include <pthread.h>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

pid_t Tid()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

void Say(const std::string& Line)
{
    std::printf("%s\n", Line.c_str());
    std::fflush(stdout);
}

std::string Hex(uint64_t Value)
{
    char Text[32];
    std::snprintf(Text, sizeof Text, "0x%llx", static_cast<unsigned long long>(Value));
    return Text;
}

// The program's load bias, so that addresses become addr2line's.
uintptr_t ProgramBias = 0;

int FindProgramBias(dl_phdr_info* Info, size_t, void*)
{
    ProgramBias = Info->dlpi_addr;
    return 1; // the program comes first
}

std::string Offset(uint64_t Address)
{
    return Hex(Address - ProgramBias);
}

// --- The sink ---------------------------------------------------------------------------

std::atomic<bool> PauseInHandler{false};

// A message of the main thread's crash-library port, and whether the main
// thread has served it (it must while it waits for a C++ exception's report).
HMsgPort MainPort = 0;
uint32_t MainPortMsg = 0;
std::atomic<bool> MainPortServed{false};

void OnMainPortMsg(HMsgPort, uint32_t, uintptr_t, intptr_t&, intptr_t)
{
    MainPortServed.store(true);
}

void SleepFor(std::chrono::milliseconds Time)
{
    std::this_thread::sleep_for(Time);
}

// Handler thread: the probe's handling of a record.
TVerdict SinkHandler(const TExceptionRecord& R)
{
    std::string Text = "record\n";
    const auto Add = [&Text](const std::string& Key, const std::string& Value) {
        Text += Key + "=" + Value + "\n";
    };
    Add("kind", std::to_string(R.Kind));
    Add("source", std::to_string(R.Source));
    Add("thread", std::to_string(R.ThreadId));
    Add("main", (R.Flags & rfMainThread) ? "1" : "0");
    Add("thread_name", GetThreadName(static_cast<pid_t>(R.ThreadId), true));
    Add("class", RecordClassName(R));
    Add("message", RecordMessage(R));
    Add("can_continue", std::to_string(R.CanContinue));
    Add("address", Hex(R.Address));
    Add("address_offset", Offset(R.Address));
    Add("signo", std::to_string(R.SigInfo.si_signo));
    Add("code", std::to_string(R.SigInfo.si_code));
    Add("fault_addr", Hex(reinterpret_cast<uint64_t>(R.SigInfo.si_addr)));
    Add("overflow", (R.Flags & rfStackOverflow) ? "1" : "0");
    if (R.Context != 0) {
        const auto* Uc = reinterpret_cast<const ucontext_t*>(R.Context);
        Add("rip", Hex(static_cast<uint64_t>(Uc->uc_mcontext.gregs[REG_RIP])));
        Add("rip_offset", Offset(static_cast<uint64_t>(Uc->uc_mcontext.gregs[REG_RIP])));
        // The walk a report makes when the stopped thread may hold any lock.
        static TCrashTrace Trace;
        TThreadContext Context;
        ContextFromUcontext(*Uc, Context);
        Context.ThreadId = static_cast<pid_t>(R.ThreadId);
        CalcCrashTimeTrace(Context, 0, Trace);
        for (size_t I = 0; I < Trace.Count && I < 4; ++I)
            Add("crash_frame" + std::to_string(I),
                Trace.Frames[I].HasName ? Trace.Frames[I].Routine : Hex(Trace.Frames[I].Address));
    }
    Add("crash_time_mode", CrashTimeMode() ? "1" : "0");
    Add("on_handler_thread", HandlerThreadId() == Tid() ? "1" : "0");
    int N = 0;
    for (const TInnerException& I : RecordInnerExceptions(R))
        Add("inner" + std::to_string(N++), I.ClassName + ": " + I.Message);
    if (R.RaiseInfo != 0) {
        const auto* Raise = reinterpret_cast<const TRaiseInfo*>(R.RaiseInfo);
        Add("throw_site_offset", Offset(Raise->ThrowSite));
        Add("throw_frames", std::to_string(Raise->FrameCount));
    }
    if (const auto Entry = GetThreadEntry(static_cast<pid_t>(R.ThreadId))) {
        Add("own", Entry->Own ? "1" : "0");
        Add("creator", std::to_string(Entry->CreatingThreadId));
        Add("creation_frames", std::to_string(Entry->CreationStack.size()));
    }
    Add("freeze_reports", std::to_string(FreezeReportCount()));
    if (std::getenv("PROBE_POST_TO_MAIN") != nullptr) {
        MainPortServed.store(false);
        PostMsg(MainPort, MainPortMsg);
        for (int I = 0; I < 500 && !MainPortServed.load(); ++I)
            SleepFor(10ms);
        Add("main_port_served", MainPortServed.load() ? "1" : "0");
    }
    if (PauseInHandler.load()) {
        PauseThreads(true, static_cast<pid_t>(R.ThreadId));
        for (const TParkedThread& P : ParkedThreads())
            Add("parked" + std::to_string(P.ThreadId), P.Parked ? "1" : "0");
    }
    Text += "end\n";
    if (const char* Sink = std::getenv("PROBE_SINK")) {
        const int Fd = open(Sink, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (Fd >= 0) {
            [[maybe_unused]] const ssize_t W = write(Fd, Text.data(), Text.size());
            close(Fd);
        }
    }
    if (PauseInHandler.load()) {
        // The test looks at the threads from outside meanwhile; it says when
        // it is done by creating the file $PROBE_GO.
        const char* Go = std::getenv("PROBE_GO");
        struct stat St {};
        for (int I = 0; I < 3000 && Go != nullptr && stat(Go, &St) != 0; ++I)
            SleepFor(10ms);
        PauseThreads(false, 0);
    }
    if (const char* Delay = std::getenv("PROBE_HANDLER_DELAY_MS"))
        SleepFor(std::chrono::milliseconds(std::atoi(Delay)));
    const char* Verdict = std::getenv("PROBE_VERDICT");
    if (Verdict != nullptr && std::strcmp(Verdict, "close") == 0)
        return vdClose;
    if (Verdict != nullptr && std::strcmp(Verdict, "restart") == 0)
        return vdRestart;
    return vdContinue;
}

// --- The event loop ------------------------------------------------------------------------

// Like the program's application object: an exception that escapes an event
// handler goes to the capture's hook.
class TProbeApplication : public QCoreApplication {
public:
    TProbeApplication(int& argc, char** argv, void (*AEventException)())
        : QCoreApplication(argc, argv), EventException(AEventException)
    {
        // The crash library's main-thread port is drained by the event loop.
        auto* Notifier = new QSocketNotifier(GetMsgPortFd(), QSocketNotifier::Read, this);
        QObject::connect(Notifier, &QSocketNotifier::activated, this, [] { DrainMsgPort(); });
    }

    bool notify(QObject* Receiver, QEvent* Event) override
    {
        if (EventException == nullptr)
            return QCoreApplication::notify(Receiver, Event);
        try {
            return QCoreApplication::notify(Receiver, Event);
        } catch (...) {
            EventException();
            return false;
        }
    }

private:
    void (*const EventException)();
};

// --- Trouble, each in a routine of its own name (the tests ask addr2line) ----------------

extern "C" {

__attribute__((noinline)) void ProbeThrowInEvent()
{
    throw std::runtime_error("thrown in an event");
}

__attribute__((noinline)) void ProbeThrowInStdThread()
{
    throw std::runtime_error("thrown in a std::thread");
}

__attribute__((noinline)) void ProbeSilentAbort()
{
    throw ESilentAbort("never reported");
}

__attribute__((noinline)) void ProbeThrowAgain()
{
    throw std::invalid_argument("second");
}

__attribute__((noinline)) void ProbeNested()
{
    try {
        throw std::runtime_error("first");
    } catch (const std::exception&) {
        ProbeThrowAgain();
    }
}

__attribute__((noinline)) void ProbeThrower()
{
    throw std::logic_error("thrown in a noexcept routine");
}

__attribute__((noinline)) void ProbeNoexcept() noexcept
{
    ProbeThrower();
}

__attribute__((noinline)) void ProbeSegv(volatile int* Pointer)
{
    *Pointer = 42;
}

__attribute__((noinline)) int ProbeBus(volatile const char* Pointer)
{
    return *Pointer;
}

__attribute__((noinline)) int ProbeFpe(const volatile int* Zero)
{
    return 1000 / *Zero;
}

__attribute__((noinline)) void ProbeIll()
{
    __builtin_trap();
}

__attribute__((noinline)) void ProbeAbort()
{
    std::abort();
}

// Recurses until the stack is gone (the limit only keeps the compiler from
// calling it endless).
__attribute__((noinline)) int ProbeRecurse(int Depth)
{
    volatile char Frame[512];
    Frame[0] = static_cast<char>(Depth);
    if (Depth == INT32_MAX)
        return 0;
    return ProbeRecurse(Depth + 1) + Frame[0];
}

// Spins for Ms milliseconds without a call in its loop but the rare clock read.
__attribute__((noinline)) uint64_t ProbeBusy(int Ms)
{
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    volatile uint64_t Sum = 0;
    while (std::chrono::steady_clock::now() < End)
        for (uint64_t I = 0; I < 20000000; ++I)
            Sum = Sum + I;
    return Sum;
}

} // extern "C"

class TThrowingThread : public platform::TThread {
protected:
    void Execute() override { throw std::logic_error("thrown in a TThread"); }
};

// Waits until told to end; named after its class by the capture.
class TProbeWorkerThread : public platform::TThread {
public:
    explicit TProbeWorkerThread(std::atomic<bool>& AStop) : Stop(AStop) {}
    std::atomic<pid_t> Id{0};

protected:
    void Execute() override
    {
        Id.store(Tid());
        while (!Stop.load())
            SleepFor(10ms);
    }

private:
    std::atomic<bool>& Stop;
};

// --- Scenarios -----------------------------------------------------------------------------

int RunEventLoop(int& argc, char** argv, const TCaptureHooks& Hooks,
                 const std::function<void(QCoreApplication&)>& Setup)
{
    TProbeApplication App(argc, argv, Hooks.EventException);
    Setup(App);
    return App.exec();
}

// A fault address of its own: a page that cannot be touched.
volatile int* ForbiddenPage()
{
    void* Page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return reinterpret_cast<volatile int*>(static_cast<char*>(Page) + 0x234);
}

// A page of a file cut off behind the mapping's back.
volatile const char* VanishedPage()
{
    char Name[] = "/tmp/crashreport-probe-XXXXXX";
    const int Fd = mkstemp(Name);
    unlink(Name);
    if (Fd < 0 || ftruncate(Fd, 4096) != 0)
        return nullptr;
    void* Map = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, Fd, 0);
    if (ftruncate(Fd, 0) != 0 || Map == MAP_FAILED)
        return nullptr;
    return static_cast<volatile const char*>(Map) + 0x10;
}

void* RecurseRoutine(void*)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(ProbeRecurse(0)));
}

void* BlockedRoutine(void*)
{
    for (;;)
        pause(); // a cancellation point
}

void* ExitingRoutine(void*)
{
    pthread_exit(nullptr);
}

int Scenario(const std::string& Name, int& argc, char** argv, const TCaptureHooks& Hooks)
{
    if (Name == "throw-in-event") {
        return RunEventLoop(argc, argv, Hooks, [](QCoreApplication& App) {
            QTimer::singleShot(0, &App, [] { ProbeThrowInEvent(); });
            QTimer::singleShot(50, &App, [&App] {
                Say("went on");
                App.quit();
            });
        });
    }
    if (Name == "throw-in-tthread") {
        platform::MainThread().Install();
        TThrowingThread Thread;
        Thread.Resume();
        Thread.WaitFor();
        Say(std::string("alive, fatal exception kept: ") + (Thread.FatalException ? "yes" : "no"));
        return 0;
    }
    if (Name == "throw-in-std-thread") {
        std::thread([] { ProbeThrowInStdThread(); }).join();
        Say("alive");
        return 0;
    }
    if (Name == "throw-in-foreign-thread") {
        ForeignThrowInThread();
        Say("alive");
        return 0;
    }
    if (Name == "silent-abort") {
        // Not reported, neither from a thread nor from an event handler.
        std::thread([] { ProbeSilentAbort(); }).join();
        return RunEventLoop(argc, argv, Hooks, [](QCoreApplication& App) {
            QTimer::singleShot(0, &App, [] { ProbeSilentAbort(); });
            QTimer::singleShot(50, &App, [&App] {
                Say("alive");
                App.quit();
            });
        });
    }
    if (Name == "nested") {
        std::thread([] { ProbeNested(); }).join();
        Say("alive");
        return 0;
    }
    if (Name == "pthread-cancel") {
        pthread_t Blocked, Exiting;
        pthread_create(&Blocked, nullptr, BlockedRoutine, nullptr);
        pthread_create(&Exiting, nullptr, ExitingRoutine, nullptr);
        SleepFor(50ms);
        pthread_cancel(Blocked);
        void* Result = nullptr;
        pthread_join(Blocked, &Result);
        pthread_join(Exiting, nullptr);
        Say(Result == PTHREAD_CANCELED ? "alive, cancelled" : "alive, not cancelled");
        return 0;
    }
    if (Name == "throw-in-noexcept") {
        ProbeNoexcept();
        return 0;
    }
    if (Name == "segv") {
        volatile int* P = ForbiddenPage();
        Say("pointer " + Hex(reinterpret_cast<uint64_t>(P)));
        ProbeSegv(P);
        return 0;
    }
    if (Name == "fork") {
        // A forked child's fault is not the program's report: the handler
        // thread stayed in the parent.
        const pid_t Child = fork();
        if (Child == 0) {
            ProbeSegv(ForbiddenPage());
            _exit(0);
        }
        int Status = 0;
        waitpid(Child, &Status, 0);
        Say("child " + std::string(WIFSIGNALED(Status) ? "signal " : "exit ") +
            std::to_string(WIFSIGNALED(Status) ? WTERMSIG(Status) : WEXITSTATUS(Status)));
        // A child that ends through exit() runs the exit handlers it
        // inherited: the parent's capture must stay whole.
        const pid_t Exiting = fork();
        if (Exiting == 0)
            std::exit(0);
        waitpid(Exiting, &Status, 0);
        Say("exiting child " + std::to_string(WIFEXITED(Status) ? WEXITSTATUS(Status) : -1));
        if (std::getenv("PROBE_FAULT_AFTER_FORK") != nullptr)
            ProbeSegv(ForbiddenPage());
        return 0;
    }
    if (Name == "bus") {
        volatile const char* P = VanishedPage();
        Say("pointer " + Hex(reinterpret_cast<uint64_t>(P)));
        return ProbeBus(P);
    }
    if (Name == "fpe") {
        static volatile int Zero = 0;
        return ProbeFpe(&Zero);
    }
    if (Name == "ill") {
        ProbeIll();
        return 0;
    }
    if (Name == "abort") {
        ProbeAbort();
        return 0;
    }
    if (Name == "stack-overflow")
        return ProbeRecurse(0);
    if (Name == "stack-overflow-worker") {
        pthread_t Thread;
        pthread_create(&Thread, nullptr, RecurseRoutine, nullptr);
        pthread_join(Thread, nullptr);
        return 0;
    }
    if (Name == "kill-segv") {
        Say("ready");
        for (;;)
            SleepFor(1s);
    }
    if (Name == "idle") {
        // An event loop that waits until the probe is killed (the benchmark
        // of the box sends it its signal).
        return RunEventLoop(argc, argv, Hooks, [](QCoreApplication& App) {
            QTimer::singleShot(100, &App, [] { Say("ready"); });
        });
    }
    if (Name == "freeze") {
        // Busy for two seconds after the event loop has run a while: one
        // report after ten rounds of 100 ms, the next not before 1.5 s more.
        return RunEventLoop(argc, argv, Hooks, [](QCoreApplication& App) {
            QTimer::singleShot(300, &App, [&App] {
                Say("busy");
                const char* Busy = std::getenv("PROBE_BUSY_MS");
                ProbeBusy(Busy != nullptr ? std::atoi(Busy) : 2000);
                Say("answering");
                QTimer::singleShot(500, &App, [&App] { App.quit(); });
            });
        });
    }
    if (Name == "freeze-answers") {
        // Busy 600 ms at a time, answering in between: never ten misses.
        return RunEventLoop(argc, argv, Hooks, [](QCoreApplication& App) {
            auto* Rounds = new int(0);
            auto* Timer = new QTimer(&App);
            QObject::connect(Timer, &QTimer::timeout, &App, [&App, Rounds] {
                if (++*Rounds > 5) {
                    App.quit();
                    return;
                }
                ProbeBusy(600);
            });
            Timer->start(150);
        });
    }
    if (Name == "freeze-during-report") {
        // The main thread is busy while a worker's report is handled (the
        // test's handler takes 2.5 s): no freeze report.
        return RunEventLoop(argc, argv, Hooks, [](QCoreApplication& App) {
            QTimer::singleShot(300, &App, [&App] {
                std::thread Worker([] {
                    SleepFor(100ms);
                    ProbeThrowInStdThread();
                });
                ProbeBusy(2300);
                Worker.join();
                QTimer::singleShot(500, &App, [&App] { App.quit(); });
            });
        });
    }
    if (Name == "pause") {
        // Own threads (std::thread, TThread) and one of the foreign library;
        // a worker's report parks the own ones.
        platform::MainThread().Install();
        std::atomic<bool> Stop{false};
        std::vector<std::thread> Own;
        std::vector<std::atomic<pid_t>> OwnIds(3);
        for (auto& Id : OwnIds)
            Own.emplace_back([&Stop, &Id] {
                Id.store(Tid());
                while (!Stop.load())
                    SleepFor(10ms);
            });
        TProbeWorkerThread Worker(Stop);
        Worker.Resume();
        const pid_t Foreign = ForeignStartSpinner();
        for (auto& Id : OwnIds)
            while (Id.load() == 0)
                SleepFor(1ms);
        while (Worker.Id.load() == 0)
            SleepFor(1ms);
        for (auto& Id : OwnIds)
            Say("own " + std::to_string(Id.load()));
        Say("own " + std::to_string(Worker.Id.load()));
        Say("foreign " + std::to_string(Foreign));
        PauseInHandler.store(true);
        std::thread([] { ProbeThrowInStdThread(); }).join();
        PauseInHandler.store(false);
        Stop.store(true);
        for (auto& T : Own)
            T.join();
        Worker.WaitFor();
        ForeignStopSpinner();
        Say("alive");
        return 0;
    }
    if (Name == "threads50") {
        // Fifty threads started three ways; the table is printed while all
        // of them wait, then they end.
        platform::MainThread().Install();
        std::atomic<bool> Stop{false};
        std::atomic<int> Started{0};
        std::vector<std::unique_ptr<TProbeWorkerThread>> Workers;
        for (int I = 0; I < 20; ++I) {
            Workers.push_back(std::make_unique<TProbeWorkerThread>(Stop));
            Workers.back()->Resume();
        }
        std::vector<std::thread> Named;
        for (int I = 0; I < 15; ++I)
            Named.emplace_back([&Stop, &Started, I] {
                SetThreadName(Tid(), "probe worker " + std::to_string(I));
                ++Started;
                while (!Stop.load())
                    SleepFor(10ms);
            });
        std::vector<pthread_t> Plain(15);
        for (auto& T : Plain)
            pthread_create(
                &T, nullptr,
                [](void* Arg) -> void* {
                    auto& S = *static_cast<std::pair<std::atomic<bool>*, std::atomic<int>*>*>(Arg);
                    ++*S.second;
                    while (!S.first->load())
                        SleepFor(10ms);
                    return nullptr;
                },
                new std::pair<std::atomic<bool>*, std::atomic<int>*>(&Stop, &Started));
        for (auto& W : Workers)
            while (W->Id.load() == 0)
                SleepFor(1ms);
        while (Started.load() < 30)
            SleepFor(1ms);
        // A worker names itself as it starts: wait until all names are in.
        SleepFor(100ms);
        for (const TThreadEntry& E : ListThreadEntries())
            Say("table " + std::to_string(E.ThreadId) + " " + GetThreadName(E.ThreadId, true));
        Say("untracked " + std::to_string(ForeignDispatcherThreadId()));
        Say("ready");
        char Line[16];
        if (std::fgets(Line, sizeof Line, stdin) == nullptr) {
        }
        Stop.store(true);
        for (auto& W : Workers)
            W->WaitFor();
        for (auto& T : Named)
            T.join();
        for (auto& T : Plain)
            pthread_join(T, nullptr);
        return 0;
    }
    if (Name == "temp-folder") {
        Say("temp " + ExceptTempFolder());
        for (;;)
            SleepFor(1s);
    }
    if (Name == "times") {
        // Only what InitializeLibrary took over.
        std::string Line = "times";
        for (const int64_t T : LastExceptionTimes())
            Line += " " + std::to_string(T);
        Say(Line);
        return 0;
    }
    std::fprintf(stderr, "crashreport_probe: no scenario \"%s\"\n", Name.c_str());
    return 64;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string Name = argc > 1 ? argv[1] : "";
    dl_iterate_phdr(FindProgramBias, nullptr);
    // The scenario's own settings go into the process's table before the
    // capture reads it.
    const auto Settings = NewSettings();
    if (Name.rfind("freeze", 0) == 0)
        Settings->SetBoolSetting("CheckFreeze", true);
    if (std::getenv("PROBE_WINDOWS_LOGO") != nullptr)
        Settings->SetBoolSetting("WindowsLogo", true);
    // PROBE_FULL_HANDLING: the program's own handling, with its helper and box.
    if (std::getenv("PROBE_FULL_HANDLING") == nullptr)
        SetHandleExceptionRecord(SinkHandler);
    // PROBE_STALLING_PLUGIN: a section of the report that never ends.
    if (std::getenv("PROBE_STALLING_PLUGIN") != nullptr) {
        RegisterBugReportPlugin("stalling", "never ends", [](std::string& Text) {
            for (;;)
                SleepFor(1s);
            Text = "never";
        });
        Settings->SetTextSetting("Plugins", "stalling");
    }
    MainPort = GetMsgHandlerWindow();
    MainPortMsg = AddMsgHandler(OnMainPortMsg);
    const auto Start = std::chrono::steady_clock::now();
    const TCaptureHooks Hooks = InitializeLibrary();
    const auto Took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - Start);
    platform::SetThreadHooks({Hooks.ThreadStarted, Hooks.ThreadException});
    Say(std::string("capture ") + (Hooks.Enabled() ? "on" : "off") + " pid " +
        std::to_string(getpid()) + " init_ms " + std::to_string(Took.count()));
    // Reports name routines at crash time once the capture has read the
    // program's names; the scenarios meet their trouble after that. The
    // watchdog is held meanwhile, as during a report: the main thread does
    // not serve its port while it waits.
    // "exit-at-once [microseconds]" ends through exit() while the preparation
    // may still run, as a program closed right after its start does; only the
    // capture's own exit handler stands between it and the static objects.
    if (Name == "exit-at-once") {
        if (argc > 2)
            std::this_thread::sleep_for(std::chrono::microseconds(std::atoi(argv[2])));
        std::exit(0);
    }
    SetHandlingException(true);
    WaitForCrashTimePreparation();
    SetHandlingException(false);
    const int Rc = Scenario(Name, argc, argv, Hooks);
    FinalizeLibrary();
    return Rc;
}
