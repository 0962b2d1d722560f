// The whole handling of a record with the world replaced: an injected clock,
// a helper that is there or not, a box that answers what the test says, and
// action handlers that log their codes. Instruction boundaries are checked
// against objdump's listing of a routine of this test program.
#include "crashreport/kelExceptHandling.h"

#include "crashreport/kelExceptHandlers.h"
#include "crashreport/kelExceptObject.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelExceptStream.h"
#include "tests/crashreport/Command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// What happened, in order: action codes as "a<code>", services by name.
std::vector<std::string> Log;

void LogAction(std::uint8_t Action, IKEException*, bool&)
{
    Log.push_back("a" + std::to_string(Action));
}

std::uint8_t ClaimedAction = 255;
void ClaimAction(std::uint8_t Action, IKEException*, bool& Handled)
{
    if (Action == ClaimedAction)
        Handled = true;
}

int Notified = 0;
void Notification(IKEException*, bool&)
{
    ++Notified;
}

struct TWorld {
    std::int64_t Now = 1'700'000'000'000;
    bool Helper = true;
    std::optional<TBoxVerdict> Verdict;
    std::vector<TSettingChangedFrame> BoxSettings;
    std::optional<TSendOutcome> SendOutcome = soSent;
    bool RestartAgrees = true;
    std::vector<TBoxRequest> Boxes;
    std::vector<std::string> SentSettings;
};

class CrashreportHandling : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearHandlers();
        Log.clear();
        ClaimedAction = 255;
        Notified = 0;
        SetLastExceptionTimes({});
        AddActionHandler(&LogAction, hsFiringThread);
    }
    void TearDown() override
    {
        ClearHandlers();
        SetHandlingServices(DefaultHandlingServices());
        SetLastExceptionTimes({});
    }

    // The services over World, with these settings (no report is
    // calculated unless a test asks for one).
    void Install(std::vector<TSettingEntry> Settings)
    {
        Settings.insert(Settings.begin(), {{"ListThreads", skBool, false, 0, {}},
                                           {"Plugins", skText, false, 0, ""},
                                           {"GnNoBugRep", skBool, true, 0, {}},
                                           {"AutoSave", skBool, false, 0, {}}});
        THandlingServices S;
        S.Table = TModuleSettings::FromStream(WriteSettingsStream(Settings));
        S.NowMs = [this] { return World.Now; };
        S.HelperRunning = [this] { return World.Helper; };
        S.ShowBox = [this](const TBoxRequest& R) {
            Log.push_back("box");
            World.Boxes.push_back(R);
            TBoxOutcome O;
            O.Verdict = World.Verdict;
            O.Settings = World.BoxSettings;
            return O;
        };
        S.Send = [this](const std::string&, const std::string& Stream, std::uint32_t, bool) {
            Log.push_back("send");
            World.SentSettings.push_back(Stream);
            return World.SendOutcome;
        };
        S.Clip = [](const std::string&) {
            Log.push_back("clip");
            return true;
        };
        S.Save = [](const std::string&, const TIKESettings&, std::string* File) {
            Log.push_back("save");
            *File = "/state/tolvex/bugreport.kbr";
            return true;
        };
        S.Restart = [this](const std::vector<std::int64_t>& Times) {
            Log.push_back("restart" + std::to_string(Times.size()));
            return World.RestartAgrees;
        };
        S.Pause = [](bool Pause, pid_t Excluded) {
            Log.push_back(Pause ? "pause" + std::to_string(Excluded) : "resume");
        };
        SetHandlingServices(std::move(S));
    }

    // Raiser: the thread the record names (0: this one).
    TVerdict HandleThrown(const std::exception_ptr& Object, bool CanContinue = true,
                          std::uint32_t Kind = ekException, pid_t Raiser = 0)
    {
        TExceptionRecord R;
        R.Kind = Kind;
        R.Object = reinterpret_cast<std::uint64_t>(&Object);
        R.CanContinue = CanContinue;
        R.ThreadId = static_cast<std::uint32_t>(Raiser != 0 ? Raiser : gettid());
        return HandleExceptionFully(R);
    }
    TVerdict Handle(bool CanContinue = true, std::uint32_t Kind = ekException, pid_t Raiser = 0)
    {
        return HandleThrown(std::make_exception_ptr(std::runtime_error("disk on fire")),
                            CanContinue, Kind, Raiser);
    }

    TWorld World;
};

