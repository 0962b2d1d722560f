// The stack walk: return-address test and recursion removal on crafted data,
// the texts and checksums, walks of this process's own threads through each
// source, and the crash program's chains against gdb's backtrace.
#include "crashlib/kelStackTrace.h"
#include "crashlib/kelStrings.h"

#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <alloca.h>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string Name(const TStackItem& Item)
{
    std::string N = WideToUtf8(Item.RoutineName);
    if (const size_t Paren = N.find('('); Paren != std::string::npos)
        N.resize(Paren);
    return N;
}

std::vector<std::string> Names(const TStackTrace& Trace)
{
    std::vector<std::string> Out;
    for (const TStackItem& It : Trace)
        Out.push_back(It.HasDebugInfo ? Name(It) : "???");
    return Out;
}

// Whether Sub appears in Full in order (not necessarily adjacent).
bool IsSubsequence(const std::vector<std::string>& Sub, const std::vector<std::string>& Full)
{
    size_t At = 0;
    for (const std::string& S : Full)
        if (At < Sub.size() && S == Sub[At])
            At++;
    return At == Sub.size();
}

} // namespace

// --- Return addresses on crafted code ---------------------------------------------------

namespace {
// Code bytes followed by the slot the return address would point at; the
// test reads them as data, which the test for call forms allows.
struct TCodeSample {
    std::array<uint8_t, 16> Bytes{};
    size_t Length = 0;
    uintptr_t End() const { return reinterpret_cast<uintptr_t>(Bytes.data()) + Length; }
};
TCodeSample Sample(std::initializer_list<uint8_t> Tail)
{
    TCodeSample S;
    // nops before the instruction, so that the 8 bytes before the end exist
    std::fill(S.Bytes.begin(), S.Bytes.end(), 0x90);
    S.Length = 8;
    std::copy(Tail.begin(), Tail.end(), S.Bytes.begin() + 8 - static_cast<long>(Tail.size()));
    return S;
}
} // namespace

TEST(CrashlibStackTraceReturnAddress, CallFormsBeforeTheValueAreCandidates)
{
    // No snapshot: a snapshot keeps the pages it read, and the samples are
    // written to the same stack page one after another.
    const TDATryRead* Ranges = nullptr;
    for (TCpuMode Mode : {TCpuMode::x86, TCpuMode::x64}) {
        SCOPED_TRACE(Mode == TCpuMode::x86 ? "x86" : "x64");
        uintptr_t Call = 0;
        auto S1 = Sample({0xFF, 0x50, 0x08}); // call [eax+8]
        EXPECT_TRUE(IsReturnAddress(S1.End(), Ranges, &Call, Mode));
        EXPECT_EQ(Call, S1.End() - 3);
        auto S2 = Sample({0x8B, 0x43, 0x04}); // mov eax, [ebx+4]
        EXPECT_FALSE(IsReturnAddress(S2.End(), Ranges, nullptr, Mode));
        auto S3 = Sample({0xE8, 0x10, 0x00, 0x00, 0x00}); // call rel32
        EXPECT_TRUE(IsReturnAddress(S3.End(), Ranges, &Call, Mode));
        EXPECT_EQ(Call, S3.End() - 5);
        auto S4 = Sample({0xFF, 0xD0}); // call eax
        EXPECT_TRUE(IsReturnAddress(S4.End(), Ranges, nullptr, Mode));
        auto S5 = Sample({0xFF, 0xE0}); // jmp eax: not a call
        EXPECT_FALSE(IsReturnAddress(S5.End(), Ranges, nullptr, Mode));
        auto S6 = Sample({0xFF, 0x94, 0x24, 0x10, 0x00, 0x00, 0x00}); // call [esp+10h]
        EXPECT_TRUE(IsReturnAddress(S6.End(), Ranges, &Call, Mode));
        EXPECT_EQ(Call, S6.End() - 7);
        // E8 five bytes back, but the call it starts ends elsewhere
        auto S7 = Sample({0xE8, 0x10, 0x00, 0x00, 0x00, 0x90});
        EXPECT_FALSE(IsReturnAddress(S7.End(), Ranges, nullptr, Mode));
    }
    // call far ptr16:32 exists in 32-bit code only; call r8 in x86-64 only
    auto Far = Sample({0x9A, 0x00, 0x10, 0x00, 0x00, 0x08, 0x00});
    EXPECT_TRUE(IsReturnAddress(Far.End(), Ranges, nullptr, TCpuMode::x86));
    EXPECT_FALSE(IsReturnAddress(Far.End(), Ranges, nullptr, TCpuMode::x64));
    auto Rex = Sample({0x41, 0xFF, 0xD0});
    uintptr_t Call = 0;
    EXPECT_TRUE(IsReturnAddress(Rex.End(), Ranges, &Call, TCpuMode::x64));
    EXPECT_EQ(Call, Rex.End() - 3);
}

