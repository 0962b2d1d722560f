#include "crashreport/send/kelExceptNetWays.h"

#include "crashreport/kelExceptSave.h"
#include "crashreport/send/kelExceptHttp.h"
#include "crashreport/send/kelExceptSmtp.h"
#include "crashreport/send/kelExceptTrackers.h"

#include <sys/stat.h>

namespace {

std::int64_t FileWeight(const std::string& Path)
{
    struct stat St {};
    if (::stat(Path.c_str(), &St) != 0 || !S_ISREG(St.st_mode))
        return -1;
    return std::max<std::int64_t>(1, St.st_size / 16);
}

std::vector<THttpAttachment> HttpAttachments(const std::vector<TPreparedAttachment>& Prepared)
{
    std::vector<THttpAttachment> Out;
    for (const auto& A : Prepared)
        Out.push_back({A.File, A.SendAs, A.Field});
    return Out;
}

THttpServer ServerOf(const IKESettings& S, bool Tracker)
{
    THttpServer Server;
    Server.Server = S.GetTextSetting("HttpServer");
    if (Tracker && !Server.Server.empty() && Server.Server.back() == '/')
        Server.Server.pop_back();
    Server.Secure = S.GetBoolSetting("HttpSsl");
    const std::int32_t Port = S.GetIntSetting("HttpPort");
    Server.Port = Port > 0 && Port < 65536 ? static_cast<std::uint16_t>(Port) : 0;
    Server.HttpAccount = S.GetTextSetting("HttpAccount");
    Server.HttpPassword = S.GetTextSetting("HttpPassword");
    Server.TrackerAccount = S.GetTextSetting("BugTrAccount");
    Server.TrackerPassword = S.GetTextSetting("BugTrPassword");
    return Server;
}

TSendResult Outcome(TSendJob& Job, bool Sent, const std::string& Error)
{
    if (!Sent)
        Job.LastError = Error;
    return Sent ? TSendResult::srSent : TSendResult::srFailed;
}

TSendResult ViaTracker(TSendJob& Job, bool (*Submit)(TWinHttp&, const TTrackerIssue&))
{
    const IKESettings& S = Job.Settings;
    RebuildSendProgress(*Job.Progress, S, TNetProgress::npWeb, Job.Attachments);
    TTrackerIssue Issue;
    Issue.Title = ExpandPlaceholders(S.GetTextSetting("BugTrTitle"), S.Module(), Job.Texts);
    Issue.Description = ExpandPlaceholders(S.GetTextSetting("BugTrDescr"), S.Module(), Job.Texts);
    Issue.Project = S.GetTextSetting("BugTrProject");
    Issue.Area = S.GetTextSetting("BugTrArea");
    Issue.AssignTo = S.GetTextSetting("BugTrAssignTo");
    Issue.Version = GetReportField(Job.Report, "version");
    Issue.ComputerName = GetReportField(Job.Report, "computer name");
    Issue.OperatingSystem = GetReportField(Job.Report, "operating system");
    Issue.CallstackCrc = GetReportField(Job.Report, "callstack crc");
    Issue.Sender = Job.From;
    Issue.Attachments = HttpAttachments(Job.Attachments);
    TWinHttp Http(ServerOf(S, true), Job.Progress);
    const bool Sent = Submit(Http, Issue);
    return Outcome(Job, Sent, Http.LastError());
}

TSendResult ViaSmtp(TSendJob& Job, const TSmtpOptions& Options, TNetProgress Mode)
{
    int Recipients = 0;
    for (std::size_t At = 0; At != std::string::npos; At = Job.To.find(',', At + 1))
        ++Recipients;
    RebuildSendProgress(*Job.Progress, Job.Settings, Mode, Job.Attachments, Recipients);
    TMailMessage Message;
    Message.To = Job.To;
    Message.From = Job.From;
    Message.ReplyTo = Job.ReplyTo;
    Message.Subject = Job.Subject;
    Message.Body = Job.Body;
    Message.Attachments = Job.Attachments;
    const std::string Head = ComposeMailHead(Message);
    std::vector<TMessagePart> Parts = {[&Head](const TMessageWrite& Write) { return Write(Head); }};
    IProgressAlert* Progress = Job.Progress.get();
    for (const auto& A : Job.Attachments)
        Parts.push_back([&A, Progress](const TMessageWrite& Write) {
            return ComposeMailAttachment(A, Write, Progress);
        });
    const std::string End = ComposeMailEnd();
    Parts.push_back([&End](const TMessageWrite& Write) { return Write(End); });
    std::string Error;
    const bool Sent = SendSmtpMessage(Options, Job.From, Job.To, Parts, Progress, Error);
    return Outcome(Job, Sent, Error);
}

} // namespace