TSettingEntry Int(const char* Name, std::int32_t V)
{
    return {Name, skInt, false, V, {}};
}
TSettingEntry Bool(const char* Name, bool V)
{
    return {Name, skBool, V, 0, {}};
}

class EDerivedAbort : public ESilentAbort {
public:
    using ESilentAbort::ESilentAbort;
};

TEST_F(CrashreportHandling, SilentAbortIsNeverReported)
{
    Install({Bool("AutoSave", true), Int("AutoClose", 1)});
    const std::exception_ptr Cases[] = {std::make_exception_ptr(ESilentAbort("quiet")),
                                        std::make_exception_ptr(EDerivedAbort("quiet too"))};
    for (const auto& P : Cases) {
        EXPECT_EQ(HandleThrown(P, true), vdContinue);
        EXPECT_EQ(HandleThrown(P, false), vdClose);
    }
    EXPECT_TRUE(Log.empty()) << Log.front();
    EXPECT_EQ(LastExceptionTimes()[0], 0);
    // An ordinary exception is remembered at the injected time.
    Handle();
    EXPECT_EQ(LastExceptionTimes()[0], World.Now);
}

TEST_F(CrashreportHandling, RepeatRuleTable)
{
    const std::int64_t Now = 1'000'000;
    std::array<std::int64_t, 10> Inside{}, Outside{}, Nine{};
    for (int I = 0; I < 10; ++I) {
        Inside[I] = Now - 2900 + I;        // all within 3 s
        Outside[I] = Now - 1000 * (I + 1); // the oldest 10 s ago
        Nine[I] = I < 9 ? Now : 0;         // only nine remembered
    }
    struct {
        std::int32_t N;
        const std::array<std::int64_t, 10>& Times;
        bool Met;
    } Cases[] = {{0, Inside, false},  {1, Inside, true}, {1, Outside, true},  {3, Inside, true},
                 {3, Outside, false}, {3, Nine, false},  {10, Outside, true}, {-1, Inside, false}};
    for (const auto& C : Cases)
        EXPECT_EQ(RepeatRuleMet(C.N, C.Times, Now), C.Met) << C.N;
}

