#include "crashreport/kelExceptHandling.h"

#include "crashlib/kelMapFile.h"
#include "crashlib/kelTools.h"
#include "crashreport/kelExceptActions.h"
#include "crashreport/kelExceptFreeze.h"
#include "crashreport/kelExceptHandlers.h"
#include "crashreport/kelExceptObject.h"
#include "crashreport/kelExceptRestart.h"
#include "crashreport/kelExceptSave.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelExceptTemp.h"
#include "crashreport/kelPrgrAlertLink.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// --- Pieces of the sequence ---------------------------------------------------------

bool IsInstructionBoundary(const TFunctionInfo& Routine, std::uint64_t Address,
                           const TCodeReader& Memory)
{
    for (const TFunctionCall& C : Routine.Calls)
        if (C.Next == Address)
            return true;
    for (const TOpenBranch& B : Routine.OpenBranches)
        if (B.Next == Address)
            return true;
    for (const TCodeArea& A : Routine.CodeAreas) {
        if (A.IsData() || A.End == 0 || Address < A.Start || Address > A.End + 1)
            continue;
        std::uint64_t At = A.Start;
        while (At < Address) {
            const TInstructionInfo I = ParseCode(At, Memory, Routine.Mode);
            if (I.Next <= At)
                return false; // nothing decodable here
            At = I.Next;
        }
        return At == Address;
    }
    return false;
}

namespace {

bool IsSilentAbortObject(const std::exception_ptr* Object)
{
    if (Object == nullptr || !*Object)
        return false;
    const auto Chain = ClassChainOf(*Object);
    return std::find(Chain.begin(), Chain.end(), "ESilentAbort") != Chain.end();
}

} // namespace

void AdjustExceptAddress(const std::exception_ptr* Object, std::uintptr_t& Address)
{
    if (Address == 0 || IsSilentAbortObject(Object))
        return;
    try {
        const std::shared_ptr<TMapFile> Map = FindMapFile(Address);
        if (!Map)
            return;
        const TMfPublic P = Map->FindPublic(Address);
        if (!P.Valid)
            return;
        TFunctionInfo Info;
        ParseFunction(P.Start != 0 ? P.Start : P.Address, Info);
        if (!Info.Valid)
            return;
        const TProcessCodeReader Memory;
        if (!IsInstructionBoundary(Info, Address, Memory) &&
            IsInstructionBoundary(Info, Address + 4, Memory))
            Address += 4;
    } catch (...) {
        // An address that cannot be looked at stays as it is.
    }
}

bool RepeatRuleMet(std::int32_t Value, const std::array<std::int64_t, 10>& Times,
                   std::int64_t NowMs)
{
    if (Value <= 0)
        return false;
    if (Value == 1)
        return true;
    const std::int64_t Since = NowMs - std::int64_t{Value} * 1000;
    return std::all_of(Times.begin(), Times.end(),
                       [Since](std::int64_t T) { return T != 0 && T >= Since; });
}

bool IsSilentAbortRecord(const TExceptionRecord& Record)
{
    return IsSilentAbortObject(reinterpret_cast<const std::exception_ptr*>(Record.Object));
}

TExceptionFacts RecordFacts(const TExceptionRecord& Record)
{
    TExceptionFacts F;
    F.Kind = Record.Kind == ekFreeze         ? TExceptKind::Freeze
             : Record.Kind == ekNotification ? TExceptKind::Notification
                                             : TExceptKind::Exception;
    if (const auto* Object = reinterpret_cast<const std::exception_ptr*>(Record.Object))
        F.Object = *Object;
    if (Record.SigInfo.si_signo != 0) {
        F.ClassChain = {RecordClassName(Record), "EExternal", "KelException", "std::exception"};
        F.Message = RecordMessage(Record);
    } else if (!F.Object && Record.Kind != ekFreeze) {
        F.ClassChain = {"Unknown"};
    }
    F.Address = static_cast<std::uintptr_t>(Record.Address);
    F.ThreadId = static_cast<pid_t>(Record.ThreadId);
    if (Record.Context != 0)
        F.Registers = RegistersFromUcontext(*reinterpret_cast<const ucontext_t*>(Record.Context));
    if (const auto* Raise = reinterpret_cast<const TRaiseInfo*>(Record.RaiseInfo))
        F.ThrowChain.assign(Raise->Frames.begin(),
                            Raise->Frames.begin() +
                                std::min<std::size_t>(Raise->FrameCount, Raise->Frames.size()));
    for (const TInnerException& I : RecordInnerExceptions(Record))
        F.InnerExceptions.push_back({I.ClassName, I.Message});
    F.CanContinue = Record.CanContinue != 0;
    F.Source = static_cast<std::uint8_t>(Record.Source);
    F.CallerValue2 = static_cast<std::uintptr_t>(Record.CallerValue2);
    F.CallerValue3 = static_cast<std::uintptr_t>(Record.CallerValue3);
    return F;
}