TEST(CrashlibStackTraceReturnAddress, ValuesThatCannotBeReadAreNoCandidates)
{
    EXPECT_FALSE(IsReturnAddress(0, nullptr));
    EXPECT_FALSE(IsReturnAddress(7, nullptr));
    const long Page = sysconf(_SC_PAGESIZE);
    void* P = mmap(nullptr, static_cast<size_t>(Page) * 2, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(P, MAP_FAILED);
    auto* Bytes = static_cast<uint8_t*>(P);
    // A call right at the start of a page whose predecessor is unmapped.
    ASSERT_EQ(munmap(P, static_cast<size_t>(Page)), 0);
    Bytes += Page;
    Bytes[0] = 0xE8;
    std::memset(Bytes + 1, 0, 4);
    TDATryRead Ranges = GetReadableRanges();
    EXPECT_FALSE(IsReturnAddress(reinterpret_cast<uintptr_t>(Bytes) + 5, &Ranges));
    munmap(Bytes, static_cast<size_t>(Page));
}

// --- Recursion removal ------------------------------------------------------------------------

TEST(CrashlibStackTraceRecursion, RepeatedBlocksCollapse)
{
    // One routine a hundred deep: one repetition stays.
    std::vector<uintptr_t> V{10};
    V.insert(V.end(), 100, 20);
    V.push_back(30);
    RemoveRecursiveStackAreas(V, nullptr);
    EXPECT_EQ(V, (std::vector<uintptr_t>{10, 20, 30}));

    // Two routines calling each other.
    std::vector<uintptr_t> W{1};
    for (int I = 0; I < 50; I++) {
        W.push_back(2);
        W.push_back(3);
    }
    W.push_back(4);
    RemoveRecursiveStackAreas(W, nullptr);
    EXPECT_EQ(W, (std::vector<uintptr_t>{1, 2, 3, 4}));

    // Nested repeats need more than one pass.
    std::vector<uintptr_t> X{5, 6, 6, 7, 5, 6, 6, 7, 8};
    const int Passes = RemoveRecursiveStackAreas(X, nullptr);
    EXPECT_EQ(X, (std::vector<uintptr_t>{5, 6, 7, 8}));
    EXPECT_GE(Passes, 2);

    // A value seen twice with different blocks inside is no recursion.
    std::vector<uintptr_t> Y{1, 2, 3, 1, 4};
    RemoveRecursiveStackAreas(Y, nullptr);
    EXPECT_EQ(Y, (std::vector<uintptr_t>{1, 2, 3, 1, 4}));
}

TEST(CrashlibStackTraceRecursion, CapKeepsInnermostAndCancelStops)
{
    std::vector<uintptr_t> V;
    for (uintptr_t I = 0; I < 10000; I++)
        V.push_back(I + 100);
    RemoveRecursiveStackAreas(V, nullptr, 4096);
    ASSERT_EQ(V.size(), 4096u);
    EXPECT_EQ(V.front(), 100u);
    EXPECT_EQ(V.back(), 100u + 4095);

    std::atomic<bool> Cancel{true};
    std::vector<uintptr_t> R{1, 2, 2, 2, 3};
    EXPECT_EQ(RemoveRecursiveStackAreas(R, &Cancel), 0);
    EXPECT_EQ(R.size(), 5u);
}

// --- Texts and checksums ---------------------------------------------------------------------

namespace {
TStackItem KnownItem(uintptr_t Address, const char16_t* Routine, uint32_t Line)
{
    TStackItem It;
    It.Address = Address;
    It.RelAddress = 0x1c;
    It.ModuleName = u"tolvex";
    It.UnitName = u"Scan.cpp";
    It.Line = Line;
    It.RelLine = 3;
    It.RoutineName = Routine;
    It.HasDebugInfo = true;
    return It;
}
} // namespace

TEST(CrashlibStackTraceText, ItemLayouts)
{
    const bool Wide = sizeof(void*) == 8;
    const std::string Addr = Wide ? "00000000004011f0" : "004011f0";
    TStackItem K = KnownItem(0x4011f0, u"Scanner::Run", 120);
    EXPECT_EQ(StackItemToStr(K, false, false), Addr + " tolvex Scan.cpp 120 Scanner::Run");
    EXPECT_EQ(StackItemToStr(K, true, true), Addr + " +1c tolvex Scan.cpp 120 +3 Scanner::Run");
    K.Line = 0;
    EXPECT_EQ(StackItemToStr(K, false, true), Addr + " tolvex Scan.cpp +0 Scanner::Run");
    TStackItem U;
    U.Address = 0x4011f0;
    EXPECT_EQ(StackItemToStr(U, false, false), Addr + " ???");
    EXPECT_EQ(StackItemToStr(U, true, false), Addr + " +0 ???");
}

TEST(CrashlibStackTraceText, AddressesOfThisProcess)
{
    // Code of no module: the unknown mark.
    void* P = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(P, MAP_FAILED);
    std::string Text;
    StackAddrToStr(reinterpret_cast<uintptr_t>(P) + 16, true, false, Text);
    EXPECT_EQ(Text.size(), sizeof(void*) * 2 + 7) << Text;
    EXPECT_TRUE(Text.ends_with(" +0 ???")) << Text;
    munmap(P, 4096);

    // A routine of this test program: its name, unit and line.
    const auto Here = reinterpret_cast<uintptr_t>(&IsSubsequence);
    StackAddrToStr(Here + 4, true, false, Text);
    EXPECT_NE(Text.find("IsSubsequence"), std::string::npos) << Text;
    EXPECT_NE(Text.find("KelStackTraceTest.cpp"), std::string::npos) << Text;
    EXPECT_NE(Text.find(" +4 "), std::string::npos) << Text;

    InternalErrorStr("RemoveRecursiveStackAreas", false, false, Text, Here);
    EXPECT_TRUE(Text.starts_with(">> internal error in RemoveRecursiveStackAreas:\r\n")) << Text;
    EXPECT_NE(Text.find("IsSubsequence"), std::string::npos) << Text;
}

TEST(CrashlibStackTraceText, ColumnsAlignOverTheTrace)
{
    TStackTrace T{KnownItem(0x401000, u"A", 7), KnownItem(0x402000, u"Longer::Name", 1234)};
    T[1].ModuleName = u"libtolvexcore.so";
    T[1].UnitName = u"x.cpp";
    T[1].RelAddress = 0x1234;
    TStackItem U;
    U.Address = 0x403000;
    T.push_back(U);
    const std::string Text = StackTraceToStr(T, true, true);
    std::vector<std::string> Lines;
    std::stringstream S(Text);
    for (std::string L; std::getline(S, L);)
        Lines.push_back(L.ends_with('\r') ? L.substr(0, L.size() - 1) : L);
    ASSERT_EQ(Lines.size(), 3u) << Text;
    EXPECT_EQ(Text.find('\n'), Text.find("\r\n") + 1);
    // Each routine name starts in the same column, after the widest entries.
    const size_t Col = Lines[0].find(" A") + 1;
    EXPECT_EQ(Lines[1].find("Longer::Name"), Col);
    EXPECT_EQ(Lines[2].find("???"), Col);
    EXPECT_NE(Lines[0].find(" 7 +3 "), std::string::npos) << Lines[0];
    EXPECT_NE(Lines[1].find("+1234 libtolvexcore.so "), std::string::npos) << Lines[1];
}

TEST(CrashlibStackTraceText, ChecksumFollowsModuleAndOffsetOnly)
{
    TStackItem A = KnownItem(0x401000, u"A", 1);
    A.ModuleOffset = 0x1000;
    TStackItem B = A;
    B.Address = 0x7f0000401000; // the module loaded elsewhere
    B.Line = 99;
    EXPECT_EQ(StackTraceChecksum({A}), StackTraceChecksum({B}));
    B.ModuleOffset = 0x1001;
    EXPECT_NE(StackTraceChecksum({A}), StackTraceChecksum({B}));
    B = A;
    B.ModuleName = u"other";
    EXPECT_NE(StackTraceChecksum({A}), StackTraceChecksum({B}));
    EXPECT_NE(StackTraceChecksum({A, B}), StackTraceChecksum({B, A}));
}

// --- Walks of this process's threads -----------------------------------------------------

namespace {
std::atomic<int> WalkSink{0};

extern "C" __attribute__((noinline)) void st_walk_inner(uint32_t Flags, TStackTrace* Trace)
{
    CalcStackTrace(nullptr, Flags, nullptr, nullptr, *Trace);
    WalkSink++;
}

extern "C" __attribute__((noinline)) void st_walk_outer(uint32_t Flags, TStackTrace* Trace)
{
    st_walk_inner(Flags, Trace);
    WalkSink++;
}
} // namespace

TEST(CrashlibStackTraceWalk, OwnThreadThroughEachSource)
{
    struct TCase {
        uint32_t Flags;
        TFrameSource Source;
    };
    for (const TCase& C :
         {TCase{0, TFrameSource::Cfi}, TCase{swNoCfi | swNoScan, TFrameSource::FramePointer},
          TCase{swNoCfi | swNoFramePointer, TFrameSource::Scan}}) {
        SCOPED_TRACE(FrameSourceName(C.Source));
        TStackTrace Trace;
        st_walk_outer(C.Flags, &Trace);
        const auto N = Names(Trace);
        ASSERT_GE(N.size(), 3u);
        EXPECT_EQ(N[0], "st_walk_inner");
        // The test library is built without frame pointers: the chain is
        // followed up to the test body by every source.
        EXPECT_TRUE(
            IsSubsequence({"st_walk_inner", "st_walk_outer",
                           "CrashlibStackTraceWalk_OwnThreadThroughEachSource_Test::TestBody"},
                          N))
            << StackTraceToStr(Trace, false, false);
        for (size_t I = 1; I < Trace.size(); I++)
            EXPECT_EQ(Trace[I].Source, C.Source) << N[I];
        const auto It = std::find(N.begin(), N.end(), "st_walk_outer");
        ASSERT_NE(It, N.end());
        EXPECT_GT(Trace[static_cast<size_t>(It - N.begin())].Line, 0u);
    }
}

namespace {
TStackTrace JitTrace;

extern "C" __attribute__((noinline)) int st_jit_callback(int X)
{
    CalcStackTrace(nullptr, 0, nullptr, nullptr, JitTrace);
    return X + 1;
}

extern "C" __attribute__((noinline)) int st_jit_caller(int (*Trampoline)(int, int (*)(int)))
{
    const int R = Trampoline(1, st_jit_callback);
    WalkSink++;
    return R;
}
} // namespace

TEST(CrashlibStackTraceWalk, GeneratedCodeWithoutUnwindInformation)
{
#if defined(__x86_64__)
    // sub rsp, 8; call rsi; add rsp, 8; ret: code of no module, without
    // unwind entry or symbol, between two routines of this program.
    static const uint8_t Code[] = {0x48, 0x83, 0xEC, 0x08, 0xFF, 0xD6,
                                   0x48, 0x83, 0xC4, 0x08, 0xC3};
    void* P = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(P, MAP_FAILED);
    // Not at the mapping's start: the call test reads 8 bytes before a
    // return address.
    auto* Entry = static_cast<uint8_t*>(P) + 64;
    std::memcpy(Entry, Code, sizeof(Code));
    ASSERT_EQ(mprotect(P, 4096, PROT_READ | PROT_EXEC), 0);
    EXPECT_EQ(st_jit_caller(reinterpret_cast<int (*)(int, int (*)(int))>(Entry)), 2);
    munmap(P, 4096);
    const auto N = Names(JitTrace);
    ASSERT_GE(N.size(), 4u) << StackTraceToStr(JitTrace, false, false);
    EXPECT_EQ(N[0], "st_jit_callback");
    // The generated code is listed by its address with the unknown mark,
    // and the walk goes on past it to the routine that called it.
    EXPECT_EQ(N[1], "???");
    EXPECT_EQ(JitTrace[1].Address, reinterpret_cast<uintptr_t>(Entry) + 4);
    EXPECT_TRUE(StackItemToStr(JitTrace[1], false, false).ends_with(" ???"));
    EXPECT_EQ(N[2], "st_jit_caller") << StackTraceToStr(JitTrace, false, false);
    EXPECT_EQ(JitTrace[2].Source, TFrameSource::Scan);
    EXPECT_TRUE(IsSubsequence(
        {"st_jit_caller",
         "CrashlibStackTraceWalk_GeneratedCodeWithoutUnwindInformation_Test::TestBody"},
        N));
#else
    GTEST_SKIP() << "the generated code is x86-64 code";
#endif
}

namespace {
std::mutex BlockMutex;
std::condition_variable BlockCv;
bool BlockRelease = false;
std::atomic<pid_t> BlockedTid{0};

extern "C" __attribute__((noinline)) void st_blocked_inner()
{
    std::unique_lock<std::mutex> Lock(BlockMutex);
    BlockedTid = static_cast<pid_t>(syscall(SYS_gettid));
    BlockCv.notify_all();
    BlockCv.wait(Lock, [] { return BlockRelease; });
    WalkSink++;
}

extern "C" __attribute__((noinline)) void st_blocked_outer()
{
    st_blocked_inner();
    WalkSink++;
}
} // namespace

TEST(CrashlibStackTraceWalk, AnotherThreadPausedBySignal)
{
    std::thread T(st_blocked_outer);
    {
        std::unique_lock<std::mutex> Lock(BlockMutex);
        BlockCv.wait(Lock, [] { return BlockedTid.load() != 0; });
    }
    // Holding the mutex is not needed: the thread may be anywhere in its
    // wait; the chain below it is the same.
    for (uint32_t Flags : {0u, swNoCfi | swNoFramePointer}) {
        TPausedThread Paused;
        if (!Paused.Pause(BlockedTid.load())) {
            ADD_FAILURE() << "the thread was not paused";
            continue;
        }
        EXPECT_NE(Paused.Context().Ip(), 0u);
        EXPECT_LE(Paused.Context().StackLow, Paused.Context().Sp());
        EXPECT_GT(Paused.Context().StackHigh, Paused.Context().Sp());
        TStackTrace Trace;
        EXPECT_TRUE(CalcStackTrace(&Paused.Context(), Flags, nullptr, nullptr, Trace));
        // The wait is inlined into st_blocked_inner: the frame there is named
        // after the innermost routine, the wait, as its line is.
        const auto N = Names(Trace);
        const auto Outer = std::find(N.begin(), N.end(), "st_blocked_outer");
        ASSERT_NE(Outer, N.end()) << StackTraceToStr(Trace, false, false);
        ASSERT_NE(Outer, N.begin());
        EXPECT_TRUE(*(Outer - 1) == "st_blocked_inner" || (Outer - 1)->starts_with("wait"))
            << StackTraceToStr(Trace, false, false);
    }
    {
        std::lock_guard<std::mutex> Lock(BlockMutex);
        BlockRelease = true;
    }
    BlockCv.notify_all();
    T.join(); // the paused thread went on after Resume
    TPausedThread Self;
    EXPECT_FALSE(Self.Pause(static_cast<pid_t>(syscall(SYS_gettid))));
}

namespace {
std::atomic<pid_t> MaskedTid{0};
int MaskedPipe[2];

extern "C" __attribute__((noinline)) void st_masked_inner()
{
    sigset_t All;
    sigfillset(&All);
    pthread_sigmask(SIG_BLOCK, &All, nullptr);
    MaskedTid = static_cast<pid_t>(syscall(SYS_gettid));
    char Byte = 0;
    WalkSink += static_cast<int>(read(MaskedPipe[0], &Byte, 1));
}

extern "C" __attribute__((noinline)) void st_masked_outer()
{
    st_masked_inner();
    WalkSink++;
}

// Whether thread Tid sleeps in the kernel now.
bool Sleeps(pid_t Tid)
{
    std::ifstream Stat("/proc/self/task/" + std::to_string(Tid) + "/stat");
    std::string Text((std::istreambuf_iterator<char>(Stat)), std::istreambuf_iterator<char>());
    const size_t Close = Text.rfind(')');
    return Close != std::string::npos && Close + 2 < Text.size() && Text[Close + 2] == 'S';
}
} // namespace

TEST(CrashlibStackTraceWalk, ThreadThatBlocksEverySignalIsWalkedFromTheKernelsReport)
{
    ASSERT_EQ(pipe(MaskedPipe), 0);
    std::thread T(st_masked_outer);
    while (MaskedTid.load() == 0 || !Sleeps(MaskedTid.load()))
        usleep(1000);
    TPausedThread Paused;
    ASSERT_TRUE(Paused.Pause(MaskedTid.load()));
    // Not paused: the kernel told where it sleeps, and nothing else.
    EXPECT_FALSE(Paused.Paused());
    EXPECT_TRUE(Paused.Context().KernelOnly);
    TStackTrace Trace;
    EXPECT_TRUE(CalcStackTrace(&Paused.Context(), 0, nullptr, nullptr, Trace));
    ASSERT_GE(Trace.size(), 3u);
    EXPECT_EQ(Trace[0].Source, TFrameSource::Kernel);
    for (size_t I = 1; I < Trace.size(); I++)
        EXPECT_EQ(Trace[I].Source, TFrameSource::Scan) << I;
    EXPECT_TRUE(IsSubsequence({"st_masked_inner", "st_masked_outer"}, Names(Trace)))
        << StackTraceToStr(Trace, false, false);
    Paused.Resume();
    ASSERT_EQ(write(MaskedPipe[1], "x", 1), 1);
    T.join();
    close(MaskedPipe[0]);
    close(MaskedPipe[1]);
    // A thread that is gone has no report.
    TThreadContext None;
    EXPECT_FALSE(ReadBlockedThreadContext(999999999, None));
}

namespace {
int NearEndPipe[2];
std::atomic<pid_t> NearEndTid{0};

// Uses all but a little of the thread's stack, then sleeps there.
void* NearTheEnd(void*)
{
    static char Alternate[1 << 16]; // one thread uses it
    stack_t Ss{};
    Ss.ss_sp = Alternate;
    Ss.ss_size = sizeof(Alternate);
    sigaltstack(&Ss, nullptr);
    pthread_attr_t Attr;
    pthread_getattr_np(pthread_self(), &Attr);
    void* Low = nullptr;
    size_t Size = 0;
    pthread_attr_getstack(&Attr, &Low, &Size);
    pthread_attr_destroy(&Attr);
    // Bound before the stack is used up: the dynamic linker's first call of
    // a routine takes more stack than is left below.
    char Byte = 0;
    WalkSink += static_cast<int>(read(NearEndPipe[0], &Byte, 0));
    const auto Tid = static_cast<pid_t>(syscall(SYS_gettid));
    char Here = 0;
    const size_t Left = static_cast<size_t>(&Here - static_cast<char*>(Low));
    // Less room than a signal frame with its saved registers takes.
    volatile char* Room = static_cast<char*>(alloca(Left - 512));
    Room[0] = 1;
    NearEndTid = Tid;
    WalkSink += static_cast<int>(read(NearEndPipe[0], &Byte, 1)) + Room[0];
    return nullptr;
}
} // namespace

TEST(CrashlibStackTraceWalk, ThreadNearTheEndOfItsStackIsPausedOnItsAlternateStack)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer changes stack frames, stack room and the heap this test "
                    "measures; it runs in the ordinary build";
#endif
    // In a child under a watchdog: a handler on the thread's own stack would
    // fault and end the process.
    const std::string Answer = AnswerWithin(std::chrono::seconds(20), [] {
        if (pipe(NearEndPipe) != 0)
            return std::string("no pipe");
        pthread_attr_t Attr;
        pthread_attr_init(&Attr);
        pthread_attr_setstacksize(&Attr, 128 * 1024);
        pthread_t T;
        pthread_create(&T, &Attr, NearTheEnd, nullptr);
        while (NearEndTid.load() == 0 || !Sleeps(NearEndTid.load()))
            usleep(1000);
        TPausedThread Paused;
        const bool Ok = Paused.Pause(NearEndTid.load());
        const std::string Told = !Ok ? "not paused" : Paused.Paused() ? "paused" : "kernel only";
        Paused.Resume();
        if (write(NearEndPipe[1], "x", 1) != 1)
            return std::string("no write");
        pthread_join(T, nullptr);
        return Told;
    });
    EXPECT_EQ(Answer, "paused");
}

