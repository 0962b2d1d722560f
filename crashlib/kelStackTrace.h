// The call stack of a thread: captured, walked and named.
//
// A thread's context (its registers) is taken from a ucontext_t: the calling
// thread's own, or another thread's, which is asked for by a real-time signal
// whose handler copies its context and then waits until the walk is done.
// Nothing else ever runs inside that signal handler.
//
// The walk has three sources, tried in this order, and each frame says which
// one found it:
//  - the call frame information (CFI) of the modules, through libdw, fed by
//    the captured context and the fault-free memory reader; this is the only
//    source that gets through code built without frame pointers reliably;
//  - the frame-pointer chain;
//  - scan-and-link over the raw stack: every slot that points right behind a
//    call instruction is a candidate return address, and the candidates that
//    form a consistent chain of calls (the call before each one leads to the
//    routine that holds the next inner one) are kept.
// All reads of code and stacks go through one snapshot of the address space
// taken at the start of a walk, so a walk never faults.
#pragma once
#include "crashlib/kelDisAsm.h"
#include "crashlib/kelMemory.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <ucontext.h>
#include <vector>

// Where a frame of a trace came from.
enum class TFrameSource : uint8_t {
    Context,      // the thread's own instruction pointer
    Cfi,          // unwound through call frame information
    FramePointer, // the frame-pointer chain
    Scan,         // scan-and-link over the raw stack
    // The instruction pointer of a thread that could not be paused, as the
    // kernel reports it for a thread blocked in a system call.
    Kernel,
};
const char* FrameSourceName(TFrameSource Source);

// One frame of a trace.
struct TStackItem {
    uintptr_t Address = 0;    // the call instruction (the instruction pointer for the first)
    uintptr_t RelAddress = 0; // Address - the routine's start
    std::u16string ModuleName;
    std::u16string UnitName;
    uint32_t Line = 0;   // 0 when unknown
    int32_t RelLine = 0; // Line - the line of the routine's start
    std::u16string RoutineName;
    bool HasDebugInfo = false; // the routine is known by name
    TFrameSource Source = TFrameSource::Context;
    uintptr_t ModuleOffset = 0; // Address - the module's load address (0: no module)
    uint32_t Checksum = 0;      // CRC-32 over module name and ModuleOffset
    // Walked and named by the crash-time path (a library lock was held by
    // another thread): no call frame information, names from the program's
    // preloaded tables and the modules' dynamic symbols only.
    bool CrashTimePath = false;
};

// The routine name a signal trampoline's frame gets, as a debugger shows it.
inline constexpr std::u16string_view SignalFrameName = u"<signal handler called>";
// Innermost call first.
using TStackTrace = std::vector<TStackItem>;

// A thread's registers, numbered as DWARF numbers them (x86-64: rax, rdx,
// rcx, rbx, rsi, rdi, rbp, rsp, r8-r15, rip; i386: eax, ecx, edx, ebx, esp,
// ebp, esi, edi, eip), and the bounds of its stack ([StackLow, StackHigh),
// 0 when unknown).
struct TThreadContext {
#if defined(__x86_64__)
    static constexpr unsigned RegisterCount = 17;
    static constexpr unsigned IpReg = 16, SpReg = 7, FpReg = 6;
#else
    static constexpr unsigned RegisterCount = 9;
    static constexpr unsigned IpReg = 8, SpReg = 4, FpReg = 5;
#endif
    uintptr_t Regs[RegisterCount] = {};
    uintptr_t StackLow = 0;
    uintptr_t StackHigh = 0;
    pid_t ThreadId = 0;
    // Where the exception happened when the walk is made for one (0: none);
    // internal-error lines of the walk name it.
    uintptr_t ExceptionAddress = 0;
    // Only the instruction and stack pointers are known (read from
    // /proc/self/task/<tid>/syscall for a thread that could not be paused):
    // such a context is walked by scan-and-link alone, its first frame
    // marked TFrameSource::Kernel.
    bool KernelOnly = false;

    uintptr_t Ip() const
    {
        return Regs[IpReg];
    }
    uintptr_t Sp() const
    {
        return Regs[SpReg];
    }
    uintptr_t Fp() const
    {
        return Regs[FpReg];
    }
};

// The registers of a ucontext_t (as a signal handler or getcontext gets it).
void ContextFromUcontext(const ucontext_t& Uc, TThreadContext& Context);

// The stack bounds of thread Tid of this process: the mapping that holds Sp
// (a thread's stack is one mapping; the main thread's grows down to its
// limit). False when Sp lies in no readable mapping.
bool GetStackBounds(uintptr_t Sp, uintptr_t& Low, uintptr_t& High);

