#include "crashreport/kelExceptHandlers.h"

#include "crashlib/kelTools.h"
#include "crashreport/kelExceptObject.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cxxabi.h>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

struct TEntry {
    THandlerSync Sync = hsFiringThread;
    std::uint8_t Phase = 0;
    void* Plain = nullptr;  // the routine of a plain entry
    void* Method = nullptr; // the code of a method entry
    void* Object = nullptr;
    bool operator==(const TEntry&) const = default;
};

struct TLists {
    std::mutex Lock;
    // [kind][0 plain, 1 methods]
    std::vector<TEntry> Entries[3][2];
};

TLists& Lists()
{
    static TLists L;
    return L;
}

template <class F> void* CodeOf(F Routine)
{
    return reinterpret_cast<void*>(Routine);
}

void Add(THandlerKind Kind, bool IsMethod, const TEntry& E)
{
    if (Kind > hkNotification)
        return;
    TLists& L = Lists();
    std::lock_guard<std::mutex> G(L.Lock);
    L.Entries[Kind][IsMethod].push_back(E);
}

bool Remove(THandlerKind Kind, bool IsMethod, void* Code, void* Object)
{
    if (Kind > hkNotification)
        return false;
    TLists& L = Lists();
    std::lock_guard<std::mutex> G(L.Lock);
    std::vector<TEntry>& V = L.Entries[Kind][IsMethod];
    for (auto It = V.begin(); It != V.end(); ++It)
        if ((IsMethod ? It->Method : It->Plain) == Code && It->Object == Object) {
            V.erase(It);
            return true;
        }
    return false;
}

std::atomic<int> MainRunning{0};

// The main thread's port and the message its handler routine listens to.
struct TMainPort {
    std::mutex Lock;
    HMsgPort Port = 0;
    std::uint32_t Msg = 0;
    pid_t ThreadId = 0;
    TMainThreadGate Gate = nullptr;
};

TMainPort& MainPort()
{
    static TMainPort P;
    return P;
}

bool OnMainThread()
{
    TMainPort& P = MainPort();
    std::lock_guard<std::mutex> G(P.Lock);
    return P.ThreadId != 0 && P.ThreadId == gettid();
}

// One call into the main thread: the firing thread waits for it with a time
// limit.
struct TMainCall {
    std::mutex Lock;
    std::condition_variable Done;
    bool Answered = false;
    std::intptr_t Answer = 0;
    TFireHandlersParams Params;
};

// The calls posted to the main thread and not taken yet, by number. The
// message carries only the number: a call whose firing thread stopped waiting
// is taken out here, so that a message the main thread drains late (or never,
// when the program ends first) neither runs it nor holds on to it.
struct TPendingCalls {
    std::mutex Lock;
    std::map<std::intptr_t, std::shared_ptr<TMainCall>> Calls;
    std::intptr_t Last = 0;
};

TPendingCalls& PendingCalls()
{
    // Never destroyed: a thread may still fire while the program exits.
    static TPendingCalls* P = new TPendingCalls;
    return *P;
}

std::shared_ptr<TMainCall> TakePendingCall(std::intptr_t Number)
{
    TPendingCalls& P = PendingCalls();
    std::lock_guard<std::mutex> G(P.Lock);
    const auto It = P.Calls.find(Number);
    if (It == P.Calls.end())
        return nullptr;
    std::shared_ptr<TMainCall> Call = std::move(It->second);
    P.Calls.erase(It);
    return Call;
}

void MainThreadMessage(HMsgPort, std::uint32_t, std::uintptr_t WParam, std::intptr_t& Result,
                       std::intptr_t LParam)
{
    Result = HandlersAnswer;
    if (LParam == 0)
        return;
    const std::shared_ptr<TMainCall> Call = TakePendingCall(LParam);
    if (!Call)
        return;
    if (WParam == 0)
        RunHandlers(Call->Params);
    std::lock_guard<std::mutex> G(Call->Lock);
    Call->Answered = true;
    Call->Answer = Result;
    Call->Done.notify_all();
}

// Sends the main thread's handler message and waits up to TimeoutMs for its
// answer; 0 when it did not come.
std::intptr_t SendToMain(std::uintptr_t WParam, TFireHandlersParams* Params, int TimeoutMs)
{
    HMsgPort Port = 0;
    std::uint32_t Msg = 0;
    {
        TMainPort& P = MainPort();
        std::lock_guard<std::mutex> G(P.Lock);
        Port = P.Port;
        Msg = P.Msg;
    }
    if (Port == 0)
        return 0;
    auto Call = std::make_shared<TMainCall>();
    if (Params)
        Call->Params = *Params;
    std::intptr_t Number;
    {
        TPendingCalls& P = PendingCalls();
        std::lock_guard<std::mutex> G(P.Lock);
        // Positive and never 0 (0 is a call without a request).
        P.Last = P.Last == std::numeric_limits<std::intptr_t>::max() ? 1 : P.Last + 1;
        Number = P.Last;
        P.Calls.emplace(Number, Call);
    }
    if (!PostMsg(Port, Msg, WParam, Number)) {
        TakePendingCall(Number);
        return 0;
    }
    std::unique_lock<std::mutex> G(Call->Lock);
    if (!Call->Done.wait_for(G, std::chrono::milliseconds(TimeoutMs),
                             [&] { return Call->Answered; })) {
        G.unlock();
        // Not taken yet: it never will be. Taken meanwhile: its answer is
        // late and not waited for.
        TakePendingCall(Number);
        return 0;
    }
    if (Params)
        Params->Handled = Call->Params.Handled;
    return Call->Answer;
}