TEST_F(CrashreportHandling, AutoCloseAndAutoRestartAgainstTenTimes)
{
    // Nine earlier exceptions, then this one at Now: all ten within 3 s, or
    // the earlier ones spread over the last 20 s.
    struct {
        const char* Key;
        std::int32_t N;
        bool Recent;
        TVerdict Verdict;
        const char* Code;
    } Cases[] = {
        {"AutoClose", 0, true, vdContinue, "a11"},   {"AutoClose", 1, false, vdClose, "a13"},
        {"AutoClose", 3, true, vdClose, "a13"},      {"AutoClose", 3, false, vdContinue, "a11"},
        {"AutoRestart", 0, true, vdContinue, "a11"}, {"AutoRestart", 1, false, vdRestart, "a12"},
        {"AutoRestart", 3, true, vdRestart, "a12"},  {"AutoRestart", 3, false, vdContinue, "a11"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(std::string(C.Key) + " " + std::to_string(C.N) + (C.Recent ? " recent" : ""));
        Install({Int(C.Key, C.N)});
        std::array<std::int64_t, 10> Earlier{};
        for (int I = 0; I < 9; ++I)
            Earlier[I] = World.Now - (C.Recent ? 100 * (I + 1) : 2000 * (I + 1));
        SetLastExceptionTimes(Earlier);
        Log.clear();
        EXPECT_EQ(Handle(), C.Verdict);
        ASSERT_FALSE(Log.empty());
        EXPECT_NE(std::find(Log.begin(), Log.end(), C.Code), Log.end());
        if (C.Verdict == vdRestart) { // the helper gets the ten times
            EXPECT_NE(std::find(Log.begin(), Log.end(), "restart10"), Log.end());
        }
    }
}

TEST_F(CrashreportHandling, CannotContinueClosesUnlessRestarted)
{
    Install({});
    EXPECT_EQ(Handle(false), vdClose);
    EXPECT_EQ(Log, (std::vector<std::string>{"box", "a13", "resume"}));
    // The helper refuses the restart: a program that cannot go on closes.
    Install({Int("AutoRestart", 1)});
    World.RestartAgrees = false;
    Log.clear();
    EXPECT_EQ(Handle(false), vdClose);
    EXPECT_EQ(Log, (std::vector<std::string>{"box", "a12", "restart10", "resume"}));
}

TEST_F(CrashreportHandling, AutomaticActionsInOrderWithTheirCodes)
{
    Install({Bool("AutoSend", true), Bool("AutoClip", true), Bool("AutoSave", true),
             Bool("AutoSaveIfNotSent", false)});
    EXPECT_EQ(Handle(), vdContinue);
    EXPECT_EQ(Log, (std::vector<std::string>{"box", "a11", "a0", "send", "a6", "clip", "a1", "save",
                                             "a7", "resume"}));
    // A failed send is not "sent".
    World.SendOutcome = soFailed;
    Log.clear();
    Handle();
    EXPECT_EQ(Log, (std::vector<std::string>{"box", "a11", "a0", "send", "clip", "a1", "save", "a7",
                                             "resume"}));
    // A handler that claims the send keeps it from being done.
    ClaimedAction = acSend;
    AddActionHandler(&ClaimAction, hsFiringThread);
    Log.clear();
    Handle();
    EXPECT_EQ(Log,
              (std::vector<std::string>{"box", "a11", "a0", "clip", "a1", "save", "a7", "resume"}));
}

TEST_F(CrashreportHandling, AutoSaveIfNotSent)
{
    const struct {
        std::optional<TSendOutcome> Outcome;
        bool Saved;
    } Cases[] = {{soSent, false},
                 {soInBackground, false},
                 {soFailed, true},
                 {soCancelled, true},
                 {std::nullopt, true}};
    for (const auto& C : Cases) {
        Install({Bool("AutoSend", true), Bool("AutoSave", true), Bool("AutoSaveIfNotSent", true)});
        World.SendOutcome = C.Outcome;
        Log.clear();
        Handle();
        EXPECT_EQ(std::count(Log.begin(), Log.end(), "save"), C.Saved ? 1 : 0)
            << (C.Outcome ? int(*C.Outcome) : -1);
    }
}

TEST_F(CrashreportHandling, WithoutHelperTheReportIsSavedAndNamedOnStderr)
{
    // No "AutoSave", "AutoSend" asked for and "AutoRestart" 1: without a
    // helper only saving is possible, and the verdict is the default one.
    Install({Bool("AutoSend", true), Int("AutoRestart", 1)});
    World.Helper = false;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Handle(true), vdContinue);
    EXPECT_EQ(Handle(false), vdClose);
    const std::string Err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(Err.begin(), Err.end(), '\n'), 2) << Err;
    EXPECT_NE(Err.find("/state/tolvex/bugreport.kbr"), std::string::npos) << Err;
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "box"), 0);
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "send"), 0);
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "save"), 2);
}

