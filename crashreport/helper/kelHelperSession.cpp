#include "crashreport/helper/kelHelperSession.h"

#include "crashreport/helper/kelExceptPrint.h"
#include "crashreport/helper/kelNVPrgrAlert.h"
#include "crashreport/helper/kelScreenShot.h"
#include "crashreport/kelExceptRestart.h"
#include "crashreport/kelExceptSave.h"
#include "crashreport/send/kelExceptSend.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <xcb/xcb.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <unistd.h>

void ChooseHelperPlatform()
{
    if (std::getenv("QT_QPA_PLATFORM") != nullptr)
        return;
    if (const char* Name = std::getenv("DISPLAY"); Name != nullptr && *Name != '\0') {
        xcb_connection_t* C = xcb_connect(nullptr, nullptr);
        const bool Answers = xcb_connection_has_error(C) == 0;
        xcb_disconnect(C);
        if (Answers)
            return;
    }
    if (const char* Wayland = std::getenv("WAYLAND_DISPLAY");
        Wayland != nullptr && *Wayland != '\0')
        return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

THelperSession::THelperSession(std::shared_ptr<TExceptLink> ALink, int& AArgc, char** AArgv)
    : Argc(AArgc), Argv(AArgv), Link(std::move(ALink))
{
    RegisterStandardHandlers();
    RegisterReportHandlers();
}

THelperSession::~THelperSession()
{
    // Windows go before the application they live in.
    Alerts.clear();
    Notifier.reset();
}

void THelperSession::Handle(std::uint16_t Type, bool NeedsWindow, THandler Handler)
{
    Handlers[Type] = TEntry{NeedsWindow, std::move(Handler)};
}

std::shared_ptr<INVBitmap> THelperSession::ScreenShot(std::uint32_t Request) const
{
    const auto It = ScreenShots.find(Request);
    return It == ScreenShots.end() ? nullptr : It->second;
}

std::shared_ptr<TIProgressAlert> THelperSession::Alert(std::uint32_t Number) const
{
    const auto It = Alerts.find(Number);
    return It == Alerts.end() ? nullptr : It->second;
}

void THelperSession::RegisterStandardHandlers()
{
    Handle(lfHello, false, [this](const TLinkFrame& F) {
        THelloFrame Hello;
        if (!DecodeFrame(F, Hello) || Hello.Version != LinkVersion)
            return false;
        FProgramPid = static_cast<pid_t>(Hello.Pid);
        FProgramFile = Hello.Program;
        return true;
    });
    Handle(lfSettings, false, [this](const TLinkFrame& F) {
        TSettingsFrame Settings;
        if (!DecodeFrame(F, Settings))
            return false;
        FSettings = NewSettingsFromStream(Settings.Stream);
        return true;
    });

    // The alerts; frames for a number the program never made (or released)
    // are skipped.
    Handle(lfAlertNew, false, [this](const TLinkFrame& F) {
        TAlertNewFrame New;
        if (!DecodeFrame(F, New))
            return false;
        Alerts[New.Alert] = NewProgressAlert(New.Title, New.Picture);
        return true;
    });
    auto OnAlert = [this](auto Frame, auto Act) {
        return [this, Act](const TLinkFrame& F) {
            decltype(Frame) M;
            if (!DecodeFrame(F, M))
                return false;
            if (auto A = Alert(M.Alert))
                Act(*A, M);
            return true;
        };
    };
    Handle(lfAlertShow, true,
           OnAlert(TAlertShowFrame{},
                   [](TIProgressAlert& A, const TAlertShowFrame& M) { A.Show(M.Centred); }));
    Handle(lfAlertSetTitle, false,
           OnAlert(TAlertSetTitleFrame{},
                   [](TIProgressAlert& A, const TAlertSetTitleFrame& M) { A.SetTitle(M.Title); }));
    Handle(lfAlertAddArea, false,
           OnAlert(TAlertAddAreaFrame{}, [](TIProgressAlert& A, const TAlertAddAreaFrame& M) {
               A.AddArea(M.Text, M.Weight);
           }));
    Handle(lfAlertClear, false,
           OnAlert(TAlertClearFrame{},
                   [](TIProgressAlert& A, const TAlertClearFrame&) { A.Clear(); }));
    Handle(lfAlertSetArea, false,
           OnAlert(TAlertSetAreaFrame{},
                   [](TIProgressAlert& A, const TAlertSetAreaFrame& M) { A.SetArea(M.Value); }));
    Handle(
        lfAlertSetPosition, false,
        OnAlert(TAlertSetPositionFrame{}, [](TIProgressAlert& A, const TAlertSetPositionFrame& M) {
            A.SetPosition(M.Value);
        }));
    Handle(lfAlertClose, false,
           OnAlert(TAlertCloseFrame{},
                   [](TIProgressAlert& A, const TAlertCloseFrame&) { A.Close(); }));
    Handle(lfAlertRelease, false, [this](const TLinkFrame& F) {
        TAlertReleaseFrame M;
        if (!DecodeFrame(F, M))
            return false;
        Alerts.erase(M.Alert);
        return true;
    });

    Handle(lfScreenShotRequest, true, [this](const TLinkFrame& F) {
        TScreenShotRequestFrame Request;
        if (!DecodeFrame(F, Request))
            return false;
        std::string Why;
        auto Bitmap =
            CaptureScreenShot(Request.ApplicationOnly, static_cast<pid_t>(Request.Pid), &Why);
        TScreenShotTakenFrame Answer;
        Answer.Request = Request.Request;
        Answer.Taken = Bitmap != nullptr;
        if (Bitmap) {
            Answer.Width = static_cast<std::uint32_t>(Bitmap->GetWidth());
            Answer.Height = static_cast<std::uint32_t>(Bitmap->GetHeight());
            ScreenShots[Request.Request] = Bitmap;
        } else {
            ScreenShots.erase(Request.Request);
            Answer.Reason = Why;
        }
        Send(Answer);
        return true;
    });
}

namespace {

// The desktop of a send: the helper's progress alerts and message boxes,
// reached from the send's own thread.
class THelperSendUi final : public ISendUi {
public:
    std::shared_ptr<IProgressAlert> NewProgressAlert(std::string_view Title,
                                                     std::string_view Picture) override
    {
        return ::NewProgressAlert(Title, Picture);
    }
    void ShowMessage(std::string_view Text) override
    {
        const QString Message = QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
        const QString Title = FTitle;
        const auto Box = [Message, Title] {
            QMessageBox B(QMessageBox::Warning, Title, Message, QMessageBox::Ok);
            B.setObjectName("SendMessage");
            B.setWindowFlag(Qt::WindowStaysOnTopHint);
            B.exec();
        };
        OnGuiThread(Box);
    }
    // A mail program's window must come in front of the exception boxes.
    void LeaveTopmost() override
    {
        OnGuiThread([] {
            for (QWidget* W : QApplication::topLevelWidgets())
                if (W->objectName() == "ExceptBox" &&
                    W->windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
                    const bool Shown = W->isVisible();
                    W->setWindowFlag(Qt::WindowStaysOnTopHint, false);
                    if (Shown)
                        W->show();
                }
        });
    }
    explicit THelperSendUi(QString Title) : FTitle(std::move(Title)) {}

private:
    template <class F> static void OnGuiThread(const F& Work)
    {
        if (QThread::currentThread() == qApp->thread())
            Work();
        else
            QMetaObject::invokeMethod(qApp, Work, Qt::BlockingQueuedConnection);
    }
    QString FTitle;
};

std::shared_ptr<TIKESettings> SettingsOrDefaults(std::shared_ptr<TIKESettings> S)
{
    return S ? S : NewSettings(0, false);
}

} // namespace

std::shared_ptr<ISendUi> NewHelperSendUi(std::string_view Title)
{
    return std::make_shared<THelperSendUi>(
        QString::fromUtf8(Title.data(), static_cast<qsizetype>(Title.size())));
}

void THelperSession::RegisterReportHandlers()
{
    Handle(lfSaveRequest, false, [this](const TLinkFrame& F) {
        TSaveRequestFrame Request;
        if (!DecodeFrame(F, Request))
            return false;
        const auto S = SettingsOrDefaults(FSettings);
        TSaveDoneFrame Done;
        Done.Request = Request.Request;
        std::string File;
        if (Request.Ask) {
            if (!App)
                MakeApplication();
            // The dialog starts at the configured file, in its folder.
            QFileDialog Dialog(nullptr, QString::fromStdString(S->GetTextSetting("SaveBtnTxt")),
                               QString::fromStdString(ReportFileName(*S)), "*.txt");
            Dialog.setAcceptMode(QFileDialog::AcceptSave);
            Dialog.setDefaultSuffix("txt");
            Dialog.selectFile(QString::fromStdString(ReportFileName(*S)));
            if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) {
                Send(Done);
                return true;
            }
            File = Dialog.selectedFiles().front().toStdString();
        }
        Done.Saved = SaveReportToFile(Request.Report, *S, File, &Done.File);
        Send(Done);
        return true;
    });
    Handle(lfPrintRequest, true, [this](const TLinkFrame& F) {
        TPrintRequestFrame Request;
        if (!DecodeFrame(F, Request))
            return false;
        Send(TPrintDoneFrame{Request.Request,
                             PrintReport(Request.Report, *SettingsOrDefaults(FSettings), nullptr)});
        return true;
    });
    // A send runs on a thread of its own, so that its windows stay alive; in
    // the background the program hears at once, else when it has ended. The
    // helper lives on until it has.
    Handle(lfSendRequest, true, [this](const TLinkFrame& F) {
        TSendRequestFrame Request;
        if (!DecodeFrame(F, Request))
            return false;
        auto Settings = NewSettingsFromStream(Request.Settings);
        if (Request.Settings.empty() || !Settings->Found())
            Settings = SettingsOrDefaults(FSettings);
        TSendOptions Options;
        Options.Automatic = Request.Automatic;
        Options.Background = true;
        const bool Background = Request.Background;
        const std::uint32_t Number = Request.Request;
        const auto SendLink = Link;
        Options.Finished = [this, Background, Number, SendLink](TSendResult R) {
            if (!Background)
                SendLink->Send(TSendDoneFrame{Number, static_cast<std::uint8_t>(R)});
            QMetaObject::invokeMethod(
                qApp, [this] { EndWork(); }, Qt::QueuedConnection);
        };
        BeginWork();
        SendReport(Request.Report, ScreenShot(Request.ScreenShot), Settings, NewHelperSendUi({}),
                   Options);
        if (Background)
            Send(TSendDoneFrame{Number, soInBackground});
        return true;
    });

    // A restart: the program is still there and waits for the answer; the
    // helper then waits for its end here (the program's windows end with it)
    // and starts it again. Only the process that started the helper is
    // restarted.
    Handle(lfRestartRequest, false, [this](const TLinkFrame& F) {
        TRestartRequestFrame Request;
        if (!DecodeFrame(F, Request))
            return false;
        std::optional<TProgramImage> Image;
        if (FProgramPid > 0 && FProgramPid == ::getppid())
            Image = CaptureProgram(FProgramPid);
        const std::string Times = Image ? WriteRestartTimes(Request.Times) : std::string();
        Send(TRestartReadyFrame{Request.Request, Image.has_value()});
        if (Image && RelaunchAfterExit(*Image, Times) < 0 && !Times.empty())
            ::unlink(Times.c_str());
        return true;
    });
}