TEST(CrashlibStackTraceWalk, ScanClampsBoundsAndHonoursCancel)
{
    ucontext_t Uc;
    getcontext(&Uc);
    TThreadContext C;
    ContextFromUcontext(Uc, C);
    TStackTrace Exact, Wide, Cancelled;
    uintptr_t Low = 0, High = 0;
    ASSERT_TRUE(GetStackBounds(C.Sp(), Low, High));
    ASSERT_TRUE(ScanStackTrace(C.Ip(), C.Sp(), C.Sp(), High, nullptr, Exact));
    // Bounds far beyond the stack's mapping are cut to it, not trusted.
    ASSERT_TRUE(ScanStackTrace(C.Ip(), C.Sp(), 1, UINTPTR_MAX - 4096, nullptr, Wide));
    EXPECT_EQ(Names(Exact), Names(Wide));
    EXPECT_GE(Exact.size(), 2u);
    std::atomic<bool> Stop{true};
    ASSERT_TRUE(ScanStackTrace(C.Ip(), C.Sp(), 0, 0, &Stop, Cancelled));
    EXPECT_EQ(Cancelled.size(), 1u);
    // A stack pointer in no mapping: nothing can be read.
    TStackTrace None;
    EXPECT_FALSE(ScanStackTrace(C.Ip(), 16, 0, 0, nullptr, None));
    ASSERT_EQ(None.size(), 1u); // the instruction pointer's frame still
    EXPECT_EQ(None[0].Address, C.Ip());
}