TEST_F(CrashreportHandling, PausingAndResuming)
{
    Install({Bool("PauseThreads", true)});
    Handle();
    const std::string Paused = "pause" + std::to_string(gettid());
    EXPECT_EQ(Log, (std::vector<std::string>{Paused, "box", "a11", "resume"}));
    // A freeze pauses nothing (the main thread is stuck already) but still
    // resumes whatever an earlier report left paused.
    Log.clear();
    Handle(true, ekFreeze);
    EXPECT_EQ(Log, (std::vector<std::string>{"box", "a11", "resume"}));
    // A group without suspending pauses nothing either.
    Install({Bool("PauseThreads", true), Bool("GnNoSuspend", true)});
    Log.clear();
    Handle();
    EXPECT_EQ(Log, (std::vector<std::string>{"box", "a11", "resume"}));
}

TEST_F(CrashreportHandling, TheBoxDecides)
{
    Install({Int("GnShowCfg", 2), Bool("AutoSend", true)});
    World.Verdict = bvClose;
    World.BoxSettings = {{0, "MailFrom", "jo@example.org"}};
    EXPECT_EQ(Handle(true), vdClose);
    ASSERT_EQ(World.Boxes.size(), 1u);
    const TReportBeginFrame& B = World.Boxes[0].Begin;
    EXPECT_EQ(B.Class, "std::runtime_error");
    EXPECT_EQ(B.Message, "disk on fire."); // as the box shows messages
    EXPECT_TRUE(B.CanContinue);
    EXPECT_TRUE(B.Simple);
    EXPECT_TRUE(B.SimpleDetails);
    EXPECT_EQ(B.Pid, static_cast<std::uint32_t>(getpid()));
    // The box's stream holds the event's settings, the send the user's change.
    auto Begun = TModuleSettings::FromStream(B.Settings);
    ASSERT_TRUE(Begun);
    EXPECT_EQ(Begun->Find("GnShowCfg", skInt)->Int, 2);
    ASSERT_EQ(World.SentSettings.size(), 1u);
    auto Sent = TModuleSettings::FromStream(World.SentSettings[0]);
    ASSERT_TRUE(Sent && Sent->Find("MailFrom", skText));
    EXPECT_EQ(Sent->Find("MailFrom", skText)->Text, "jo@example.org");
    EXPECT_EQ(Log, (std::vector<std::string>{"box", "a13", "a0", "send", "a6", "resume"}));
    // Restart from the box; continue where the program cannot go on is the
    // rule's close.
    World.Verdict = bvRestart;
    EXPECT_EQ(Handle(true), vdRestart);
    World.Verdict = bvContinue;
    EXPECT_EQ(Handle(false), vdClose);
    // "GnShowCfg" 3: no box at all.
    Install({Int("GnShowCfg", 3)});
    Log.clear();
    Handle();
    EXPECT_EQ(Log, (std::vector<std::string>{"a11", "resume"}));
}

TEST_F(CrashreportHandling, NotificationOnlyTellsItsHandlers)
{
    Install({Bool("AutoSave", true)});
    AddExceptHandler(hkNotification, &Notification, hsFiringThread);
    EXPECT_EQ(Handle(true, ekNotification), vdContinue);
    EXPECT_EQ(Notified, 1);
    EXPECT_TRUE(Log.empty());
    EXPECT_EQ(LastExceptionTimes()[0], 0);
    // One that cannot go on closes (and is saved as "AutoSave" says).
    EXPECT_EQ(Handle(false, ekNotification), vdClose);
    EXPECT_EQ(Log, (std::vector<std::string>{"a13", "a1", "save", "a7"}));
}

TEST_F(CrashreportHandling, TheBufferGetsTheReportWithoutABox)
{
    Install({Int("GnShowCfg", 3), Bool("GnNoBugRep", false)});
    char Buffer[64];
    std::memset(Buffer, 'x', sizeof Buffer);
    const auto P = std::make_exception_ptr(std::runtime_error("into the buffer"));
    TExceptionRecord R;
    R.Object = reinterpret_cast<std::uint64_t>(&P);
    R.CanContinue = 1;
    R.ThreadId = static_cast<std::uint32_t>(gettid());
    R.Text = reinterpret_cast<std::uint64_t>(Buffer);
    R.TextLength = sizeof Buffer;
    EXPECT_EQ(HandleExceptionFully(R), vdContinue);
    // The start of a report's header, cut to the buffer and ended by a zero.
    EXPECT_EQ(std::string(Buffer).rfind("date/time", 0), 0u) << Buffer;
    EXPECT_EQ(std::strlen(Buffer), sizeof Buffer - 1);
}

