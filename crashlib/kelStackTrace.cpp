#include "crashlib/kelStackTrace.h"

#include "crashlib/kelDwarf.h"
#include "crashlib/kelElfImage.h"
#include "crashlib/kelFuncParser.h"
#include "crashlib/kelMapFile.h"
#include "crashlib/kelStrings.h"
#include "crashlib/kelZip.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unordered_map>

// A build without libdw (the 32-bit test build has none) walks by the frame
// chain and scan-and-link only.
#ifndef TOLVEX_CRASHLIB_NO_LIBDW
#include <elfutils/libdwfl.h>
#endif

namespace {

constexpr size_t SlotSize = sizeof(uintptr_t);
constexpr TCpuMode NativeMode = sizeof(void*) == 8 ? TCpuMode::x64 : TCpuMode::x86;
constexpr size_t MaxFrames = 1024;

// One walk at a time in the process: the caches below and libdw's state are
// shared by all walks.
std::mutex& WalkLock()
{
    static std::mutex Lock;
    return Lock;
}

pid_t CurrentTid()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

long Futex(std::atomic<int>* Word, int Op, int Value, const timespec* Timeout)
{
    return syscall(SYS_futex, reinterpret_cast<int*>(Word), Op, Value, Timeout, nullptr, 0);
}

} // namespace

const char* FrameSourceName(TFrameSource Source)
{
    switch (Source) {
    case TFrameSource::Context:
        return "context";
    case TFrameSource::Cfi:
        return "cfi";
    case TFrameSource::FramePointer:
        return "fp";
    case TFrameSource::Scan:
        return "scan";
    case TFrameSource::Kernel:
        return "kernel";
    }
    return "?";
}