TEST(CrashlibStackTraceWalk, ScanReportsProgressAndOneTextLinePerItem)
{
    std::vector<int> Seen;
    TStackTrace Trace;
    std::string Text;
    ASSERT_TRUE(CalcStackTrace(
        nullptr, swNoCfi | swNoFramePointer | swText,
        [&](int Position) { Seen.push_back(Position); }, nullptr, Trace, &Text));
    ASSERT_FALSE(Seen.empty());
    EXPECT_EQ(Seen.front(), 25);
    EXPECT_EQ(Seen.back(), 1000);
    EXPECT_TRUE(std::is_sorted(Seen.begin(), Seen.end()));
    // The text holds one line per item and no internal-error line.
    EXPECT_EQ(static_cast<size_t>(std::count(Text.begin(), Text.end(), '\n')) + 1, Trace.size());
    EXPECT_EQ(Text.find(">> internal error"), std::string::npos);
}

TEST(CrashlibStackTraceWalk, AFailingPhaseEndsTheTraceWithAnInternalErrorLine)
{
    ucontext_t Uc;
    getcontext(&Uc);
    TThreadContext C;
    ContextFromUcontext(Uc, C);
    C.ExceptionAddress = reinterpret_cast<uintptr_t>(&IsSubsequence) + 2;
    TStackTrace Trace;
    std::string Text;
    // The progress alert fails as the first phase ends.
    ASSERT_TRUE(CalcStackTrace(
        &C, swNoCfi | swNoFramePointer | swText,
        [](int) { throw std::runtime_error("alert failed"); }, nullptr, Trace, &Text));
    ASSERT_EQ(Trace.size(), 1u);
    EXPECT_EQ(Trace[0].Address, C.Ip());
    const size_t Error = Text.find("\r\n>> internal error in CollectPossibleStackItems:\r\n");
    ASSERT_NE(Error, std::string::npos) << Text;
    const size_t Original = Text.find(">> original exception location: ", Error);
    ASSERT_NE(Original, std::string::npos) << Text;
    EXPECT_NE(Text.find("IsSubsequence", Original), std::string::npos) << Text;
}

