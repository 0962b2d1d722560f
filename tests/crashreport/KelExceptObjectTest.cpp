// The exception object: its report calculated in a thread of its own, the
// text cache and the callbacks, the waits, the class groups, and the settings
// a handler changes for one event only.
#include "crashreport/kelExceptObject.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::shared_ptr<TModuleSettings> Table(std::vector<TSettingEntry> Entries)
{
    // No thread sections unless a test asks for them: the tests here look at
    // the object, not at the walks.
    Entries.insert(Entries.begin(), {"ListThreads", skBool, false, 0, {}});
    return TModuleSettings::FromStream(WriteSettingsStream(Entries));
}

TSettingEntry Text(std::string Name, std::string Value)
{
    return {std::move(Name), skText, false, 0, std::move(Value)};
}
TSettingEntry Bool(std::string Name, bool Value)
{
    return {std::move(Name), skBool, Value, 0, {}};
}

TExceptionFacts NoThread()
{
    TExceptionFacts F;
    F.NoExceptionThread = true;
    return F;
}

// A plugin whose text waits until the test lets it go.
struct TGate {
    std::mutex Lock;
    std::condition_variable Cv;
    bool Open = false;
    bool Entered = false;
    bool Finished = false;
    void Release()
    {
        std::lock_guard G(Lock);
        Open = true;
        Cv.notify_all();
    }
    // Until the calculation has entered the plugin.
    void AwaitEntered()
    {
        std::unique_lock G(Lock);
        Cv.wait(G, [&] { return Entered; });
    }
};
void GatedPlugin(void* Instance, std::string& Text)
{
    auto& Gate = *static_cast<TGate*>(Instance);
    std::unique_lock G(Gate.Lock);
    Gate.Entered = true;
    Gate.Cv.notify_all();
    Gate.Cv.wait(G, [&] { return Gate.Open; });
    Gate.Finished = true;
    Text = "the plugin's text";
}

class CrashreportExceptionObject : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterBugReportPlugin("gated", "waits for the test", &GatedPlugin, &Gate);
    }
    void TearDown() override
    {
        Gate.Release();
        UnregisterBugReportPlugin("gated");
        SetCalcThreadWaitLimit(5000);
    }
    TGate Gate;
};

std::vector<std::string> Lines(const std::string& Text)
{
    std::vector<std::string> Out;
    for (std::size_t Pos = 0;;) {
        const auto End = Text.find("\r\n", Pos);
        Out.push_back(Text.substr(Pos, End == std::string::npos ? std::string::npos : End - Pos));
        if (End == std::string::npos)
            return Out;
        Pos = End + 2;
    }
}

std::string HeaderValue(const std::string& Report, const std::string& Name)
{
    for (const auto& L : Lines(Report))
        if (L.rfind(Name + " ", 0) == 0 && L.find(": ") != std::string::npos)
            return L.substr(L.find(": ") + 2);
    return "<missing>";
}

} // namespace

TEST_F(CrashreportExceptionObject, AReportWithoutSectionsIsItsHeaderBlockAlone)
{
    auto E = NewExceptionObject(NoThread(), Table({Text("Plugins", "")}));
    const std::string Report = E->GetBugReport(true, -1);
    EXPECT_EQ(Report.find("\r\n\r\n"), std::string::npos) << Report;
    EXPECT_EQ(E->GetSections()->ItemCount(), 0);
    for (const auto& L : Lines(Report))
        EXPECT_NE(L.find(" : "), std::string::npos) << L;
    // The calculation still ends, so "callstack crc" is known.
    EXPECT_EQ(HeaderValue(Report, "callstack crc"), "$00000000, $00000000, $00000000");
}

TEST_F(CrashreportExceptionObject, AMessageWithLineBreaksAndDoubleBlanksIsOneHeaderLine)
{
    auto F = NoThread();
    F.Object = std::make_exception_ptr(std::runtime_error("disk  full\r\non /dev/sda1!!\n\x07"));
    auto E = NewExceptionObject(F, Table({Text("Plugins", "")}));
    EXPECT_EQ(E->GetExceptClass(), "std::runtime_error");
    EXPECT_EQ(E->GetExceptMessage(), "disk  full\r\non /dev/sda1.");
    EXPECT_EQ(HeaderValue(E->GetBugReport(true), "exception message"), "disk full on /dev/sda1.");
}