void RebuildSendProgress(IProgressAlert& Progress, const IKESettings& S, TNetProgress Mode,
                         const std::vector<TPreparedAttachment>& Attachments, int Recipients)
{
    Progress.Clear();
    Progress.AddArea(S.GetTextSetting("PrepAttMsg"), 500);
    const bool Server = Mode == TNetProgress::npSmtpServer;
    for (int R = 0; R < (Server ? std::max(Recipients, 1) : 1); ++R) {
        if (Server)
            Progress.AddArea(S.GetTextSetting("MxLookMsg"), 500);
        // A further recipient's connection weighs as a web one.
        Progress.AddArea(S.GetTextSetting("ConnMsg"),
                         Mode == TNetProgress::npWeb || R > 0 ? 5000 : 500);
        if (Mode != TNetProgress::npWeb)
            Progress.AddArea(S.GetTextSetting("SendMailMsg"), 100);
        for (const auto& A : Attachments)
            if (const std::int64_t Weight = FileWeight(A.File); Weight >= 0)
                Progress.AddArea(S.GetTextSetting("SendAttMsg"), Weight);
        Progress.AddArea(S.GetTextSetting("SendFinalMsg"), 1000);
    }
    Progress.SetArea(1);
}

bool WebWayApplies(const TSendJob& Job)
{
    return !Job.Settings.GetTextSetting("HttpServer").empty();
}

bool SmtpServerModeApplies(const TSendJob& Job)
{
    return !Job.To.empty();
}

bool SmtpClientApplies(const TSendJob& Job)
{
    return !Job.To.empty() && !Job.Settings.GetTextSetting("SmtpServer").empty();
}

TSendResult SendViaFogBugz(TSendJob& Job)
{
    return ViaTracker(Job, FogBugzSubmit);
}

TSendResult SendViaBugzilla(TSendJob& Job)
{
    return ViaTracker(Job, BugzillaSubmit);
}

TSendResult SendViaMantis(TSendJob& Job)
{
    return ViaTracker(Job, MantisSubmit);
}

TSendResult SendViaHttpUpload(TSendJob& Job)
{
    RebuildSendProgress(*Job.Progress, Job.Settings, TNetProgress::npWeb, Job.Attachments);
    std::vector<std::pair<std::string, std::string>> Fields;
    if (Job.Fields) {
        Job.Fields->Lock();
        for (int I = 0; I < Job.Fields->ItemCount(); ++I) {
            const std::string Name = Job.Fields->GetName(I);
            Fields.emplace_back(Name, Job.Fields->GetValue(Name));
        }
        Job.Fields->Unlock();
    }
    TWinHttp Http(ServerOf(Job.Settings, false), Job.Progress);
    const bool Sent = HttpUpload(Http, std::move(Fields), HttpAttachments(Job.Attachments));
    return Outcome(Job, Sent, Http.LastError());
}

TSendResult SendAsSmtpServer(TSendJob& Job)
{
    TSmtpOptions Options; // no server: the recipients' mail exchangers
    Options.Port = SmtpServerPort();
    return ViaSmtp(Job, Options, TNetProgress::npSmtpServer);
}

TSendResult SendViaSmtpServer(TSendJob& Job)
{
    const IKESettings& S = Job.Settings;
    TSmtpOptions Options;
    Options.Server = S.GetTextSetting("SmtpServer");
    Options.Ssl = S.GetBoolSetting("SmtpSsl");
    Options.Tls = S.GetBoolSetting("SmtpTls");
    Options.Account = S.GetTextSetting("SmtpAccount");
    Options.Password = S.GetTextSetting("SmtpPassword");
    const std::int32_t Port = S.GetIntSetting("SmtpPort");
    Options.Port =
        SmtpPort(Port > 0 && Port < 65536 ? static_cast<std::uint16_t>(Port) : 0, Options.Ssl,
                 Options.Tls, !Options.Account.empty() || !Options.Password.empty());
    return ViaSmtp(Job, Options, TNetProgress::npSmtpClient);
}