// --- The helper program ------------------------------------------------------------------

namespace {

std::mutex HelperLock;
std::shared_ptr<TExceptLink> Helper;
pid_t HelperPid = 0;
bool HelperEnded = false;

std::shared_ptr<IProgressAlert> LinkPleaseWait(std::string_view Title)
{
    const auto Link = HelperLink();
    return Link ? NewLinkProgressAlert(Link, Title, "KEIPLWAIT") : nullptr;
}

TScreenShotTakenFrame LinkScreenShot(bool ApplicationOnly)
{
    TScreenShotTakenFrame None;
    None.Reason = "screenshot: no helper program runs";
    const auto Link = HelperLink();
    if (!Link)
        return None;
    TScreenShotRequestFrame Request{NewRequestNumber(), ApplicationOnly,
                                    static_cast<std::uint32_t>(::getpid())};
    if (!Link->Send(Request))
        return None;
    return AwaitAnswer<TScreenShotTakenFrame>(*Link, Request.Request, std::chrono::seconds(20))
        .value_or(None);
}

} // namespace

void SetHelperLink(std::shared_ptr<TExceptLink> Link, pid_t Pid)
{
    {
        std::lock_guard G(HelperLock);
        Helper = std::move(Link);
        HelperPid = Helper ? Pid : 0;
        HelperEnded = false;
    }
    SetPleaseWaitFactory(HelperLink() ? &LinkPleaseWait : nullptr);
    SetScreenShotRequester(HelperLink() ? &LinkScreenShot : nullptr);
}

std::shared_ptr<TExceptLink> HelperLink()
{
    std::lock_guard G(HelperLock);
    return Helper;
}

bool HelperAlive()
{
    std::lock_guard G(HelperLock);
    if (!Helper || !Helper->IsOpen() || HelperEnded)
        return false;
    if (HelperPid > 0) {
        int Status = 0;
        // The helper is this process's child: an ended one is collected here.
        const pid_t R = ::waitpid(HelperPid, &Status, WNOHANG);
        if (R == HelperPid || (R < 0 && errno == ECHILD && ::kill(HelperPid, 0) != 0)) {
            HelperEnded = true;
            return false;
        }
    }
    return true;
}

// --- Services ------------------------------------------------------------------------------

THandlingServices DefaultHandlingServices()
{
    THandlingServices S;
    S.NowMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    S.HelperRunning = [] { return HelperAlive(); };
    S.ShowBox = [](const TBoxRequest& Request) {
        const auto Link = HelperLink();
        return Link ? ShowBoxOverLink(*Link, Request) : TBoxOutcome{};
    };
    S.Send = [](const std::string& Report, const std::string& Settings, std::uint32_t ScreenShot,
                bool Background) -> std::optional<TSendOutcome> {
        const auto Link = HelperLink();
        if (!Link)
            return std::nullopt;
        return SendViaHelper(*Link, Report, ScreenShot, true, Background, Settings);
    };
    S.Clip = [](const std::string& Report) {
        const auto Link = HelperLink();
        if (!Link)
            return false;
        const TClipRequestFrame Request{NewRequestNumber(), Report};
        if (!Link->Send(Request))
            return false;
        const auto Done = AwaitAnswer<TClipDoneFrame>(*Link, Request.Request, WorkWait);
        return Done && Done->Copied;
    };
    S.Save = [](const std::string& Report, const TIKESettings& Settings, std::string* File) {
        return SaveReportToFile(Report, Settings, {}, File);
    };
    S.Restart = [](const std::vector<std::int64_t>& Times) {
        const auto Link = HelperLink();
        if (!Link)
            return false;
        TRestartRequestFrame Request;
        Request.Request = NewRequestNumber();
        Request.Times = Times;
        if (!Link->Send(Request))
            return false;
        const auto Ready =
            AwaitAnswer<TRestartReadyFrame>(*Link, Request.Request, std::chrono::seconds(10));
        return Ready && Ready->Ready;
    };
    S.Pause = [](bool Pause, pid_t Excluded) { PauseThreads(Pause, Excluded); };
    return S;
}

