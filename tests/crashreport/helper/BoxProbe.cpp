// The exception box at a real crash: crashreport_box_probe HELPER starts the
// crash capture with a handling of its own, starts the helper program HELPER
// over the link, says "ready <pid>" and waits. When the tests send it a fatal
// signal, its handling makes the exception object of the record and shows the
// object's box in the helper (ShowBoxOverLink), keeping the report up to date
// while it is calculated; the user's verdict ends the process (close: exit
// status 1) or restarts it.
//
// The box's settings are those of the process (its settings section), with
// $PROBE_AUTOSHOW the details from the start and with $PROBE_SIMPLE the simple
// box.
#include "crashreport/kelExceptBoxLink.h"
#include "crashreport/kelExceptFreeze.h"
#include "crashreport/kelExceptHandler.h"
#include "crashreport/kelExceptHandlers.h"
#include "crashreport/kelExceptInit.h"
#include "crashreport/kelExceptObject.h"
#include "crashreport/kelExceptSettings.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::shared_ptr<TExceptLink> Link;

// What the report's callback last said.
std::mutex ReportLock;
bool ReportComplete = false;
std::string ReportText;

void OnReport(bool Complete, const std::string& Text, IKEException&)
{
    std::lock_guard G(ReportLock);
    ReportComplete = Complete;
    ReportText = Text;
}

std::string ReadFile(const char* Name)
{
    std::ifstream In(Name, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

// One line on standard output with one write(): the signal may come while
// the main thread writes, and stdio's lock would then be held for ever.
void Say(const std::string& Line)
{
    const std::string Text = Line + "\n";
    [[maybe_unused]] const ssize_t W = write(1, Text.data(), Text.size());
}

bool IsThreadSection(const std::string& Name)
{
    return Name.find("($") != std::string::npos || Name.rfind("thread $", 0) == 0;
}

// What changed in the object's report since the last call.
class TReportWatch {
public:
    explicit TReportWatch(IKEException& AObject) : Object(AObject) {}

    TReportChanges operator()()
    {
        TReportChanges C;
        const auto Header = Object.GetBugReportHeader();
        for (int I = 0; I < Header->ItemCount(); ++I) {
            const std::string Name = Header->GetName(I);
            std::string Value = Header->GetValue(Name);
            if (Sent[Name] != Value) {
                C.Fields.push_back({0, Name, Value});
                Sent[Name] = std::move(Value);
            }
        }
        const auto Sections = Object.GetSections();
        for (int I = 0; I < Sections->ItemCount(); ++I) {
            const std::string Name = Sections->GetName(I);
            std::string Text = Sections->GetValue(Name);
            if (SentSections[Name] != Text) {
                C.Sections.push_back({0, IsThreadSection(Name), Name, Text});
                SentSections[Name] = std::move(Text);
            }
        }
        std::lock_guard G(ReportLock);
        if (ReportComplete && !CompleteSent) {
            C.Complete = ReportText;
            CompleteSent = true;
        }
        return C;
    }

private:
    IKEException& Object;
    std::map<std::string, std::string> Sent, SentSections;
    bool CompleteSent = false;
};

TVerdict ShowBox(const TExceptionRecord& Record)
{
    TExceptionFacts Facts;
    Facts.ClassChain = {RecordClassName(Record), "EExternal"};
    Facts.Message = RecordMessage(Record);
    Facts.Address = static_cast<std::uintptr_t>(Record.Address);
    Facts.ThreadId = static_cast<pid_t>(Record.ThreadId);
    if (Record.Context != 0)
        Facts.Registers =
            RegistersFromUcontext(*reinterpret_cast<const ucontext_t*>(Record.Context));
    Facts.CanContinue = Record.CanContinue != 0;
    Facts.Source = static_cast<std::uint8_t>(Record.Source);
    const auto Object = NewExceptionObject(std::move(Facts));
    Object->RegisterCallback(OnReport, false);

    TBoxRequest Request;
    TReportBeginFrame& B = Request.Begin;
    B.Report = 1;
    B.Kind = 0;
    B.Class = Object->GetExceptClass();
    B.Message = Object->GetExceptMessage();
    B.CanContinue = Object->GetCanContinue();
    B.Source = Object->GetSource();
    B.Pid = static_cast<std::uint32_t>(getpid());
    char Exe[4096] = {};
    if (readlink("/proc/self/exe", Exe, sizeof Exe - 1) > 0)
        B.Executable = Exe;
    B.CommandLine = ReadFile("/proc/self/cmdline");
    B.Folder = B.Executable.substr(0, B.Executable.rfind('/') + 1);
    B.ExceptionNumber = 1;
    B.Simple = std::getenv("PROBE_SIMPLE") != nullptr;
    B.SimpleDetails = B.Simple;
    B.Settings = WriteSettingsStream(AcquireModuleSettings(0)->Entries());
    Request.Beep = true;
    TReportWatch Watch(*Object);
    Request.Refresh = [&Watch] { return Watch(); };
    const TFireTarget Target = FireTargetOf(*Object);
    Request.Target = &Target;
    const TBoxOutcome Out = ShowBoxOverLink(*Link, Request);
    Say("verdict " + std::to_string(Out.Verdict ? static_cast<int>(*Out.Verdict) : -1));
    if (Out.Verdict == bvRestart)
        return vdRestart;
    if (Out.Verdict == bvContinue)
        return vdContinue;
    return vdClose;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "crashreport_box_probe HELPER\n");
        return 64;
    }
    const auto Settings = NewSettings();
    if (std::getenv("PROBE_AUTOSHOW") != nullptr)
        Settings->SetBoolSetting("AutoShowBugRep", true);
    SetHandleExceptionRecord(ShowBox);
    const TCaptureHooks Hooks = InitializeLibrary();
    int Fds[2];
    if (!Hooks.Enabled() || !CreateLinkPair(Fds)) {
        std::fprintf(stderr, "crashreport_box_probe: no capture or no link\n");
        return 70;
    }
    if (StartHelperProcess(argv[1], Fds[1]) < 0) {
        std::fprintf(stderr, "crashreport_box_probe: the helper did not start\n");
        return 70;
    }
    close(Fds[1]);
    Link = std::make_shared<TExceptLink>(Fds[0]);
    Link->Send(THelloFrame{LinkVersion, static_cast<std::uint32_t>(getpid()), argv[0]});
    SetHandlingException(true);
    WaitForCrashTimePreparation();
    SetHandlingException(false);
    Say("ready " + std::to_string(getpid()));
    for (;;)
        pause();
}
