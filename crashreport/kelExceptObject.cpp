#include "crashreport/kelExceptObject.h"

#include "crashlib/kelStrings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <map>
#include <thread>
#include <unistd.h>

IKEException::~IKEException() = default;
IKEExceptionEx::~IKEExceptionEx() = default;

namespace {

std::atomic<TPleaseWaitFactory> PleaseWaitFactory{nullptr};
std::atomic<TScreenShotRequester> ScreenShotRequester{nullptr};
std::atomic<int> CalcWaitLimitMs{5000};
std::atomic<int> ExceptionCount{0};

// The callback lists of every exception object are guarded by one lock.
std::mutex& CallbacksLock()
{
    static std::mutex Lock;
    return Lock;
}

std::string Demangled(const char* Name)
{
    int Status = 0;
    char* Text = abi::__cxa_demangle(Name, nullptr, nullptr, &Status);
    std::string Result = Status == 0 && Text != nullptr ? Text : Name;
    std::free(Text);
    return Result;
}

void AddClassChain(const std::type_info* Type, std::vector<std::string>& Chain)
{
    if (Type == nullptr)
        return;
    const std::string Name = Demangled(Type->name());
    if (std::find(Chain.begin(), Chain.end(), Name) != Chain.end())
        return;
    Chain.push_back(Name);
    // The bases through the C++ runtime's class type information: one base,
    // or any number with virtual and multiple inheritance.
    if (const auto* Single = dynamic_cast<const abi::__si_class_type_info*>(Type)) {
        AddClassChain(Single->__base_type, Chain);
    } else if (const auto* Multi = dynamic_cast<const abi::__vmi_class_type_info*>(Type)) {
        for (unsigned I = 0; I < Multi->__base_count; ++I)
            AddClassChain(Multi->__base_info[I].__base_type, Chain);
    }
}

// What the calculation thread fills in, each section in turn.
struct TJob {
    enum TKind { jkThread, jkPlugin, jkRegisters, jkStackDump, jkDisassembly } Kind = jkThread;
    std::string Title;
    std::size_t Thread = 0;
    TBugReportPlugin Plugin;
};

// The settings the calculation reads, taken when the sections are laid out.
struct TSwitches {
    bool ShowRelAddrs = true, ShowRelLines = true, HideUglyItems = false, FormatDisAsm = false;
    int LimitDisAsm = 5;
};

} // namespace

// Everything the calculation reads and writes. The exception object and its
// calculation thread share it, so that a thread that outlives the object
// still owns what it works on.
struct TReportCalc {
    TExceptionFacts Facts;
    TSwitches Switches;
    std::shared_ptr<IKEFieldsEx> Header, Sections;
    std::vector<TReportThread> Threads;
    std::vector<TJob> Jobs;
    std::atomic<bool> Terminate{false};
    std::atomic<bool> Complete{false};
    std::atomic<int> Progress{0};
    std::atomic<pid_t> ThreadId{0};

    std::mutex Lock; // guards what follows
    std::condition_variable Finished;
    bool Done = false;
    std::vector<TStackTrace> Stacks;
    std::array<std::uint32_t, 3> Crcs{};

    void Run();
};

void TReportCalc::Run()
{
    ThreadId = static_cast<pid_t>(gettid());
    {
        std::lock_guard G(Lock);
        Stacks.assign(Threads.size(), {});
    }
    const TStackTrace* EventStack = nullptr;
    std::size_t Index = 0;
    for (const TJob& Job : Jobs) {
        if (Terminate)
            break;
        std::string Text;
        switch (Job.Kind) {
        case TJob::jkThread: {
            TStackTrace Trace;
            Text = ThreadSectionText(Threads[Job.Thread], Facts, Switches.ShowRelAddrs,
                                     Switches.ShowRelLines, Switches.HideUglyItems, Trace);
            std::lock_guard G(Lock);
            Stacks[Job.Thread] = std::move(Trace);
            break;
        }
        case TJob::jkPlugin:
            Text = RunBugReportPlugin(Job.Plugin).value_or(std::string());
            break;
        case TJob::jkRegisters:
            Text = CpuRegistersText(*Facts.Registers);
            break;
        case TJob::jkStackDump:
            Text = StackDumpText(Facts.Registers->Rsp, Facts.StackLow, Facts.StackHigh);
            break;
        case TJob::jkDisassembly:
            Text = DisassemblyText(Facts.Address, 0, Switches.FormatDisAsm, Switches.LimitDisAsm);
            break;
        }
        // A section that has nothing to say goes (a failed plugin, no listing).
        Sections->SetValue(Job.Title, Text);
        Progress = static_cast<int>(++Index * 1000 / Jobs.size());
    }
    if (!Terminate) {
        std::vector<TStackTrace> Listed;
        {
            std::lock_guard G(Lock);
            for (std::size_t I = 0; I < Threads.size(); ++I) {
                if (Threads[I].InnerLevel > 0)
                    continue;
                if (Threads[I].ExceptionThread)
                    EventStack = &Stacks[I];
                Listed.push_back(Stacks[I]);
            }
            Crcs = CallstackCrcs(EventStack, Listed);
        }
        Complete = true;
        Header->SetValue("callstack crc", CallstackCrcText(Crcs));
    }
    Progress = 1000;
    {
        std::lock_guard G(Lock);
        Done = true;
    }
    Finished.notify_all();
}

