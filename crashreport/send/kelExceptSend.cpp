#include "crashreport/send/kelExceptSend.h"

#include "crashlib/kelStrings.h"
#include "crashlib/kelZip.h"
#include "crashreport/kelExceptSave.h"
#include "crashreport/kelExceptTemp.h"

#include <chrono>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

ISendUi::~ISendUi() = default;
ISendSource::~ISendSource() = default;

namespace {

bool IsRegularFile(const std::string& File)
{
    struct stat Info {};
    return ::stat(File.c_str(), &Info) == 0 && S_ISREG(Info.st_mode);
}

std::string FileNamePart(std::string_view Path)
{
    return std::string(Path.substr(Path.rfind('/') + 1));
}

// The archive's file name for a zip name: its last path step, with ".zip".
std::string ZipFileName(std::string_view ZipName)
{
    std::string Name = FileNamePart(ZipName);
    if (Name.empty() || Name == "." || Name == "..")
        Name = "attachments";
    if (!UpStrA(Name).ends_with(".ZIP"))
        Name += ".zip";
    return Name;
}

bool AnyWayOn(std::span<const TSendWay> Ways, const TIKESettings& Settings, bool Automatic,
              std::uint8_t Flags)
{
    for (const auto& W : Ways)
        if ((W.Flags & Flags) != 0 && Settings.GetBoolSetting(W.Key) &&
            !(Automatic && (W.Flags & swUserPresent) != 0))
            return true;
    return false;
}

// The report as a file in the temporary folder: a copy of the report file
// with every report so far (when the user is there), or the report alone;
// empty when neither could be written.
std::string ReportAttachment(const std::string& Text, TIKESettings& Settings,
                             const std::string& ReportFile, const std::string& Temp, bool Automatic)
{
    std::string File = Temp + "/" + FileNamePart(ReportFile);
    ::unlink(File.c_str());
    std::error_code Ec;
    if (!Automatic && Settings.GetBoolSetting("AttachBugRepFile") && IsRegularFile(ReportFile) &&
        std::filesystem::copy_file(ReportFile, File, Ec))
        return File;
    if (SaveReportToFile(Text, Settings, File))
        return File;
    // Another name, in case that one is taken by something we cannot replace.
    const auto Ticks = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    File = Temp + "/" + std::to_string(Ticks) + FileNamePart(ReportFile);
    return SaveReportToFile(Text, Settings, File) ? File : std::string();
}

TSendResult SendNow(const std::string& FullText, const std::shared_ptr<INVBitmap>& ScreenShot,
                    TIKESettings& S, ISendUi& Ui, const TSendOptions& Options)
{
    const bool Automatic = Options.Automatic;
    // Nobody agreed to send raw memory and the list of the user's programs:
    // an automatic send leaves them out, and sends the report alone rather
    // than a file of earlier reports that hold them.
    const std::string Text =
        Automatic ? RemoveReportSection(RemoveReportSection(FullText, "stack dump"), "processes")
                  : FullText;
    TSendJob Job{S, Automatic};
    Job.To = S.GetTextSetting("MailAddr");
    TidyAddressList(Job.To);
    Job.From = S.GetTextSetting("MailFrom");
    if (Job.From.empty() && !Job.To.empty())
        Job.From = "kelExcept " + FormatMailAddress(Job.To.substr(0, Job.To.find(',')), false);
    TPlaceholderTexts Texts;
    Texts.ExceptClass = GetReportField(Text, "exception class");
    Texts.ExceptMsg = GetReportField(Text, "exception message");
    Texts.ErrorDetails = GetReportSection(Text, "error details");
    Job.Report = Text;
    Job.Texts = Texts;
    Job.Subject = ExpandPlaceholders(S.GetTextSetting("MailSubj"), S.Module(), Texts);
    Job.Body = ExpandPlaceholders(S.GetTextSetting("MailBody"), S.Module(), Texts);

    if (Job.To.empty() && S.GetTextSetting("HttpServer").empty()) {
        if (!Automatic) {
            std::string File;
            const bool Saved = SaveReportToFile(Text, S, {}, &File);
            Ui.ShowMessage(NoAddressMessage(File, Saved));
        }
        return TSendResult::srFailed;
    }

    // The attachments, when a way is on that takes them.
    std::string ReportFile, TempReport;
    bool DeleteReportFile = false;
    std::vector<std::string> TempFiles;
    const std::string Temp = ExceptTempFolder();
    const bool Attach = AnyWayOn(Options.Ways, S, Automatic, swNetwork | swAttachments);
    auto List = NewAttachments();
    if (Attach && !Temp.empty()) {
        if (S.GetBoolSetting("AttachBugRep")) {
            ReportFile = ReportFileName(S);
            TempReport = ReportAttachment(Text, S, ReportFile, Temp, Automatic);
            if (!TempReport.empty()) {
                TempFiles.push_back(TempReport);
                List->Add(TempReport, S.GetTextSetting("BugRepSendAs"),
                          S.GetTextSetting("BugRepZip"), "BugReport");
                DeleteReportFile = S.GetBoolSetting("DelBugRepFile");
            }
        }
        if (ScreenShot) {
            const std::string Png = Temp + "/screenShot.png";
            ::unlink(Png.c_str());
            if (ScreenShot->SavePng(Png, ScreenShotPngDepth(S.GetIntSetting("ScrShotDepth")))) {
                TempFiles.push_back(Png);
                List->Add(Png, S.GetTextSetting("ScrShotSendAs"), S.GetTextSetting("ScrShotZip"),
                          "ScreenShot");
            }
        }
        if (auto Extra = S.AddAttachs()) {
            Extra->Lock();
            for (int I = 0; I < Extra->ItemCount(); ++I) {
                const TAttachment A = Extra->GetItem(I);
                List->Add(A.File, A.SendAs, A.ZipName, A.Field);
            }
            Extra->Unlock();
        }
    }
    Job.Progress = Attach ? NewSendProgress(S, Ui, Options.Ways, List->ItemCount() > 0)
                          : Ui.NewProgressAlert(S.GetTextSetting("SendBoxTitle"), "KEISEND32");
    // The window shows while the attachments are prepared and the network
    // ways run: in the middle for the user, in the corner for an automatic
    // send, and not at all for one without "AutoSendBox".
    if (Attach && (!Automatic || S.GetBoolSetting("AutoSendBox")))
        Job.Progress->Show(!Automatic);
    if (Attach && !Temp.empty()) {
        Job.Attachments = PrepareAttachments(*List, Temp, Job.Progress.get());
        for (const auto& A : Job.Attachments)
            if (A.File.starts_with(Temp + "/"))
                TempFiles.push_back(A.File);
        Job.Progress->NextArea();
    }

    // The form fields of the web ways.
    Job.Fields = S.AddFields() ? S.AddFields()->Clone() : NewFields();
    for (const auto& [Name, Value] :
         {std::pair<const char*, const std::string&>{"MailFrom", Job.From},
          {"MailSubject", Job.Subject},
          {"MailBody", Job.Body},
          {"MailAddr", Job.To}})
        if (!Value.empty())
            Job.Fields->SetValue(Name, Value);

    // The network ways, one of each group.
    TSendResult Result = TSendResult::srFailed;
    const TSendWay* SentBy = nullptr;
    for (const TSendGroup Group : {sgWeb, sgSmtp}) {
        if (Result == TSendResult::srSent)
            break;
        for (const auto& W : Options.Ways)
            if (W.Group == Group && SendWayOn(W, Job)) {
                Result = W.Send(Job);
                if (Result == TSendResult::srSent)
                    SentBy = &W;
                break;
            }
    }
    Job.Progress->Close();

    // The mail program, in turn, until one takes the mail or the user
    // cancels.
    if (Result != TSendResult::srSent)
        for (const auto& W : Options.Ways) {
            if (W.Group != sgMailClient || !SendWayOn(W, Job))
                continue;
            if ((W.Flags & swUserPresent) != 0)
                Ui.LeaveTopmost();
            Result = W.Send(Job);
            if (Result != TSendResult::srFailed) {
                SentBy = &W;
                break;
            }
        }

    for (const auto& F : TempFiles)
        ::unlink(F.c_str());
    if (Result == TSendResult::srFailed && !Automatic)
        Ui.ShowMessage(S.GetTextSetting("SendFailMsg"));
    // Only a delivery lets the report file go; a mail handed to the user's
    // mail program may still never be sent.
    if (Result == TSendResult::srSent && DeleteReportFile && SentBy != nullptr &&
        (SentBy->Flags & swNetwork) != 0)
        ::unlink(ReportFile.c_str());
    return Result;
}

} // namespace