void ContextFromUcontext(const ucontext_t& Uc, TThreadContext& Context)
{
    const greg_t* G = Uc.uc_mcontext.gregs;
#if defined(__x86_64__)
    static constexpr int Order[TThreadContext::RegisterCount] = {
        REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI, REG_RBP, REG_RSP, REG_R8,
        REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
#else
    static constexpr int Order[TThreadContext::RegisterCount] = {
        REG_EAX, REG_ECX, REG_EDX, REG_EBX, REG_ESP, REG_EBP, REG_ESI, REG_EDI, REG_EIP};
#endif
    for (unsigned I = 0; I < TThreadContext::RegisterCount; I++)
        Context.Regs[I] = static_cast<uintptr_t>(G[Order[I]]);
}

bool GetStackBounds(uintptr_t Sp, uintptr_t& Low, uintptr_t& High)
{
    bool Found = false;
    EnumMemoryMaps([&](const TMapsEntry& E) {
        if (Sp < E.Start || Sp >= E.End)
            return true;
        if (MapsAccessKind(E.Perms) == kaReadable) {
            Low = E.Start;
            High = E.End;
            Found = true;
        }
        return false;
    });
    return Found;
}

// --- Pausing another thread ---------------------------------------------------------

namespace {

// The one request slot. The handler copies the registers only when it finds
// a request for its own thread, and announces the copy by moving the state
// from Requested to Captured; a requester that gave up moves it back to Idle
// first, so a late signal finds nothing to answer.
enum : int { psIdle = 0, psRequested = 1, psCaptured = 2 };
struct TPauseSlot {
    std::atomic<int> State{psIdle};
    // Each request has a number; a handler waits until that number is
    // released, so a handler still on its way out of an earlier pause never
    // mistakes a new request's state for its own.
    std::atomic<int> Requested{0};
    std::atomic<int> Released{0};
    std::atomic<pid_t> Target{0};
    gregset_t Regs{};
};
TPauseSlot PauseSlot;

std::mutex& PauseLock()
{
    static std::mutex Lock;
    return Lock;
}

void PauseHandler(int, siginfo_t*, void* Raw)
{
    const int SavedErrno = errno;
    if (PauseSlot.Target.load() == CurrentTid() && PauseSlot.State.load() == psRequested) {
        const auto* Uc = static_cast<const ucontext_t*>(Raw);
        std::memcpy(&PauseSlot.Regs, Uc->uc_mcontext.gregs, sizeof(gregset_t));
        const int Number = PauseSlot.Requested.load();
        int Expected = psRequested;
        if (PauseSlot.State.compare_exchange_strong(Expected, psCaptured)) {
            Futex(&PauseSlot.State, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
            for (int R = PauseSlot.Released.load(); R - Number < 0; R = PauseSlot.Released.load())
                Futex(&PauseSlot.Released, FUTEX_WAIT_PRIVATE, R, nullptr);
        }
    }
    errno = SavedErrno;
}

void InstallPauseHandler()
{
    static std::once_flag Once;
    std::call_once(Once, [] {
        struct sigaction Sa {};
        Sa.sa_sigaction = PauseHandler;
        // On the alternate stack: a thread near the end of its own stack
        // would fault inside the handler.
        Sa.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
        sigemptyset(&Sa.sa_mask);
        sigaction(PauseSignal(), &Sa, nullptr);
    });
}

} // namespace

int PauseSignal()
{
    return SIGRTMIN + 7;
}

namespace {

// A small file of /proc/self/task/<tid>/, read whole into Buffer.
size_t ReadTaskFile(pid_t Tid, const char* Name, char* Buffer, size_t Size)
{
    char Path[64];
    std::snprintf(Path, sizeof(Path), "/proc/self/task/%d/%s", static_cast<int>(Tid), Name);
    const int Fd = OpenRegularFile(Path);
    if (Fd < 0)
        return 0;
    size_t Got = 0;
    for (;;) {
        const ssize_t N = read(Fd, Buffer + Got, Size - 1 - Got);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0 || (Got += static_cast<size_t>(N)) >= Size - 1)
            break;
    }
    close(Fd);
    Buffer[Got] = '\0';
    return Got;
}

// Whether thread Tid blocks Signal, by the mask its status shows.
bool BlocksSignal(pid_t Tid, int Signal)
{
    char Text[4096];
    if (ReadTaskFile(Tid, "status", Text, sizeof(Text)) == 0)
        return false;
    const char* Line = std::strstr(Text, "\nSigBlk:");
    if (Line == nullptr)
        return false;
    const unsigned long long Mask = std::strtoull(Line + 8, nullptr, 16);
    return Signal >= 1 && Signal <= 64 && (Mask >> (Signal - 1) & 1) != 0;
}

} // namespace

bool ReadBlockedThreadContext(pid_t Tid, TThreadContext& Context)
{
    // "nr arg1 ... arg6 sp pc" for a thread in a system call, "-1 sp pc" for
    // one blocked elsewhere in the kernel, "running" for one that runs.
    char Text[512];
    if (ReadTaskFile(Tid, "syscall", Text, sizeof(Text)) == 0 || Text[0] == 'r')
        return false;
    unsigned long long Words[9] = {};
    int Count = 0;
    for (char* At = Text; Count < 9;) {
        char* End = nullptr;
        Words[Count] = std::strtoull(At, &End, 0);
        if (End == At)
            break;
        Count++;
        At = End;
    }
    if (Count != 9 && Count != 3)
        return false;
    Context = TThreadContext{};
    Context.Regs[TThreadContext::SpReg] = static_cast<uintptr_t>(Words[Count - 2]);
    Context.Regs[TThreadContext::IpReg] = static_cast<uintptr_t>(Words[Count - 1]);
    Context.ThreadId = Tid;
    Context.KernelOnly = true;
    return Context.Ip() != 0 && Context.Sp() != 0;
}

TPausedThread::~TPausedThread()
{
    Resume();
}

bool TPausedThread::Pause(pid_t Tid, int TimeoutMs)
{
    Resume();
    if (Tid == CurrentTid())
        return false;
    // A thread that blocks the signal would never answer it.
    if (BlocksSignal(Tid, PauseSignal()))
        return PauseByKernel(Tid);
    InstallPauseHandler();
    PauseLock().lock();
    PauseSlot.Requested.store(PauseSlot.Released.load() + 1);
    PauseSlot.Target.store(Tid);
    PauseSlot.State.store(psRequested);
    if (syscall(SYS_tgkill, getpid(), Tid, PauseSignal()) != 0) {
        PauseSlot.State.store(psIdle);
        PauseLock().unlock();
        return false;
    }
    timespec Deadline{};
    clock_gettime(CLOCK_MONOTONIC, &Deadline);
    Deadline.tv_sec += TimeoutMs / 1000;
    Deadline.tv_nsec += (TimeoutMs % 1000) * 1000000L;
    if (Deadline.tv_nsec >= 1000000000L) {
        Deadline.tv_sec++;
        Deadline.tv_nsec -= 1000000000L;
    }
    while (PauseSlot.State.load() == psRequested) {
        timespec Now{};
        clock_gettime(CLOCK_MONOTONIC, &Now);
        timespec Left{Deadline.tv_sec - Now.tv_sec, Deadline.tv_nsec - Now.tv_nsec};
        if (Left.tv_nsec < 0) {
            Left.tv_sec--;
            Left.tv_nsec += 1000000000L;
        }
        if (Left.tv_sec < 0)
            break;
        Futex(&PauseSlot.State, FUTEX_WAIT_PRIVATE, psRequested, &Left);
    }
    int Expected = psRequested;
    if (PauseSlot.State.compare_exchange_strong(Expected, psIdle)) {
        PauseLock().unlock();
        return PauseByKernel(Tid);
    }
    ucontext_t Uc{};
    std::memcpy(Uc.uc_mcontext.gregs, &PauseSlot.Regs, sizeof(gregset_t));
    Ctx = TThreadContext{};
    ContextFromUcontext(Uc, Ctx);
    Ctx.ThreadId = Tid;
    GetStackBounds(Ctx.Sp(), Ctx.StackLow, Ctx.StackHigh);
    Holding = true;
    return true;
}

bool TPausedThread::PauseByKernel(pid_t Tid)
{
    if (!ReadBlockedThreadContext(Tid, Ctx))
        return false;
    GetStackBounds(Ctx.Sp(), Ctx.StackLow, Ctx.StackHigh);
    return true;
}

void TPausedThread::Resume()
{
    if (!Holding)
        return;
    Holding = false;
    PauseSlot.State.store(psIdle);
    PauseSlot.Released.store(PauseSlot.Requested.load());
    Futex(&PauseSlot.Released, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
    PauseLock().unlock();
}

// --- Return addresses ------------------------------------------------------------------

bool IsReturnAddress(uintptr_t Value, const TDATryRead* Ranges, uintptr_t* CallStart, TCpuMode Mode)
{
    if (Value < 8)
        return false;
    uint8_t B[8];
    if (!TryRead(Value - 8, B, 8, Ranges))
        return false;
    // B[8 - k] is the byte at Value - k.
    auto At = [&](int K) { return B[8 - K]; };
    TProcessCodeReader Reader(Ranges);
    auto Confirm = [&](int K) {
        const TInstructionInfo I = ParseCodeEx(Value - K, nullptr, false, Reader, Mode);
        if (!I.IsCall || I.Next != Value)
            return false;
        if (CallStart != nullptr)
            *CallStart = Value - K;
        return true;
    };
    if (At(5) == 0xE8 && Confirm(5))
        return true;
    for (int K : {2, 3, 4, 6, 7}) {
        if (At(K) != 0xFF || K < 2)
            continue;
        const uint8_t ModRM = K > 1 ? At(K - 1) : 0;
        if (((ModRM >> 4) & 3) != 1)
            continue;
        // In x86-64 code a REX prefix may stand right before the opcode.
        if (Mode == TCpuMode::x64 && K < 7 && (At(K + 1) & 0xF0) == 0x40 && Confirm(K + 1))
            return true;
        if (Confirm(K))
            return true;
    }
    return Mode == TCpuMode::x86 && At(7) == 0x9A && Confirm(7);
}

// --- Signal frames -------------------------------------------------------------------------

namespace {

// The code a signal handler returns to: the C library's restorer, which asks
// the kernel to restore the interrupted context (rt_sigreturn).
#if defined(__x86_64__)
constexpr uint8_t SigreturnCode[] = {0x48, 0xC7, 0xC0, 0x0F, 0x00, 0x00, 0x00, 0x0F, 0x05};
// The kernel's frame: the return address, then the ucontext.
constexpr size_t SignalContextOffset = sizeof(uintptr_t);
#else
constexpr uint8_t SigreturnCode[] = {0xB8, 0xAD, 0x00, 0x00, 0x00, 0xCD, 0x80};
// The return address, the signal number, the pointers to the siginfo and the
// ucontext, the siginfo, then the ucontext.
constexpr size_t SignalContextOffset = 4 * sizeof(uintptr_t) + sizeof(siginfo_t);
#endif

} // namespace

bool IsSigreturnTrampoline(uintptr_t Address, const TDATryRead* Ranges)
{
    uint8_t Code[sizeof(SigreturnCode)];
    return Address != 0 && TryRead(Address, Code, sizeof(Code), Ranges) &&
           std::memcmp(Code, SigreturnCode, sizeof(Code)) == 0;
}

bool ReadSignalFrame(uintptr_t Slot, const TDATryRead* Ranges, TThreadContext& Interrupted)
{
    ucontext_t Uc{};
    const uintptr_t Regs = Slot + SignalContextOffset + offsetof(ucontext_t, uc_mcontext) +
                           offsetof(mcontext_t, gregs);
    if (!TryRead(Regs, Uc.uc_mcontext.gregs, sizeof(gregset_t), Ranges))
        return false;
    Interrupted = TThreadContext{};
    ContextFromUcontext(Uc, Interrupted);
    // A saved context whose code or stack cannot be read is no signal frame.
    uint8_t Byte = 0;
    return Interrupted.Ip() != 0 && Interrupted.Sp() != 0 &&
           TryRead(Interrupted.Ip(), &Byte, 1, Ranges) &&
           TryRead(Interrupted.Sp(), &Byte, 1, Ranges);
}

// --- Recursion removal ---------------------------------------------------------------------

int RemoveRecursiveStackAreas(std::vector<uintptr_t>& Values, const std::atomic<bool>* Cancel,
                              size_t MaxCandidates)
{
    // Deep stacks make each pass quadratic and the passes many: the walk
    // keeps the innermost candidates only, which are the ones a report needs.
    if (Values.size() > MaxCandidates)
        Values.resize(MaxCandidates);
    int Passes = 0;
    bool Changed = true;
    while (Changed) {
        if (Cancel != nullptr && Cancel->load())
            break;
        Passes++;
        Changed = false;
        std::vector<bool> Removed(Values.size(), false);
        // From the outermost inward: block [i - k, i] is dropped when it
        // equals block [j - k, j], j being the nearest inner repeat of i.
        for (size_t I = Values.size(); I-- > 1;) {
            if (Removed[I])
                continue;
            size_t J = I;
            while (J-- > 0 && Values[J] != Values[I]) {
            }
            if (J == SIZE_MAX || J == I)
                continue;
            const size_t K = I - J - 1;
            if (J < K)
                continue;
            bool Same = true;
            for (size_t D = 1; D <= K && Same; D++)
                Same = Values[I - D] == Values[J - D];
            if (!Same)
                continue;
            for (size_t D = 0; D <= K; D++)
                Removed[I - D] = true;
            Changed = true;
            I = J + 1; // continue inside the kept block
        }
        if (Changed) {
            size_t Out = 0;
            for (size_t I = 0; I < Values.size(); I++)
                if (!Removed[I])
                    Values[Out++] = Values[I];
            Values.resize(Out);
        }
    }
    return Passes;
}

// --- Routines and calls -------------------------------------------------------------------

namespace {

// Caches of routine entries and call targets, shared across walks (the code
// of loaded modules does not change while they stay loaded).
std::unordered_map<uintptr_t, uintptr_t>& EntryCache()
{
    static std::unordered_map<uintptr_t, uintptr_t> Cache;
    return Cache;
}
std::unordered_map<uintptr_t, std::vector<uintptr_t>>& TargetCache()
{
    static std::unordered_map<uintptr_t, std::vector<uintptr_t>> Cache;
    return Cache;
}

// The start of the routine that holds Address: its unwind entry, else the
// public of the module's debug information at or below it; 0 when unknown.
uintptr_t RoutineEntry(uintptr_t Address, const TDATryRead* Ranges)
{
    auto& Cache = EntryCache();
    if (auto It = Cache.find(Address); It != Cache.end())
        return It->second;
    uintptr_t Entry = 0;
    TUnwindEntry U;
    if (FindUnwindEntry(Address, U, TProcessCodeReader(Ranges)))
        Entry = static_cast<uintptr_t>(U.Begin);
    else {
        std::u16string Module, Unit, Name;
        uint32_t Line = 0;
        uintptr_t Public = 0;
        if (GetMapFileInfosEx(Address, Module, Unit, Line, Public, Name) && !Name.empty())
            Entry = Public;
    }
    Cache.emplace(Address, Entry);
    return Entry;
}

// Stands in a destination list for "any routine".
constexpr uintptr_t AnyRoutine = ~uintptr_t(0);

// The routines a direct call to Target may end up in: Target itself, the
// routine behind a linkage-table stub or a thunk that only jumps, and the
// routines Target leaves by a tail jump.
const std::vector<uintptr_t>& CallDestinations(uintptr_t Target, const TDATryRead* Ranges)
{
    auto& Cache = TargetCache();
    if (auto It = Cache.find(Target); It != Cache.end())
        return It->second;
    std::vector<uintptr_t> Out{Target};
    TProcessCodeReader Reader(Ranges);
    // A stub may lead to a routine that is itself only a tail call (qsort
    // to qsort_r): follow a few steps.
    for (size_t Next = 0; Next < Out.size() && Out.size() < 16 && Next < 6; Next++) {
        const uintptr_t At0 = Out[Next];
        uintptr_t At = At0;
        uint8_t End[4];
        // endbr64 / endbr32 before the jump of a stub
        if (TryRead(At, End, 4, Ranges) && End[0] == 0xF3 && End[1] == 0x0F && End[2] == 0x1E &&
            (End[3] == 0xFA || End[3] == 0xFB))
            At += 4;
        auto Add = [&](uint64_t T) {
            if (T != 0 && std::find(Out.begin(), Out.end(), T) == Out.end())
                Out.push_back(static_cast<uintptr_t>(T));
        };
        const TInstructionInfo J = ParseCodeEx(At, nullptr, false, Reader, NativeMode);
        if (J.IsJump && J.Opcode == 0xFF && J.Target == 0 && Next == 0)
            // A stub that jumps through a pointer it finds by a register
            // (32-bit position-independent code: jmp [ebx+n]) may lead
            // anywhere, like a call through a pointer.
            Add(AnyRoutine);
        else if (J.Valid && J.IsJump && (J.Opcode == 0xE9 || J.Opcode == 0xEB || J.Opcode == 0xFF))
            Add(J.Target);
        TFunctionInfo Info;
        TParseSetup Setup = MakeProcessParseSetup(At0, Ranges);
        Setup.Mode = NativeMode; // this process's own code
        ParseFunctionIn(At0, Setup, Info);
        if (Info.Valid)
            for (const TFunctionCall& C : Info.Calls)
                if (!C.IsCall)
                    Add(C.Target);
    }
    return Cache.emplace(Target, std::move(Out)).first->second;
}

struct TCandidate {
    uintptr_t Slot = 0;  // where on the stack (0 for the instruction pointer)
    uintptr_t Value = 0; // the return address (or the instruction pointer)
    uintptr_t CallStart = 0;
    uintptr_t Entry = 0; // the routine holding the call (0: unknown)
    bool Indirect = false;
    uintptr_t Target = 0; // a direct call's target
};

constexpr uint64_t KnownLink = uint64_t(1) << 28;
constexpr uint64_t PointerLink = uint64_t(1) << 14;
constexpr uint64_t UnknownLink = 1;

// How well the call before candidate Outer leads into the routine of Inner;
// 0 when it cannot.
uint64_t LinkScore(const TCandidate& Outer, const TCandidate& Inner, const TDATryRead* Ranges)
{
    if (Outer.Indirect)
        return PointerLink;
    if (Outer.Target == 0)
        return 0;
    if (Inner.Entry != 0) {
        const auto& Destinations = CallDestinations(Outer.Target, Ranges);
        for (uintptr_t D : Destinations)
            if (D == Inner.Entry)
                return KnownLink;
        if (std::find(Destinations.begin(), Destinations.end(), AnyRoutine) != Destinations.end())
            return PointerLink;
        return 0;
    }
    // A routine nobody names: the call must at least lead below it.
    return Outer.Target <= Inner.Value && Inner.Value - Outer.Target < (1u << 20) ? UnknownLink : 0;
}

bool Cancelled(const std::atomic<bool>* Cancel)
{
    return Cancel != nullptr && Cancel->load();
}

// The stack to walk for a stack pointer: [Sp, end) of the readable mapping
// that holds Sp, narrowed by the bounds a caller gives (they may be stale or
// wrong; the mapping is what can be read). A stack pointer in a guard page or
// in the gap below a stack (a stack that overflowed) holds nothing readable:
// the stack is then the nearest readable mapping above it.
bool StackRegion(uintptr_t Sp, uintptr_t& Low, uintptr_t& High, const TDATryRead& Ranges)
{
    constexpr uintptr_t MaxGap = uintptr_t{64} << 20;
    const auto& R = Ranges.Ranges;
    auto It = std::upper_bound(R.begin(), R.end(), Sp,
                               [](uintptr_t A, const TTryReadRange& X) { return A < X.Start; });
    const TTryReadRange* Found = nullptr;
    bool Holds = false;
    if (It != R.begin() && Sp < std::prev(It)->End && std::prev(It)->Kind == kaReadable) {
        Found = &*std::prev(It);
        Holds = true;
    }
    for (; Found == nullptr && It != R.end() && It->Start - Sp <= MaxGap; ++It)
        if (It->Kind == kaReadable)
            Found = &*It;
    if (Found == nullptr)
        return false;
    uintptr_t L = Low == 0 ? Found->Start : std::max(Low, Found->Start);
    const uintptr_t H = High == 0 ? Found->End : std::min(High, Found->End);
    if (Holds)
        L = std::max(L, Sp);
    Low = L;
    High = H;
    return Low < High;
}

// Scan-and-link from Ip over the stack [Low, High); fills Chain with the
// chosen candidates, innermost first. A slot that holds the return address
// of a signal handler (the sigreturn trampoline) ends the scan there: the
// frames beyond it belong to the interrupted context, which the frame saves
// (SignalSlot, 0 when there is none).
void ScanAndLink(uintptr_t Ip, uintptr_t Low, uintptr_t High, const TDATryRead* Ranges,
                 const std::atomic<bool>* Cancel, const TStackProgress& Progress,
                 std::vector<TCandidate>& Chain, const char** Phase = nullptr,
                 uintptr_t* SignalSlot = nullptr)
{
    if (SignalSlot != nullptr)
        *SignalSlot = 0;
    // The phase under way, for the internal-error line of a failure.
    const char* Unused = nullptr;
    const char*& Current = Phase != nullptr ? *Phase : Unused;
    Chain.clear();
    TCandidate First;
    First.Value = Ip;
    First.CallStart = Ip;
    // A cancelled walk still reports where the thread is.
    Chain.push_back(First);
    // Phase 1: candidates, innermost first.
    Current = "CollectPossibleStackItems";
    std::vector<uintptr_t> Values;
    std::vector<uintptr_t> Slots;
    std::vector<uintptr_t> Calls;
    std::vector<uintptr_t> Page;
    const uintptr_t Start = (Low + SlotSize - 1) & ~(SlotSize - 1);
    constexpr size_t Chunk = 4096;
    uintptr_t Trampoline = 0; // the sigreturn trampoline, once seen
    bool Stop = false;
    for (uintptr_t At = Start; At + SlotSize <= High && Values.size() < 8192 && !Stop;
         At += Chunk) {
        const size_t Bytes = std::min<uintptr_t>(Chunk, High - At) / SlotSize * SlotSize;
        Page.resize(Bytes / SlotSize);
        if (Bytes == 0 || !TryRead(At, Page.data(), Bytes, Ranges))
            continue;
        for (size_t I = 0; I < Page.size(); I++) {
            uintptr_t CallStart = 0;
            const uintptr_t V = Page[I];
            if (FindReadableRange(*Ranges, V - 1, 1) == kaNone)
                continue;
            if (IsReturnAddress(V, Ranges, &CallStart)) {
                Values.push_back(V);
                Slots.push_back(At + I * SlotSize);
                Calls.push_back(CallStart);
                continue;
            }
            TThreadContext Interrupted;
            if (SignalSlot != nullptr && (V == Trampoline || IsSigreturnTrampoline(V, Ranges)) &&
                ReadSignalFrame(At + I * SlotSize, Ranges, Interrupted)) {
                Trampoline = V;
                *SignalSlot = At + I * SlotSize;
                Stop = true;
                break;
            }
        }
    }
    if (Progress)
        Progress(25);
    if (Cancelled(Cancel))
        return;

    // Phase 2: recursion removal over the values, then the slots follow.
    Current = "RemoveRecursiveStackAreas";
    {
        std::vector<uintptr_t> Kept = Values;
        RemoveRecursiveStackAreas(Kept, Cancel);
        // Keep the slots of the surviving values in order.
        std::vector<uintptr_t> NewSlots, NewCalls;
        size_t K = 0;
        for (size_t I = 0; I < Values.size() && K < Kept.size(); I++)
            if (Values[I] == Kept[K]) {
                NewSlots.push_back(Slots[I]);
                NewCalls.push_back(Calls[I]);
                K++;
            }
        Values = std::move(Kept);
        Values.resize(NewSlots.size());
        Slots = std::move(NewSlots);
        Calls = std::move(NewCalls);
    }
    if (Cancelled(Cancel))
        return;

    // Phase 3: what each candidate's call is and which routine holds it.
    Current = "InDeepChecks";
    std::vector<TCandidate> C(Values.size() + 1);
    C[0].Value = Ip;
    C[0].CallStart = Ip;
    C[0].Entry = RoutineEntry(Ip, Ranges);
    TProcessCodeReader Reader(Ranges);
    for (size_t I = 0; I < Values.size(); I++) {
        TCandidate& X = C[I + 1];
        X.Slot = Slots[I];
        X.Value = Values[I];
        X.CallStart = Calls[I];
        X.Entry = RoutineEntry(X.CallStart, Ranges);
        const TInstructionInfo Call = ParseCodeEx(X.CallStart, nullptr, false, Reader, NativeMode);
        if (Call.Relative)
            X.Target = static_cast<uintptr_t>(Call.Target);
        else
            X.Indirect = true;
        if (Progress && I % 64 == 0)
            Progress(25 + static_cast<int>(I * 625 / Values.size()));
        if (Cancelled(Cancel))
            return;
    }

    Current = "RealizeOptimalLinkChains";
    // Phase 4: the best chain. Score[i] is the best sum of link scores from
    // candidate i outward; ties keep the nearest outer candidate.
    const size_t N = C.size();
    std::vector<uint64_t> Score(N, 0);
    std::vector<size_t> Best(N, 0);
    for (size_t I = N; I-- > 0;) {
        for (size_t K = I + 1; K < N; K++) {
            const uint64_t L = LinkScore(C[K], C[I], Ranges);
            if (L != 0 && L + Score[K] > Score[I]) {
                Score[I] = L + Score[K];
                Best[I] = K;
            }
        }
        if (Progress && I % 64 == 0)
            Progress(650 + static_cast<int>((N - I) * 350 / N));
        if (Cancelled(Cancel))
            break;
    }
    Chain.clear();
    for (size_t I = 0;;) {
        Chain.push_back(C[I]);
        if (Best[I] == 0 || Chain.size() >= MaxFrames)
            break;
        I = Best[I];
    }
    if (Progress)
        Progress(1000);
}

// --- CFI through libdw --------------------------------------------------------------------

struct TCfiWalk {
    const TThreadContext* Context = nullptr;
    const TDATryRead* Ranges = nullptr;
    std::vector<std::pair<uintptr_t, uintptr_t>> Frames; // pc, sp
    std::vector<bool> Activation;
    // The walk stopped at code that no module's unwind tables describe
    // (generated code): the rest of the stack is left to the scan.
    bool Open = false;
    void* Session = nullptr; // the Dwfl of the walk
};

#ifndef TOLVEX_CRASHLIB_NO_LIBDW

TCfiWalk* CurrentCfiWalk = nullptr; // guarded by the walk lock

int NoDebugInfo(Dwfl_Module*, void**, const char*, Dwarf_Addr, const char*, const char*, GElf_Word,
                char**)
{
    // The unwind tables of the modules themselves suffice; looking for
    // separate debug files (or asking a server) would only cost time.
    return -1;
}

// The module files of the process, opened by us (regular files only, never
// waiting) rather than by libdw under the lock; the vDSO has no file and is
// read from memory by libdw's own routine.
int FindProcessElf(Dwfl_Module* Mod, void** UserData, const char* ModName, Dwarf_Addr Base,
                   char** FileName, Elf** ElfP)
{
    if (ModName == nullptr || ModName[0] != '/')
        return dwfl_linux_proc_find_elf(Mod, UserData, ModName, Base, FileName, ElfP);
    const int Fd = OpenRegularFile(ModName);
    if (Fd >= 0)
        *FileName = strdup(ModName);
    return Fd;
}

pid_t CfiNextThread(Dwfl*, void*, void** ThreadArg)
{
    if (*ThreadArg != nullptr)
        return 0;
    *ThreadArg = CurrentCfiWalk;
    return CurrentCfiWalk->Context->ThreadId;
}

bool CfiGetThread(Dwfl*, pid_t, void*, void** ThreadArg)
{
    *ThreadArg = CurrentCfiWalk;
    return true;
}

bool CfiMemoryRead(Dwfl*, Dwarf_Addr Address, Dwarf_Word* Result, void*)
{
    uintptr_t Value = 0;
    if (!TryRead(static_cast<uintptr_t>(Address), &Value, sizeof(Value), CurrentCfiWalk->Ranges))
        return false;
    *Result = Value;
    return true;
}

bool CfiInitialRegisters(Dwfl_Thread* Thread, void*)
{
    Dwarf_Word Regs[TThreadContext::RegisterCount];
    for (unsigned I = 0; I < TThreadContext::RegisterCount; I++)
        Regs[I] = CurrentCfiWalk->Context->Regs[I];
    return dwfl_thread_state_registers(Thread, 0, TThreadContext::RegisterCount, Regs);
}

const Dwfl_Thread_Callbacks CfiThreadCallbacks = {
    CfiNextThread, CfiGetThread, CfiMemoryRead, CfiInitialRegisters, nullptr, nullptr,
};

struct TDwflHolder {
    Dwfl* D = nullptr;
    ~TDwflHolder()
    {
        if (D != nullptr)
            dwfl_end(D);
    }
};

TDwflHolder& CfiDwfl()
{
    static TDwflHolder Holder;
    return Holder;
}

// The process's modules as libdw sees them, reported again when an address
// lies in none of them (a library loaded since).
Dwfl* GetDwfl(uintptr_t Ip, bool Refresh)
{
    static char* DebugPath = nullptr;
    static const Dwfl_Callbacks Callbacks = {FindProcessElf, NoDebugInfo, nullptr, &DebugPath};
    TDwflHolder& H = CfiDwfl();
    if (H.D != nullptr && !Refresh && dwfl_addrmodule(H.D, Ip) != nullptr)
        return H.D;
    if (H.D != nullptr)
        dwfl_end(H.D);
    H.D = dwfl_begin(&Callbacks);
    if (H.D == nullptr)
        return nullptr;
    dwfl_report_begin(H.D);
    if (dwfl_linux_proc_report(H.D, getpid()) != 0 || dwfl_report_end(H.D, nullptr, nullptr) != 0 ||
        !dwfl_attach_state(H.D, nullptr, getpid(), &CfiThreadCallbacks, nullptr)) {
        dwfl_end(H.D);
        H.D = nullptr;
    }
    return H.D;
}

int CfiFrame(Dwfl_Frame* State, void* Arg)
{
    auto* W = static_cast<TCfiWalk*>(Arg);
    Dwarf_Addr Pc = 0;
    bool IsActivation = false;
    if (!dwfl_frame_pc(State, &Pc, &IsActivation) || Pc == 0)
        return DWARF_CB_ABORT;
    Dwarf_Word Sp = 0;
    dwfl_frame_reg(State, TThreadContext::SpReg, &Sp);
    W->Frames.emplace_back(static_cast<uintptr_t>(Pc), static_cast<uintptr_t>(Sp));
    W->Activation.push_back(IsActivation);
    // Code in no module has no unwind entry: libdw would guess the next
    // frame from the frame pointer and could skip a caller.
    const Dwarf_Addr Look = IsActivation ? Pc : Pc - 1;
    bool Described = false;
    if (Dwfl_Module* M = dwfl_addrmodule(static_cast<Dwfl*>(W->Session), Look)) {
        Dwarf_Addr Bias = 0;
        Dwarf_Frame* Frame = nullptr;
        if (Dwarf_CFI* Cfi = dwfl_module_eh_cfi(M, &Bias);
            Cfi != nullptr && dwarf_cfi_addrframe(Cfi, Look - Bias, &Frame) == 0) {
            Described = true;
            std::free(Frame);
        }
    }
    if (!Described) {
        W->Open = true;
        return DWARF_CB_ABORT;
    }
    return W->Frames.size() >= MaxFrames ? DWARF_CB_ABORT : DWARF_CB_OK;
}

void CfiWalk(const TThreadContext& Context, const TDATryRead* Ranges, TCfiWalk& W)
{
    std::lock_guard<std::mutex> Lock(DwarfLock());
    W.Context = &Context;
    W.Ranges = Ranges;
    CurrentCfiWalk = &W;
    for (int Try = 0; Try < 2 && W.Frames.size() <= 1; Try++) {
        W.Frames.clear();
        W.Activation.clear();
        W.Open = false;
        Dwfl* D = GetDwfl(Context.Ip(), Try > 0);
        if (D == nullptr)
            break;
        W.Session = D;
        dwfl_getthread_frames(D, Context.ThreadId, CfiFrame, &W);
    }
    CurrentCfiWalk = nullptr;
}

#else

void CfiWalk(const TThreadContext&, const TDATryRead*, TCfiWalk&) {}

#endif

// --- Naming ---------------------------------------------------------------------------------

struct TModuleSpan {
    uintptr_t Base, End;
    std::u16string Name;
    std::string FileName;
};

// Names an item through the module list of the walk: asking the map-file
// cache by address alone would read the process's maps once per item.
void NameItem(TStackItem& Item, const std::vector<TModuleSpan>& Modules)
{
    const TModuleSpan* Span = nullptr;
    for (const TModuleSpan& M : Modules)
        if (Item.Address >= M.Base && Item.Address < M.End) {
            Span = &M;
            Item.ModuleName = M.Name;
            Item.ModuleOffset = Item.Address - M.Base;
            break;
        }
    if (auto Map = Span != nullptr ? FindModuleMapFile(Span->Base, Span->FileName) : nullptr;
        Map && Map->Valid) {
        const TMfPublic P = Map->FindPublic(Item.Address);
        if (!P.Name.empty() && P.Name != u"??") {
            Item.HasDebugInfo = true;
            Item.RoutineName = P.Name;
            Item.UnitName = Map->FindSegment(mcCode, Item.Address).UnitName;
            if (!Map->ModuleName.empty())
                Item.ModuleName = Map->ModuleName;
            Item.Line = Map->FindLine(Item.Address);
            Item.RelAddress = Item.Address - P.Address;
            if (Item.Line > 0) {
                const uint32_t First = Map->FindLine(P.Address);
                Item.RelLine = First > 0 ? static_cast<int32_t>(Item.Line - First) : 0;
            }
        }
    }
    const std::string ModuleUtf8 = WideToUtf8(Item.ModuleName.empty() ? u"?" : Item.ModuleName);
    uint64_t Offset = Item.ModuleName.empty() ? 0 : Item.ModuleOffset;
    uint32_t Crc = UpdateCrc32(0, ModuleUtf8.data(), ModuleUtf8.size() + 1);
    Item.Checksum = UpdateCrc32(Crc, &Offset, sizeof(Offset));
}

std::vector<TModuleSpan> ModuleSpans(const TDATryRead* Ranges = nullptr)
{
    // The module list is read again only when the address space changed
    // since the last walk (called under the walk lock).
    static uint32_t LastKey = 0;
    static std::vector<TModuleSpan> Last;
    uint32_t Key = 0;
    if (Ranges != nullptr) {
        for (const TTryReadRange& R : Ranges->Ranges) {
            const uintptr_t Words[2] = {R.Start, R.End};
            Key = UpdateCrc32(Key, Words, sizeof(Words));
            Key = UpdateCrc32(Key, &R.Kind, 1);
        }
        if (Key != 0 && Key == LastKey)
            return Last;
    }
    std::vector<TModuleSpan> Out;
    for (const TModuleInfo& M : GetModuleList()) {
        const size_t Slash = M.FileName.rfind('/');
        Out.push_back(
            {M.Base, M.End,
             Utf8ToWide(Slash == std::string::npos ? M.FileName : M.FileName.substr(Slash + 1)),
             M.FileName});
    }
    if (Ranges != nullptr) {
        LastKey = Key;
        Last = Out;
    }
    return Out;
}

std::string Hex(uint64_t Value, bool Full)
{
    std::string Text;
    AddressToHex(Value, Full, Text, NativeMode);
    return Text;
}

} // namespace

// --- The walk ------------------------------------------------------------------------------

namespace {

// A frame found by a walk: the address to name, where it came from, and
// whether it is the signal trampoline (the kernel's frame of a handler).
struct TRawFrame {
    uintptr_t Address = 0;
    TFrameSource Source = TFrameSource::Context;
    bool Trampoline = false;
};
using TRawFrames = std::vector<TRawFrame>;

// Signal frames followed within one walk (a handler interrupted by a signal
// whose handler was interrupted...).
constexpr int MaxSignalFrames = 8;

// Scan-and-link from Ip over [Low, High) and on through the signal frames
// it meets, each continuing from its interrupted context on the stack that
// context's stack pointer lies in (a handler on the alternate stack leads
// back to the thread's own stack). The first frame is Ip, of source First.
void ScanWalk(uintptr_t Ip, uintptr_t Low, uintptr_t High, const TDATryRead& Ranges,
              const std::atomic<bool>* Cancel, const TStackProgress& Progress, TRawFrames& Out,
              const char** Phase, TFrameSource First)
{
    for (int Signals = 0;; Signals++) {
        std::vector<TCandidate> Chain;
        uintptr_t Slot = 0;
        ScanAndLink(Ip, Low, High, &Ranges, Cancel, Progress, Chain, Phase,
                    Signals < MaxSignalFrames ? &Slot : nullptr);
        for (size_t I = 0; I < Chain.size() && Out.size() < MaxFrames; I++)
            Out.push_back({Chain[I].CallStart, I == 0 ? First : TFrameSource::Scan, false});
        TThreadContext Interrupted;
        if (Slot == 0 || Cancelled(Cancel) || !ReadSignalFrame(Slot, &Ranges, Interrupted))
            return;
        uintptr_t Trampoline = 0;
        TryRead(Slot, &Trampoline, sizeof(Trampoline), &Ranges);
        Out.push_back({Trampoline, TFrameSource::Scan, true});
        Ip = Interrupted.Ip();
        Low = High = 0;
        if (!StackRegion(Interrupted.Sp(), Low, High, Ranges)) {
            Out.push_back({Ip, TFrameSource::Scan, false});
            return;
        }
        First = TFrameSource::Scan;
    }
}

// Whether the call at CallStart leads into the routine that holds Ip: a
// call through a pointer may; a direct call must call that routine's entry
// (or, when the routine is not known, lead below Ip).
bool CallLeadsTo(uintptr_t CallStart, uintptr_t Ip, const TDATryRead& Ranges)
{
    const TInstructionInfo Call =
        ParseCodeEx(CallStart, nullptr, false, TProcessCodeReader(&Ranges), NativeMode);
    if (!Call.Valid || !Call.IsCall)
        return false;
    if (!Call.Relative)
        return true;
    const uintptr_t Entry = RoutineEntry(Ip, &Ranges);
    return Entry != 0 ? Call.Target == Entry
                      : Call.Target <= Ip && Ip - Call.Target < (uintptr_t{1} << 20);
}

// The frame-pointer chain from Ctx over [Low, High), through signal frames
// as the scan goes through them.
void FramePointerWalk(const TThreadContext& Ctx, uintptr_t Low, uintptr_t High,
                      const TDATryRead& Ranges, TRawFrames& Out)
{
    Out.push_back({Ctx.Ip(), TFrameSource::Context, false});
    uintptr_t Fp = Ctx.Fp();
    int Signals = 0;
    while (Fp >= Low && Fp + 2 * SlotSize <= High && Out.size() < MaxFrames) {
        uintptr_t Pair[2];
        uintptr_t Call = 0;
        if (!TryRead(Fp, Pair, sizeof(Pair), &Ranges))
            break;
        TThreadContext Interrupted;
        // A handler's frame returns to the trampoline; the slot of that
        // return address starts the kernel's signal frame.
        if (Signals < MaxSignalFrames && IsSigreturnTrampoline(Pair[1], &Ranges) &&
            ReadSignalFrame(Fp + SlotSize, &Ranges, Interrupted)) {
            Signals++;
            Out.push_back({Pair[1], TFrameSource::FramePointer, true});
            Out.push_back({Interrupted.Ip(), TFrameSource::FramePointer, false});
            Low = High = 0;
            if (!StackRegion(Interrupted.Sp(), Low, High, Ranges))
                break;
            Fp = Interrupted.Fp();
            // A routine interrupted before it set up its frame (a leaf, or
            // one still in its prologue) is not on the chain: its return
            // address is on top of its stack, or right behind the pushed
            // frame pointer.
            uintptr_t Top[2] = {};
            if (TryRead(Interrupted.Sp(), Top, sizeof(Top), &Ranges)) {
                const uintptr_t Ret = Top[0] == Fp ? Top[1] : Top[0];
                uintptr_t CallStart = 0;
                if (IsReturnAddress(Ret, &Ranges, &CallStart) &&
                    CallLeadsTo(CallStart, Interrupted.Ip(), Ranges))
                    Out.push_back({CallStart, TFrameSource::FramePointer, false});
            }
            continue;
        }
        if (!IsReturnAddress(Pair[1], &Ranges, &Call))
            break;
        Out.push_back({Call, TFrameSource::FramePointer, false});
        if (Pair[0] <= Fp)
            break;
        Fp = Pair[0];
    }
}

void NameFrames(const TRawFrames& Frames, const std::vector<TModuleSpan>& Modules,
                TStackTrace& Result)
{
    for (const TRawFrame& F : Frames) {
        TStackItem Item;
        Item.Address = F.Address;
        Item.Source = F.Source;
        NameItem(Item, Modules);
        if (F.Trampoline) {
            // As a debugger shows it: the frame the kernel made for a handler.
            Item.HasDebugInfo = true;
            Item.RoutineName = u"<signal handler called>";
            Item.UnitName.clear();
            Item.Line = 0;
            Item.RelLine = 0;
            Item.RelAddress = 0;
        }
        Result.push_back(std::move(Item));
    }
}

} // namespace

bool ScanStackTrace(uintptr_t Ip, uintptr_t Sp, uintptr_t Low, uintptr_t High,
                    const std::atomic<bool>* Cancel, TStackTrace& Result)
{
    Result.clear();
    std::lock_guard<std::mutex> Lock(WalkLock());
    TDATryRead Ranges = GetReadableRanges();
    const bool Readable = StackRegion(Sp, Low, High, Ranges);
    TRawFrames Frames;
    if (Readable)
        ScanWalk(Ip, Low, High, Ranges, Cancel, nullptr, Frames, nullptr, TFrameSource::Context);
    else
        Frames.push_back({Ip, TFrameSource::Context, false});
    NameFrames(Frames, ModuleSpans(&Ranges), Result);
    FreeReadableRanges(Ranges);
    return Readable;
}

bool CalcStackTrace(const TThreadContext* Context, uint32_t AskedFlags,
                    const TStackProgress& Progress, const std::atomic<bool>* Cancel,
                    TStackTrace& Result, std::string* Text)
{
    Result.clear();
    TThreadContext Own;
    uintptr_t SkipUntil = 0;
    if (Context == nullptr) {
        ucontext_t Uc;
        getcontext(&Uc);
        ContextFromUcontext(Uc, Own);
        Own.ThreadId = CurrentTid();
        SkipUntil = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
        Context = &Own;
    }
    TThreadContext Ctx = *Context;
    if (Ctx.ThreadId == 0)
        Ctx.ThreadId = CurrentTid();
    // Of a thread known by its instruction and stack pointers alone, the
    // other registers are not known: only the scan can walk it.
    const TFrameSource FirstSource = Ctx.KernelOnly ? TFrameSource::Kernel : TFrameSource::Context;
    const uint32_t Flags = AskedFlags | (Ctx.KernelOnly ? swNoCfi | swNoFramePointer : 0u);

    std::lock_guard<std::mutex> Lock(WalkLock());
    TDATryRead Ranges = GetReadableRanges();
    uintptr_t Low = Ctx.StackLow, High = Ctx.StackHigh;
    // The instruction pointer's frame is listed whatever else can be read.
    const bool Readable = StackRegion(Ctx.Sp(), Low, High, Ranges);
    std::string Errors;
    const char* ScanPhase = nullptr;
    auto Guard = [&](const char* Phase, auto&& Body) {
        try {
            Body();
        } catch (...) {
            std::string Line;
            const bool RelAddresses = (Flags & swRelAddresses) != 0;
            const bool RelLines = (Flags & swRelLines) != 0;
            InternalErrorStr(ScanPhase != nullptr ? ScanPhase : Phase, RelAddresses, RelLines,
                             Line);
            ScanPhase = nullptr;
            if (Ctx.ExceptionAddress != 0) {
                std::string Original;
                StackAddrToStr(Ctx.ExceptionAddress, RelAddresses, RelLines, Original);
                Line += std::string(Line.ends_with("\r\n") ? "" : "\r\n") +
                        ">> original exception location: " + Original;
            }
            Errors += Line + "\r\n";
        }
    };

    TRawFrames Frames;
    auto AddReturn = [&](uintptr_t Ret, TFrameSource Source) {
        uintptr_t Call = 0;
        Frames.push_back({IsReturnAddress(Ret, &Ranges, &Call) ? Call : Ret - 1, Source, false});
    };

    if (Readable && (Flags & swNoCfi) == 0)
        Guard("CfiUnwind", [&] {
            TCfiWalk W;
            CfiWalk(Ctx, &Ranges, W);
            bool Exact = false; // the frame a signal interrupted: its own address
            for (size_t I = 0; I < W.Frames.size(); I++) {
                const uintptr_t Pc = W.Frames[I].first;
                if (I == 0)
                    Frames.push_back({Pc, TFrameSource::Context, false});
                else if (IsSigreturnTrampoline(Pc, &Ranges))
                    Frames.push_back({Pc, TFrameSource::Cfi, true});
                else if (W.Activation[I] || Exact)
                    Frames.push_back({Pc, TFrameSource::Cfi, false});
                else
                    AddReturn(Pc, TFrameSource::Cfi);
                Exact = Frames.back().Trampoline;
            }
            // Beyond generated code the scan goes on from that frame.
            if (W.Open && W.Frames.size() > 1 && (Flags & swNoScan) == 0 && !Cancelled(Cancel)) {
                uintptr_t From = 0, To = 0;
                TRawFrames More;
                if (StackRegion(W.Frames.back().second, From, To, Ranges))
                    ScanWalk(W.Frames.back().first, From, To, Ranges, Cancel, nullptr, More,
                             &ScanPhase, TFrameSource::Scan);
                ScanPhase = nullptr;
                Frames.insert(Frames.end(), More.begin() + (More.empty() ? 0 : 1), More.end());
            }
        });
    // Without call frame information, the frame chain and scan-and-link are
    // both tried and the longer chain is kept: in code built without frame
    // pointers the chain breaks off early (or follows a register that holds
    // something else), while the scan gets through.
    if (Readable && Frames.size() <= 1) {
        TRawFrames Chain, Scanned;
        if ((Flags & swNoFramePointer) == 0 && !Cancelled(Cancel))
            Guard("FramePointerChain", [&] { FramePointerWalk(Ctx, Low, High, Ranges, Chain); });
        if ((Flags & swNoScan) == 0 && !Cancelled(Cancel))
            Guard("ScanAndLink", [&] {
                ScanWalk(Ctx.Ip(), Low, High, Ranges, Cancel, Progress, Scanned, &ScanPhase,
                         FirstSource);
                ScanPhase = nullptr;
            });
        if (Chain.size() > 1 || Scanned.size() > 1)
            Frames = Scanned.size() > Chain.size() ? Scanned : Chain;
    }
    if (Frames.empty())
        Frames.push_back({Ctx.Ip(), FirstSource, false});

    // A walk of the calling thread starts at the caller of this routine.
    if (SkipUntil != 0) {
        uintptr_t CallStart = 0;
        IsReturnAddress(SkipUntil, &Ranges, &CallStart);
        for (size_t I = 0; I < Frames.size(); I++)
            if (Frames[I].Address == CallStart || Frames[I].Address == SkipUntil - 1) {
                Frames.erase(Frames.begin(), Frames.begin() + static_cast<ptrdiff_t>(I));
                break;
            }
    }

    Guard("NameStackItems", [&] { NameFrames(Frames, ModuleSpans(&Ranges), Result); });
    FreeReadableRanges(Ranges);
    if (Text != nullptr) {
        *Text = StackTraceToStr(Result, (Flags & swRelAddresses) != 0, (Flags & swRelLines) != 0);
        if (!Errors.empty())
            *Text += (Text->empty() ? "" : "\r\n") + Errors.substr(0, Errors.size() - 2);
    }
    return Readable;
}

// --- Texts ------------------------------------------------------------------------------------

std::string StackItemToStr(const TStackItem& Item, bool RelAddresses, bool RelLines)
{
    std::string Text = Hex(Item.Address, true);
    if (!Item.HasDebugInfo) {
        if (RelAddresses)
            Text += " +0";
        return Text + " ???";
    }
    if (RelAddresses)
        Text += " +" + Hex(Item.RelAddress, false);
    Text += " " + WideToUtf8(Item.ModuleName) + " " + WideToUtf8(Item.UnitName) + " ";
    if (Item.Line > 0)
        Text += std::to_string(Item.Line) + " ";
    if (RelLines)
        Text += "+" + std::to_string(Item.Line > 0 ? Item.RelLine : 0) + " ";
    return Text + WideToUtf8(Item.RoutineName);
}

void StackAddrToStr(uintptr_t Address, bool RelAddresses, bool RelLines, std::string& Text)
{
    TStackItem Item;
    Item.Address = Address;
    NameItem(Item, ModuleSpans());
    Text = StackItemToStr(Item, RelAddresses, RelLines);
}

void InternalErrorStr(const std::string& Routine, bool RelAddresses, bool RelLines,
                      std::string& Text, uintptr_t Where)
{
    std::string Location;
    if (Where != 0)
        StackAddrToStr(Where, RelAddresses, RelLines, Location);
    Text = ">> internal error in " + Routine + ":\r\n" + Location;
}

std::string StackTraceToStr(const TStackTrace& Trace, bool RelAddresses, bool RelLines)
{
    struct TRow {
        std::string Rel, Module, Unit, Line, RelLine, Name;
    };
    std::vector<TRow> Rows;
    size_t WRel = 0, WModule = 0, WUnit = 0, WLine = 0, WRelLine = 0;
    for (const TStackItem& It : Trace) {
        TRow R;
        if (It.HasDebugInfo) {
            R.Rel = "+" + Hex(It.RelAddress, false);
            R.Module = WideToUtf8(It.ModuleName);
            R.Unit = WideToUtf8(It.UnitName);
            if (It.Line > 0) {
                R.Line = std::to_string(It.Line);
                R.RelLine = "+" + std::to_string(It.RelLine);
            }
            R.Name = WideToUtf8(It.RoutineName);
        } else
            R.Name = "???";
        WRel = std::max(WRel, R.Rel.size());
        WModule = std::max(WModule, R.Module.size());
        WUnit = std::max(WUnit, R.Unit.size());
        WLine = std::max(WLine, R.Line.size());
        WRelLine = std::max(WRelLine, R.RelLine.size());
        Rows.push_back(std::move(R));
    }
    auto PadRight = [](const std::string& S, size_t W) {
        return S + std::string(W - S.size(), ' ');
    };
    auto PadLeft = [](const std::string& S, size_t W) {
        return std::string(W - S.size(), ' ') + S;
    };
    std::string Text;
    for (size_t I = 0; I < Trace.size(); I++) {
        const TRow& R = Rows[I];
        if (I > 0)
            Text += "\r\n";
        Text += Hex(Trace[I].Address, true) + " ";
        if (RelAddresses)
            Text += PadRight(R.Rel, WRel) + " ";
        Text += PadRight(R.Module, WModule + 1) + PadRight(R.Unit, WUnit + 1);
        if (WLine > 0)
            Text += PadLeft(R.Line, WLine) + " ";
        if (RelLines && WRelLine > 0)
            Text += PadRight(R.RelLine, WRelLine) + " ";
        Text += R.Name;
    }
    return Text;
}

uint32_t StackTraceChecksum(const TStackTrace& Trace)
{
    uint32_t Crc = 0;
    for (const TStackItem& It : Trace) {
        const std::string Module = WideToUtf8(It.ModuleName.empty() ? u"?" : It.ModuleName);
        const uint64_t Offset = It.ModuleName.empty() ? 0 : It.ModuleOffset;
        Crc = UpdateCrc32(Crc, Module.data(), Module.size() + 1);
        Crc = UpdateCrc32(Crc, &Offset, sizeof(Offset));
    }
    return Crc;
}
