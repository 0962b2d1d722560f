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
#include <elf.h>
#include <linux/futex.h>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/mman.h>
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

std::recursive_timed_mutex& PauseLock()
{
    return LibraryLock(TLibraryLock::Pause);
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
        return PauseByKernel(Tid, TimeoutMs);
    InstallPauseHandler();
    // In crash-time mode the pausing thread may have crashed pausing
    // another: its thread is read from the kernel instead.
    if (CrashTimeMode()) {
        if (!PauseLock().try_lock_for(CrashLockWait))
            return PauseByKernel(Tid, TimeoutMs);
    } else
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
        return PauseByKernel(Tid, 0);
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

bool TPausedThread::PauseByKernel(pid_t Tid, int TimeoutMs)
{
    // A thread that runs now may sleep in a moment: asked again until the
    // time is up.
    for (int Waited = 0; !ReadBlockedThreadContext(Tid, Ctx); Waited++) {
        if (Waited >= TimeoutMs || kill(getpid(), 0) != 0 ||
            syscall(SYS_tgkill, getpid(), Tid, 0) != 0)
            return false;
        usleep(1000);
    }
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

namespace {

template <typename TValues>
int RemoveRecursive(TValues& Values, const std::atomic<bool>* Cancel, size_t MaxCandidates)
{
    // Deep stacks make each pass quadratic and the passes many: the walk
    // keeps the innermost candidates only, which are the ones a report needs.
    if (Values.size() > MaxCandidates)
        Values.resize(MaxCandidates);
    int Passes = 0;
    bool Changed = true;
    std::pmr::vector<char> Removed(Values.get_allocator().resource());
    while (Changed) {
        if (Cancel != nullptr && Cancel->load())
            break;
        Passes++;
        Changed = false;
        Removed.assign(Values.size(), 0);
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
                Removed[I - D] = 1;
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

} // namespace

int RemoveRecursiveStackAreas(std::vector<uintptr_t>& Values, const std::atomic<bool>* Cancel,
                              size_t MaxCandidates)
{
    std::pmr::vector<uintptr_t> Work(Values.begin(), Values.end());
    const int Passes = RemoveRecursive(Work, Cancel, MaxCandidates);
    Values.assign(Work.begin(), Work.end());
    return Passes;
}

// --- Routines and calls -------------------------------------------------------------------

namespace {

// One module of the process as a crash-time walk sees it: read from the
// maps' text and the module's headers in memory, nothing on the heap.
struct TCrashModule {
    uintptr_t Base = 0;
    uintptr_t End = 0;
    std::string_view Path; // into the maps' text
    bool HeadersRead = false;
    uintptr_t Bias = 0;     // added to the file's addresses
    uintptr_t EhHeader = 0; // .eh_frame_hdr in memory, 0 when none
    uintptr_t Dynamic = 0;  // the dynamic section in memory, 0 when none
};

// The modules of a maps text: every run of mappings of one file that starts
// with the file's first page.
void CrashModules(std::string_view MapsText, std::pmr::vector<TCrashModule>& Out)
{
    struct TCollect {
        std::pmr::vector<TCrashModule>& Out;
        bool Add(const TMapsEntry& E)
        {
            if (E.Path.empty() || E.Path[0] != '/')
                return true;
            if (!Out.empty() && Out.back().Path == E.Path && Out.back().End <= E.Start) {
                Out.back().End = E.End;
                return true;
            }
            if (E.Offset == 0)
                Out.push_back({E.Start, E.End, E.Path});
            return true;
        }
    } Collect{Out};
    ParseMemoryMaps(MapsText, [&Collect](const TMapsEntry& E) { return Collect.Add(E); });
}

#if defined(__x86_64__)
using TEhdr = Elf64_Ehdr;
using TPhdr = Elf64_Phdr;
using TDyn = Elf64_Dyn;
using TSym = Elf64_Sym;
#else
using TEhdr = Elf32_Ehdr;
using TPhdr = Elf32_Phdr;
using TDyn = Elf32_Dyn;
using TSym = Elf32_Sym;
#endif

// Bias, unwind table and dynamic section of a module, from its headers in
// memory.
void ReadCrashModuleHeaders(TCrashModule& M, const TDATryRead& Ranges)
{
    if (M.HeadersRead)
        return;
    M.HeadersRead = true;
    TEhdr E{};
    if (!TryRead(M.Base, &E, sizeof(E), &Ranges) || std::memcmp(E.e_ident, ELFMAG, SELFMAG) != 0 ||
        E.e_phentsize != sizeof(TPhdr) || E.e_phnum == 0 || E.e_phnum > 64)
        return;
    TPhdr P[64];
    if (!TryRead(M.Base + E.e_phoff, P, E.e_phnum * sizeof(TPhdr), &Ranges))
        return;
    bool HaveBias = false;
    for (unsigned I = 0; I < E.e_phnum; I++)
        if (P[I].p_type == PT_LOAD && !HaveBias) {
            M.Bias =
                M.Base - static_cast<uintptr_t>((P[I].p_vaddr - P[I].p_offset) & ~uint64_t{0xfff});
            HaveBias = true;
        }
    for (unsigned I = 0; I < E.e_phnum; I++) {
        if (P[I].p_type == PT_GNU_EH_FRAME)
            M.EhHeader = M.Bias + static_cast<uintptr_t>(P[I].p_vaddr);
        else if (P[I].p_type == PT_DYNAMIC)
            M.Dynamic = M.Bias + static_cast<uintptr_t>(P[I].p_vaddr);
    }
}

struct TModuleSpan {
    uintptr_t Base, End;
    std::u16string Name;
    std::string FileName;
};

using TModuleSpans = std::shared_ptr<const std::vector<TModuleSpan>>;

TModuleSpans ModuleSpans(const TDATryRead* Ranges = nullptr)
{
    // The module list is read again only when the address space changed
    // since the last walk (called under the walk lock). The ranges are
    // compared whole: a walk through a thousand mappings must not spend its
    // time hashing them.
    static std::vector<TTryReadRange> LastRanges;
    static TModuleSpans Last;
    auto Same = [](const TTryReadRange& A, const TTryReadRange& B) {
        return A.Start == B.Start && A.End == B.End && A.Kind == B.Kind;
    };
    if (Ranges != nullptr && Last && !Ranges->Ranges.empty() &&
        std::equal(Ranges->Ranges.begin(), Ranges->Ranges.end(), LastRanges.begin(),
                   LastRanges.end(), Same))
        return Last;
    auto Out = std::make_shared<std::vector<TModuleSpan>>();
    for (const TModuleInfo& M : GetModuleList()) {
        const size_t Slash = M.FileName.rfind('/');
        Out->push_back(
            {M.Base, M.End,
             Utf8ToWide(Slash == std::string::npos ? M.FileName : M.FileName.substr(Slash + 1)),
             M.FileName});
    }
    if (Ranges != nullptr) {
        LastRanges.assign(Ranges->Ranges.begin(), Ranges->Ranges.end());
        Last = Out;
    }
    return Out;
}

// Stands in a destination list for "any routine".
constexpr uintptr_t AnyRoutine = ~uintptr_t(0);
constexpr size_t MaxDestinations = 8;

// The routines a direct call to Target may end up in, found without the
// function parser (and so without the heap): Target itself, the routine a
// linkage-table stub or a thunk jumps to, and those its straight way from the
// entry leaves by a tail jump (qsort to qsort_r); AnyRoutine for a stub that
// jumps through a pointer it finds by a register (32-bit position-independent
// code: jmp [ebx+n]), which may lead anywhere. At most MaxDestinations.
size_t StraightDestinations(uintptr_t Target, const TDATryRead& Ranges, uintptr_t* Out)
{
    const TProcessCodeReader Reader(&Ranges);
    size_t Count = 0;
    auto Add = [&](uintptr_t T) {
        if (T != 0 && Count < MaxDestinations && std::find(Out, Out + Count, T) == Out + Count)
            Out[Count++] = T;
    };
    Add(Target);
    for (int Step = 0; Step < 4 && Target != 0; Step++) {
        uintptr_t At = Target, Next = 0;
        for (int K = 0; K < 48 && Next == 0; K++) {
            const TInstructionInfo I = ParseCodeEx(At, nullptr, false, Reader, NativeMode);
            if (!I.Valid || I.Opcode == 0xC3 || I.Opcode == 0xC2)
                break;
            if (I.IsJump && (I.Opcode == 0xE9 || I.Opcode == 0xEB || I.Opcode == 0xFF)) {
                if (I.Opcode == 0xFF && I.Target == 0) {
                    if (Step == 0 && K == 0)
                        Add(AnyRoutine);
                    return Count;
                }
                Next = static_cast<uintptr_t>(I.Target);
            }
            At = static_cast<uintptr_t>(I.Next);
        }
        Add(Next);
        Target = Next;
    }
    return Count;
}

// Caches shared across walks (the code of loaded modules does not change
// while they stay loaded; used under the walk lock): routine entries, and
// the destinations of call targets, found by the function parser (which
// follows every branch to find the tail jumps) or, beyond a walk's budget
// of parses, straight.
struct TDestinations {
    uintptr_t Items[MaxDestinations] = {};
    size_t Count = 0;
    bool Parsed = false;
};
std::unordered_map<uintptr_t, uintptr_t>& EntryCache()
{
    static std::unordered_map<uintptr_t, uintptr_t> Cache;
    return Cache;
}
std::unordered_map<uintptr_t, TDestinations>& TargetCache()
{
    static std::unordered_map<uintptr_t, TDestinations> Cache;
    return Cache;
}

void ParsedDestinations(uintptr_t Target, const TDATryRead* Ranges,
                        const std::shared_ptr<TProcessSymbols>& Symbols, TDestinations& D)
{
    D.Count = StraightDestinations(Target, *Ranges, D.Items);
    D.Parsed = true;
    auto Add = [&D](uint64_t T) {
        if (T != 0 && D.Count < MaxDestinations &&
            std::find(D.Items, D.Items + D.Count, T) == D.Items + D.Count)
            D.Items[D.Count++] = static_cast<uintptr_t>(T);
    };
    for (size_t Next = 0; Next < D.Count && Next < 4; Next++) {
        if (D.Items[Next] == AnyRoutine)
            continue;
        TFunctionInfo Info;
        TParseSetup Setup = MakeProcessParseSetup(D.Items[Next], Ranges, {}, Symbols);
        // Calls that do not return are known by their names; naming a call
        // target by the debug information would read whole modules' DWARF
        // for each routine parsed here. The exported and linkage-table names
        // tell the usual ones (abort, exit, __cxa_throw...).
        Setup.NoReturn = [Symbols](const TInstructionInfo& I) {
            return IsNoReturnName(Symbols->ExportedTargetName(I));
        };
        Setup.Mode = NativeMode; // this process's own code
        ParseFunctionIn(D.Items[Next], Setup, Info);
        if (Info.Valid)
            for (const TFunctionCall& C : Info.Calls)
                if (!C.IsCall)
                    Add(C.Target);
    }
}

// What a walk asks about routines. A normal walk asks the shared caches
// above (under the walk lock); a crash-time walk its own, which never touch
// the heap or a lock.
class TRoutineLookup {
public:
    virtual ~TRoutineLookup() = default;
    // The start of the routine that holds Address; 0 when unknown.
    virtual uintptr_t Entry(uintptr_t Address) = 0;
    // The routines a direct call to Target may end up in (see
    // StraightDestinations); valid until the next call.
    virtual size_t Destinations(uintptr_t Target, const uintptr_t*& Items) = 0;
    // Whether a direct call to Target may end up in the routine that starts
    // at EntryAddress: rYes, rAny (a stub that may lead anywhere), rNo.
    int Reaches(uintptr_t Target, uintptr_t EntryAddress)
    {
        if (Target == EntryAddress)
            return rYes;
        const uintptr_t* Items = nullptr;
        const size_t Count = Destinations(Target, Items);
        if (std::find(Items, Items + Count, EntryAddress) != Items + Count)
            return rYes;
        return std::find(Items, Items + Count, AnyRoutine) != Items + Count ? rAny : rNo;
    }
    enum : int { rNo = 0, rAny = 1, rYes = 2 };
};
constexpr int rNo = TRoutineLookup::rNo, rAny = TRoutineLookup::rAny, rYes = TRoutineLookup::rYes;

// The lookups of a normal walk: entries from the modules' unwind tables (the
// module found among the walk's spans, never by reading the maps again), else
// from their debug information; destinations parsed for the innermost
// candidates up to a budget per walk, straight beyond it.
class TSharedLookup final : public TRoutineLookup {
public:
    TSharedLookup(const TDATryRead* ARanges, TModuleSpans ASpans)
        : Ranges(ARanges), KeptSpans(std::move(ASpans)), Spans(*KeptSpans)
    {
        Modules.reserve(Spans.size());
        for (const TModuleSpan& M : Spans)
            Modules.push_back({M.Base, M.End, {}});
    }
    uintptr_t Entry(uintptr_t Address) override
    {
        auto& Cache = EntryCache();
        if (auto It = Cache.find(Address); It != Cache.end())
            return It->second;
        uintptr_t Result = 0;
        auto It = std::upper_bound(Spans.begin(), Spans.end(), Address,
                                   [](uintptr_t A, const TModuleSpan& M) { return A < M.Base; });
        if (It != Spans.begin() && Address < std::prev(It)->End) {
            const size_t K = static_cast<size_t>(std::prev(It) - Spans.begin());
            ReadCrashModuleHeaders(Modules[K], *Ranges);
            TUnwindEntry U;
            // A module with unwind tables has an entry for each of its
            // routines; only one without is asked for its debug information.
            if (Modules[K].EhHeader != 0) {
                if (FindUnwindEntryByHeader(Modules[K].EhHeader, Address, U,
                                            TProcessCodeReader(Ranges)))
                    Result = static_cast<uintptr_t>(U.Begin);
            } else if (auto Map = FindModuleMapFile(Spans[K].Base, Spans[K].FileName);
                       Map && Map->Valid) {
                const TMfPublic P = Map->FindPublic(Address);
                if (!P.Name.empty())
                    Result = P.Address;
            }
        }
        Cache.emplace(Address, Result);
        return Result;
    }
    size_t Destinations(uintptr_t Target, const uintptr_t*& Items) override
    {
        auto& Cache = TargetCache();
        auto It = Cache.find(Target);
        if (It == Cache.end() || (!It->second.Parsed && Parses < ParseBudget)) {
            TDestinations D;
            if (Parses < ParseBudget) {
                Parses++;
                if (!Symbols)
                    Symbols = std::make_shared<TProcessSymbols>(
                        std::make_shared<TProcessCodeReader>(Ranges));
                ParsedDestinations(Target, Ranges, Symbols, D);
            } else
                D.Count = StraightDestinations(Target, *Ranges, D.Items);
            It = Cache.insert_or_assign(Target, D).first;
        }
        Items = It->second.Items;
        return It->second.Count;
    }

private:
    // The function parser follows every branch of a routine; a walk
    // through thousands of new routines parses only the innermost ones'.
    static constexpr int ParseBudget = 128;
    const TDATryRead* Ranges;
    TModuleSpans KeptSpans;
    const std::vector<TModuleSpan>& Spans;
    std::vector<TCrashModule> Modules;
    int Parses = 0;
    std::shared_ptr<TProcessSymbols> Symbols; // names call targets, for all parses of the walk
};

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
uint64_t LinkScore(const TCandidate& Outer, const TCandidate& Inner, TRoutineLookup& Lookup)
{
    if (Outer.Indirect)
        return PointerLink;
    if (Outer.Target == 0)
        return 0;
    if (Inner.Entry != 0) {
        const int R = Lookup.Reaches(Outer.Target, Inner.Entry);
        return R == rYes ? KnownLink : R == rAny ? PointerLink : 0;
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
// Candidates looked at per scan: the innermost ones are what a report needs.
constexpr size_t MaxCandidates = 8192;
constexpr size_t MaxLinkedCandidates = 4096;

void ScanAndLink(uintptr_t Ip, uintptr_t Low, uintptr_t High, const TDATryRead* Ranges,
                 TRoutineLookup& Lookup, std::pmr::memory_resource* Mem,
                 const std::atomic<bool>* Cancel, const TStackProgress& Progress,
                 std::pmr::vector<TCandidate>& Chain, const char** Phase = nullptr,
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
    // Every buffer is sized once: a crash-time walk allocates from a reserve
    // that is not given back until the walk ends.
    std::pmr::vector<uintptr_t> Values(Mem), Slots(Mem), Calls(Mem);
    Values.reserve(MaxCandidates);
    Slots.reserve(MaxCandidates);
    Calls.reserve(MaxCandidates);
    constexpr size_t Chunk = 4096;
    std::pmr::vector<uintptr_t> Page(Chunk / SlotSize, Mem);
    const uintptr_t Start = (Low + SlotSize - 1) & ~(SlotSize - 1);
    uintptr_t Trampoline = 0; // the sigreturn trampoline, once seen
    bool Stop = false;
    for (uintptr_t At = Start; At + SlotSize <= High && Values.size() < MaxCandidates && !Stop;
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
        std::pmr::vector<uintptr_t> Kept(Values, Mem);
        RemoveRecursive(Kept, Cancel, MaxLinkedCandidates);
        // Keep the slots of the surviving values in order.
        std::pmr::vector<uintptr_t> NewSlots(Mem), NewCalls(Mem);
        NewSlots.reserve(Kept.size());
        NewCalls.reserve(Kept.size());
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
    std::pmr::vector<TCandidate> C(Values.size() + 1, Mem);
    C[0].Value = Ip;
    C[0].CallStart = Ip;
    C[0].Entry = Lookup.Entry(Ip);
    TProcessCodeReader Reader(Ranges);
    for (size_t I = 0; I < Values.size(); I++) {
        TCandidate& X = C[I + 1];
        X.Slot = Slots[I];
        X.Value = Values[I];
        X.CallStart = Calls[I];
        X.Entry = Lookup.Entry(X.CallStart);
        const TInstructionInfo Call = ParseCodeEx(X.CallStart, nullptr, false, Reader, NativeMode);
        if (Call.Relative) {
            X.Target = static_cast<uintptr_t>(Call.Target);
            // Innermost first: where the lookup has a budget (of parses),
            // the innermost candidates get it.
            const uintptr_t* Items = nullptr;
            Lookup.Destinations(X.Target, Items);
        } else
            X.Indirect = true;
        if (Progress && I % 64 == 0)
            Progress(25 + static_cast<int>(I * 625 / Values.size()));
        if (Cancelled(Cancel))
            return;
    }

    Current = "RealizeOptimalLinkChains";
    // Phase 4: the best chain. Score[i] is the best sum of link scores from
    // candidate i outward; ties keep the nearest outer candidate. Each
    // candidate, once scored, is offered to the inner ones by what its call
    // reaches: any routine (a call through a pointer, a stub that may lead
    // anywhere) or the routines its target leads to, by entry. So each inner
    // candidate finds its best outer one by a lookup instead of asking every
    // outer one.
    const size_t N = C.size();
    std::pmr::vector<uint64_t> Score(N, 0, Mem);
    std::pmr::vector<size_t> Best(N, 0, Mem);
    struct TOffer {
        uint64_t Score = 0;
        size_t Candidate = 0;
        // Higher score wins; of equal ones the nearer (smaller) candidate.
        void Take(uint64_t S, size_t K)
        {
            if (S > Score || (S == Score && S != 0 && K < Candidate)) {
                Score = S;
                Candidate = K;
            }
        }
    };
    TOffer AnyOffer;
    std::pmr::unordered_map<uintptr_t, TOffer> ByEntry(Mem);
    ByEntry.reserve(N * 2);
    for (size_t I = N; I-- > 0;) {
        TOffer Got = AnyOffer;
        const TCandidate& In = C[I];
        if (In.Entry != 0) {
            if (auto It = ByEntry.find(In.Entry); It != ByEntry.end())
                Got.Take(It->second.Score, It->second.Candidate);
        } else {
            // A routine nobody names: a direct call must at least lead below
            // it, not too far.
            for (size_t K = I + 1; K < N && K < I + 2048; K++)
                if (const uint64_t L = LinkScore(C[K], In, Lookup); L != 0)
                    Got.Take(L + Score[K], K);
        }
        Score[I] = Got.Score;
        Best[I] = Got.Score != 0 ? Got.Candidate : 0;
        // Offer this candidate to the inner ones.
        if (I > 0) {
            if (In.Indirect)
                AnyOffer.Take(PointerLink + Score[I], I);
            else if (In.Target != 0) {
                const uintptr_t* Items = nullptr;
                const size_t Count = Lookup.Destinations(In.Target, Items);
                for (size_t D = 0; D < Count; D++) {
                    if (Items[D] == AnyRoutine)
                        AnyOffer.Take(PointerLink + Score[I], I);
                    else
                        ByEntry[Items[D]].Take(KnownLink + Score[I], I);
                }
            }
        }
        if (Progress && I % 64 == 0)
            Progress(650 + static_cast<int>((N - I) * 350 / N));
        if (Cancelled(Cancel))
            break;
    }
    Chain.clear();
    Chain.reserve(std::min(N, MaxFrames));
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
    // The walk's module list when the modules were reported.
    std::vector<TModuleSpan> Reported;
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

// The process's modules as libdw sees them, reported again when the walk's
// module list differs from the one they were reported with (a library loaded
// or unloaded since: libdw would end the unwinding at its code) or when an
// address lies in none of them.
Dwfl* GetDwfl(uintptr_t Ip, bool Refresh, const std::vector<TModuleSpan>& Spans)
{
    static char* DebugPath = nullptr;
    static const Dwfl_Callbacks Callbacks = {FindProcessElf, NoDebugInfo, nullptr, &DebugPath};
    TDwflHolder& H = CfiDwfl();
    auto Same = [](const TModuleSpan& A, const TModuleSpan& B) {
        return A.Base == B.Base && A.End == B.End && A.FileName == B.FileName;
    };
    if (H.D != nullptr && !Refresh &&
        std::equal(Spans.begin(), Spans.end(), H.Reported.begin(), H.Reported.end(), Same) &&
        dwfl_addrmodule(H.D, Ip) != nullptr)
        return H.D;
    if (H.D != nullptr)
        dwfl_end(H.D);
    H.Reported = Spans;
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

void CfiWalk(const TThreadContext& Context, const TDATryRead* Ranges,
             const std::vector<TModuleSpan>& Spans, TCfiWalk& W)
{
    // Without libdw's lock (crash-time mode, held by a crashed thread) the
    // walk goes on by the frame chain and the scan.
    TLibraryLockGuard Lock(TLibraryLock::DebugInfo);
    if (!Lock.Locked())
        return;
    W.Context = &Context;
    W.Ranges = Ranges;
    CurrentCfiWalk = &W;
    for (int Try = 0; Try < 2 && W.Frames.size() <= 1; Try++) {
        W.Frames.clear();
        W.Activation.clear();
        W.Open = false;
        Dwfl* D = GetDwfl(Context.Ip(), Try > 0, Spans);
        if (D == nullptr)
            break;
        W.Session = D;
        dwfl_getthread_frames(D, Context.ThreadId, CfiFrame, &W);
    }
    CurrentCfiWalk = nullptr;
}

#else

void CfiWalk(const TThreadContext&, const TDATryRead*, const std::vector<TModuleSpan>&, TCfiWalk&)
{
}

#endif

// --- Naming ---------------------------------------------------------------------------------

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
            // From the start of the routine named, not of the stretch of it
            // that the public covers.
            const uintptr_t Start = P.Start != 0 ? P.Start : P.Address;
            Item.RelAddress = Item.Address - Start;
            if (Item.Line > 0) {
                const uint32_t First = Map->FindLine(Start);
                Item.RelLine = First > 0 ? static_cast<int32_t>(Item.Line - First) : 0;
            }
        }
    }
    const std::string ModuleUtf8 = WideToUtf8(Item.ModuleName.empty() ? u"?" : Item.ModuleName);
    uint64_t Offset = Item.ModuleName.empty() ? 0 : Item.ModuleOffset;
    uint32_t Crc = UpdateCrc32(0, ModuleUtf8.data(), ModuleUtf8.size() + 1);
    Item.Checksum = UpdateCrc32(Crc, &Offset, sizeof(Offset));
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
using TRawFrames = std::pmr::vector<TRawFrame>;

// Signal frames followed within one walk (a handler interrupted by a signal
// whose handler was interrupted...).
constexpr int MaxSignalFrames = 8;

// The reserve a crash-time walk allocates from: a bump allocator over
// memory mapped at start. Mark and Rewind give back what one stretch of the
// walk used.
class TReserveResource final : public std::pmr::memory_resource {
public:
    void Reset(char* ABase, size_t ASize)
    {
        Base = ABase;
        Size = ASize;
        Used = 0;
    }
    size_t Mark() const { return Used; }
    void Rewind(size_t At) { Used = std::min(Used, At); }
    size_t Left() const { return Size - Used; }

private:
    void* do_allocate(size_t Bytes, size_t Align) override
    {
        const size_t At = (Used + Align - 1) & ~(Align - 1);
        // The walk checks that enough is left before each stretch; running
        // out here means those bounds are wrong.
        if (Base == nullptr || At > Size || Bytes > Size - At)
            throw std::bad_alloc();
        Used = At + Bytes;
        return Base + At;
    }
    void do_deallocate(void*, size_t, size_t) override {}
    bool do_is_equal(const std::pmr::memory_resource& Other) const noexcept override
    {
        return this == &Other;
    }
    char* Base = nullptr;
    size_t Size = 0;
    size_t Used = 0;
};

// What one scan-and-link takes at most from a reserve (its candidate
// buffers, recursion removal, links and chain).
constexpr size_t ScanReserveBytes = size_t{2} << 20;

// Scan-and-link from Ip over [Low, High) and on through the signal frames
// it meets, each continuing from its interrupted context on the stack that
// context's stack pointer lies in (a handler on the alternate stack leads
// back to the thread's own stack). The first frame is Ip, of source First.
void ScanWalk(uintptr_t Ip, uintptr_t Low, uintptr_t High, const TDATryRead& Ranges,
              TRoutineLookup& Lookup, std::pmr::memory_resource* Mem,
              const std::atomic<bool>* Cancel, const TStackProgress& Progress, TRawFrames& Out,
              const char** Phase, TFrameSource First)
{
    auto* Reserve = dynamic_cast<TReserveResource*>(Mem);
    for (int Signals = 0;; Signals++) {
        const size_t Mark = Reserve != nullptr ? Reserve->Mark() : 0;
        if (Reserve != nullptr && Reserve->Left() < ScanReserveBytes) {
            Out.push_back({Ip, First, false});
            return;
        }
        uintptr_t Slot = 0;
        {
            std::pmr::vector<TCandidate> Chain(Mem);
            ScanAndLink(Ip, Low, High, &Ranges, Lookup, Mem, Cancel, Progress, Chain, Phase,
                        Signals < MaxSignalFrames ? &Slot : nullptr);
            for (size_t I = 0; I < Chain.size() && Out.size() < MaxFrames; I++)
                Out.push_back({Chain[I].CallStart, I == 0 ? First : TFrameSource::Scan, false});
        }
        if (Reserve != nullptr)
            Reserve->Rewind(Mark);
        TThreadContext Interrupted;
        if (Slot == 0 || Cancelled(Cancel) || !ReadSignalFrame(Slot, &Ranges, Interrupted) ||
            Out.size() >= MaxFrames)
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
bool CallLeadsTo(uintptr_t CallStart, uintptr_t Ip, const TDATryRead& Ranges,
                 TRoutineLookup& Lookup)
{
    const TInstructionInfo Call =
        ParseCodeEx(CallStart, nullptr, false, TProcessCodeReader(&Ranges), NativeMode);
    if (!Call.Valid || !Call.IsCall)
        return false;
    if (!Call.Relative)
        return true;
    const uintptr_t Entry = Lookup.Entry(Ip);
    return Entry != 0 ? Lookup.Reaches(static_cast<uintptr_t>(Call.Target), Entry) != rNo
                      : Call.Target <= Ip && Ip - Call.Target < (uintptr_t{1} << 20);
}

// The frame-pointer chain from Ctx over [Low, High), through signal frames
// as the scan goes through them.
void FramePointerWalk(const TThreadContext& Ctx, uintptr_t Low, uintptr_t High,
                      const TDATryRead& Ranges, TRoutineLookup& Lookup, TRawFrames& Out)
{
    Out.push_back({Ctx.Ip(), TFrameSource::Context, false});
    uintptr_t Fp = Ctx.Fp();
    int Signals = 0;
    while (Fp >= Low && Fp + 2 * SlotSize <= High && Out.size() + 3 <= MaxFrames) {
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
                    CallLeadsTo(CallStart, Interrupted.Ip(), Ranges, Lookup))
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

// The frames of a thread without call frame information: the frame chain
// and scan-and-link are both tried and the longer chain is kept (in code
// built without frame pointers the chain breaks off early, or follows a
// register that holds something else, while the scan gets through). Guard
// runs each source so that a failure ends only that source.
template <typename TGuard>
void ChainOrScan(const TThreadContext& Ctx, uint32_t Flags, uintptr_t Low, uintptr_t High,
                 const TDATryRead& Ranges, TRoutineLookup& Lookup, std::pmr::memory_resource* Mem,
                 const std::atomic<bool>* Cancel, const TStackProgress& Progress,
                 const char** ScanPhase, TGuard&& Guard, TRawFrames& Frames)
{
    const TFrameSource First = Ctx.KernelOnly ? TFrameSource::Kernel : TFrameSource::Context;
    TRawFrames Chain(Mem), Scanned(Mem);
    Chain.reserve(MaxFrames);
    Scanned.reserve(MaxFrames);
    if ((Flags & swNoFramePointer) == 0 && !Cancelled(Cancel))
        Guard("FramePointerChain",
              [&] { FramePointerWalk(Ctx, Low, High, Ranges, Lookup, Chain); });
    if ((Flags & swNoScan) == 0 && !Cancelled(Cancel))
        Guard("ScanAndLink", [&] {
            ScanWalk(Ctx.Ip(), Low, High, Ranges, Lookup, Mem, Cancel, Progress, Scanned, ScanPhase,
                     First);
            *ScanPhase = nullptr;
        });
    if (Chain.size() > 1 || Scanned.size() > 1)
        Frames.assign(Scanned.size() > Chain.size() ? Scanned.begin() : Chain.begin(),
                      Scanned.size() > Chain.size() ? Scanned.end() : Chain.end());
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
            Item.RoutineName = SignalFrameName;
            Item.UnitName.clear();
            Item.Line = 0;
            Item.RelLine = 0;
            Item.RelAddress = 0;
        }
        Result.push_back(std::move(Item));
    }
}

} // namespace

// --- Crash time ------------------------------------------------------------------------------

namespace {

// Routine entries of a crash-time walk: the modules' unwind tables read in
// memory, remembered in a table of fixed size (no growth, no heap).
class TCrashLookup final : public TRoutineLookup {
public:
    TCrashLookup(const TDATryRead& ARanges, std::pmr::vector<TCrashModule>& AModules,
                 std::pmr::memory_resource* Mem)
        : Ranges(ARanges), Modules(AModules), Slots(SlotCount, TSlot{}, Mem),
          Targets(TargetSlotCount, TTargetSlot{}, Mem)
    {
    }

    TCrashModule* ModuleOf(uintptr_t Address)
    {
        auto It = std::upper_bound(Modules.begin(), Modules.end(), Address,
                                   [](uintptr_t A, const TCrashModule& M) { return A < M.Base; });
        if (It == Modules.begin() || Address >= std::prev(It)->End)
            return nullptr;
        return &*std::prev(It);
    }

    uintptr_t Entry(uintptr_t Address) override
    {
        TSlot* S = Find(Address);
        if (S != nullptr && S->Key == Address)
            return S->Value;
        uintptr_t Result = 0;
        if (TCrashModule* M = ModuleOf(Address)) {
            ReadCrashModuleHeaders(*M, Ranges);
            TUnwindEntry U;
            if (M->EhHeader != 0 &&
                FindUnwindEntryByHeader(M->EhHeader, Address, U, TProcessCodeReader(&Ranges)))
                Result = static_cast<uintptr_t>(U.Begin);
        }
        if (S != nullptr) {
            S->Key = Address;
            S->Value = Result;
        }
        return Result;
    }

    size_t Destinations(uintptr_t Target, const uintptr_t*& Items) override
    {
        // Remembered in a table of fixed size; past it, worked out again.
        size_t I = (Target * 0x9E3779B97F4A7C15ull) >> 52 & (TargetSlotCount - 1);
        TTargetSlot* Slot = nullptr;
        for (size_t Probe = 0; Probe < 16; Probe++, I = (I + 1) & (TargetSlotCount - 1))
            if (Targets[I].Target == Target || Targets[I].Target == 0) {
                Slot = &Targets[I];
                break;
            }
        if (Slot == nullptr)
            Slot = &Scratch;
        if (Slot->Target != Target) {
            Slot->Target = Target;
            Slot->Count = StraightDestinations(Target, Ranges, Slot->Items);
        }
        Items = Slot->Items;
        return Slot->Count;
    }

private:
    struct TSlot {
        uintptr_t Key = 0;
        uintptr_t Value = 0;
    };
    struct TTargetSlot {
        uintptr_t Target = 0;
        size_t Count = 0;
        uintptr_t Items[MaxDestinations] = {};
    };
    static constexpr size_t SlotCount = 16384;
    static constexpr size_t TargetSlotCount = 4096;
    // Open addressing; nullptr when the table is full around the address
    // (the entry is then looked up again each time).
    TSlot* Find(uintptr_t Address)
    {
        size_t I = (Address * 0x9E3779B97F4A7C15ull) >> 50 & (SlotCount - 1);
        for (size_t Probe = 0; Probe < 32; Probe++, I = (I + 1) & (SlotCount - 1))
            if (Slots[I].Key == Address || Slots[I].Key == 0)
                return &Slots[I];
        return nullptr;
    }
    const TDATryRead& Ranges;
    std::pmr::vector<TCrashModule>& Modules;
    std::pmr::vector<TSlot> Slots;
    std::pmr::vector<TTargetSlot> Targets;
    TTargetSlot Scratch;
};

// Copies Text into a fixed field, cut to fit, always ended by a zero byte.
template <size_t N> void CopyField(char (&Field)[N], std::string_view Text)
{
    const size_t Count = std::min(Text.size(), N - 1);
    std::memcpy(Field, Text.data(), Count);
    Field[Count] = '\0';
}

// The names of the program itself, taken at start from its map data (or
// DWARF, or symbols) and kept in flat tables of a mapping of their own, so
// that a crash-time walk names and places its frames without reading a file.
struct TFlatPublic {
    uintptr_t Address;
    uintptr_t Start; // the routine's start
    uint32_t Name;   // offset into the pool; NoName where a routine ends
};
struct TFlatLine {
    uintptr_t Address;
    uint32_t Line;
};
struct TFlatSegment {
    uintptr_t Start;
    uintptr_t End;
    uint32_t Name;
};
constexpr uint32_t NoName = ~uint32_t(0);

struct TPreloadedNames {
    uintptr_t Module = 0;
    uintptr_t ModuleEnd = 0;
    uintptr_t CodeEnd = 0;
    const TFlatPublic* Publics = nullptr;
    size_t PublicCount = 0;
    const TFlatLine* Lines = nullptr;
    size_t LineCount = 0;
    const TFlatSegment* Segments = nullptr;
    size_t SegmentCount = 0;
    const char* Pool = nullptr;
    char ModuleName[64] = {};
};

struct TCrashTimeState {
    char* Reserve = nullptr;
    size_t ReserveSize = 0;
    TPreloadedNames Names;
    std::atomic<bool> Busy{false};
};
std::atomic<TCrashTimeState*> CrashState{nullptr};

// The routine, unit and line of Address from the preloaded tables; false
// when Address is not in the program.
bool NameFromPreloaded(const TPreloadedNames& N, uintptr_t Address, TCrashFrame& F)
{
    if (N.Publics == nullptr || Address < N.Module || Address >= N.ModuleEnd)
        return false;
    const TFlatPublic* P =
        std::upper_bound(N.Publics, N.Publics + N.PublicCount, Address,
                         [](uintptr_t A, const TFlatPublic& X) { return A < X.Address; });
    if (P == N.Publics || (P - 1)->Name == NoName ||
        (P == N.Publics + N.PublicCount && Address >= N.CodeEnd))
        return false;
    --P;
    CopyField(F.Routine, N.Pool + P->Name);
    F.RoutineStart = P->Start;
    const TFlatSegment* S =
        std::upper_bound(N.Segments, N.Segments + N.SegmentCount, Address,
                         [](uintptr_t A, const TFlatSegment& X) { return A < X.Start; });
    if (S != N.Segments && Address < (S - 1)->End) {
        CopyField(F.Unit, N.Pool + (S - 1)->Name);
        const TFlatLine* L =
            std::upper_bound(N.Lines, N.Lines + N.LineCount, Address,
                             [](uintptr_t A, const TFlatLine& X) { return A < X.Address; });
        if (L != N.Lines && (L - 1)->Address >= (S - 1)->Start)
            F.Line = (L - 1)->Line;
    }
    return true;
}

// A value of the dynamic section: an address the dynamic linker has made
// absolute, or (a section it left alone, the vDSO's) one still relative.
uintptr_t DynamicPointer(const TCrashModule& M, uintptr_t Value)
{
    return Value < M.Base ? Value + M.Bias : Value;
}

// The number of dynamic symbols, from the GNU hash table: the highest index
// any chain reaches, plus one.
uint32_t CountDynamicSymbols(uintptr_t GnuHash, const TDATryRead& Ranges)
{
    uint32_t H[4];
    if (!TryRead(GnuHash, H, sizeof(H), &Ranges) || H[0] == 0 || H[0] > (1u << 24))
        return 0;
    const uint32_t Buckets = H[0], First = H[1];
    const uintptr_t BucketsAt = GnuHash + 16 + uintptr_t{H[2]} * sizeof(uintptr_t);
    uint32_t Last = 0;
    uint32_t Chunk[256];
    for (uint32_t I = 0; I < Buckets; I += 256) {
        const uint32_t N = std::min(256u, Buckets - I);
        if (!TryRead(BucketsAt + I * 4u, Chunk, N * 4u, &Ranges))
            return 0;
        for (uint32_t K = 0; K < N; K++)
            Last = std::max(Last, Chunk[K]);
    }
    if (Last < First)
        return First;
    const uintptr_t Chains = BucketsAt + uintptr_t{Buckets} * 4 - uintptr_t{First} * 4;
    for (uint32_t Index = Last;; Index++) {
        uint32_t Hash = 0;
        if (!TryRead(Chains + uintptr_t{Index} * 4, &Hash, 4, &Ranges) || Index - Last > (1u << 20))
            return 0;
        if (Hash & 1)
            return Index + 1;
    }
}

// The dynamic symbol of a module that holds Address (a routine the module
// exports), read in memory.
bool NameFromDynamicSymbols(TCrashModule& M, uintptr_t Address, const TDATryRead& Ranges,
                            TCrashFrame& F)
{
    ReadCrashModuleHeaders(M, Ranges);
    if (M.Dynamic == 0)
        return false;
    uintptr_t SymTab = 0, StrTab = 0, GnuHash = 0, Hash = 0, StrSize = 0;
    TDyn D[32];
    for (uintptr_t At = M.Dynamic, Read = 0; Read < 512; Read += 32, At += sizeof(D)) {
        if (!TryRead(At, D, sizeof(D), &Ranges))
            break;
        bool End = false;
        for (const TDyn& E : D) {
            if (E.d_tag == DT_NULL) {
                End = true;
                break;
            }
            const auto V = static_cast<uintptr_t>(E.d_un.d_val);
            if (E.d_tag == DT_SYMTAB)
                SymTab = DynamicPointer(M, V);
            else if (E.d_tag == DT_STRTAB)
                StrTab = DynamicPointer(M, V);
            else if (E.d_tag == DT_STRSZ)
                StrSize = V;
            else if (E.d_tag == DT_GNU_HASH)
                GnuHash = DynamicPointer(M, V);
            else if (E.d_tag == DT_HASH)
                Hash = DynamicPointer(M, V);
        }
        if (End)
            break;
    }
    uint32_t Count = 0;
    if (Hash != 0) {
        uint32_t H[2];
        if (TryRead(Hash, H, sizeof(H), &Ranges))
            Count = H[1];
    } else if (GnuHash != 0)
        Count = CountDynamicSymbols(GnuHash, Ranges);
    if (SymTab == 0 || StrTab == 0 || Count == 0 || Count > (1u << 22))
        return false;
    uintptr_t Best = 0;
    uint32_t BestName = 0;
    TSym Chunk[128];
    for (uint32_t I = 0; I < Count; I += 128) {
        const uint32_t N = std::min(128u, Count - I);
        if (!TryRead(SymTab + uintptr_t{I} * sizeof(TSym), Chunk, N * sizeof(TSym), &Ranges))
            return false;
        for (uint32_t K = 0; K < N; K++) {
            const TSym& S = Chunk[K];
            const unsigned Type = S.st_info & 0xF;
            if (S.st_shndx == SHN_UNDEF || S.st_value == 0 ||
                (Type != STT_FUNC && Type != STT_GNU_IFUNC))
                continue;
            const uintptr_t Start = M.Bias + static_cast<uintptr_t>(S.st_value);
            if (Start > Address || Start < Best)
                continue;
            if (S.st_size != 0 && Address - Start >= S.st_size)
                continue;
            Best = Start;
            BestName = S.st_name;
        }
    }
    if (Best == 0 || BestName >= StrSize)
        return false;
    char Name[sizeof(F.Routine)];
    const size_t Want = std::min<size_t>(sizeof(Name) - 1, StrSize - BestName);
    // The name may end close to the end of readable memory: read what there is.
    size_t Got = 0;
    while (Got < Want && TryRead(StrTab + BestName + Got, Name + Got, 1, &Ranges) &&
           Name[Got] != '\0')
        Got++;
    if (Got == 0)
        return false;
    CopyField(F.Routine, std::string_view(Name, Got));
    F.RoutineStart = Best;
    return true;
}

// Names the frames of a crash-time walk into Out.
void NameCrashFrames(const TRawFrames& Frames, const TDATryRead& Ranges, TCrashLookup& Lookup,
                     const TPreloadedNames* Names, TCrashTrace& Out)
{
    Out.Count = 0;
    for (const TRawFrame& R : Frames) {
        if (Out.Count == TCrashTrace::MaxFrames)
            break;
        TCrashFrame& F = Out.Frames[Out.Count++];
        F = TCrashFrame{};
        F.Address = R.Address;
        F.Source = R.Source;
        F.Trampoline = R.Trampoline;
        TCrashModule* M = Lookup.ModuleOf(R.Address);
        if (M != nullptr) {
            F.ModuleBase = M->Base;
            const size_t Slash = M->Path.rfind('/');
            CopyField(F.Module,
                      Slash == std::string_view::npos ? M->Path : M->Path.substr(Slash + 1));
        }
        if (R.Trampoline) {
            CopyField(F.Routine, "<signal handler called>");
            F.HasName = true;
            continue;
        }
        if (Names != nullptr && NameFromPreloaded(*Names, R.Address, F))
            F.HasName = true;
        else if (M != nullptr && NameFromDynamicSymbols(*M, R.Address, Ranges, F))
            F.HasName = true;
    }
}

// The crash-time walk itself, allocating from Reserve only: the frame chain
// and scan-and-link through signal frames, named from the preloaded tables
// and the modules' dynamic symbols.
bool CrashTimeWalk(const TThreadContext& Ctx, uint32_t Flags, TReserveResource& Reserve,
                   const TPreloadedNames* Names, TCrashTrace& Out)
{
    Out.Count = 0;
    Out.StackReadable = false;
    std::string_view MapsText;
    TDATryRead Ranges = GetReadableRanges(&Reserve, &MapsText);
    std::pmr::vector<TCrashModule> Modules(&Reserve);
    Modules.reserve(static_cast<size_t>(std::count(MapsText.begin(), MapsText.end(), '\n')) + 1);
    CrashModules(MapsText, Modules);
    TCrashLookup Lookup(Ranges, Modules, &Reserve);
    TRawFrames Frames(&Reserve);
    Frames.reserve(MaxFrames);
    uintptr_t Low = Ctx.StackLow, High = Ctx.StackHigh;
    const bool Readable = !Ranges.empty() && StackRegion(Ctx.Sp(), Low, High, Ranges);
    if (Readable) {
        const char* Phase = nullptr;
        auto Run = [](const char*, auto&& Body) { Body(); };
        const uint32_t Sources = Flags | (Ctx.KernelOnly ? swNoFramePointer : 0u);
        ChainOrScan(Ctx, Sources, Low, High, Ranges, Lookup, &Reserve, nullptr, TStackProgress(),
                    &Phase, Run, Frames);
    }
    if (Frames.empty())
        Frames.push_back(
            {Ctx.Ip(), Ctx.KernelOnly ? TFrameSource::Kernel : TFrameSource::Context, false});
    NameCrashFrames(Frames, Ranges, Lookup, Names, Out);
    Out.StackReadable = Readable;
    return Readable;
}

// Takes the prepared reserve for one walk at a time; waits a little for a
// walk of another thread to end, never without end.
bool TakeReserve(TCrashTimeState& S)
{
    for (int Try = 0; Try < 200; Try++) {
        bool Expected = false;
        if (S.Busy.compare_exchange_strong(Expected, true))
            return true;
        usleep(5000);
    }
    return false;
}

// All library locks a walk and its naming take, each got in a bounded wait
// in crash-time mode.
// The walk holds its own lock throughout; the map cache's and the debug
// information's it only tries (in the order every user takes them), so that
// a walk that could not get them takes the crash-time path at once. Inside
// the walk each use takes them again, bounded in crash-time mode.
struct TWalkLocks {
    TLibraryLockGuard Walk{TLibraryLock::Walk};
    bool Others = Walk.Locked() && Free(TLibraryLock::MapCache) && Free(TLibraryLock::DebugInfo);
    bool All() const { return Others; }
    static bool Free(TLibraryLock Which)
    {
        TLibraryLockGuard Probe(Which);
        return Probe.Locked();
    }
};

// A crash-time trace as a TStackTrace (for a caller that can use the heap).
void CrashTraceToStackTrace(const TCrashTrace& T, TStackTrace& Result)
{
    for (size_t I = 0; I < T.Count; I++) {
        const TCrashFrame& F = T.Frames[I];
        TStackItem Item;
        Item.Address = F.Address;
        Item.Source = F.Source;
        Item.CrashTimePath = true;
        Item.ModuleName = Utf8ToWide(F.Module);
        Item.ModuleOffset = F.ModuleBase != 0 ? F.Address - F.ModuleBase : 0;
        Item.HasDebugInfo = F.HasName;
        if (F.HasName) {
            Item.RoutineName = Utf8ToWide(F.Routine);
            Item.UnitName = Utf8ToWide(F.Unit);
            Item.Line = F.Line;
            Item.RelAddress = F.RoutineStart != 0 ? F.Address - F.RoutineStart : 0;
        }
        const std::string Module = F.Module[0] != '\0' ? F.Module : "?";
        const uint64_t Offset = F.Module[0] != '\0' ? Item.ModuleOffset : 0;
        Item.Checksum =
            UpdateCrc32(UpdateCrc32(0, Module.data(), Module.size() + 1), &Offset, sizeof(Offset));
        Result.push_back(std::move(Item));
    }
}

} // namespace

bool PrepareCrashTime(size_t ReserveBytes)
{
    if (CrashState.load() != nullptr)
        return true;
    auto* S = new TCrashTimeState;
    // Mapped and touched now: at crash time the memory is there.
    void* Mem = mmap(nullptr, ReserveBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (Mem == MAP_FAILED) {
        delete S;
        return false;
    }
    S->Reserve = static_cast<char*>(Mem);
    S->ReserveSize = ReserveBytes;
    PrepareMemoryReader();
    // The program's own names, flattened into a mapping of their own.
    // Read whole (the cache's maps read DWARF unit by unit as asked).
    uintptr_t ExeBase = 0;
    std::string ExeFile;
    std::shared_ptr<TMapFile> Map;
    if (FindModuleOfAddr(static_cast<uintptr_t>(getauxval(AT_PHDR)), ExeBase, ExeFile))
        Map = std::make_shared<TMapFile>(ExeBase, ExeFile);
    if (Map && Map->Valid) {
        std::unordered_map<std::u16string, uint32_t> Ids;
        std::string Pool;
        auto Id = [&](const std::u16string& Name) {
            auto [It, New] = Ids.try_emplace(Name, static_cast<uint32_t>(Pool.size()));
            if (New) {
                Pool += WideToUtf8(Name);
                Pool += '\0';
            }
            return It->second;
        };
        std::vector<TFlatPublic> Publics;
        std::vector<TFlatSegment> Segments;
        for (const TMfPublic& P : Map->Publics)
            if (P.Class == mcCode)
                Publics.push_back({P.Address, P.Start != 0 ? P.Start : P.Address,
                                   P.Name.empty() ? NoName : Id(P.Name)});
        for (const TMfSegment& G : Map->Segments)
            if (G.Class == mcCode)
                Segments.push_back({G.Start, G.Start + G.Length, Id(G.UnitName)});
        std::sort(Segments.begin(), Segments.end(),
                  [](const TFlatSegment& A, const TFlatSegment& B) { return A.Start < B.Start; });
        const size_t Bytes = Publics.size() * sizeof(TFlatPublic) +
                             Map->Lines.size() * sizeof(TFlatLine) +
                             Segments.size() * sizeof(TFlatSegment) + Pool.size() + 64;
        void* Flat =
            mmap(nullptr, Bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (Flat != MAP_FAILED) {
            char* At = static_cast<char*>(Flat);
            auto Put = [&At](const void* Data, size_t Size) {
                std::memcpy(At, Data, Size);
                const char* Was = At;
                At += (Size + 15) & ~size_t{15};
                return Was;
            };
            TPreloadedNames& N = S->Names;
            N.Publics = reinterpret_cast<const TFlatPublic*>(
                Put(Publics.data(), Publics.size() * sizeof(TFlatPublic)));
            N.PublicCount = Publics.size();
            std::vector<TFlatLine> Lines;
            Lines.reserve(Map->Lines.size());
            for (const TMapFileLine& L : Map->Lines)
                Lines.push_back({L.Address, L.Line});
            N.Lines = reinterpret_cast<const TFlatLine*>(
                Put(Lines.data(), Lines.size() * sizeof(TFlatLine)));
            N.LineCount = Lines.size();
            N.Segments = reinterpret_cast<const TFlatSegment*>(
                Put(Segments.data(), Segments.size() * sizeof(TFlatSegment)));
            N.SegmentCount = Segments.size();
            N.Pool = Put(Pool.data(), Pool.size());
            N.Module = Map->Module;
            N.CodeEnd = Map->CodeEnd;
            uintptr_t Base = 0;
            std::string File;
            N.ModuleEnd = Map->CodeEnd;
            if (FindModuleOfAddr(Map->Module, Base, File))
                for (const TModuleInfo& M : GetModuleList())
                    if (M.Base == Base)
                        N.ModuleEnd = M.End;
            CopyField(N.ModuleName, WideToUtf8(Map->ModuleName));
            mprotect(Flat, Bytes, PROT_READ);
        }
    }
    TCrashTimeState* Expected = nullptr;
    if (!CrashState.compare_exchange_strong(Expected, S)) {
        munmap(S->Reserve, S->ReserveSize);
        delete S; // another thread prepared first
    }
    return true;
}

bool CalcCrashTimeTrace(const TThreadContext& Context, uint32_t Flags, TCrashTrace& Out)
{
    Out.Count = 0;
    Out.StackReadable = false;
    TCrashTimeState* S = CrashState.load();
    if (S == nullptr || !TakeReserve(*S)) {
        // Not prepared, or another walk holds the reserve: the faulting
        // instruction at least.
        Out.Frames[0] = TCrashFrame{};
        Out.Frames[0].Address = Context.Ip();
        Out.Frames[0].Source = Context.KernelOnly ? TFrameSource::Kernel : TFrameSource::Context;
        Out.Count = 1;
        return false;
    }
    TReserveResource Reserve;
    Reserve.Reset(S->Reserve, S->ReserveSize);
    bool Readable = false;
    try {
        Readable = CrashTimeWalk(Context, Flags, Reserve, &S->Names, Out);
    } catch (...) {
        // Bounds of the walk not kept: what was named stays.
    }
    S->Busy.store(false);
    return Readable;
}

size_t CrashTraceToText(const TCrashTrace& Trace, char* Buffer, size_t Size)
{
    if (Size == 0)
        return 0;
    size_t Used = 0;
    auto Put = [&](std::string_view Text) {
        const size_t N = std::min(Text.size(), Size - 1 - Used);
        std::memcpy(Buffer + Used, Text.data(), N);
        Used += N;
    };
    auto PutHex = [&](uint64_t V, int Digits) {
        char Hex[17];
        int N = 0;
        do {
            Hex[16 - N++] = "0123456789abcdef"[V & 15];
            V >>= 4;
        } while (V != 0 || N < Digits);
        Put(std::string_view(Hex + 17 - N, static_cast<size_t>(N)));
    };
    auto PutDecimal = [&](uint64_t V) {
        char Digits[20];
        int N = 0;
        do {
            Digits[19 - N++] = static_cast<char>('0' + V % 10);
            V /= 10;
        } while (V != 0);
        Put(std::string_view(Digits + 20 - N, static_cast<size_t>(N)));
    };
    for (size_t I = 0; I < Trace.Count; I++) {
        const TCrashFrame& F = Trace.Frames[I];
        if (I > 0)
            Put("\r\n");
        PutHex(F.Address, static_cast<int>(sizeof(uintptr_t) * 2));
        if (!F.HasName) {
            Put(" ");
            Put(F.Module[0] != '\0' ? F.Module : "?");
            Put(" +");
            PutHex(F.ModuleBase != 0 ? F.Address - F.ModuleBase : 0, 1);
            Put(" ???");
            continue;
        }
        Put(" +");
        PutHex(F.RoutineStart != 0 ? F.Address - F.RoutineStart : 0, 1);
        Put(" ");
        Put(F.Module);
        Put(" ");
        Put(F.Unit);
        Put(" ");
        if (F.Line > 0) {
            PutDecimal(F.Line);
            Put(" ");
        }
        Put(F.Routine);
    }
    Buffer[Used] = '\0';
    return Used;
}

// --- Walks --------------------------------------------------------------------------------

namespace {

// The walk for a caller that did not get the library's locks in crash-time
// mode: the crash-time path, from the prepared reserve or, when none was
// prepared, from one taken from the heap now (this caller uses the heap
// anyway). Its items are marked.
bool CrashTimeFallback(const TThreadContext& Ctx, uint32_t Flags, TStackTrace& Result,
                       std::string* Text)
{
    auto Trace = std::make_unique<TCrashTrace>();
    bool Readable = false;
    if (CrashState.load() != nullptr)
        Readable = CalcCrashTimeTrace(Ctx, Flags, *Trace);
    else {
        constexpr size_t Bytes = size_t{8} << 20;
        auto Memory = std::make_unique<char[]>(Bytes);
        TReserveResource Reserve;
        Reserve.Reset(Memory.get(), Bytes);
        try {
            Readable = CrashTimeWalk(Ctx, Flags, Reserve, nullptr, *Trace);
        } catch (...) {
        }
    }
    CrashTraceToStackTrace(*Trace, Result);
    if (Text != nullptr)
        *Text = StackTraceToStr(Result, (Flags & swRelAddresses) != 0, (Flags & swRelLines) != 0);
    return Readable;
}

} // namespace

bool ScanStackTrace(uintptr_t Ip, uintptr_t Sp, uintptr_t Low, uintptr_t High,
                    const std::atomic<bool>* Cancel, TStackTrace& Result)
{
    Result.clear();
    TThreadContext Ctx;
    Ctx.Regs[TThreadContext::IpReg] = Ip;
    Ctx.Regs[TThreadContext::SpReg] = Sp;
    Ctx.StackLow = Low;
    Ctx.StackHigh = High;
    TWalkLocks Locks;
    if (!Locks.All())
        return CrashTimeFallback(Ctx, swNoFramePointer, Result, nullptr);
    TDATryRead Ranges = GetReadableRanges();
    const bool Readable = StackRegion(Sp, Low, High, Ranges);
    TRawFrames Frames(std::pmr::new_delete_resource());
    const TModuleSpans Spans = ModuleSpans(&Ranges);
    TSharedLookup Lookup(&Ranges, Spans);
    if (Readable)
        ScanWalk(Ip, Low, High, Ranges, Lookup, std::pmr::new_delete_resource(), Cancel, nullptr,
                 Frames, nullptr, TFrameSource::Context);
    else
        Frames.push_back({Ip, TFrameSource::Context, false});
    NameFrames(Frames, *Spans, Result);
    FreeReadableRanges(Ranges);
    return Readable;
}

void NameReturnAddresses(const std::vector<uintptr_t>& Addresses, TStackTrace& Result)
{
    Result.clear();
    TWalkLocks Locks;
    TDATryRead Ranges = GetReadableRanges();
    TRawFrames Frames(std::pmr::new_delete_resource());
    for (const uintptr_t Ret : Addresses) {
        if (Ret == 0)
            continue;
        uintptr_t Call = 0;
        Frames.push_back(
            {IsReturnAddress(Ret, &Ranges, &Call) ? Call : Ret - 1, TFrameSource::Cfi, false});
    }
    // Without the library's locks (crash-time mode, a crashed thread holds
    // one) the items stay unnamed rather than wait.
    if (Locks.All()) {
        const TModuleSpans Spans = ModuleSpans(&Ranges);
        NameFrames(Frames, *Spans, Result);
    } else {
        for (const TRawFrame& F : Frames) {
            TStackItem Item;
            Item.Address = F.Address;
            Item.Source = F.Source;
            Result.push_back(std::move(Item));
        }
    }
    FreeReadableRanges(Ranges);
}

TCaptureSnapshot::TCaptureSnapshot() : FRanges(GetReadableRanges()) {}

namespace {

// The walk behind both forms of CalcStackTrace: of Context, or (SkipUntil
// set) of the calling thread from the caller of CalcStackTrace on.
bool WalkAndName(const TThreadContext& Context, uintptr_t SkipUntil, uint32_t AskedFlags,
                 const TStackProgress& Progress, const std::atomic<bool>* Cancel,
                 TStackTrace& Result, std::string* Text, const TCaptureSnapshot* Capture)
{
    TThreadContext Ctx = Context;
    if (Ctx.ThreadId == 0)
        Ctx.ThreadId = CurrentTid();
    // Of a thread known by its instruction and stack pointers alone, the
    // other registers are not known: only the scan can walk it.
    const TFrameSource FirstSource = Ctx.KernelOnly ? TFrameSource::Kernel : TFrameSource::Context;
    const uint32_t Flags = AskedFlags | (Ctx.KernelOnly ? swNoCfi | swNoFramePointer : 0u);

    // In crash-time mode a lock a crashed thread holds is not waited for:
    // the walk then takes the path that needs none.
    TWalkLocks Locks;
    if (!Locks.All())
        return CrashTimeFallback(Ctx, Flags, Result, Text);
    TDATryRead OwnRanges;
    if (Capture == nullptr)
        OwnRanges = GetReadableRanges();
    const TDATryRead& Ranges = Capture != nullptr ? Capture->Ranges() : OwnRanges;
    const TModuleSpans Spans = ModuleSpans(&Ranges);
    // The capture's next walk reads the modules' pages again, but stacks
    // (this thread's own above all) change between walks: only pages of
    // modules are kept.
    struct TKeepModulePages {
        const TCaptureSnapshot* Capture;
        const std::vector<TModuleSpan>& Spans;
        ~TKeepModulePages()
        {
            if (Capture != nullptr)
                Capture->Ranges().DropCachedPagesIf([this](uintptr_t Page) {
                    auto It = std::upper_bound(
                        Spans.begin(), Spans.end(), Page,
                        [](uintptr_t A, const TModuleSpan& M) { return A < M.Base; });
                    return It == Spans.begin() || Page >= std::prev(It)->End;
                });
        }
    } KeepModulePages{Capture, *Spans};
    TSharedLookup Lookup(&Ranges, Spans);
    std::pmr::memory_resource* Heap = std::pmr::new_delete_resource();
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

    TRawFrames Frames(Heap);
    auto AddReturn = [&](uintptr_t Ret, TFrameSource Source) {
        uintptr_t Call = 0;
        Frames.push_back({IsReturnAddress(Ret, &Ranges, &Call) ? Call : Ret - 1, Source, false});
    };

    if (Readable && (Flags & swNoCfi) == 0)
        Guard("CfiUnwind", [&] {
            TCfiWalk W;
            CfiWalk(Ctx, &Ranges, *Spans, W);
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
                TRawFrames More(Heap);
                if (StackRegion(W.Frames.back().second, From, To, Ranges))
                    ScanWalk(W.Frames.back().first, From, To, Ranges, Lookup, Heap, Cancel, nullptr,
                             More, &ScanPhase, TFrameSource::Scan);
                ScanPhase = nullptr;
                Frames.insert(Frames.end(), More.begin() + (More.empty() ? 0 : 1), More.end());
            }
        });
    if (Readable && Frames.size() <= 1)
        ChainOrScan(Ctx, Flags, Low, High, Ranges, Lookup, Heap, Cancel, Progress, &ScanPhase,
                    Guard, Frames);
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

    Guard("NameStackItems", [&] { NameFrames(Frames, *Spans, Result); });
    FreeReadableRanges(OwnRanges);
    if (Text != nullptr) {
        *Text = StackTraceToStr(Result, (Flags & swRelAddresses) != 0, (Flags & swRelLines) != 0);
        if (!Errors.empty())
            *Text += (Text->empty() ? "" : "\r\n") + Errors.substr(0, Errors.size() - 2);
    }
    return Readable;
}

} // namespace

bool CalcStackTrace(const TThreadContext* Context, uint32_t Flags, const TStackProgress& Progress,
                    const std::atomic<bool>* Cancel, TStackTrace& Result, std::string* Text,
                    const TCaptureSnapshot* Capture)
{
    Result.clear();
    if (Context != nullptr)
        return WalkAndName(*Context, 0, Flags, Progress, Cancel, Result, Text, Capture);
    ucontext_t Uc;
    getcontext(&Uc);
    TThreadContext Own;
    ContextFromUcontext(Uc, Own);
    Own.ThreadId = CurrentTid();
    return WalkAndName(Own, reinterpret_cast<uintptr_t>(__builtin_return_address(0)), Flags,
                       Progress, Cancel, Result, Text, Capture);
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
    NameItem(Item, *ModuleSpans());
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
    if (std::any_of(Trace.begin(), Trace.end(),
                    [](const TStackItem& It) { return It.CrashTimePath; }))
        Text += "\r\n>> walked at crash time: no call frame information, names of the program's "
                "tables and exported symbols only";
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