namespace {
struct TLoadedWalks {
    const TCaptureSnapshot* Capture = nullptr;
    TStackTrace Traces[2];
};

// One call site for both walks, so that their frames are the same addresses.
extern "C" __attribute__((noinline)) void st_loaded_walk(const TCaptureSnapshot* Capture,
                                                         TStackTrace* Trace, uint32_t Flags)
{
    CalcStackTrace(nullptr, Flags, nullptr, nullptr, *Trace, nullptr, Capture);
    WalkSink++;
}

// Not unrolled into two call sites, and no tail call.
volatile int LoadedWalkCount = 2;

extern "C" __attribute__((noinline)) void st_loaded_callback(void* Arg)
{
    auto* W = static_cast<TLoadedWalks*>(Arg);
    for (int K = 0; K < LoadedWalkCount; K++)
        st_loaded_walk(K == 0 ? nullptr : W->Capture, &W->Traces[K], 0);
    WalkSink++;
}
} // namespace

// A library loaded after a walk is seen by the next one (the module list is
// read again when the address space changed), and a walk through a capture's
// look taken then equals one that reads the maps itself, frame by frame.
TEST(CrashlibStackTraceWalk, LibraryLoadedBetweenWalksIsNamedAndCaptureWalksEqualOwnOnes)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer changes stack frames, stack room and the heap this test "
                    "measures; it runs in the ordinary build";
#endif
    TempFolder Temp;
    const std::string Source =
        "extern volatile int walklib_sink;\n"
        "volatile int walklib_sink;\n"
        "__attribute__((noinline)) void walklib_call(void (*Cb)(void*), void* A)\n"
        "{\n"
        "    Cb(A);\n"
        "    walklib_sink++;\n"
        "}\n";
    TempFolder::Write(Temp.Path("walklib.c"), Source);
    const auto CallLine = static_cast<uint32_t>(
        std::count(Source.begin(), Source.begin() + Source.find("Cb(A)"), '\n') + 1);
    ASSERT_EQ(std::system(("gcc -O1 -g -fPIC -shared -o " + Temp.Path("walklib.so") + " " +
                           Temp.Path("walklib.c"))
                              .c_str()),
              0);
    TStackTrace Before;
    st_walk_outer(0, &Before); // the module list of the space without the library
    void* Lib = dlopen(Temp.Path("walklib.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(Lib, nullptr) << dlerror();
    auto* Call = reinterpret_cast<void (*)(void (*)(void*), void*)>(dlsym(Lib, "walklib_call"));
    ASSERT_NE(Call, nullptr);
    Dl_info Info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(Call), &Info), 0);
    std::string LibName = Info.dli_fname;
    LibName = LibName.substr(LibName.rfind('/') + 1);

    TLoadedWalks W;
    const TCaptureSnapshot Capture;
    W.Capture = &Capture;
    Call(&st_loaded_callback, &W);

    const TStackTrace& Own = W.Traces[0];
    const TStackTrace& Shared = W.Traces[1];
    const auto N = Names(Own);
    ASSERT_TRUE(IsSubsequence({"st_loaded_walk", "st_loaded_callback", "walklib_call",
                               "CrashlibStackTraceWalk_"
                               "LibraryLoadedBetweenWalksIsNamedAndCaptureWalksEqualOwnOnes_Test::"
                               "TestBody"},
                              N))
        << StackTraceToStr(Own, false, false);
    const size_t InLib =
        static_cast<size_t>(std::find(N.begin(), N.end(), "walklib_call") - N.begin());
    EXPECT_EQ(WideToUtf8(Own[InLib].ModuleName), LibName);
    EXPECT_EQ(Own[InLib].ModuleOffset,
              Own[InLib].Address - reinterpret_cast<uintptr_t>(Info.dli_fbase));
    EXPECT_EQ(Own[InLib].Line, CallLine);
    // Call frame information unwinds the library loaded since the last walk
    // and goes on beyond it.
    EXPECT_EQ(Own[InLib].Source, TFrameSource::Cfi);
    EXPECT_EQ(Own[InLib + 1].Source, TFrameSource::Cfi) << N[InLib + 1];
    ASSERT_EQ(Shared.size(), Own.size()) << StackTraceToStr(Shared, false, false);
    for (size_t I = 0; I < Own.size(); I++) {
        SCOPED_TRACE(N[I]);
        EXPECT_EQ(Shared[I].Address, Own[I].Address);
        EXPECT_EQ(Shared[I].Source, Own[I].Source);
        EXPECT_EQ(Shared[I].ModuleName, Own[I].ModuleName);
        EXPECT_EQ(Shared[I].RoutineName, Own[I].RoutineName);
        EXPECT_EQ(Shared[I].Line, Own[I].Line);
    }
    // The library stays loaded: its code may still be named somewhere.
}