TEST_F(CrashreportExceptionObject, WaitingWithTimeoutZeroGivesThePlaceholders)
{
    auto E = NewExceptionObject(NoThread(), Table({Text("Plugins", "gated")}));
    const std::string Early = E->GetBugReport(true, 0);
    EXPECT_NE(Early.find("gated:\r\n>> will be calculated soon"), std::string::npos) << Early;
    EXPECT_EQ(HeaderValue(Early, "callstack crc"), "will be calculated soon");
    // Not waiting answers the cached text.
    EXPECT_EQ(E->GetBugReport(false), Early);
    Gate.Release();
    const std::string Late = E->GetBugReport(true, -1);
    EXPECT_NE(Late.find("gated:\r\nthe plugin's text"), std::string::npos) << Late;
    EXPECT_EQ(E->GetFullBugReport(), Late);
}

TEST_F(CrashreportExceptionObject, DestroyingTheObjectWaitsForTheCalculation)
{
    auto E = NewExceptionObject(NoThread(), Table({Text("Plugins", "gated")}));
    E->GetSections();
    Gate.AwaitEntered();
    auto Releaser = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Gate.Release();
    });
    const auto Start = Clock::now();
    E.reset();
    EXPECT_GE(Clock::now() - Start, std::chrono::milliseconds(250));
    std::lock_guard G(Gate.Lock);
    EXPECT_TRUE(Gate.Finished) << "the destructor returned before the calculation ended";
}