namespace {

std::mutex ServicesLock;
THandlingServices& ServicesSlot()
{
    static THandlingServices Slot = DefaultHandlingServices();
    return Slot;
}

THandlingServices CurrentServices()
{
    std::lock_guard G(ServicesLock);
    return ServicesSlot();
}

} // namespace

void SetHandlingServices(THandlingServices Services)
{
    std::lock_guard G(ServicesLock);
    ServicesSlot() = std::move(Services);
}

// --- The sequence ------------------------------------------------------------------------------

namespace {

std::atomic<std::uint32_t> ReportNumbers{0};
std::atomic<std::uint64_t> BoxOwner{0};

std::string ReadLink(const char* Path)
{
    char Buffer[PATH_MAX];
    const ssize_t N = ::readlink(Path, Buffer, sizeof Buffer - 1);
    return N > 0 ? std::string(Buffer, static_cast<std::size_t>(N)) : std::string();
}

std::string CommandLine()
{
    std::ifstream In("/proc/self/cmdline", std::ios::binary);
    std::string Raw((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    while (!Raw.empty() && Raw.back() == '\0')
        Raw.pop_back();
    std::replace(Raw.begin(), Raw.end(), '\0', ' ');
    return Raw;
}

// What the box has been told of the report so far, to tell it only changes.
class TReportMirror {
public:
    explicit TReportMirror(IKEExceptionEx& AException) : Exception(AException) {}

    TReportChanges Changes()
    {
        TReportChanges C;
        if (!Exception.GetCreateBugReport())
            return C;
        const auto Header = Exception.GetBugReportHeader();
        for (int I = 0, N = Header ? Header->ItemCount() : 0; I < N; ++I) {
            const std::string Name = Header->GetName(I);
            const std::string Value = Header->GetValue(Name);
            if (auto& Old = Fields[Name]; Old != Value) {
                Old = Value;
                C.Fields.push_back({0, Name, Value});
            }
        }
        const auto Sections = Exception.GetSections();
        const int Threads = Exception.GetListedThreadCount();
        for (int I = 0, N = Sections ? Sections->ItemCount() : 0; I < N; ++I) {
            const std::string Name = Sections->GetName(I);
            const std::string Text = Sections->GetValue(Name);
            if (auto& Old = SectionTexts[Name]; Old != Text) {
                Old = Text;
                C.Sections.push_back({0, I < Threads, Name, Text});
            }
        }
        if (!Completed && Exception.IsReportComplete()) {
            Completed = true;
            C.Complete = Exception.GetBugReport(true, 5000);
        }
        return C;
    }

private:
    IKEExceptionEx& Exception;
    std::map<std::string, std::string> Fields, SectionTexts;
    bool Completed = false;
};

// One report's handling: the record, the object and what was decided.
class THandling {
public:
    THandling(const TExceptionRecord& ARecord, THandlingServices AServices)
        : Record(ARecord), S(std::move(AServices))
    {
    }

    TVerdict Run();

private:
    bool FireAction(std::uint8_t Code)
    {
        bool Handled = false;
        FireHandlers(hkAction, Code, Handled, Target);
        return Handled;
    }
    void FireException(bool& Handled) { FireHandlers(hkException, 0, Handled, Target); }
    std::optional<TBoxVerdict> ShowBox();
    void FinishAutomaticActions();
    TVerdict Decide(std::optional<TBoxVerdict> BoxVerdict);
    TVerdict Restart();
    TVerdict DefaultVerdict() const { return Exception->GetCanContinue() ? vdContinue : vdClose; }

    const TExceptionRecord& Record;
    THandlingServices S;
    std::shared_ptr<IKEExceptionEx> Exception;
    TFireTarget Target;
    bool Helper = false;
    bool Finished = false;
};

TVerdict THandling::Run()
{
    // 1. A clean temporary folder, the address on an instruction.
    ClearExceptTempFolder();
    TExceptionFacts Facts = RecordFacts(Record);
    AdjustExceptAddress(Facts.Object ? &Facts.Object : nullptr, Facts.Address);
    // 2. The exception object with its inner exceptions.
    std::vector<TReportInnerException> Inner = Facts.InnerExceptions;
    Exception = S.Table ? NewExceptionObject(std::move(Facts), S.Table)
                        : NewExceptionObject(std::move(Facts));
    Exception->SetPhase(1);
    Exception->SetInnerExceptions(std::move(Inner));
    Target = FireTargetOf(*Exception);
    Helper = S.HelperRunning && S.HelperRunning();
    bool Handled = false;
    std::optional<TBoxVerdict> BoxVerdict;
    if (Record.Kind == ekNotification) {
        // 3. A notification only tells its handlers.
        FireHandlers(hkNotification, 0, Handled, Target);
        if (Exception->GetCanContinue())
            return vdContinue;
        return Decide(std::nullopt);
    }
    // 3. Remembered, and the first round of handlers.
    std::array<std::int64_t, 10> Times = LastExceptionTimes();
    std::rotate(Times.rbegin(), Times.rbegin() + 1, Times.rend());
    Times[0] = S.NowMs();
    SetLastExceptionTimes(Times);
    Exception->SetPhase(0);
    FireException(Handled);
    Exception->SetPhase(2);
    if (!Handled) {
        // 4. Paused, screenshot and calculation, the second round.
        if (Record.Kind != ekFreeze && Exception->GetBoolSetting("PauseThreads") && S.Pause) {
            S.Pause(true, static_cast<pid_t>(Record.ThreadId));
        }
        if (Exception->GetCreateScreenShot() && Helper)
            Exception->GetScreenShot();
        if (Exception->GetCreateBugReport())
            Exception->GetSections();
        FireException(Handled);
        Exception->SetPhase(3);
        bool Late = false;
        FireException(Late);
        if (!Handled)
            BoxVerdict = ShowBox();
    }
    const TVerdict Verdict = Decide(BoxVerdict);
    // 7. Resumed: also what an earlier report left paused.
    if (S.Pause)
        S.Pause(false, 0);
    return Verdict;
}

std::optional<TBoxVerdict> THandling::ShowBox()
{
    const std::uint8_t ShowCfg = Exception->GetShowCfg();
    if (ShowCfg >= 3 || !Helper || !S.ShowBox) {
        // No box: a caller that gave a buffer gets the report text.
        if (Record.Text != 0 && Record.TextLength > 0) {
            const std::string Text =
                Exception->GetBugReport(true, static_cast<int>(S.ReportWait.count()));
            const std::size_t N = std::min<std::size_t>(Text.size(), Record.TextLength - 1);
            auto* Buffer = reinterpret_cast<char*>(Record.Text);
            std::memcpy(Buffer, Text.data(), N);
            Buffer[N] = '\0';
        }
        return std::nullopt;
    }
    TBoxRequest Request;
    Request.OwnerWindow = BoxOwner.load();
    Request.Beep = true;
    TReportBeginFrame& B = Request.Begin;
    B.Report = ++ReportNumbers;
    B.Kind = static_cast<std::uint8_t>(Record.Kind);
    B.Class = Exception->GetExceptClass();
    B.Message = Exception->GetExceptMessage();
    B.CanContinue = Exception->GetCanContinue();
    B.Source = Exception->GetSource();
    B.Pid = static_cast<std::uint32_t>(::getpid());
    B.Executable = ReadLink("/proc/self/exe");
    B.CommandLine = CommandLine();
    B.Folder = ReadLink("/proc/self/cwd");
    B.ExceptionNumber = B.Report;
    B.Simple = ShowCfg == 1 || ShowCfg == 2;
    B.SimpleDetails = ShowCfg == 2;
    B.Settings = SettingsSnapshot(Exception->EventSettingEntries()).Stream;
    auto Mirror = std::make_shared<TReportMirror>(*Exception);
    Request.Refresh = [Mirror] { return Mirror->Changes(); };
    Request.Target = &Target;
    Request.OnOutput = [this](const TAssistantOutputFrame& O) {
        if (O.OwnSection)
            Exception->GetSections()->SetValue(O.Name, O.Text);
        else
            Exception->GetBugReportHeader()->SetValue(O.Name, O.Text);
    };
    const TBoxOutcome Outcome = S.ShowBox(Request);
    for (const TSettingChangedFrame& C : Outcome.Settings)
        if (C.Name == "MailFrom")
            Exception->SetTextSetting("MailFrom", C.Value);
    if (Outcome.AttachScreenShot)
        Exception->SetAttachScreenShot(*Outcome.AttachScreenShot);
    if (Outcome.DisplayMode && Exception->GetCreateBugReport()) {
        // The display is the helper's to know: the header gets it now, in
        // its place before the process id.
        const TDisplayModeFrame& D = *Outcome.DisplayMode;
        const std::string Mode = std::to_string(D.Width) + "x" + std::to_string(D.Height) + ", " +
                                 std::to_string(D.Bits) + " bit";
        const auto Header = Exception->GetBugReportHeader();
        if (Header->IndexOf("display mode") >= 0) {
            Header->SetValue("display mode", Mode);
        } else {
            const int Before = Header->IndexOf("process id");
            Header->Insert(Before >= 0 ? Before : Header->ItemCount(), "display mode", Mode);
        }
    }
    if (!Outcome.Verdict && !S.HelperRunning())
        Helper = false; // the link broke: on as without a helper
    return Outcome.Verdict;
}

void THandling::FinishAutomaticActions()
{
    if (Finished)
        return;
    Finished = true;
    const bool AutoSend = Exception->GetBoolSetting("AutoSend") && Helper;
    const bool AutoClip = Exception->GetBoolSetting("AutoClip") && Helper;
    // Without a helper the report is saved in any case: nothing else keeps it.
    const bool AutoSave = Exception->GetBoolSetting("AutoSave") || !Helper;
    if (!AutoSend && !AutoClip && !AutoSave)
        return;
    const std::string Report =
        Exception->GetBugReport(true, static_cast<int>(S.ReportWait.count()));
    bool Sent = false;
    if (AutoSend && !FireAction(acSend)) {
        std::uint32_t ScreenShot = 0;
        if (Exception->GetAttachScreenShot())
            if (const auto Shot = Exception->GetScreenShot(); Shot && Shot->Taken)
                ScreenShot = Shot->Request;
        const auto Outcome =
            S.Send(Report, SettingsSnapshot(Exception->EventSettingEntries()).Stream, ScreenShot,
                   Exception->GetBoolSetting("SendInBackgr"));
        Sent = Outcome && (*Outcome == soSent || *Outcome == soInBackground);
        if (Sent)
            FireAction(acSent);
    }
    if (AutoClip && S.Clip)
        S.Clip(Report);
    if (AutoSave && !(Sent && Exception->GetBoolSetting("AutoSaveIfNotSent")) &&
        !FireAction(acSave)) {
        std::string File;
        // The object is a settings object of its own: the event's settings save it.
        const auto* Settings = dynamic_cast<const TIKESettings*>(Exception.get());
        const bool Saved = S.Save && Settings != nullptr && S.Save(Report, *Settings, &File);
        if (Saved)
            FireAction(acSaved);
        if (!Helper) {
            if (Saved)
                std::fprintf(stderr, "kelExcept: %s: the bug report is saved in %s\n",
                             Exception->GetExceptClass().c_str(), File.c_str());
            else
                std::fprintf(stderr, "kelExcept: %s: the bug report could not be saved\n",
                             Exception->GetExceptClass().c_str());
        }
    }
}

TVerdict THandling::Restart()
{
    std::vector<std::int64_t> Times;
    for (const std::int64_t T : LastExceptionTimes())
        Times.push_back(T);
    FinishAutomaticActions();
    if (Helper && S.Restart && S.Restart(Times))
        return vdRestart;
    // Nobody starts the program again: it goes on when it can, else it closes.
    return DefaultVerdict();
}

TVerdict THandling::Decide(std::optional<TBoxVerdict> BoxVerdict)
{
    const bool CanContinue = Exception->GetCanContinue();
    if (BoxVerdict) {
        // The user decided; a handler that claims the action keeps it from
        // being done (a program that cannot go on closes all the same).
        switch (*BoxVerdict) {
        case bvContinue:
            if (!CanContinue)
                break;
            FireAction(acContinue);
            FinishAutomaticActions();
            return vdContinue;
        case bvRestart:
            if (FireAction(acRestart)) {
                FinishAutomaticActions();
                return DefaultVerdict();
            }
            return Restart();
        case bvClose:
            if (FireAction(acClose) && CanContinue) {
                FinishAutomaticActions();
                return vdContinue;
            }
            FinishAutomaticActions();
            return vdClose;
        }
    }
    const std::array<std::int64_t, 10> Times = LastExceptionTimes();
    const std::int64_t Now = S.NowMs();
    const bool CloseMet = RepeatRuleMet(Exception->GetIntSetting("AutoClose"), Times, Now);
    const bool RestartMet =
        Helper && RepeatRuleMet(Exception->GetIntSetting("AutoRestart"), Times, Now);
    if (CloseMet || (!CanContinue && !RestartMet)) {
        const bool Kept = FireAction(acClose);
        FinishAutomaticActions();
        return Kept && CanContinue ? vdContinue : vdClose;
    }
    if (RestartMet) {
        if (FireAction(acRestart)) {
            FinishAutomaticActions();
            return DefaultVerdict();
        }
        return Restart();
    }
    FireAction(acContinue);
    FinishAutomaticActions();
    return vdContinue;
}

} // namespace

namespace {
std::atomic<int> ReportsInProgress{0};
} // namespace

TVerdict HandleExceptionFully(const TExceptionRecord& Record)
{
    if (IsSilentAbortRecord(Record))
        return Record.CanContinue ? vdContinue : vdClose;
    // Tests of the helper's watch make the handling hang here.
    if (const char* Stall = std::getenv(HandlingStallVariable))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(Stall)));
    ++ReportsInProgress;
    struct TDone {
        ~TDone() { --ReportsInProgress; }
    } Done;
    THandling Handling(Record, CurrentServices());
    return Handling.Run();
}