// Pauses another thread of this process and holds its context until Resume
// (or destruction). Only one thread is paused at a time in the process: a
// second Pause waits until the first is resumed. The handler runs on the
// thread's alternate signal stack when it has one, so that a thread near the
// end of its stack can still be paused.
class TPausedThread {
public:
    TPausedThread() = default;
    ~TPausedThread();
    TPausedThread(const TPausedThread&) = delete;
    TPausedThread& operator=(const TPausedThread&) = delete;
    // Sends the signal and waits at most TimeoutMs for the handler's copy.
    // A thread that blocks the signal (or does not answer in time) but
    // sleeps in the kernel is not paused: its instruction and stack pointers
    // are read from /proc/self/task/<tid>/syscall instead, and the context
    // is KernelOnly (Paused() is false). False when the thread does not
    // exist or neither way gives its context.
    bool Pause(pid_t Tid, int TimeoutMs = 2000);
    void Resume();
    const TThreadContext& Context() const { return Ctx; }
    // Whether the thread waits in the handler (else the context is the
    // kernel's report of a thread that runs on when it wakes up).
    bool Paused() const { return Holding; }

private:
    bool PauseByKernel(pid_t Tid, int TimeoutMs);
    TThreadContext Ctx;
    bool Holding = false;
};

// The real-time signal used to pause threads.
int PauseSignal();

// The instruction and stack pointers of thread Tid of this process as the
// kernel reports them while it sleeps in the kernel (/proc/self/task/<tid>/
// syscall); false for a running thread or one that does not exist.
bool ReadBlockedThreadContext(pid_t Tid, TThreadContext& Context);

// --- Crash time -------------------------------------------------------------------
// What the crash capture calls while it handles a fatal signal, when the
// crashed thread may hold any lock (the library's, the C library's heap) and
// the heap itself may be corrupt:
//  - PrepareCrashTime, once at start: maps a reserve (ReserveBytes, touched
//    now so that it is there later), opens what the memory reader needs, and
//    takes the program's own names and lines (map data, else DWARF, else
//    symbols) into flat tables of a mapping of their own. It may take as long
//    as a first naming does; any thread may call it. Further calls do nothing.
//  - SetCrashTimeMode(true) (kelMemory.h) while the report is made: every
//    library lock is then taken with a bounded wait. CalcStackTrace and
//    ScanStackTrace that do not get one walk by the crash-time path below
//    (their items marked CrashTimePath) instead of waiting; TPausedThread
//    reads a thread's pointers from the kernel instead of pausing it.
//  - CalcCrashTimeTrace walks by the crash-time path directly: the frame
//    chain and scan-and-link through signal frames (no call frame
//    information: libdw uses the heap), named from the preloaded tables and
//    the modules' dynamic symbols read in memory (names as the module exports
//    them, not demangled). It allocates only from the reserve, takes no
//    library lock and no C library lock, and writes into the caller's
//    TCrashTrace (which the caller keeps, e.g. static); one walk at a time
//    (another waits at most one second). Without PrepareCrashTime it lists
//    the instruction pointer alone and answers false.
//  - CrashTraceToText formats such a trace into a caller's buffer (no heap),
//    one line per frame: address, "+" offset from the routine's start, module,
//    unit, line, routine; "module +offset ???" when unnamed.

struct TCrashFrame {
    uintptr_t Address = 0;      // as TStackItem::Address
    uintptr_t RoutineStart = 0; // 0 when unknown
    uintptr_t ModuleBase = 0;   // where the module's first page is mapped; 0: none
    uint32_t Line = 0;
    TFrameSource Source = TFrameSource::Context;
    bool Trampoline = false; // the kernel's frame of a signal handler
    bool HasName = false;
    char Module[64] = {}; // file name without folder, cut to fit
    char Unit[96] = {};
    char Routine[256] = {};
};
struct TCrashTrace {
    static constexpr size_t MaxFrames = 256;
    size_t Count = 0;
    bool StackReadable = false;
    TCrashFrame Frames[MaxFrames];
};

inline constexpr size_t DefaultCrashReserve = size_t{8} << 20;
bool PrepareCrashTime(size_t ReserveBytes = DefaultCrashReserve);
// False when no stack could be read (Out then holds the instruction pointer).
bool CalcCrashTimeTrace(const TThreadContext& Context, uint32_t Flags, TCrashTrace& Out);
// Returns the length written (Buffer is always ended by a zero byte).
size_t CrashTraceToText(const TCrashTrace& Trace, char* Buffer, size_t Size);

// Walk flags.
enum : uint32_t {
    swNoCfi = 0x01,          // leave out the call frame information
    swNoFramePointer = 0x02, // leave out the frame-pointer chain
    swNoScan = 0x04,         // leave out scan-and-link
    swRelAddresses = 0x10,   // texts: "+" offset from the routine's start
    swRelLines = 0x20,       // texts: "+" line from the routine's first line
    swText = 0x40,           // compose the text of the trace
};