namespace {
extern "C" __attribute__((noinline)) void st_capture_first(const TCaptureSnapshot* Capture,
                                                           TStackTrace* Trace, uint32_t Flags)
{
    st_loaded_walk(Capture, Trace, Flags);
    WalkSink++;
}

extern "C" __attribute__((noinline)) void st_capture_second(const TCaptureSnapshot* Capture,
                                                            TStackTrace* Trace, uint32_t Flags)
{
    st_loaded_walk(Capture, Trace, Flags);
    WalkSink += 2;
}
} // namespace

// The walking thread's own stack changes between two walks of one capture:
// the second walk reads it as it is then, not as the first one saw it.
TEST(CrashlibStackTraceWalk, CaptureWalksReadTheStackAfresh)
{
    const TCaptureSnapshot Capture;
    for (uint32_t Flags : {0u, unsigned{swNoCfi}, swNoCfi | swNoFramePointer}) {
        SCOPED_TRACE(Flags);
        TStackTrace First, Second;
        st_capture_first(&Capture, &First, Flags);
        st_capture_second(&Capture, &Second, Flags);
        const auto N1 = Names(First), N2 = Names(Second);
        EXPECT_TRUE(IsSubsequence({"st_loaded_walk", "st_capture_first"}, N1))
            << StackTraceToStr(First, false, false);
        EXPECT_TRUE(IsSubsequence({"st_loaded_walk", "st_capture_second"}, N2))
            << StackTraceToStr(Second, false, false);
        EXPECT_EQ(std::find(N2.begin(), N2.end(), "st_capture_first"), N2.end())
            << StackTraceToStr(Second, false, false);
    }
}

// --- The crash program against gdb ------------------------------------------------------------

namespace {

std::string RunCommand(const std::string& Command)
{
    std::string Out;
    FILE* F = popen(Command.c_str(), "r");
    if (F == nullptr)
        return Out;
    char Buffer[4096];
    size_t Got;
    while ((Got = fread(Buffer, 1, sizeof(Buffer), F)) > 0)
        Out.append(Buffer, Got);
    pclose(F);
    return Out;
}

// Only the program's own routines: gdb adds frames for inlined library code
// that a walk by return addresses cannot see.
bool Own(const std::string& N)
{
    return N.starts_with("cp_") || N == "main" || N == "<signal handler called>";
}

struct TProgramRun {
    std::map<std::string, std::vector<std::string>> Threads; // own routines, innermost first
    std::map<std::string, std::vector<std::string>> Sources;
    std::map<std::string, std::string> Checksum, Ip;
    std::vector<std::string> All;    // every name of the crashed thread
    int Depth = 0;                   // how deep the overflowing recursion got
    std::set<std::string> CrashTime; // threads the crash-time path walked
    std::vector<std::string> Text;   // the crash-time trace's text lines
};

// Runs the crash program under a watchdog; Shell is put before it (a stack
// limit, an environment variable).
TProgramRun RunProgram(const std::string& Args, const std::string& Shell = "")
{
    TProgramRun R;
    std::stringstream S(RunCommand("sh -c '" + Shell + " exec timeout 60 " +
                                   std::string(TOLVEX_STACKWALK_PROGRAM) + " " + Args + "'"));
    std::string Thread;
    for (std::string L; std::getline(S, L);) {
        std::stringstream W(L);
        std::string Kind, A, B;
        W >> Kind >> A;
        std::getline(W, B);
        B.erase(0, B.find_first_not_of(' '));
        if (Kind == "thread")
            Thread = A;
        else if (Kind == "frame") {
            if (Thread == "crash")
                R.All.push_back(B);
            if (Own(B)) {
                R.Threads[Thread].push_back(B);
                R.Sources[Thread].push_back(A);
            }
        } else if (Kind == "checksum")
            R.Checksum[Thread] = A;
        else if (Kind == "depth")
            R.Depth = std::atoi(A.c_str());
        else if (Kind == "path")
            R.CrashTime.insert(Thread);
        else if (Kind == "text")
            Thread = "text";
        else if (Thread == "text")
            R.Text.push_back(L.ends_with('\r') ? L.substr(0, L.size() - 1) : L);
        else if (Kind == "ip")
            R.Ip[Thread] = A;
    }
    return R;
}

// gdb's backtraces, by the thread's innermost own routine.
std::vector<std::vector<std::string>> GdbThreads()
{
    const std::string Out =
        RunCommand("timeout 120 gdb -batch -nx -ex run -ex 'thread apply all bt' --args " +
                   std::string(TOLVEX_STACKWALK_PROGRAM) + " 2>&1");
    std::vector<std::vector<std::string>> Threads;
    std::stringstream S(Out);
    bool InBacktraces = false;
    for (std::string L; std::getline(S, L);) {
        if (L.starts_with("Thread ") && L.find(" (Thread ") != std::string::npos) {
            InBacktraces = true;
            Threads.emplace_back();
            continue;
        }
        if (!InBacktraces || !L.starts_with("#"))
            continue;
        // "#N  0x... in name (args) at ..." or "#N  name (args) at ..."
        std::string Rest = L.substr(L.find(' '));
        if (const size_t In = Rest.find(" in "); In != std::string::npos && Rest.find("0x") < In)
            Rest = Rest.substr(In + 4);
        const size_t First = Rest.find_first_not_of(' ');
        const size_t End = Rest.find(" (", First);
        if (First == std::string::npos || End == std::string::npos)
            continue;
        const std::string N = Rest.substr(First, End - First);
        if (Own(N))
            Threads.back().push_back(N);
    }
    return Threads;
}

const std::vector<std::string>* ThreadWith(const std::vector<std::vector<std::string>>& Threads,
                                           const std::string& Innermost)
{
    for (const auto& T : Threads)
        if (!T.empty() && T.front() == Innermost)
            return &T;
    return nullptr;
}

} // namespace