std::uint8_t PhaseOf(const TFireTarget* Target)
{
    return Target && Target->Phase ? Target->Phase() : 0;
}

bool Selected(const TEntry& E, const TFireHandlersParams& P, std::uint8_t Phase)
{
    if ((E.Sync != hsFiringThread) != P.SyncPass)
        return false;
    if (P.Value2Only && E.Sync != hsMainOrFiring)
        return false;
    return P.Kind != hkException || E.Phase == Phase;
}

// Calls one handler inside a guard: what it throws is swallowed, except the
// unwinding of a cancelled thread, which must go on.
void Call(const TEntry& E, bool IsMethod, TFireHandlersParams& P)
{
    IKEException* X = P.Target ? P.Target->Exception : nullptr;
    try {
        if (P.Kind == hkAction) {
            if (IsMethod)
                reinterpret_cast<TActionHandlerOO>(E.Method)(E.Object, P.Action, X, P.Handled);
            else
                reinterpret_cast<TActionHandler>(E.Plain)(P.Action, X, P.Handled);
        } else if (IsMethod) {
            reinterpret_cast<TExceptHandlerOO>(E.Method)(E.Object, X, P.Handled);
        } else {
            reinterpret_cast<TExceptHandler>(E.Plain)(X, P.Handled);
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

} // namespace

void AddExceptHandler(THandlerKind Kind, TExceptHandler Handler, THandlerSync Sync,
                      std::uint8_t Phase)
{
    if (Handler && Kind != hkAction)
        Add(Kind, false, {Sync, Phase, CodeOf(Handler), nullptr, nullptr});
}

void AddExceptHandler(THandlerKind Kind, TExceptHandlerOO Method, void* Object, THandlerSync Sync,
                      std::uint8_t Phase)
{
    if (Method && Kind != hkAction)
        Add(Kind, true, {Sync, Phase, nullptr, CodeOf(Method), Object});
}

void AddActionHandler(TActionHandler Handler, THandlerSync Sync)
{
    if (Handler)
        Add(hkAction, false, {Sync, 0, CodeOf(Handler), nullptr, nullptr});
}

void AddActionHandler(TActionHandlerOO Method, void* Object, THandlerSync Sync)
{
    if (Method)
        Add(hkAction, true, {Sync, 0, nullptr, CodeOf(Method), Object});
}

bool RemoveExceptHandler(THandlerKind Kind, TExceptHandler Handler)
{
    return Kind != hkAction && Remove(Kind, false, CodeOf(Handler), nullptr);
}

bool RemoveExceptHandler(THandlerKind Kind, TExceptHandlerOO Method, void* Object)
{
    return Kind != hkAction && Remove(Kind, true, CodeOf(Method), Object);
}

bool RemoveActionHandler(TActionHandler Handler)
{
    return Remove(hkAction, false, CodeOf(Handler), nullptr);
}

bool RemoveActionHandler(TActionHandlerOO Method, void* Object)
{
    return Remove(hkAction, true, CodeOf(Method), Object);
}

void ClearHandlers()
{
    TLists& L = Lists();
    std::lock_guard<std::mutex> G(L.Lock);
    for (auto& Kind : L.Entries)
        for (auto& List : Kind)
            List.clear();
}

bool RunHandlers(TFireHandlersParams& Params)
{
    if (Params.Kind > hkNotification)
        return false;
    const bool Main = OnMainThread();
    if (Main)
        ++MainRunning;
    std::vector<TEntry> Copies[2];
    {
        TLists& L = Lists();
        std::lock_guard<std::mutex> G(L.Lock);
        Copies[0] = L.Entries[Params.Kind][0];
        Copies[1] = L.Entries[Params.Kind][1];
    }
    bool Called = false;
    // Methods first, then plain routines.
    for (int Form = 1; Form >= 0; --Form) {
        const std::uint8_t Phase = PhaseOf(Params.Target);
        const bool Stops = Params.Kind == hkAction || (Params.Kind == hkException && Phase < 3);
        if (Form == 0 && Stops && Params.Handled)
            break;
        for (const TEntry& E : Copies[Form]) {
            if (!Selected(E, Params, PhaseOf(Params.Target)))
                continue;
            Call(E, Form == 1, Params);
            Called = true;
            const bool StopNow = Params.Kind == hkAction ||
                                 (Params.Kind == hkException && PhaseOf(Params.Target) < 3);
            if (StopNow && Params.Handled)
                break;
        }
    }
    if (Params.Kind != hkAction && PhaseOf(Params.Target) >= 3)
        Params.Handled = false;
    if (Main)
        --MainRunning;
    return Called;
}

bool HasSyncHandlers(THandlerKind Kind, std::uint8_t Phase)
{
    if (Kind > hkNotification)
        return false;
    TLists& L = Lists();
    std::lock_guard<std::mutex> G(L.Lock);
    for (const auto& List : L.Entries[Kind])
        for (const TEntry& E : List)
            if (E.Sync != hsFiringThread && (Kind != hkException || E.Phase == Phase))
                return true;
    return false;
}

bool HasAfterHandlers()
{
    TLists& L = Lists();
    std::lock_guard<std::mutex> G(L.Lock);
    for (const auto& List : L.Entries[hkException])
        for (const TEntry& E : List)
            if (E.Phase == 4)
                return true;
    return false;
}

bool HandlersRunningOnMainThread()
{
    return MainRunning.load() > 0;
}

void FireHandlers(THandlerKind Kind, std::uint8_t Action, bool& Handled, const TFireTarget& Target)
{
    if (Kind > hkNotification)
        return;
    if (Kind == hkAction && (Action == acRestart || Action == acClose) && Target.CompleteReport &&
        (Target.CompleteReportFirst || HasAfterHandlers()))
        Target.CompleteReport();
    bool Empty = true;
    {
        TLists& L = Lists();
        std::lock_guard<std::mutex> G(L.Lock);
        Empty = L.Entries[Kind][0].empty() && L.Entries[Kind][1].empty();
    }
    if (!Target.CallHandlers || Empty)
        return;
    TFireHandlersParams P;
    P.Kind = Kind;
    P.Action = Action;
    P.Target = &Target;
    P.Handled = Handled;
    const bool Ran = RunHandlers(P);
    bool HasPort = false;
    TMainThreadGate Gate = nullptr;
    {
        TMainPort& M = MainPort();
        std::lock_guard<std::mutex> G(M.Lock);
        HasPort = M.Port != 0;
        Gate = M.Gate;
    }
    if ((!P.Handled || !Ran) && HasPort && HasSyncHandlers(Kind, PhaseOf(&Target))) {
        P.SyncPass = true;
        bool MainRan = false;
        if (OnMainThread()) {
            // Firing on the main thread itself: its part runs here.
            RunHandlers(P);
            MainRan = true;
        } else if (!Target.Frozen) {
            const bool Opened = Gate && Gate(true);
            if (SendToMain(1, nullptr, HandlersProbeMs) == HandlersAnswer)
                MainRan = SendToMain(0, &P, 0x7FFFFFFE) == HandlersAnswer;
            if (Opened)
                Gate(false);
        }
        if (!MainRan) {
            P.Value2Only = true;
            RunHandlers(P);
        }
    }
    Handled = P.Handled;
}

bool InstallMainThreadHandlers()
{
    if (GetMsgHandlerWindow() == 0)
        return false;
    const std::uint32_t Msg = AddMsgHandler(&MainThreadMessage, 0);
    if (Msg == 0)
        return false;
    TMainPort& P = MainPort();
    std::lock_guard<std::mutex> G(P.Lock);
    P.Port = GetMsgHandlerWindow();
    P.Msg = Msg;
    P.ThreadId = gettid();
    return true;
}

void RemoveMainThreadHandlers()
{
    std::uint32_t Msg = 0;
    pid_t Thread = 0;
    {
        TMainPort& P = MainPort();
        std::lock_guard<std::mutex> G(P.Lock);
        Msg = P.Msg;
        Thread = P.ThreadId;
        P.Port = 0;
        P.Msg = 0;
        P.ThreadId = 0;
    }
    if (Msg != 0)
        DelMsgHandler(&MainThreadMessage, Msg, Thread);
}

void SetMainThreadGate(TMainThreadGate Gate)
{
    TMainPort& P = MainPort();
    std::lock_guard<std::mutex> G(P.Lock);
    P.Gate = Gate;
}

bool FireAssistedAction(std::uint8_t Action, const std::function<bool(std::uint8_t Code)>& Fire,
                        const std::function<TAssistantResult()>& RunAssistant)
{
    if (Fire(Action))
        return true;
    if (Action > acPrint)
        return false;
    if (RunAssistant && RunAssistant() == TAssistantResult::arCancelled)
        return true;
    return Fire(static_cast<std::uint8_t>(Action + 3));
}

std::string AssistantSettingOf(std::uint8_t Action)
{
    switch (Action) {
    case acSend:
        return "SendAssis";
    case acSave:
        return "SaveAssis";
    case acPrint:
        return "PrintAssis";
    default:
        return {};
    }
}

TFireTarget FireTargetOf(IKEException& Exception)
{
    TFireTarget T;
    T.Exception = &Exception;
    T.Phase = [&Exception] { return Exception.GetPhase(); };
    T.CallHandlers = Exception.GetCallHandlers();
    T.Frozen = Exception.GetExceptKind() == TExceptKind::Freeze;
    T.CompleteReport = [&Exception] { Exception.GetBugReport(true); };
    return T;
}