TEST_F(CrashreportExceptionObject, ACalculationThatDoesNotEndInTimeIsLeftToEndOnItsOwn)
{
    SetCalcThreadWaitLimit(200);
    auto E = NewExceptionObject(NoThread(), Table({Text("Plugins", "gated")}));
    E->GetSections();
    Gate.AwaitEntered();
    testing::internal::CaptureStderr();
    const auto Start = Clock::now();
    E.reset();
    const auto Took = Clock::now() - Start;
    const std::string Said = testing::internal::GetCapturedStderr();
    EXPECT_GE(Took, std::chrono::milliseconds(190));
    EXPECT_LT(Took, std::chrono::milliseconds(2000));
    EXPECT_NE(Said.find("did not end within 200 ms"), std::string::npos) << Said;
    // The thread goes on with what it owns and ends when it can.
    Gate.Release();
    for (int I = 0; I < 200; ++I) {
        {
            std::lock_guard G(Gate.Lock);
            if (Gate.Finished)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard G(Gate.Lock);
    EXPECT_TRUE(Gate.Finished);
}

namespace {

struct TCalls {
    std::mutex Lock;
    int Count = 0;
    bool SawComplete = false;
    std::string Last;
};
TCalls Calls;

void CountingCallback(bool Complete, const std::string& Report, IKEException&)
{
    std::lock_guard G(Calls.Lock);
    ++Calls.Count;
    Calls.SawComplete = Calls.SawComplete || Complete;
    Calls.Last = Report;
}

} // namespace

TEST_F(CrashreportExceptionObject, ACallbackRegisteredTwiceKeepsOneEntryWithTheNewerFlag)
{
    auto E = NewExceptionObject(NoThread(), Table({Text("Plugins", "gated")}));
    E->RegisterCallback(&CountingCallback, false);
    EXPECT_FALSE(E->HasCallbacks());
    E->RegisterCallback(&CountingCallback, true);
    EXPECT_TRUE(E->HasCallbacks());
    {
        std::lock_guard G(Calls.Lock);
        Calls.Count = 0;
        Calls.SawComplete = false;
    }
    // One change, one call: the list holds the routine once.
    E->SetBugReport("replaced");
    {
        std::lock_guard G(Calls.Lock);
        EXPECT_EQ(Calls.Count, 1);
        EXPECT_EQ(Calls.Last, "replaced");
    }
    EXPECT_EQ(E->GetBugReport(false), "replaced");

    // Changes made between BeginUpdate and EndUpdate are told once, at the end.
    E->BeginUpdate();
    E->GetBugReportHeader()->SetValue("extra one", "1");
    E->GetBugReportHeader()->SetValue("extra two", "2");
    {
        std::lock_guard G(Calls.Lock);
        EXPECT_EQ(Calls.Count, 1);
    }
    E->EndUpdate();
    {
        std::lock_guard G(Calls.Lock);
        EXPECT_EQ(Calls.Count, 2);
        EXPECT_NE(Calls.Last.find("extra two"), std::string::npos);
    }
    Gate.Release();
    E->GetBugReport(true);
    {
        std::lock_guard G(Calls.Lock);
        EXPECT_TRUE(Calls.SawComplete);
        EXPECT_NE(Calls.Last.find("the plugin's text"), std::string::npos);
    }
    E->UnregisterCallback(&CountingCallback);
    EXPECT_FALSE(E->HasCallbacks());
    const int Before = Calls.Count;
    E->SetBugReport("again");
    EXPECT_EQ(Calls.Count, Before);
}

namespace {

struct EDiskError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct EFullDisk : EDiskError {
    using EDiskError::EDiskError;
};
struct TNotAnException {};

} // namespace

TEST_F(CrashreportExceptionObject, ClassGroupsMatchTheClassOrAnyOfItsAncestors)
{
    const auto Settings = Table(
        {Text("Plugins", ""), Text("F1Classes", " ::nothing , std::runtime_error "),
         Bool("F1NoBugRep", true), Text("F1Assis", "FirstAssistant"),
         Text("F2Classes", "EExternal"), Bool("F2NoHandlers", true), Text("GnAssis", "General")});
    struct TCase {
        const char* Name;
        TExceptionFacts Facts;
        bool BugReport, Handlers;
        const char* Assistant;
    };
    std::vector<TCase> Cases;
    auto Thrown = [](std::exception_ptr P) {
        auto F = NoThread();
        F.Object = std::move(P);
        return F;
    };
    Cases.push_back({"derived twice", Thrown(std::make_exception_ptr(EFullDisk("x"))), false, true,
                     "FirstAssistant"});
    Cases.push_back({"other branch", Thrown(std::make_exception_ptr(std::logic_error("x"))), true,
                     true, "General"});
    Cases.push_back({"no std::exception", Thrown(std::make_exception_ptr(TNotAnException())), true,
                     true, "General"});
    auto Signal = NoThread();
    Signal.ClassChain = {"SIGSEGV", "EExternal", "KelException", "std::exception"};
    Cases.push_back({"signal", Signal, true, false, ""});
    for (const auto& C : Cases) {
        auto E = NewExceptionObject(C.Facts, Settings);
        EXPECT_EQ(E->GetCreateBugReport(), C.BugReport) << C.Name;
        EXPECT_EQ(E->GetCallHandlers(), C.Handlers) << C.Name;
        EXPECT_EQ(E->GetAssistant(), C.Assistant) << C.Name;
    }
    EXPECT_EQ(ClassChainOf(std::make_exception_ptr(EFullDisk("x"))),
              (std::vector<std::string>{"(anonymous namespace)::EFullDisk",
                                        "(anonymous namespace)::EDiskError", "std::runtime_error",
                                        "std::exception"}));
    auto Plain = NewExceptionObject(Thrown(std::make_exception_ptr(TNotAnException())), Settings);
    EXPECT_EQ(Plain->GetExceptMessage(), "(anonymous namespace)::TNotAnException.");
    // A report that is not wanted has no text to give.
    auto Unwanted = NewExceptionObject(Cases[0].Facts, Settings);
    EXPECT_EQ(Unwanted->GetBugReport(true), "");
}

TEST_F(CrashreportExceptionObject, AFreezeIsEFrozenWithTheFrozenMessage)
{
    auto F = NoThread();
    F.Kind = TExceptKind::Freeze;
    auto E = NewExceptionObject(
        F, Table({Text("Plugins", ""), Text("FrozenMsg", "Stuck in %appname%!")}));
    EXPECT_EQ(E->GetExceptClass(), "EFrozen");
    EXPECT_EQ(E->GetExceptMessage(), "Stuck in %appname%!");
    auto None = NewExceptionObject(NoThread(), Table({Text("Plugins", "")}));
    EXPECT_EQ(None->GetExceptClass(), "Unknown");
    EXPECT_EQ(None->GetExceptMessage(), "Unknown.");
}

TEST_F(CrashreportExceptionObject, SettingsChangedThroughTheObjectHoldForThatEventOnly)
{
    const auto Shared = Table({Text("Plugins", "modules|gated"), Bool("PauseThreads", true),
                               Text("F1Classes", "std::logic_error"), Bool("F1NoSuspend", true)});
    auto F = NoThread();
    F.Object = std::make_exception_ptr(std::logic_error("x"));
    auto E = NewExceptionObject(F, Shared);
    auto Other = NewExceptionObject(NoThread(), Shared);
    // The class group took the pausing away from this event only.
    EXPECT_FALSE(E->GetBoolSetting("PauseThreads"));
    EXPECT_TRUE(Other->GetBoolSetting("PauseThreads"));
    EXPECT_TRUE(E->SetTextSetting("MailAddr", "me@example.org"));
    EXPECT_FALSE(E->SetIntSetting(TIntKey::Named("MailAddr"), 3)); // a text key
    E->SetPluginEnabled("modules", false);
    EXPECT_EQ(E->GetTextSetting("MailAddr"), "me@example.org");
    EXPECT_EQ(E->GetTextSetting("Plugins"), "gated");
    EXPECT_EQ(Other->GetTextSetting("MailAddr"), "");
    EXPECT_EQ(Other->GetTextSetting("Plugins"), "modules|gated");
    EXPECT_EQ(Shared->Find("MailAddr", skText), std::nullopt);
}

TEST_F(CrashreportExceptionObject, PhaseThreeBecomesFourOnceTheReportIsCompleteAndContinuingIsAPair)
{
    auto F = NoThread();
    F.CanContinue = false;
    auto E = NewExceptionObject(F, Table({Text("Plugins", "gated")}));
    E->GetSections();
    E->SetPhase(3);
    EXPECT_EQ(E->GetPhase(), 3);
    Gate.Release();
    E->GetBugReport(true);
    E->SetPhase(3);
    EXPECT_EQ(E->GetPhase(), 4);
    E->SetCanContinue(true);
    EXPECT_FALSE(E->GetCanContinue()); // not allowed when the event began
    auto C = NewExceptionObject(NoThread(), Table({Text("Plugins", "")}));
    C->SetCanContinue(false);
    EXPECT_FALSE(C->GetCanContinue());
    C->SetCanContinue(true);
    EXPECT_TRUE(C->GetCanContinue());
    EXPECT_TRUE(C->FirstTime(0));
    EXPECT_FALSE(C->FirstTime(0));
    EXPECT_TRUE(C->FirstTime(1));
    EXPECT_FALSE(C->FirstTime(2));
}

TEST_F(CrashreportExceptionObject, ADeferredCalculationRunsOnTheFirstWaitingCaller)
{
    auto F = NoThread();
    F.Deferred = true;
    auto E = NewExceptionObject(F, Table({Text("Plugins", "gated")}));
    // Header and placeholders exist at once; nothing runs until someone waits.
    EXPECT_EQ(E->GetSections()->GetValue("gated"), ">> will be calculated soon");
    EXPECT_EQ(E->GetCalcThreadId(), 0);
    Gate.Release();
    const std::string Report = E->GetBugReport(true);
    EXPECT_NE(Report.find("the plugin's text"), std::string::npos);
}

namespace {

// The helper's progress alert as the report uses it: what it was told.
struct TAlertLog {
    std::mutex Lock;
    std::vector<std::string> Calls;
    std::vector<int> Positions;
};
TAlertLog AlertLog;

class TFakeAlert final : public IProgressAlert {
public:
    std::string GetTitle() const override { return Title; }
    void SetTitle(std::string_view T) override { Title = T; }
    int GetPosition() const override { return 0; }
    void SetPosition(int Position) override
    {
        std::lock_guard G(AlertLog.Lock);
        AlertLog.Positions.push_back(Position);
    }
    void AddArea(std::string_view Text, std::int64_t) override { Log("area " + std::string(Text)); }
    void Clear() override {}
    void NextArea() override {}
    int GetArea() const override { return 0; }
    void SetArea(int) override {}
    void ProcessMessages() override {}
    bool Show(bool Centred) override
    {
        Log(Centred ? "show centred" : "show");
        return true;
    }
    void Close() override { Log("close"); }
    std::string Title;

private:
    void Log(std::string S)
    {
        std::lock_guard G(AlertLog.Lock);
        AlertLog.Calls.push_back(std::move(S));
    }
};

std::shared_ptr<IProgressAlert> FakeAlert(std::string_view Title)
{
    {
        std::lock_guard G(AlertLog.Lock);
        AlertLog.Calls.push_back("new " + std::string(Title));
    }
    return std::make_shared<TFakeAlert>();
}

std::atomic<int> ScreenShotRequests{0};
std::atomic<bool> ScreenShotSucceeds{true};
TScreenShotTakenFrame FakeScreenShot(bool ApplicationOnly)
{
    ++ScreenShotRequests;
    TScreenShotTakenFrame F;
    F.Taken = ScreenShotSucceeds;
    F.Width = ApplicationOnly ? 640 : 1920;
    F.Height = 480;
    return F;
}

} // namespace

TEST_F(CrashreportExceptionObject, AWaitingCallerShowsThePleaseWaitBoxUntilTheReportIsDone)
{
    SetPleaseWaitFactory(&FakeAlert);
    auto E = NewExceptionObject(NoThread(),
                                Table({Text("Plugins", "gated"), Text("PlWaitTitle", "One moment"),
                                       Text("PlWaitText", "Collecting...")}));
    E->GetSections();
    auto Releaser = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Gate.Release();
    });
    E->GetBugReport(true);
    // Complete now: asking again shows no box.
    E->GetBugReport(true);
    auto Quiet =
        NewExceptionObject(NoThread(), Table({Text("Plugins", ""), Bool("PlWaitBox", false)}));
    Quiet->GetBugReport(true);
    SetPleaseWaitFactory(nullptr);
    std::lock_guard G(AlertLog.Lock);
    EXPECT_EQ(AlertLog.Calls, (std::vector<std::string>{"new One moment", "area Collecting...",
                                                        "show centred", "close"}));
    ASSERT_FALSE(AlertLog.Positions.empty());
    EXPECT_TRUE(std::is_sorted(AlertLog.Positions.begin(), AlertLog.Positions.end()));
}