namespace {

class TIKEException final : public TIKESettings,
                            public IKEExceptionEx,
                            public IKEFieldsOwnerReport {
public:
    TIKEException(TExceptionFacts AFacts, std::shared_ptr<TModuleSettings> ATable)
        : TIKESettings(0, ATable), Facts(std::move(AFacts)), Calc(std::make_shared<TReportCalc>())
    {
        SourceTable = std::move(ATable);
        if (Facts.ThreadId == 0)
            Facts.ThreadId = static_cast<pid_t>(gettid());
        CanContinue = Facts.CanContinue;
        CanContinueAllowed = Facts.CanContinue;
        Created = std::chrono::system_clock::now();
        Number = ++ExceptionCount;
        Calc->Facts = Facts;
        ApplyClassGroup();
    }

    ~TIKEException() override
    {
        Calc->Terminate = true;
        if (CalcThread.joinable()) {
            if (CalcThread.get_id() == std::this_thread::get_id()) {
                // The calculation itself let go of the last reference.
                CalcThread.detach();
            } else {
                std::unique_lock G(Calc->Lock);
                const bool Ended =
                    Calc->Finished.wait_for(G, std::chrono::milliseconds(CalcWaitLimitMs.load()),
                                            [&] { return Calc->Done; });
                G.unlock();
                if (Ended) {
                    CalcThread.join();
                } else {
                    CalcThread.detach();
                    std::fprintf(stderr,
                                 "kelExcept: the bug report's calculation did not end within "
                                 "%d ms; it is left to end on its own\n",
                                 CalcWaitLimitMs.load());
                }
            }
        }
        if (Calc->Header)
            Calc->Header->ClearOwnerReport();
        if (Calc->Sections)
            Calc->Sections->ClearOwnerReport();
    }

    // --- Settings of this event ----------------------------------------------------

    bool GetBoolSetting(TBoolKey Key) const override
    {
        if (auto E = Overlaid(Key.Name))
            return E->Kind == skBool ? E->Bool : TIKESettings::GetBoolSetting(Key);
        return TIKESettings::GetBoolSetting(Key);
    }
    std::int32_t GetIntSetting(TIntKey Key) const override
    {
        if (auto E = Overlaid(Key.Name); E && E->Kind == skInt)
            return E->Int;
        return TIKESettings::GetIntSetting(Key);
    }
    std::string GetTextSetting(TTextKey Key) const override
    {
        auto E = Overlaid(Key.Name);
        if (!E || E->Kind != skText)
            return TIKESettings::GetTextSetting(Key);
        if (SameSettingName(Key.Name, "FrozenMsg") || FindPasswordKey(Key.Name) != nullptr)
            return E->Text;
        return ExpandPlaceholders(E->Text, Module(), PlaceholderTexts());
    }
    bool SetBoolSetting(TBoolKey Key, bool Value) override
    {
        return Overlay(Key.Name, skBool, Value, 0, {});
    }
    bool SetIntSetting(TIntKey Key, std::int32_t Value) override
    {
        return Overlay(Key.Name, skInt, false, Value, {});
    }
    bool SetTextSetting(TTextKey Key, std::string_view Value) override
    {
        return Overlay(Key.Name, skText, false, 0, Value);
    }
    void SetPluginEnabled(std::string_view Name, bool Enabled) override
    {
        if (Name.empty())
            return;
        std::string Old;
        if (auto E = Overlaid("Plugins"); E && E->Kind == skText)
            Old = E->Text;
        else
            Old = GetRawTextSetting("Plugins");
        if (ListContainsTextW(Utf8ToWide(Old), Utf8ToWide(Name), u'|') == Enabled)
            return;
        std::string List;
        if (Enabled) {
            List = Old.empty() ? std::string(Name) : Old + "|" + std::string(Name);
        } else {
            List = "|" + Old + "|";
            ReplaceTextA(List, "|" + std::string(Name) + "|", "|", true);
            List = List.size() <= 2 ? std::string() : List.substr(1, List.size() - 2);
        }
        Overlay("Plugins", skText, false, 0, List);
    }

    // --- Facts --------------------------------------------------------------------

    std::uint8_t GetPhase() const override { return Phase; }
    void SetPhase(std::uint8_t APhase) override
    {
        Phase = APhase == 3 && Calc->Complete ? 4 : APhase;
    }
    bool GetCanContinue() const override { return CanContinue; }
    void SetCanContinue(bool Value) override
    {
        if (!Value || CanContinueAllowed)
            CanContinue = Value;
    }
    TExceptKind GetExceptKind() const override { return Facts.Kind; }
    std::exception_ptr GetExceptObject() const override { return Facts.Object; }
    std::string GetExceptClass() override
    {
        std::lock_guard G(TextsLock);
        return ClassChain().empty() ? std::string("Unknown") : ClassChain().front();
    }
    std::string GetExceptMessage() override
    {
        std::lock_guard G(TextsLock);
        if (!Message) {
            if (Facts.Kind == TExceptKind::Freeze)
                Message = GetTextSetting("FrozenMsg");
            else if (Facts.Object)
                Message = CleanExceptionMessage(MessageOf(Facts.Object));
            else
                Message = CleanExceptionMessage(
                    !Facts.Message.empty()
                        ? Facts.Message
                        : (ClassChain().empty() ? std::string() : ClassChain().front()));
        }
        return *Message;
    }
    void SetExceptMessage(std::string_view Value) override
    {
        std::lock_guard G(TextsLock);
        Message = std::string(Value);
    }
    std::uintptr_t GetExceptAddr() const override { return Facts.Address; }
    pid_t GetCrashedThreadId() const override { return Facts.ThreadId; }
    int GetListedThreadCount() override
    {
        std::lock_guard G(Calc->Lock);
        return static_cast<int>(Calc->Threads.size());
    }
    pid_t GetListedThreadId(int Index) override
    {
        std::lock_guard G(Calc->Lock);
        return Index >= 0 && static_cast<std::size_t>(Index) < Calc->Threads.size()
                   ? Calc->Threads[static_cast<std::size_t>(Index)].ThreadId
                   : 0;
    }
    TStackTrace GetListedThreadStack(int Index) override
    {
        std::lock_guard G(Calc->Lock);
        return Index >= 0 && static_cast<std::size_t>(Index) < Calc->Stacks.size()
                   ? Calc->Stacks[static_cast<std::size_t>(Index)]
                   : TStackTrace();
    }
    std::uint32_t GetCallstackCrc(int Index) override
    {
        std::lock_guard G(Calc->Lock);
        return Index >= 0 && Index < 3 ? Calc->Crcs[static_cast<std::size_t>(Index)] : 0;
    }
    const TCpuRegisters* GetContext() const override
    {
        return Facts.Registers ? &*Facts.Registers : nullptr;
    }
    std::uint8_t GetSource() const override { return Facts.Source; }
    std::uintptr_t GetCallerValue2() const override { return Facts.CallerValue2; }
    std::uintptr_t GetCallerValue3() const override { return Facts.CallerValue3; }

    // --- The report ---------------------------------------------------------------

    std::shared_ptr<IKEFields> GetBugReportHeader() override
    {
        std::lock_guard G(LayoutLock);
        return MakeHeader();
    }

    std::shared_ptr<IKEFields> GetSections() override
    {
        std::unique_lock G(LayoutLock);
        LayOut();
        if (Laid && !Facts.Deferred)
            StartCalculation();
        return Calc->Sections;
    }

    std::string GetFullBugReport() override { return GetBugReport(true, -1); }

    void SetBugReport(std::string_view Text) override
    {
        {
            std::lock_guard G(ReportLock);
            Cache = std::string(Text);
            HasCache = true;
            ++Counter;
        }
        CallCallbacks(std::string(Text));
    }

    std::string GetBugReport(bool Wait, int TimeoutMs) override
    {
        if (!GetCreateBugReport()) {
            std::lock_guard G(ReportLock);
            return Cache;
        }
        {
            std::lock_guard G(ReportLock);
            if (HasCache && !(Wait && !Calc->Complete))
                return Cache;
        }
        GetSections();
        if (Wait)
            WaitForCalculation(TimeoutMs);
        std::uint64_t Seen = 0;
        {
            std::lock_guard G(ReportLock);
            Seen = Counter;
        }
        std::string Text = ComposeText();
        std::lock_guard G(ReportLock);
        if (Counter == Seen) {
            Cache = Text;
            HasCache = true;
        }
        return Text;
    }

    std::optional<TScreenShotTakenFrame> GetScreenShot() override
    {
        std::lock_guard G(ScreenShotLock);
        if (!ScreenShot && CreateScreenShot) {
            const TScreenShotRequester Requester = ScreenShotRequester.load();
            TScreenShotTakenFrame Taken;
            if (Requester != nullptr)
                Taken = Requester(GetBoolSetting("ScrShotAppOnly"));
            if (Taken.Taken)
                ScreenShot = Taken;
            else
                CreateScreenShot = false;
        }
        return ScreenShot;
    }
    void SetScreenShot(std::optional<TScreenShotTakenFrame> Value) override
    {
        std::lock_guard G(ScreenShotLock);
        ScreenShot = std::move(Value);
    }

    void BeginUpdate() override { ++LockCount; }
    void EndUpdate() override
    {
        if (--LockCount == 0 && ChangePending.exchange(false))
            ReportChanged();
    }

    void RegisterCallback(TBugReportCallback Callback, bool Flag) override
    {
        AddCallback({Callback, nullptr, nullptr, Flag});
    }
    void RegisterCallback(TBugReportCallbackMethod Method, void* Instance, bool Flag) override
    {
        AddCallback({nullptr, Method, Instance, Flag});
    }
    void UnregisterCallback(TBugReportCallback Callback) override
    {
        RemoveCallback({Callback, nullptr, nullptr, false});
    }
    void UnregisterCallback(TBugReportCallbackMethod Method, void* Instance) override
    {
        RemoveCallback({nullptr, Method, Instance, false});
    }

    // --- Switches -------------------------------------------------------------------

    bool GetCreateBugReport() const override { return CreateBugReport; }
    void SetCreateBugReport(bool Value) override { CreateBugReport = Value; }
    bool GetCreateScreenShot() const override { return CreateScreenShot; }
    void SetCreateScreenShot(bool Value) override { CreateScreenShot = Value; }
    bool GetCallHandlers() const override { return CallHandlers; }
    void SetCallHandlers(bool Value) override { CallHandlers = Value; }
    bool GetAttachScreenShot() const override { return AttachScreenShot; }
    void SetAttachScreenShot(bool Value) override { AttachScreenShot = Value; }
    std::uint8_t GetShowCfg() const override { return ShowCfg; }
    void SetShowCfg(std::uint8_t Value) override { ShowCfg = Value; }
    std::string GetAssistant() const override
    {
        std::lock_guard G(TextsLock);
        return Assistant;
    }
    void SetAssistant(std::string_view Value) override
    {
        std::lock_guard G(TextsLock);
        Assistant = std::string(Value);
    }

    // --- Ex --------------------------------------------------------------------------

    bool IsReportComplete() const override { return Calc->Complete; }
    std::vector<TSettingEntry> EventSettingEntries() const override
    {
        std::vector<TSettingEntry> Entries;
        if (SourceTable)
            Entries = SourceTable->Entries();
        std::lock_guard G(OverlayLock);
        for (const auto& Override : Overrides) {
            const std::string& Upper = Override.first;
            const auto It =
                std::find_if(Entries.begin(), Entries.end(),
                             [&](const TSettingEntry& E) { return UpStrA(E.Name) == Upper; });
            if (It == Entries.end())
                Entries.push_back(Override.second);
            else
                *It = Override.second;
        }
        return Entries;
    }
    bool HasCallbacks() override
    {
        std::lock_guard G(CallbacksLock());
        return std::any_of(Callbacks.begin(), Callbacks.end(),
                           [](const TCallback& C) { return C.Flag; });
    }
    pid_t GetCalcThreadId() const override
    {
        std::lock_guard G(Calc->Lock);
        return Calc->Done ? 0 : Calc->ThreadId.load();
    }
    bool GetExFlag(int Index) const override
    {
        return Index >= 0 && Index < 2 && ExFlags[static_cast<std::size_t>(Index)];
    }
    void SetExFlag(int Index, bool Value) override
    {
        if (Index >= 0 && Index < 2)
            ExFlags[static_cast<std::size_t>(Index)] = Value;
    }
    bool FirstTime(int Index) override
    {
        return Index >= 0 && Index < 2 && ++FirstTimes[static_cast<std::size_t>(Index)] == 0;
    }
    void SetInnerExceptions(std::vector<TReportInnerException> Inner) override
    {
        std::lock_guard G(LayoutLock);
        if (!Laid)
            Facts.InnerExceptions = Calc->Facts.InnerExceptions = std::move(Inner);
    }

    // --- The lists' owner ------------------------------------------------------------

    void LockReport() override { BeginUpdate(); }
    void UnlockReport() override { EndUpdate(); }
    void FieldsChanged() override
    {
        if (LockCount > 0)
            ChangePending = true;
        else
            ReportChanged();
    }

protected:
    TPlaceholderTexts PlaceholderTexts() const override
    {
        TPlaceholderTexts T;
        std::lock_guard G(TextsLock);
        if (!ClassChainCache.empty())
            T.ExceptClass = ClassChainCache.front();
        if (Message)
            T.ExceptMsg = *Message;
        return T;
    }
    bool ScreenshotSwitchOff() const override { return !CreateScreenShot; }

private:
    struct TCallback {
        TBugReportCallback Proc = nullptr;
        TBugReportCallbackMethod Method = nullptr;
        void* Instance = nullptr;
        bool Flag = false;
        bool Same(const TCallback& O) const
        {
            return Proc == O.Proc && Method == O.Method && Instance == O.Instance;
        }
    };

    std::shared_ptr<TIKEException> Self()
    {
        return std::static_pointer_cast<TIKEException>(
            std::shared_ptr<TIKESettings>(shared_from_this()));
    }

    // The class chain, computed once (under TextsLock).
    const std::vector<std::string>& ClassChain()
    {
        if (!ChainDone) {
            if (Facts.Kind == TExceptKind::Freeze)
                ClassChainCache = {"EFrozen"};
            else if (Facts.Object)
                ClassChainCache = ClassChainOf(Facts.Object);
            else
                ClassChainCache = Facts.ClassChain;
            ChainDone = true;
        }
        return ClassChainCache;
    }

    void ApplyClassGroup()
    {
        std::vector<std::string> Chain;
        {
            std::lock_guard G(TextsLock);
            Chain = ClassChain();
        }
        struct TGroup {
            TBoolKey NoBugRep, NoScrShot, NoHandlers, NoSuspend;
            TIntKey ShowCfg;
            TTextKey Assis;
        };
        const TGroup F1{"F1NoBugRep",  "F1NoScrShot", "F1NoHandlers",
                        "F1NoSuspend", "F1ShowCfg",   "F1Assis"};
        const TGroup F2{"F2NoBugRep",  "F2NoScrShot", "F2NoHandlers",
                        "F2NoSuspend", "F2ShowCfg",   "F2Assis"};
        const TGroup Gn{"GnNoBugRep",  "GnNoScrShot", "GnNoHandlers",
                        "GnNoSuspend", "GnShowCfg",   "GnAssis"};
        const TGroup& Group = ClassListMatches(GetTextSetting("F1Classes"), Chain)   ? F1
                              : ClassListMatches(GetTextSetting("F2Classes"), Chain) ? F2
                                                                                     : Gn;
        CreateBugReport = !GetBoolSetting(Group.NoBugRep);
        CreateScreenShot = !GetBoolSetting(Group.NoScrShot) && GetIntSetting("ScrShotDepth") > 0;
        AttachScreenShot = CreateScreenShot.load();
        SetBoolSetting("PauseThreads",
                       !GetBoolSetting(Group.NoSuspend) && GetBoolSetting("PauseThreads"));
        CallHandlers = !GetBoolSetting(Group.NoHandlers);
        ShowCfg = static_cast<std::uint8_t>(GetIntSetting(Group.ShowCfg));
        Assistant = GetTextSetting(Group.Assis);
    }

    std::optional<TSettingEntry> Overlaid(std::string_view Name) const
    {
        std::lock_guard G(OverlayLock);
        const auto It = Overrides.find(UpStrA(Name));
        return It == Overrides.end() ? std::nullopt : std::optional(It->second);
    }

    bool Overlay(std::string_view Name, TSettingKind Kind, bool Bool, std::int32_t Int,
                 std::string_view Text)
    {
        if (const TSettingDefault* D = FindSettingDefault(Name); D != nullptr && D->Kind != Kind)
            return false;
        TSettingEntry E;
        E.Name = Name;
        E.Kind = Kind;
        E.Bool = Bool;
        E.Int = Int;
        E.Text = Text;
        std::lock_guard G(OverlayLock);
        Overrides[UpStrA(Name)] = std::move(E);
        return true;
    }

    // Under LayoutLock.
    std::shared_ptr<IKEFields> MakeHeader()
    {
        if (Calc->Header)
            return Calc->Header;
        auto Header = NewFields(std::weak_ptr<IKEFieldsOwnerReport>(Self()));
        TExceptionHeader E;
        E.Time = Created;
        E.ExceptionNumber = Number;
        E.ExceptionClass = GetExceptClass();
        E.ExceptionMessage = GetExceptMessage();
        if (Calc->Complete)
            E.CallstackCrc = CallstackCrcText(Calc->Crcs);
        const TReportItems Items = MakeHeaderFields(GatherSystemFacts(*this), E, *this);
        Header->Lock();
        for (const auto& [Name, Value] : Items)
            Header->Insert(Header->ItemCount(), Name, Value);
        Header->Unlock();
        Calc->Header = Header;
        return Header;
    }

    // Under LayoutLock: the header, the sections with their placeholders and
    // the jobs that fill them, once.
    void LayOut()
    {
        if (!Calc->Sections)
            Calc->Sections = NewFields(std::weak_ptr<IKEFieldsOwnerReport>(Self()));
        if (Laid || !GetCreateBugReport())
            return;
        MakeHeader();
        TSwitches& S = Calc->Switches;
        S.ShowRelAddrs = GetBoolSetting("ShowRelAddrs");
        S.ShowRelLines = GetBoolSetting("ShowRelLines");
        S.HideUglyItems = GetBoolSetting("HideUglyItems");
        S.FormatDisAsm = GetBoolSetting("FormatDisAsm");
        S.LimitDisAsm = GetIntSetting("LimitDisAsm");
        const bool ListThreads = GetBoolSetting("ListThreads");
        std::vector<TReportThread> Threads;
        if (ListThreads || !Facts.NoExceptionThread)
            // The calculation's own thread does not exist yet, so it is not listed.
            Threads = CollectReportThreads(Facts, ListThreads, S.ShowRelAddrs, S.ShowRelLines, 0);
        std::vector<TJob> Jobs;
        for (std::size_t I = 0; I < Threads.size(); ++I) {
            TJob J;
            J.Kind = TJob::jkThread;
            J.Title = Threads[I].Title;
            J.Thread = I;
            Jobs.push_back(std::move(J));
        }
        const bool Context = Facts.Registers.has_value();
        auto AddJob = [&](TJob::TKind Kind, std::string Title) {
            TJob J;
            J.Kind = Kind;
            J.Title = std::move(Title);
            Jobs.push_back(std::move(J));
        };
        if (GetBoolSetting("CpuRegs") && Context)
            AddJob(TJob::jkRegisters, "cpu registers");
        if (GetBoolSetting("StackDump") && Context)
            AddJob(TJob::jkStackDump, "stack dump");
        if (GetBoolSetting("ShowDisAsm") && DisassemblerLinked() && Facts.Address != 0)
            AddJob(TJob::jkDisassembly, "disassembling");
        for (auto& P : SelectBugReportPlugins(*this, true)) {
            TJob J;
            J.Kind = TJob::jkPlugin;
            J.Title = P.Name;
            J.Plugin = std::move(P);
            Jobs.push_back(std::move(J));
        }
        {
            std::lock_guard G(Calc->Lock);
            Calc->Threads = std::move(Threads);
        }
        Calc->Jobs = std::move(Jobs);
        auto& Sections = *Calc->Sections;
        Sections.Lock();
        for (const TJob& J : Calc->Jobs)
            Sections.Insert(Sections.ItemCount(), J.Title, SectionPlaceholderText);
        Sections.Unlock();
        Laid = true;
    }

    // Under LayoutLock.
    void StartCalculation()
    {
        if (Started)
            return;
        Started = true;
        CalcThread = std::thread([Calc = Calc] { Calc->Run(); });
    }

    void WaitForCalculation(int TimeoutMs)
    {
        bool RunHere = false;
        {
            std::lock_guard G(LayoutLock);
            if (Laid && !Started) {
                // A deferred calculation runs now, on the thread that waits.
                Started = true;
                RunHere = true;
            }
        }
        std::shared_ptr<IProgressAlert> Box;
        if (!Calc->Complete && GetBoolSetting("PlWaitBox"))
            if (const TPleaseWaitFactory Factory = PleaseWaitFactory.load())
                Box = Factory(GetTextSetting("PlWaitTitle"));
        if (Box) {
            Box->AddArea(GetTextSetting("PlWaitText"), 1);
            Box->Show(true);
        }
        if (RunHere) {
            Calc->Run();
        } else if (Started) {
            const auto Until = std::chrono::steady_clock::now() +
                               std::chrono::milliseconds(TimeoutMs < 0 ? 0 : TimeoutMs);
            std::unique_lock G(Calc->Lock);
            while (!Calc->Done) {
                auto Step = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
                if (TimeoutMs >= 0)
                    Step = std::min(Step, Until);
                Calc->Finished.wait_until(G, Step);
                if (TimeoutMs >= 0 && std::chrono::steady_clock::now() >= Until)
                    break;
                if (Box) {
                    G.unlock();
                    Box->SetPosition(Calc->Progress);
                    G.lock();
                }
            }
        }
        if (Box)
            Box->Close();
    }

    TReportItems Items(IKEFields& List)
    {
        TReportItems Items;
        List.Lock();
        for (int I = 0, N = List.ItemCount(); I < N; ++I) {
            std::string Name = List.GetName(I);
            std::string Value = List.GetValue(Name);
            Items.emplace_back(std::move(Name), std::move(Value));
        }
        List.Unlock();
        return Items;
    }

    std::string ComposeText()
    {
        std::shared_ptr<IKEFieldsEx> Header, Sections;
        {
            std::lock_guard G(LayoutLock);
            Header = Calc->Header;
            Sections = Calc->Sections;
        }
        return ComposeBugReport(Header ? Items(*Header) : TReportItems(),
                                Sections ? Items(*Sections) : TReportItems());
    }

    void ReportChanged()
    {
        {
            std::lock_guard G(ReportLock);
            ++Counter;
            Cache.clear();
            HasCache = false;
        }
        bool Any = false;
        {
            std::lock_guard G(CallbacksLock());
            Any = !Callbacks.empty();
        }
        if (Any)
            CallCallbacks(ComposeText());
    }

    void CallCallbacks(const std::string& Text)
    {
        std::vector<TCallback> List;
        {
            std::lock_guard G(CallbacksLock());
            List = Callbacks;
        }
        const bool Complete = Calc->Complete;
        for (const TCallback& C : List) {
            // What a callback throws stays with it.
            try {
                if (C.Proc != nullptr)
                    C.Proc(Complete, Text, *this);
                else if (C.Method != nullptr)
                    C.Method(C.Instance, Complete, Text, *this);
            } catch (...) {
            }
        }
    }

    void AddCallback(const TCallback& C)
    {
        std::lock_guard G(CallbacksLock());
        for (TCallback& Old : Callbacks)
            if (Old.Same(C)) {
                Old.Flag = C.Flag;
                return;
            }
        Callbacks.push_back(C);
    }

    void RemoveCallback(const TCallback& C)
    {
        std::lock_guard G(CallbacksLock());
        Callbacks.erase(std::remove_if(Callbacks.begin(), Callbacks.end(),
                                       [&](const TCallback& X) { return X.Same(C); }),
                        Callbacks.end());
    }

    TExceptionFacts Facts;
    std::chrono::system_clock::time_point Created;
    int Number = 0;
    std::atomic<std::uint8_t> Phase{0};
    std::atomic<bool> CanContinue{true}, CanContinueAllowed{true};

    mutable std::mutex TextsLock; // the class chain, the message, the assistant
    bool ChainDone = false;
    std::vector<std::string> ClassChainCache;
    std::optional<std::string> Message;
    std::string Assistant;

    std::atomic<bool> CreateBugReport{true}, CreateScreenShot{false}, CallHandlers{true},
        AttachScreenShot{false};
    std::atomic<std::uint8_t> ShowCfg{0};

    std::shared_ptr<TModuleSettings> SourceTable; // the event's settings before its own changes
    mutable std::mutex OverlayLock;
    std::map<std::string, TSettingEntry> Overrides; // by upper-case name

    std::mutex ReportLock; // the text cache and the change counter
    std::string Cache;
    bool HasCache = false;
    std::uint64_t Counter = 0;
    std::atomic<int> LockCount{0};
    std::atomic<bool> ChangePending{false};
    std::vector<TCallback> Callbacks; // under CallbacksLock()

    // The lists, the jobs and the calculation's start. Recursive: filling the
    // header tells the callbacks, which may ask for the text.
    std::recursive_mutex LayoutLock;
    bool Laid = false;
    bool Started = false;
    std::shared_ptr<TReportCalc> Calc;
    std::thread CalcThread;

    std::mutex ScreenShotLock;
    std::optional<TScreenShotTakenFrame> ScreenShot;

    std::array<std::atomic<int>, 2> FirstTimes{-1, -1};
    std::array<std::atomic<bool>, 2> ExFlags{false, false};
};

} // namespace

