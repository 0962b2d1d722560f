// Firing of the exception, action and notification handlers: the stop rules
// per kind, the guard around each call, and the synchronised handlers on a
// main thread of the test's own that answers, is busy, or is frozen.
#include "crashreport/kelExceptHandlers.h"

#include "crashlib/kelTools.h"
#include "crashreport/kelExceptObject.h"
#include "crashreport/kelExceptSettings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// What the handlers did, in order: "name@main" or "name@firing".
std::mutex LogLock;
std::vector<std::string> Log;
std::atomic<pid_t> MainTid{0};
std::atomic<bool> SawMainFlag{false};

void Note(const char* Name)
{
    std::lock_guard<std::mutex> G(LogLock);
    Log.push_back(std::string(Name) + (gettid() == MainTid.load() ? "@main" : "@firing"));
}

std::vector<std::string> Taken()
{
    std::lock_guard<std::mutex> G(LogLock);
    return std::exchange(Log, {});
}

void A(IKEException*, bool&)
{
    Note("a");
}
void B(IKEException*, bool&)
{
    Note("b");
}
void Claims(IKEException*, bool& H)
{
    Note("claims");
    H = true;
}
void Throws(IKEException*, bool&)
{
    Note("throws");
    throw std::runtime_error("handler fault");
}
void ThrowsInt(IKEException*, bool&)
{
    Note("throws int");
    throw 5;
}
void SeesMainFlag(IKEException*, bool&)
{
    Note("flag");
    SawMainFlag = HandlersRunningOnMainThread();
}
void Remover(IKEException*, bool&)
{
    Note("remover");
    RemoveExceptHandler(hkNotification, &B);
}
void Method(void* Object, IKEException*, bool&)
{
    Note(static_cast<const char*>(Object));
}
void ActionA(std::uint8_t Code, IKEException*, bool&)
{
    Note(("action " + std::to_string(Code)).c_str());
}
void ActionClaims(std::uint8_t Code, IKEException*, bool& H)
{
    Note(("claims " + std::to_string(Code)).c_str());
    H = true;
}
void ActionMethodClaims(void*, std::uint8_t Code, IKEException*, bool& H)
{
    Note(("method claims " + std::to_string(Code)).c_str());
    H = true;
}

// A main thread of the test's own: it serves its message port until asked
// to stop, or stays busy (not draining) for a while first.
class TMainThread {
public:
    explicit TMainThread(int BusyMs = 0)
    {
        Thread = std::thread([this, BusyMs] {
            MainTid = gettid();
            Installed = InstallMainThreadHandlers();
            Ready = true;
            if (BusyMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(BusyMs));
            const int Fd = GetMsgPortFd();
            while (!Stop) {
                pollfd P{Fd, POLLIN, 0};
                poll(&P, 1, 20);
                DrainMsgPort();
            }
            RemoveMainThreadHandlers();
        });
        while (!Ready)
            std::this_thread::yield();
    }
    ~TMainThread()
    {
        Stop = true;
        Thread.join();
        MainTid = 0;
    }
    std::atomic<bool> Installed{false};

private:
    std::atomic<bool> Ready{false}, Stop{false};
    std::thread Thread;
};

class CrashreportHandlers : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearHandlers();
        Taken();
        Target.Phase = [this] { return Phase; };
    }
    void TearDown() override { ClearHandlers(); }

    bool Fire(THandlerKind Kind, std::uint8_t Code = 0, bool Handled = false)
    {
        FireHandlers(Kind, Code, Handled, Target);
        return Handled;
    }

    std::uint8_t Phase = 0;
    TFireTarget Target;
};

using TLog = std::vector<std::string>;

TEST_F(CrashreportHandlers, NoneRegisteredLeavesTheEventAsItWas)
{
    for (const THandlerKind K : {hkException, hkAction, hkNotification}) {
        EXPECT_FALSE(Fire(K, acSend, false));
        EXPECT_TRUE(Fire(K, acSend, true));
    }
    EXPECT_FALSE(HasSyncHandlers(hkException, 0));
    EXPECT_FALSE(HasAfterHandlers());
}

TEST_F(CrashreportHandlers, AThrowingHandlerDoesNotStopThePass)
{
    AddExceptHandler(hkException, &Throws, hsFiringThread);
    AddExceptHandler(hkException, &ThrowsInt, hsFiringThread);
    AddExceptHandler(hkException, &A, hsFiringThread);
    EXPECT_FALSE(Fire(hkException));
    EXPECT_EQ(Taken(), (TLog{"throws@firing", "throws int@firing", "a@firing"}));
}