// --- Instruction boundaries ------------------------------------------------------

__attribute__((noinline)) int Branchy(int A, int B)
{
    int R = 0;
    for (int I = 0; I < A; ++I)
        R += (I & 1) ? B * I : (B ^ I) / (A + 1);
    return R > 1000 ? R - B : R + A;
}

TEST_F(CrashreportHandling, InstructionBoundariesAsObjdumpListsThem)
{
    volatile auto Keep = &Branchy;
    const auto Entry = reinterpret_cast<std::uintptr_t>(Keep);
    TFunctionInfo Info;
    ParseFunction(Entry, Info);
    ASSERT_TRUE(Info.Valid) << Info.Text;
    Dl_info Where{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(Entry), &Where), 0);
    const auto Base = reinterpret_cast<std::uintptr_t>(Where.dli_fbase);
    const std::uint64_t Begin = Info.CodeBegin, End = Info.CodeBegin + Info.CodeLength;
    char Range[96];
    std::snprintf(Range, sizeof Range, "--start-address=0x%llx --stop-address=0x%llx",
                  static_cast<unsigned long long>(Begin - Base),
                  static_cast<unsigned long long>(End - Base));
    const TCommandResult R = RunCommand("objdump -d --no-show-raw-insn " + std::string(Range) +
                                        " " + Quote(Where.dli_fname));
    ASSERT_EQ(R.Status, 0);
    std::set<std::uint64_t> Starts;
    std::istringstream Lines(R.Output);
    for (std::string Line; std::getline(Lines, Line);) {
        unsigned long long Offset = 0;
        char Colon = 0;
        if (std::sscanf(Line.c_str(), " %llx%c", &Offset, &Colon) == 2 && Colon == ':' &&
            Line.find('\t') != std::string::npos)
            Starts.insert(Base + Offset);
    }
    ASSERT_GT(Starts.size(), 10u);
    Starts.insert(End); // the address after the last instruction
    const TProcessCodeReader Memory;
    int Checked = 0;
    for (std::uint64_t A = Begin; A <= End; ++A) {
        const bool InCode =
            std::any_of(Info.CodeAreas.begin(), Info.CodeAreas.end(), [A](const TCodeArea& C) {
                return !C.IsData() && A >= C.Start && A <= C.End + 1;
            });
        if (!InCode)
            continue;
        ++Checked;
        EXPECT_EQ(IsInstructionBoundary(Info, A, Memory), Starts.count(A) == 1)
            << std::hex << A - Base;
    }
    EXPECT_GT(Checked, 20);
    // Outside every area: no boundary.
    EXPECT_FALSE(IsInstructionBoundary(Info, Begin - 64, Memory));
}

TEST_F(CrashreportHandling, AddressAdjustedOnlyOntoABoundary)
{
    volatile auto Keep = &Branchy;
    const auto Entry = reinterpret_cast<std::uintptr_t>(Keep);
    TFunctionInfo Info;
    ParseFunction(Entry, Info);
    ASSERT_TRUE(Info.Valid);
    const TProcessCodeReader Memory;
    // Every address of the routine: moved by 4 exactly when it is no
    // boundary and 4 on is one; 0 and a silent abort stay.
    int Moved = 0;
    for (std::uint64_t A = Info.CodeBegin; A < Info.CodeBegin + Info.CodeLength; ++A) {
        std::uintptr_t Address = A;
        AdjustExceptAddress(nullptr, Address);
        const bool Expect =
            !IsInstructionBoundary(Info, A, Memory) && IsInstructionBoundary(Info, A + 4, Memory);
        EXPECT_EQ(Address, Expect ? A + 4 : A) << std::hex << A;
        Moved += Expect;
    }
    EXPECT_GT(Moved, 0);
    std::uintptr_t Zero = 0;
    AdjustExceptAddress(nullptr, Zero);
    EXPECT_EQ(Zero, 0u);
    const auto Quiet = std::make_exception_ptr(ESilentAbort("quiet"));
    for (std::uint64_t A = Info.CodeBegin; A < Info.CodeBegin + Info.CodeLength; ++A) {
        std::uintptr_t Address = A;
        AdjustExceptAddress(&Quiet, Address);
        ASSERT_EQ(Address, A);
    }
}

} // namespace