bool SendWayOn(const TSendWay& Way, const TSendJob& Job)
{
    if (!Job.Settings.GetBoolSetting(Way.Key))
        return false;
    if (Job.Automatic && (Way.Flags & swUserPresent) != 0)
        return false;
    return Way.Applies == nullptr || Way.Applies(Job);
}

std::string NoAddressMessage(std::string_view ReportFile, bool Saved)
{
    std::string M = "This build has no address for bug reports, so the report cannot be sent.";
    if (Saved)
        M += "\r\nThe report was saved in \"" + std::string(ReportFile) + "\".";
    else
        M += "\r\nThe report could not be saved in \"" + std::string(ReportFile) + "\" either.";
    return M;
}

std::uint8_t ScreenShotPngDepth(std::int32_t ScrShotDepth)
{
    switch (ScrShotDepth) {
    case 4:
        return pdGrey;
    case 51200:
        return pdColours50K;
    case 102400:
        return pdColours100K;
    case 204800:
        return pdColours200K;
    case 307200:
        return pdColours300K;
    default:
        return pdColours;
    }
}

std::vector<TPreparedAttachment>
PrepareAttachments(IKEAttachments& Attachments, const std::string& Folder, IProgressAlert* Progress)
{
    std::vector<TAttachment> Items;
    Attachments.Lock();
    for (int I = 0; I < Attachments.ItemCount(); ++I)
        Items.push_back(Attachments.GetItem(I));
    Attachments.Unlock();
    for (auto& A : Items)
        A.File = MakeFullPath(ExpandPlaceholders(A.File, 0));

    std::vector<TPreparedAttachment> Out;
    std::set<std::string> Zipped;
    for (std::size_t I = 0; I < Items.size(); ++I) {
        const TAttachment& A = Items[I];
        if (IsRegularFile(A.File)) {
            if (A.ZipName.empty()) {
                Out.push_back({A.File, A.SendAs, A.Field});
            } else if (Zipped.insert(UpStrA(A.ZipName)).second) {
                // This and every later file of the same zip name, in one zip.
                std::vector<std::string> Paths, Names;
                for (std::size_t J = I; J < Items.size(); ++J)
                    if (IsTextEqualA(Items[J].ZipName, A.ZipName) && IsRegularFile(Items[J].File)) {
                        Paths.push_back(Items[J].File);
                        Names.push_back(Items[J].SendAs);
                    }
                const std::string Name = ZipFileName(A.ZipName);
                if (ZipFiles(Folder + "/" + Name, Paths, Names))
                    Out.push_back({Folder + "/" + Name, Name, A.Field});
            }
        }
        if (Progress != nullptr)
            Progress->SetPosition(static_cast<int>((I + 1) * 1000 / Items.size()));
    }
    return Out;
}