void InstallExceptionHandling()
{
    SetHandleExceptionRecord(&HandleExceptionFully);
}

// --- Starting the helper ---------------------------------------------------------------------

namespace {

std::atomic<bool> HelperStartDone{false};

// Main thread, from its port.
void OnHelperStart(HMsgPort, uint32_t, uintptr_t, intptr_t& Result, intptr_t)
{
    Result = 0;
    if (HelperStartDone.exchange(true))
        return;
    // A process in the middle of a report is no process to start from.
    if (ReportsInProgress.load() > 0 || InstalledHandleExceptionRecord() != &HandleExceptionFully)
        return;
    StartHelperProgram();
}

} // namespace

void ArmHelperStart()
{
    const HMsgPort Port = GetMsgHandlerWindow();
    if (Port == 0)
        return;
    if (const uint32_t Msg = AddMsgHandler(&OnHelperStart); Msg != 0)
        PostMsg(Port, Msg);
}

bool StartHelperProgram()
{
    if (HelperLink())
        return true;
    const std::string Program = HelperProgramPath();
    if (Program.empty() || ::access(Program.c_str(), X_OK) != 0)
        return false;
    int Fds[2], Words[2];
    if (!CreateLinkPair(Fds))
        return false;
    if (!CreateLinkPair(Words)) {
        ::close(Fds[0]);
        ::close(Fds[1]);
        return false;
    }
    const pid_t Pid = StartHelperProcess(Program, Fds[1], Words[1]);
    ::close(Fds[1]);
    ::close(Words[1]);
    if (Pid < 0) {
        ::close(Fds[0]);
        ::close(Words[0]);
        return false;
    }
    // Only a fatal-signal handler writes there, never the link's writers.
    SetLastWordsDescriptor(Words[0]);
    auto Link = std::make_shared<TExceptLink>(Fds[0]);
    // A helper that does not take a frame within a second is no helper.
    Link->SendTimeout = std::chrono::milliseconds(1000);
    const bool Greeted = Link->Send(THelloFrame{LinkVersion, static_cast<std::uint32_t>(::getpid()),
                                                ReadLink("/proc/self/exe")});
    if (const auto Table = AcquireModuleSettings(0); Greeted && Table)
        Link->Send(SettingsSnapshot(*Table));
    Link->SendTimeout = std::chrono::milliseconds(10000);
    SetHelperLink(std::move(Link), Pid);
    return Greeted;
}

void SetBoxOwnerWindow(std::uint64_t Window)
{
    BoxOwner.store(Window);
}

void StopHelperProgram()
{
    SetLastWordsDescriptor(-1);
    if (const auto Link = HelperLink())
        Link->Close();
    SetHelperLink(nullptr, 0);
}