TEST_F(CrashreportExceptionObject, TheScreenshotIsAskedForOnceAndAFailureIsNotRetried)
{
    SetScreenShotRequester(&FakeScreenShot);
    const auto Wanted = Table({Text("Plugins", ""),
                               {"ScrShotDepth", skInt, false, 24, {}},
                               Bool("ScrShotAppOnly", true)});
    ScreenShotRequests = 0;
    ScreenShotSucceeds = true;
    auto E = NewExceptionObject(NoThread(), Wanted);
    ASSERT_TRUE(E->GetScreenShot().has_value());
    EXPECT_EQ(E->GetScreenShot()->Width, 640u);
    EXPECT_EQ(ScreenShotRequests, 1);

    ScreenShotSucceeds = false;
    auto Failing = NewExceptionObject(NoThread(), Wanted);
    EXPECT_FALSE(Failing->GetScreenShot().has_value());
    EXPECT_FALSE(Failing->GetCreateScreenShot());
    EXPECT_FALSE(Failing->GetScreenShot().has_value());
    EXPECT_EQ(ScreenShotRequests, 2);

    // Depth 0 wants no screenshot at all.
    auto None = NewExceptionObject(NoThread(), Table({Text("Plugins", "")}));
    EXPECT_FALSE(None->GetScreenShot().has_value());
    EXPECT_EQ(ScreenShotRequests, 2);
    SetScreenShotRequester(nullptr);
}