TEST_F(CrashreportHandlers, StopRulesByKindAndPhase)
{
    struct TCase {
        THandlerKind Kind;
        std::uint8_t Phase;
        TLog Calls;
        bool Handled;
    };
    const TCase Cases[] = {
        // Before the report is complete the first claim ends the pass...
        {hkException, 0, {"m1@firing", "claims@firing"}, true},
        {hkException, 2, {"m1@firing", "claims@firing"}, true},
        // ...afterwards every handler runs and the event is not claimed.
        {hkException, 3, {"m1@firing", "claims@firing", "b@firing"}, false},
        {hkNotification, 0, {"m1@firing", "claims@firing", "b@firing"}, true},
        {hkNotification, 3, {"m1@firing", "claims@firing", "b@firing"}, false},
    };
    for (const TCase& C : Cases) {
        ClearHandlers();
        static char M1[] = "m1";
        AddExceptHandler(C.Kind, &Method, M1, hsFiringThread, C.Phase);
        AddExceptHandler(C.Kind, &Claims, hsFiringThread, C.Phase);
        AddExceptHandler(C.Kind, &B, hsFiringThread, C.Phase);
        // An entry of another phase is not selected for exception handlers.
        AddExceptHandler(C.Kind, &A, hsFiringThread, static_cast<std::uint8_t>(C.Phase + 1));
        Phase = C.Phase;
        EXPECT_EQ(Fire(C.Kind), C.Handled) << int(C.Kind) << "/" << int(C.Phase);
        TLog Want = C.Calls;
        if (C.Kind == hkNotification)
            Want.push_back("a@firing");
        EXPECT_EQ(Taken(), Want) << int(C.Kind) << "/" << int(C.Phase);
    }
}

TEST_F(CrashreportHandlers, ActionHandlersMethodsFirstAndStopAtAClaim)
{
    AddActionHandler(&ActionA, hsFiringThread);
    static char X[] = "x";
    AddActionHandler(&ActionMethodClaims, X, hsFiringThread);
    AddActionHandler(&ActionClaims, hsFiringThread);
    EXPECT_TRUE(Fire(hkAction, acSave));
    EXPECT_EQ(Taken(), (TLog{"method claims 1@firing"}));
    ASSERT_TRUE(RemoveActionHandler(&ActionMethodClaims, X));
    EXPECT_FALSE(RemoveActionHandler(&ActionMethodClaims, X));
    EXPECT_TRUE(Fire(hkAction, acPrint));
    EXPECT_EQ(Taken(), (TLog{"action 2@firing", "claims 2@firing"}));
}

TEST_F(CrashreportHandlers, ChangesDuringAPassWaitForTheNext)
{
    AddExceptHandler(hkNotification, &Remover, hsFiringThread);
    AddExceptHandler(hkNotification, &B, hsFiringThread);
    Fire(hkNotification);
    EXPECT_EQ(Taken(), (TLog{"remover@firing", "b@firing"}));
    Fire(hkNotification);
    EXPECT_EQ(Taken(), (TLog{"remover@firing"}));
}

TEST_F(CrashreportHandlers, SynchronisedHandlersRunOnTheMainThread)
{
    TMainThread Main;
    ASSERT_TRUE(Main.Installed);
    AddExceptHandler(hkException, &A, hsFiringThread);
    AddExceptHandler(hkException, &SeesMainFlag, hsMainThread);
    AddExceptHandler(hkException, &B, hsMainOrFiring);
    EXPECT_TRUE(HasSyncHandlers(hkException, 0));
    EXPECT_FALSE(HasSyncHandlers(hkException, 1));
    EXPECT_FALSE(Fire(hkException));
    EXPECT_EQ(Taken(), (TLog{"a@firing", "flag@main", "b@main"}));
    EXPECT_TRUE(SawMainFlag.load());
    EXPECT_FALSE(HandlersRunningOnMainThread());
}

TEST_F(CrashreportHandlers, ABusyMainThreadIsNotWaitedFor)
{
    // The main thread drains its port only after the probe's time is up.
    TMainThread Main(HandlersProbeMs + 1000);
    AddExceptHandler(hkException, &SeesMainFlag, hsMainThread);
    AddExceptHandler(hkException, &B, hsMainOrFiring);
    const auto Start = std::chrono::steady_clock::now();
    Fire(hkException);
    const auto Took = std::chrono::steady_clock::now() - Start;
    EXPECT_EQ(Taken(), (TLog{"b@firing"}));
    EXPECT_GE(Took, std::chrono::milliseconds(HandlersProbeMs));
}

TEST_F(CrashreportHandlers, AFrozenMainThreadIsNeverAsked)
{
    TMainThread Main;
    Target.Frozen = true;
    AddExceptHandler(hkException, &SeesMainFlag, hsMainThread);
    AddExceptHandler(hkException, &B, hsMainOrFiring);
    Fire(hkException);
    EXPECT_EQ(Taken(), (TLog{"b@firing"}));
}