// --- Class names ----------------------------------------------------------------------

std::vector<std::string> ClassChainOf(const std::type_info* Type)
{
    std::vector<std::string> Chain;
    AddClassChain(Type, Chain);
    return Chain;
}

std::vector<std::string> ClassChainOf(const std::exception_ptr& Object)
{
    return Object ? ClassChainOf(Object.__cxa_exception_type()) : std::vector<std::string>();
}

std::string MessageOf(const std::exception_ptr& Object)
{
    if (!Object)
        return {};
    try {
        std::rethrow_exception(Object);
    } catch (const std::exception& E) {
        return E.what();
    } catch (...) {
    }
    const auto Chain = ClassChainOf(Object);
    return Chain.empty() ? std::string() : Chain.front();
}

bool ClassListMatches(std::string_view List, const std::vector<std::string>& ClassChain)
{
    for (int I = 1, N = SubStrCountA(List, ','); I <= N; ++I) {
        const std::string Item = RetTrimA(SubStrA(List, I, ','));
        if (!Item.empty() &&
            std::find(ClassChain.begin(), ClassChain.end(), Item) != ClassChain.end())
            return true;
    }
    return false;
}

void SetPleaseWaitFactory(TPleaseWaitFactory Factory)
{
    PleaseWaitFactory.store(Factory);
}

void SetScreenShotRequester(TScreenShotRequester Requester)
{
    ScreenShotRequester.store(Requester);
}

void SetCalcThreadWaitLimit(int Milliseconds)
{
    CalcWaitLimitMs.store(Milliseconds);
}

std::shared_ptr<IKEExceptionEx> NewExceptionObject(TExceptionFacts Facts,
                                                   std::shared_ptr<TModuleSettings> Table)
{
    const bool Deferred = Facts.Deferred;
    auto Object = std::make_shared<TIKEException>(std::move(Facts), std::move(Table));
    if (Deferred) {
        Object->GetBugReportHeader();
        Object->GetSections();
    }
    return Object;
}

std::shared_ptr<IKEExceptionEx> NewExceptionObject(TExceptionFacts Facts)
{
    return NewExceptionObject(std::move(Facts), AcquireModuleSettings(0));
}