bool THelperSession::Dispatch(const TLinkFrame& Frame)
{
    const auto It = Handlers.find(Frame.Type);
    if (It == Handlers.end())
        return true; // a frame of a newer program: skipped
    if (It->second.NeedsWindow && !App)
        MakeApplication();
    if (It->second.Handler(Frame))
        return true;
    Link->Close();
    LinkEnded(true);
    return false;
}

void THelperSession::MakeApplication()
{
    ChooseHelperPlatform();
    App = std::make_unique<QApplication>(Argc, Argv);
    // The helper's windows come and go; the helper ends with its link.
    QApplication::setQuitOnLastWindowClosed(false);
}

void THelperSession::BeginWork()
{
    ++Work;
}

void THelperSession::EndWork()
{
    if (Work > 0)
        --Work;
    QuitWhenIdle();
}

void THelperSession::LinkEnded(bool Malformed)
{
    if (Ended)
        return;
    Ended = true;
    if (Malformed)
        ExitCode = 1;
    if (Notifier)
        Notifier->setEnabled(false);
    // The program's alerts mean nothing without it.
    Alerts.clear();
    QuitWhenIdle();
}

void THelperSession::QuitWhenIdle()
{
    if (Ended && Work == 0 && App)
        QCoreApplication::exit(ExitCode);
}