TEST(CrashlibStackWalkGdb, CrashProgramChainsEqualGdbs)
{
    if (RunCommand("command -v gdb").empty())
        GTEST_SKIP() << "gdb is not installed";
    const auto Gdb = GdbThreads();
    const auto* GdbCrash = ThreadWith(Gdb, "cp_compare");
    const auto* GdbWaiter = ThreadWith(Gdb, "cp_wait_inner");
    ASSERT_NE(GdbCrash, nullptr);
    ASSERT_NE(GdbWaiter, nullptr);
    // The oracle's chain is the one the program was built to have.
    ASSERT_EQ(GdbCrash->size(), 109u);
    EXPECT_EQ((*GdbCrash)[1], "cp_tail_target");
    EXPECT_EQ((*GdbCrash)[2], "cp_tail_caller"); // cp_tail_mid left by its tail call

    const TProgramRun Run = RunProgram("");
    ASSERT_EQ(Run.Threads.count("crash"), 1u);
    EXPECT_EQ(Run.Threads.at("crash"), *GdbCrash);
    ASSERT_EQ(Run.Threads.count("waiter"), 1u);
    EXPECT_EQ(Run.Threads.at("waiter"), *GdbWaiter);
    // Through the routines without frame pointers by the call frame information.
    for (size_t I = 1; I < Run.Sources.at("crash").size(); I++)
        EXPECT_EQ(Run.Sources.at("crash")[I], "cfi");
    // The library routines between the callback and the program are named
    // too (qsort_r with its inlined sort, or a sanitizer's interceptor).
    {
        const auto Compare = std::find(Run.All.begin(), Run.All.end(), "cp_compare");
        const auto Target = std::find(Compare, Run.All.end(), "cp_tail_target");
        ASSERT_GT(Target - Compare, 1);
        EXPECT_TRUE(std::all_of(Compare, Target, [](const std::string& N) { return N != "???"; }));
        EXPECT_TRUE(std::any_of(Compare, Target, [](const std::string& N) {
            return N.find("qsort") != std::string::npos || N.find("msort") != std::string::npos;
        }));
    }

    // Without call frame information and frame chain: scan-and-link keeps
    // gdb's chain as an ordered subsequence, recursion folded.
    const TProgramRun Scan = RunProgram("--scan");
    ASSERT_EQ(Scan.Threads.count("crash"), 1u);
    const auto& ScanCrash = Scan.Threads.at("crash");
    EXPECT_TRUE(IsSubsequence(ScanCrash, *GdbCrash));
    EXPECT_TRUE(
        IsSubsequence({"cp_compare", "cp_tail_target", "cp_tail_caller", "cp_nofp_inner",
                       "cp_nofp_outer", "cp_call_pointer", "cp_recurse", "cp_level1", "main"},
                      ScanCrash));
    EXPECT_LT(std::count(ScanCrash.begin(), ScanCrash.end(), "cp_recurse"), 5);
    EXPECT_TRUE(IsSubsequence(Scan.Threads.at("waiter"), *GdbWaiter));
    EXPECT_TRUE(IsSubsequence({"cp_wait_inner", "cp_wait_outer", "cp_thread_main"},
                              Scan.Threads.at("waiter")));
    for (size_t I = 1; I < Scan.Sources.at("crash").size(); I++)
        EXPECT_EQ(Scan.Sources.at("crash")[I], "scan");
}

TEST(CrashlibStackWalkGdb, ChecksumEqualAcrossRunsThoughTheProgramMoved)
{
    const TProgramRun A = RunProgram("");
    const TProgramRun B = RunProgram("");
    ASSERT_FALSE(A.Checksum.empty());
    EXPECT_EQ(A.Checksum, B.Checksum);
    std::ifstream Aslr("/proc/sys/kernel/randomize_va_space");
    int Level = 0;
    Aslr >> Level;
    if (Level > 0) {
        EXPECT_NE(A.Ip.at("crash"), B.Ip.at("crash"));
    }
}

namespace {

// gdb's frames of the crashed thread, by frame number: what "bt" (or the
// commands given) prints at the crash. Signals other than the crash pass.
std::map<int, std::string> GdbFrames(const std::string& Args, const std::string& Commands,
                                     const std::string& Shell = "")
{
    const std::string Out = RunCommand(
        "sh -c '" + Shell +
        " exec timeout 120 gdb -batch -nx -ex \"handle SIGILL nostop noprint\" " + "-ex run " +
        Commands + " --args " + std::string(TOLVEX_STACKWALK_PROGRAM) + " " + Args + "' 2>&1");
    std::map<int, std::string> Frames;
    std::stringstream S(Out);
    for (std::string L; std::getline(S, L);) {
        if (!L.starts_with("#"))
            continue;
        const int Number = std::atoi(L.c_str() + 1);
        std::string Rest = L.substr(L.find(' '));
        Rest.erase(0, Rest.find_first_not_of(' '));
        if (Rest.starts_with("<signal handler called>")) {
            Frames[Number] = "<signal handler called>";
            continue;
        }
        if (const size_t In = Rest.find(" in "); In != std::string::npos && Rest.starts_with("0x"))
            Rest = Rest.substr(In + 4);
        Frames[Number] = Rest.substr(0, Rest.find(" ("));
    }
    return Frames;
}

std::vector<std::string> OwnOnly(const std::map<int, std::string>& Frames)
{
    std::vector<std::string> Out;
    for (const auto& [Number, Name] : Frames)
        if (Own(Name))
            Out.push_back(Name);
    return Out;
}

} // namespace

TEST(CrashlibStackWalkGdb, FaultInAHandlerOnTheAlternateStackIsWalkedThroughItsSignalFrame)
{
    if (RunCommand("command -v gdb").empty())
        GTEST_SKIP() << "gdb is not installed";
    // gdb: the handler's routines, "<signal handler called>", then the
    // routine the trap interrupted and its callers on the thread's stack.
    const auto Gdb = OwnOnly(GdbFrames("signal", "-ex bt"));
    ASSERT_EQ(Gdb, (std::vector<std::string>{"cp_handler_work", "cp_trap_handler",
                                             "<signal handler called>", "cp_sig_inner",
                                             "cp_sig_outer", "main"}));
    // Every source of the walk gets there: call frame information (the
    // restorer's own), the frame chain and scan-and-link, which both read the
    // interrupted context out of the kernel's frame.
    for (const char* Flags : {"", "--fp", "--scan"}) {
        SCOPED_TRACE(Flags);
        const TProgramRun Run = RunProgram(std::string("signal ") + Flags);
        ASSERT_EQ(Run.Threads.count("crash"), 1u);
        EXPECT_EQ(Run.Threads.at("crash"), Gdb);
    }
}