TEST_F(CrashreportHandlers, TheSwitchOffCallsNoHandler)
{
    Target.CallHandlers = false;
    AddExceptHandler(hkException, &Claims, hsFiringThread);
    EXPECT_FALSE(Fire(hkException));
    EXPECT_TRUE(Taken().empty());
}

TEST_F(CrashreportHandlers, RestartAndCloseCompleteTheReportFirst)
{
    int Completed = 0;
    Target.CompleteReport = [&] { ++Completed; };
    AddActionHandler(&ActionA, hsFiringThread);
    Fire(hkAction, acRestart);
    EXPECT_EQ(Completed, 0); // neither asked for nor after-handlers
    AddExceptHandler(hkException, &A, hsFiringThread, 4);
    EXPECT_TRUE(HasAfterHandlers());
    Fire(hkAction, acClose);
    Fire(hkAction, acSave);
    EXPECT_EQ(Completed, 1);
    Target.CompleteReportFirst = true;
    RemoveExceptHandler(hkException, &A);
    Fire(hkAction, acRestart);
    EXPECT_EQ(Completed, 2);
}

TEST_F(CrashreportHandlers, AssistantBetweenTheRounds)
{
    struct TCase {
        const char* Why;
        std::uint8_t Action;
        std::vector<std::uint8_t> Claimed;
        TAssistantResult Assistant;
        bool Handled;
        std::vector<std::uint8_t> Fired;
        bool AssistantRan;
    };
    const TCase Cases[] = {
        {"a cancelled send assistant stops the send",
         acSend,
         {},
         TAssistantResult::arCancelled,
         true,
         {acSend},
         true},
        {"a confirmed one leads to the second round",
         acSave,
         {},
         TAssistantResult::arConfirmed,
         false,
         {acSave, acSaveAssisted},
         true},
        {"a claim after the assistant",
         acPrint,
         {acPrintAssisted},
         TAssistantResult::arConfirmed,
         true,
         {acPrint, acPrintAssisted},
         true},
        {"a claim before it: no assistant",
         acSend,
         {acSend},
         TAssistantResult::arCancelled,
         true,
         {acSend},
         false},
        {"no assistant named",
         acSend,
         {},
         TAssistantResult::arNone,
         false,
         {acSend, acSendAssisted},
         true},
        {"other actions have no assistant",
         acRestart,
         {},
         TAssistantResult::arCancelled,
         false,
         {acRestart},
         false},
    };
    for (const TCase& C : Cases) {
        std::vector<std::uint8_t> Fired;
        bool Ran = false;
        const bool Handled = FireAssistedAction(
            C.Action,
            [&](std::uint8_t Code) {
                Fired.push_back(Code);
                return std::find(C.Claimed.begin(), C.Claimed.end(), Code) != C.Claimed.end();
            },
            [&] {
                Ran = true;
                return C.Assistant;
            });
        EXPECT_EQ(Handled, C.Handled) << C.Why;
        EXPECT_EQ(Fired, C.Fired) << C.Why;
        EXPECT_EQ(Ran, C.AssistantRan) << C.Why;
    }
    EXPECT_EQ(AssistantSettingOf(acPrint), "PrintAssis");
    EXPECT_EQ(AssistantSettingOf(acClose), "");
}

IKEException* SeenException = nullptr;
void Sees(IKEException* E, bool& Handled)
{
    SeenException = E;
    Handled = true;
}

TEST_F(CrashreportHandlers, AnExceptionObjectAsTarget)
{
    // The object's own phase, switch and kind select the handlers: before
    // phase 3 a claim holds, from phase 3 on it does not.
    TExceptionFacts Facts;
    Facts.NoExceptionThread = true;
    auto E = NewExceptionObject(
        Facts, TModuleSettings::FromStream(WriteSettingsStream(
                   {{"ListThreads", skBool, false, 0, {}}, {"Plugins", skText, false, 0, ""}})));
    AddExceptHandler(hkException, &Sees, hsFiringThread, 0);
    AddExceptHandler(hkException, &Sees, hsFiringThread, 3);
    TFireTarget T = FireTargetOf(*E);
    EXPECT_FALSE(T.Frozen);
    bool Handled = false;
    FireHandlers(hkException, 0, Handled, T);
    EXPECT_TRUE(Handled);
    EXPECT_EQ(SeenException, E.get());
    E->SetPhase(3);
    Handled = false;
    FireHandlers(hkException, 0, Handled, T);
    EXPECT_FALSE(Handled);
    // Handlers switched off for this event: none is called.
    E->SetCallHandlers(false);
    SeenException = nullptr;
    FireHandlers(hkException, 0, Handled, FireTargetOf(*E));
    EXPECT_EQ(SeenException, nullptr);
    TExceptionFacts Frozen = Facts;
    Frozen.Kind = TExceptKind::Freeze;
    EXPECT_TRUE(FireTargetOf(*NewExceptionObject(Frozen)).Frozen);
}

} // namespace