namespace {

// --- Last words ----------------------------------------------------------------------

// The frame composed as a signal handler would, read back by the link's
// decoder: every register in its place and the stack up to where it can be
// read.
TLastWordsFrame ComposeAndDecode(const ucontext_t& Uc, const siginfo_t& Info, int Signal,
                                 std::size_t* Length = nullptr)
{
    static char Buffer[LastWordsCapacity];
    const std::size_t N = ComposeLastWords(Buffer, Signal, Info, Uc);
    if (Length != nullptr)
        *Length = N;
    TFrameParser P;
    P.Feed(Buffer, N);
    TLinkFrame F;
    TLastWordsFrame W;
    EXPECT_EQ(P.Next(F), TParse::prFrame);
    EXPECT_TRUE(DecodeFrame(F, W));
    EXPECT_EQ(P.Pending(), 0u);
    return W;
}

TEST(CrashreportLastWords, RegistersSignalAndStackAsDecoded)
{
    std::vector<unsigned char> Stack(6000);
    for (std::size_t I = 0; I < Stack.size(); ++I)
        Stack[I] = static_cast<unsigned char>(I * 7 + 3);
    ucontext_t Uc{};
    const int Order[18] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI,
                           REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                           REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
    for (int I = 0; I < 18; ++I)
        Uc.uc_mcontext.gregs[Order[I]] = static_cast<greg_t>(
            0x1111111111111111ULL * static_cast<unsigned>(I % 9 + 1) + static_cast<unsigned>(I));
    Uc.uc_mcontext.gregs[REG_RSP] = reinterpret_cast<greg_t>(Stack.data() + 100);
    siginfo_t Info{};
    Info.si_signo = SIGSEGV;
    Info.si_code = SEGV_ACCERR;
    Info.si_addr = reinterpret_cast<void*>(0xdead0);
    std::size_t Length = 0;
    const TLastWordsFrame W = ComposeAndDecode(Uc, Info, SIGSEGV, &Length);
    EXPECT_EQ(W.Pid, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(W.ThreadId, static_cast<std::uint32_t>(gettid()));
    EXPECT_EQ(W.Signal, static_cast<std::uint32_t>(SIGSEGV));
    EXPECT_EQ(W.Code, SEGV_ACCERR);
    EXPECT_EQ(W.FaultAddress, 0xdead0u);
    for (int I = 0; I < 18; ++I)
        EXPECT_EQ(W.Registers[static_cast<std::size_t>(I)],
                  static_cast<std::uint64_t>(Uc.uc_mcontext.gregs[Order[I]]))
            << I;
    EXPECT_EQ(W.StackAddress, reinterpret_cast<std::uint64_t>(Stack.data() + 100));
    ASSERT_EQ(W.Stack.size(), LastWordsStack);
    EXPECT_EQ(std::memcmp(W.Stack.data(), Stack.data() + 100, LastWordsStack), 0);
    EXPECT_EQ(Length, LastWordsCapacity);
    // A signal without a fault address (kill) carries none.
    Info.si_code = SI_USER;
    EXPECT_EQ(ComposeAndDecode(Uc, Info, SIGTERM).FaultAddress, 0u);
}

TEST(CrashreportLastWords, StackCutWhereItCannotBeRead)
{
    // Two pages, the second inaccessible: a stack pointer 300 bytes before
    // its end gives 300 bytes; one inside it gives none; none at 0.
    const long Page = sysconf(_SC_PAGESIZE);
    auto* Map = static_cast<unsigned char*>(mmap(nullptr, static_cast<std::size_t>(Page) * 2,
                                                 PROT_READ | PROT_WRITE,
                                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(Map, MAP_FAILED);
    std::memset(Map, 0x5a, static_cast<std::size_t>(Page));
    ASSERT_EQ(mprotect(Map + Page, static_cast<std::size_t>(Page), PROT_NONE), 0);
    const struct {
        std::uint64_t Sp;
        std::size_t Bytes;
    } Cases[] = {{reinterpret_cast<std::uint64_t>(Map + Page - 300), 300},
                 {reinterpret_cast<std::uint64_t>(Map + Page + 8), 0},
                 {0, 0},
                 {reinterpret_cast<std::uint64_t>(Map), LastWordsStack}};
    for (const auto& C : Cases) {
        ucontext_t Uc{};
        Uc.uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(C.Sp);
        siginfo_t Info{};
        const TLastWordsFrame W = ComposeAndDecode(Uc, Info, SIGBUS);
        EXPECT_EQ(W.Stack.size(), C.Bytes) << std::hex << C.Sp;
        EXPECT_EQ(W.Stack, std::string(C.Bytes, '\x5a'));
    }
    munmap(Map, static_cast<std::size_t>(Page) * 2);
}

} // namespace

namespace {

// --- The helper's side over a real link ------------------------------------------------

// What a helper of the test's own saw and answered: the box is left with
// Verdict, sends are answered soSent, the clipboard takes the text.
struct TFakeHelper {
    std::vector<std::uint16_t> Types;
    TReportBeginFrame Begin;
    TSendRequestFrame Send;
    TClipRequestFrame Clip;
    TBoxVerdict Verdict = bvContinue;

    void Serve(TExceptLink& Link)
    {
        for (;;) {
            TLinkFrame F;
            const TLinkRead R = Link.Receive(F, std::chrono::seconds(20));
            if (R != TLinkRead::lrFrame)
                return;
            Types.push_back(F.Type);
            if (F.Type == lfReportBegin && DecodeFrame(F, Begin))
                Link.Send(TVerdictFrame{Begin.Report, Verdict});
            if (F.Type == lfSendRequest && DecodeFrame(F, Send))
                Link.Send(TSendDoneFrame{Send.Request, soSent});
            if (F.Type == lfClipRequest && DecodeFrame(F, Clip))
                Link.Send(TClipDoneFrame{Clip.Request, true});
            if (F.Type == lfRestartRequest) {
                TRestartRequestFrame Q;
                if (DecodeFrame(F, Q))
                    Link.Send(TRestartReadyFrame{Q.Request, true});
            }
        }
    }
};

TEST_F(CrashreportHandling, DefaultServicesOverTheLink)
{
    int Fds[2];
    ASSERT_TRUE(CreateLinkPair(Fds));
    SetHelperLink(std::make_shared<TExceptLink>(Fds[0]), 0);
    TExceptLink HelperEnd(Fds[1]);
    TFakeHelper Fake;
    Fake.Verdict = bvRestart;
    std::thread Helper([&] { Fake.Serve(HelperEnd); });
    THandlingServices S = DefaultHandlingServices();
    S.Table =
        TModuleSettings::FromStream(WriteSettingsStream({{"ListThreads", skBool, false, 0, {}},
                                                         {"Plugins", skText, false, 0, ""},
                                                         {"AutoSend", skBool, true, 0, {}},
                                                         {"AutoClip", skBool, true, 0, {}},
                                                         {"AutoSave", skBool, false, 0, {}},
                                                         {"ScrShotDepth", skInt, false, 0, {}}}));
    S.Pause = nullptr;
    SetHandlingServices(S);
    EXPECT_TRUE(HelperAlive());
    // The real calculation walks the raising thread, so that thread waits
    // while another handles its record, as it does in the program: a thread
    // paused inside the allocator would hold the lock the walk allocates under.
    TVerdict Verdict = vdNone;
    const pid_t Raiser = gettid();
    std::thread Handling([&] { Verdict = Handle(true, ekException, Raiser); });
    Handling.join();
    EXPECT_EQ(Verdict, vdRestart);
    SetHelperLink(nullptr, 0);
    HelperEnd.Close();
    Helper.join();
    EXPECT_EQ(Fake.Begin.Class, "std::runtime_error");
    EXPECT_EQ(Fake.Begin.Pid, static_cast<std::uint32_t>(getpid()));
    // The report went to the box field by field, then whole; the automatic
    // send and clip carry the finished text; then the restart was asked.
    const auto Seen = [&](std::uint16_t T) {
        return std::find(Fake.Types.begin(), Fake.Types.end(), T) - Fake.Types.begin();
    };
    EXPECT_LT(Seen(lfReportBegin), Seen(lfReportField));
    EXPECT_LT(Seen(lfReportField), Seen(lfSendRequest));
    EXPECT_LT(Seen(lfSendRequest), Seen(lfClipRequest));
    EXPECT_LT(Seen(lfClipRequest), Seen(lfRestartRequest));
    EXPECT_LT(Seen(lfRestartRequest), static_cast<std::ptrdiff_t>(Fake.Types.size()));
    EXPECT_TRUE(Fake.Send.Automatic);
    EXPECT_EQ(Fake.Send.Report.rfind("date/time", 0), 0u);
    EXPECT_NE(Fake.Send.Report.find("disk on fire"), std::string::npos);
    EXPECT_EQ(Fake.Clip.Text, Fake.Send.Report);
    EXPECT_EQ(Log, (std::vector<std::string>{"a12", "a0", "a6"}));
    // The link gone, the helper counts as ended.
    EXPECT_FALSE(HelperAlive());
}

} // namespace

namespace {

TEST_F(CrashreportHandling, ABrokenLinkGivesTheDefaultVerdict)
{
    // The helper goes away while its box is up: the report is saved in the
    // program, one line says where, and the verdict is the default one.
    for (const bool CanContinue : {true, false}) {
        SCOPED_TRACE(CanContinue);
        int Fds[2];
        ASSERT_TRUE(CreateLinkPair(Fds));
        SetHelperLink(std::make_shared<TExceptLink>(Fds[0]), 0);
        auto HelperEnd = std::make_shared<TExceptLink>(Fds[1]);
        std::thread Helper([HelperEnd] {
            for (TLinkFrame F;
                 HelperEnd->Receive(F, std::chrono::seconds(20)) == TLinkRead::lrFrame;)
                if (F.Type == lfReportBegin)
                    break;
            HelperEnd->Close();
        });
        THandlingServices S = DefaultHandlingServices();
        S.Table =
            TModuleSettings::FromStream(WriteSettingsStream({{"ListThreads", skBool, false, 0, {}},
                                                             {"GnNoBugRep", skBool, true, 0, {}},
                                                             {"AutoSend", skBool, true, 0, {}},
                                                             {"AutoSave", skBool, false, 0, {}}}));
        S.Pause = nullptr;
        S.Save = [](const std::string&, const TIKESettings&, std::string* File) {
            Log.push_back("save");
            *File = "/saved/here.kbr";
            return true;
        };
        SetHandlingServices(S);
        Log.clear();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(Handle(CanContinue), CanContinue ? vdContinue : vdClose);
        const std::string Err = ::testing::internal::GetCapturedStderr();
        Helper.join();
        SetHelperLink(nullptr, 0);
        EXPECT_NE(Err.find("saved in /saved/here.kbr"), std::string::npos) << Err;
        // No send without a helper; saved although "AutoSave" is off.
        EXPECT_EQ(Log, (std::vector<std::string>{CanContinue ? "a11" : "a13", "a1", "save", "a7"}));
    }
}

} // namespace