TEST(CrashlibStackWalkGdb, OverflowedStacksAreWalkedFromTheMappingAboveTheGuard)
{
    if (RunCommand("command -v gdb").empty())
        GTEST_SKIP() << "gdb is not installed";
    struct TCase {
        const char* Scenario;
        const char* Outer; // the routine that started the recursion's caller
    };
    // The main thread's stack limited to 1 MB (the fault lies in the gap
    // below it), and a thread's 256 KB stack (the fault lies in its guard
    // page).
    const std::string Shell = "ulimit -s 1024;";
    for (const TCase& C :
         {TCase{"overflow", "main"}, TCase{"overflow-thread", "cp_overflow_thread"}}) {
        SCOPED_TRACE(C.Scenario);
        const auto Gdb = GdbFrames(C.Scenario, "-ex \"bt 2\" -ex \"bt -4\"", Shell);
        ASSERT_GE(Gdb.size(), 4u);
        ASSERT_EQ(Gdb.begin()->second, "cp_overflow");
        int Start = -1;
        for (const auto& [Number, Name] : Gdb)
            if (Name == "cp_overflow_start")
                Start = Number;
        ASSERT_GT(Start, 100); // the recursion's depth, as gdb counts it
        for (const char* Flags : {"", "--fp", "--scan"}) {
            SCOPED_TRACE(Flags);
            const TProgramRun Run = RunProgram(std::string(C.Scenario) + " " + Flags, Shell);
            ASSERT_EQ(Run.Threads.count("crash"), 1u);
            const auto& Ours = Run.Threads.at("crash");
            ASSERT_GE(Ours.size(), 3u);
            // The faulting instruction's frame, the recursion (folded by the
            // scan, whole from call frame information and the frame chain),
            // the routine that started it and its caller.
            EXPECT_EQ(Ours.front(), "cp_overflow");
            const auto At = std::find(Ours.begin(), Ours.end(), "cp_overflow_start");
            ASSERT_NE(At, Ours.end());
            ASSERT_NE(At + 1, Ours.end());
            EXPECT_EQ(*(At + 1), C.Outer);
            EXPECT_TRUE(std::all_of(Ours.begin(), At, [](auto& N) { return N == "cp_overflow"; }));
            // Call frame information and the frame chain list every level
            // of the recursion (the fault may come at the last level's
            // first instruction, before it counted itself).
            if (std::string(Flags) != "--scan") {
                EXPECT_NEAR(At - Ours.begin(), Run.Depth, 1);
            }
        }
    }
}

TEST(CrashlibStackWalkGdb, ThreadThatBlocksEverySignalEqualsGdbsChainByScan)
{
    if (RunCommand("command -v gdb").empty())
        GTEST_SKIP() << "gdb is not installed";
    const auto Gdb = GdbThreads();
    const auto* GdbWaiter = ThreadWith(Gdb, "cp_wait_inner");
    ASSERT_NE(GdbWaiter, nullptr);
    const TProgramRun Run = RunProgram("blocked");
    ASSERT_EQ(Run.Threads.count("waiter"), 1u) << "the waiter was not walked";
    EXPECT_EQ(Run.Threads.at("waiter"), *GdbWaiter);
}

namespace {

// gdb's file line of each own routine of the crashed thread, by name.
std::map<std::string, std::string> GdbLines(const std::string& Args, const std::string& Shell)
{
    const std::string Out = RunCommand(
        "sh -c '" + Shell + " exec timeout 120 gdb -batch -nx " + "-ex run -ex bt --args " +
        std::string(TOLVEX_STACKWALK_PROGRAM) + " " + Args + "' 2>&1");
    std::map<std::string, std::string> Lines;
    std::stringstream S(Out);
    for (std::string L; std::getline(S, L);) {
        const size_t In = L.find(" in ");
        const size_t At = L.rfind(" at ");
        if (!L.starts_with("#") || In == std::string::npos || At == std::string::npos)
            continue;
        const std::string Name = L.substr(In + 4, L.find(" (", In + 4) - In - 4);
        if (Own(Name))
            Lines[Name] = L.substr(L.rfind(':') + 1);
    }
    return Lines;
}

} // namespace

TEST(CrashlibStackWalkGdb, ThreadHoldingEachLibraryLockDoesNotStopItsReport)
{
    if (RunCommand("command -v gdb").empty())
        GTEST_SKIP() << "gdb is not installed";
    const auto Gdb = GdbThreads();
    const auto* GdbCrash = ThreadWith(Gdb, "cp_compare");
    const auto* GdbWaiter = ThreadWith(Gdb, "cp_wait_inner");
    ASSERT_NE(GdbCrash, nullptr);
    ASSERT_NE(GdbWaiter, nullptr);
    // The crashed thread holds the lock; the watcher walks in crash-time
    // mode, under a watchdog. Without the walk's, the debug information's or
    // the map cache's lock the crash-time path walks (frame chain and scan,
    // marked); without the pause lock the waiter is read from the kernel.
    for (const char* Lock : {"walk", "debuginfo", "mapcache", "pause"}) {
        SCOPED_TRACE(Lock);
        const TProgramRun Run = RunProgram(std::string("lock-") + Lock);
        ASSERT_EQ(Run.Threads.count("crash"), 1u) << "no report: the walk waited";
        const auto& Crash = Run.Threads.at("crash");
        EXPECT_TRUE(IsSubsequence(Crash, *GdbCrash));
        EXPECT_TRUE(
            IsSubsequence({"cp_compare", "cp_tail_target", "cp_tail_caller", "cp_nofp_inner",
                           "cp_nofp_outer", "cp_call_pointer", "cp_recurse", "cp_level1", "main"},
                          Crash));
        ASSERT_EQ(Run.Threads.count("waiter"), 1u);
        EXPECT_EQ(Run.Threads.at("waiter"), *GdbWaiter);
        const bool Pause = std::string(Lock) == "pause";
        EXPECT_EQ(Run.CrashTime.count("crash"), Pause ? 0u : 1u);
        if (Pause) {
            EXPECT_EQ(Crash, *GdbCrash);
            EXPECT_EQ(Run.Sources.at("waiter").front(), "scan"); // below the kernel's frame
        }
    }
}

TEST(CrashlibStackWalkGdb, CrashInsideTheHeapWithOneArenaIsWalkedFromTheReserve)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer changes stack frames, stack room and the heap this test "
                    "measures; it runs in the ordinary build";
#endif
    if (RunCommand("command -v gdb").empty())
        GTEST_SKIP() << "gdb is not installed";
    // One arena: the heap's lock, which the crashed malloc holds, is every
    // thread's. Any use of the heap by the walk would wait for good.
    const std::string Shell = "MALLOC_ARENA_MAX=1 ";
    const auto Gdb = GdbFrames("heap", "-ex bt", Shell);
    ASSERT_EQ(OwnOnly(Gdb), (std::vector<std::string>{"cp_heap_crash", "cp_heap_outer", "main"}));
    const auto GdbLine = GdbLines("heap", Shell);
    const TProgramRun Run = RunProgram("heap", Shell);
    ASSERT_EQ(Run.Threads.count("crash"), 1u) << "no report: the walk waited";
    EXPECT_EQ(Run.Threads.at("crash"), OwnOnly(Gdb));
    // The libraries' exported routines between the abort and the program.
    EXPECT_TRUE(IsSubsequence({"abort", "cp_heap_crash"}, Run.All))
        << ::testing::PrintToString(Run.All);
    // The text names file and line of each own frame as gdb does.
    for (const char* Name : {"cp_heap_crash", "cp_heap_outer", "main"}) {
        const auto Line = std::find_if(Run.Text.begin(), Run.Text.end(), [&](const std::string& T) {
            return T.ends_with(std::string(" ") + Name);
        });
        ASSERT_NE(Line, Run.Text.end()) << Name;
        EXPECT_NE(Line->find("CrashProgram.cpp " + GdbLine.at(Name) + " "), std::string::npos)
            << *Line << " | gdb line " << GdbLine.at(Name);
    }
}