std::shared_ptr<IProgressAlert> NewSendProgress(const IKESettings& Settings, ISendUi& Ui,
                                                std::span<const TSendWay> Ways, bool HasAttachments)
{
    auto P = Ui.NewProgressAlert(Settings.GetTextSetting("SendBoxTitle"), "KEISEND32");
    P->AddArea(Settings.GetTextSetting("PrepAttMsg"), 100);
    const auto On = [&](std::uint8_t Flags) {
        for (const auto& W : Ways)
            if ((W.Flags & Flags) == Flags && Settings.GetBoolSetting(W.Key))
                return true;
        return false;
    };
    if (On(swNetwork)) {
        if (On(swMxLookup))
            P->AddArea(Settings.GetTextSetting("MxLookMsg"), 100);
        P->AddArea(Settings.GetTextSetting("ConnMsg"), 100);
        if (On(swSmtp))
            P->AddArea(Settings.GetTextSetting("SendMailMsg"), 100);
        if (HasAttachments)
            P->AddArea(Settings.GetTextSetting("SendAttMsg"), 100);
        P->AddArea(Settings.GetTextSetting("SendFinalMsg"), 100);
    }
    return P;
}

TSendResult SendReport(const std::string& Text, std::shared_ptr<INVBitmap> ScreenShot,
                       std::shared_ptr<TIKESettings> Settings, std::shared_ptr<ISendUi> Ui,
                       const TSendOptions& Options)
{
    if (Text.empty() || !Settings || !Ui) {
        if (Options.Finished)
            Options.Finished(TSendResult::srFailed);
        return TSendResult::srFailed;
    }
    if (Options.Background) {
        TSendOptions InThread = Options;
        InThread.Background = false;
        try {
            std::thread([=] {
                const TSendResult R = SendNow(Text, ScreenShot, *Settings, *Ui, InThread);
                if (InThread.Finished)
                    InThread.Finished(R);
            }).detach();
            return TSendResult::srSent;
        } catch (const std::system_error&) {
            // No thread: the send runs here.
        }
    }
    const TSendResult R = SendNow(Text, ScreenShot, *Settings, *Ui, Options);
    if (Options.Finished)
        Options.Finished(R);
    return R;
}

TSendResult SendBugReport(ISendSource& Source, std::shared_ptr<ISendUi> Ui, bool Automatic,
                          std::function<void(TSendResult)> Finished)
{
    auto Settings = Source.ReportSettings();
    if (!Settings)
        return TSendResult::srFailed;
    TSendOptions Options;
    Options.Automatic = Automatic;
    Options.Background = Settings->GetBoolSetting("SendInBackgr");
    Options.Finished = std::move(Finished);
    return SendReport(Source.FinishedBugReport(), Source.ScreenShotToAttach(), Settings,
                      std::move(Ui), Options);
}