void THelperSession::Pump()
{
    for (TLinkFrame F;;) {
        const TLinkRead R = Link->ReceiveReady(F);
        if (R == TLinkRead::lrNone)
            return;
        if (R != TLinkRead::lrFrame) {
            LinkEnded(R == TLinkRead::lrMalformed);
            return;
        }
        if (!Dispatch(F))
            return;
    }
}

void THelperSession::EnsureApplication()
{
    if (!App)
        MakeApplication();
}

int THelperSession::Run()
{
    Send(THelloFrame{LinkVersion, static_cast<std::uint32_t>(::getpid()), "tolvex-crashreport"});
    // Without a window: wait on the link itself.
    while (!App && !Ended) {
        TLinkFrame F;
        const TLinkRead R =
            Link->Receive(F, Idle ? std::chrono::milliseconds(25) : std::chrono::milliseconds(-1));
        if (R == TLinkRead::lrFrame)
            Dispatch(F);
        else if (R != TLinkRead::lrNone)
            LinkEnded(R == TLinkRead::lrMalformed);
        else if (Idle)
            Idle();
    }
    if (!App && Work == 0)
        return ExitCode;
    // Work that outlives the link, begun before any window, waits in an event
    // loop too.
    if (!App)
        MakeApplication();
    // With windows: the event loop watches the link.
    if (!Ended) {
        Notifier = std::make_unique<QSocketNotifier>(Link->Fd(), QSocketNotifier::Read);
        QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { Pump(); });
        // Frames that arrived with the one that made the application.
        QTimer::singleShot(0, [this] { Pump(); });
    }
    QTimer::singleShot(0, [this] { QuitWhenIdle(); });
    const int Code = QApplication::exec();
    Alerts.clear();
    return Code;
}