// Progress of a walk, 0..1000.
using TStackProgress = std::function<void(int Position)>;

// The trace of the thread whose context is given; without a context the
// calling thread's, starting at the caller of CalcStackTrace. Missing stack
// bounds are taken from the mapping that holds the stack pointer; given
// bounds are clamped to it. A stack pointer in a guard page or gap (a stack
// that overflowed) walks the nearest readable mapping above it. Signal
// frames are walked through: the trampoline is named "<signal handler
// called>" and the walk goes on from the interrupted context, on whatever
// stack that is. A set Cancel flag ends the walk after the current phase.
// Returns false when no stack can be read; Result then holds the
// instruction pointer's frame alone. A Capture (below) shares one look at the
// address space among the walks of one report.
class TCaptureSnapshot;
bool CalcStackTrace(const TThreadContext* Context, uint32_t Flags, const TStackProgress& Progress,
                    const std::atomic<bool>* Cancel, TStackTrace& Result,
                    std::string* Text = nullptr, const TCaptureSnapshot* Capture = nullptr);

// One look at the address space shared by the walks of one capture (the
// threads of one report): /proc/self/maps is read once, and the modules'
// pages one walk reads (code, unwind tables) serve the next; stacks are read
// afresh by each walk. Take it right before the capture's walks and drop it
// after them; a module loaded meanwhile is not seen.
class TCaptureSnapshot {
public:
    TCaptureSnapshot();
    const TDATryRead& Ranges() const { return FRanges; }

private:
    TDATryRead FRanges;
};

// Only scan-and-link over the raw stack [Low, High) with the instruction
// pointer Ip innermost (the bounds are clamped to the mapping holding Sp, or
// the nearest above it), through signal frames as CalcStackTrace.
bool ScanStackTrace(uintptr_t Ip, uintptr_t Sp, uintptr_t Low, uintptr_t High,
                    const std::atomic<bool>* Cancel, TStackTrace& Result);

// The trace of a chain of return addresses recorded earlier (innermost
// first; a C++ exception's throw site, a thread's creation): each item named
// at the call that the address returns from. The addresses are trusted to
// be code; one that follows no readable call is named as it is, less one.
void NameReturnAddresses(const std::vector<uintptr_t>& Addresses, TStackTrace& Result);

// --- Pieces of the scan, for tests ---------------------------------------------
// Whether Value points right behind a call instruction in code that can be
// read; CallStart is where that call begins.
bool IsReturnAddress(uintptr_t Value, const TDATryRead* Ranges, uintptr_t* CallStart = nullptr,
                     TCpuMode Mode = sizeof(void*) == 8 ? TCpuMode::x64 : TCpuMode::x86);
// Whether Address is the sigreturn trampoline a signal handler returns to.
bool IsSigreturnTrampoline(uintptr_t Address, const TDATryRead* Ranges);
// The interrupted context saved in the signal frame whose first slot (the
// handler's return address, the trampoline) is Slot. False when it cannot be
// read or names code or a stack that cannot be read.
bool ReadSignalFrame(uintptr_t Slot, const TDATryRead* Ranges, TThreadContext& Interrupted);
// Removes repeated blocks of candidate values (recursion) from Values, in
// place: a block that repeats the block right inside it is dropped. At most
// MaxCandidates innermost values are kept. Values[0] is innermost. Returns
// the number of passes made (passes stop early when Cancel is set).
int RemoveRecursiveStackAreas(std::vector<uintptr_t>& Values, const std::atomic<bool>* Cancel,
                              size_t MaxCandidates = 4096);

// --- Texts -------------------------------------------------------------------------
// One code address as text: address, module, unit, line, routine; " ???" when
// nothing is known.
void StackAddrToStr(uintptr_t Address, bool RelAddresses, bool RelLines, std::string& Text);
// The same for an item already named.
std::string StackItemToStr(const TStackItem& Item, bool RelAddresses, bool RelLines);
// ">> internal error in " + Routine + ":" CR LF + the location of the
// exception being handled (Where; 0: none known).
void InternalErrorStr(const std::string& Routine, bool RelAddresses, bool RelLines,
                      std::string& Text, uintptr_t Where = 0);
// The whole trace in aligned columns, one line per item, CR LF between lines.
std::string StackTraceToStr(const TStackTrace& Trace, bool RelAddresses, bool RelLines);

// CRC-32 over the module names and module-relative offsets of the items, so
// that the same chain gives the same value in every run of the program.
uint32_t StackTraceChecksum(const TStackTrace& Trace);
