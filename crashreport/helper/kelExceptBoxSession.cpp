#include "crashreport/helper/kelExceptBoxSession.h"

#include "crashreport/helper/kelExceptPrint.h"
#include "crashreport/helper/kelHelperSession.h"
#include "crashreport/kelExceptHandlers.h"
#include "crashreport/kelExceptSave.h"
#include "crashreport/send/kelExceptSend.h"

#include <QApplication>
#include <QEventLoop>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <algorithm>

TExceptBoxSession::TExceptBoxSession(THelperSession& ASession) : Session(ASession)
{
    Register();
}

TExceptBoxSession::~TExceptBoxSession() = default;

TExceptBox* TExceptBoxSession::Box(std::uint32_t Report) const
{
    const auto It = Reports.find(Report);
    return It == Reports.end() ? nullptr : It->second->Box.get();
}

void TExceptBoxSession::Register()
{
    // The owner comes before its report; a program that keeps sending owners
    // without reports is not what it should be.
    Session.Handle(lfBoxOwner, false, [this](const TLinkFrame& F) {
        TBoxOwnerFrame O;
        if (!DecodeFrame(F, O) || Reports.count(O.Report) ||
            (Owners.size() >= 16 && !Owners.count(O.Report)))
            return false;
        Owners[O.Report] = O;
        return true;
    });
    Session.Handle(lfReportBegin, true, [this](const TLinkFrame& F) {
        TReportBeginFrame B;
        return DecodeFrame(F, B) && Begin(B);
    });
    Session.Handle(lfReportField, false, [this](const TLinkFrame& F) {
        TReportFieldFrame Field;
        if (!DecodeFrame(F, Field) || !Reports.count(Field.Report))
            return false;
        TReport& R = *Reports[Field.Report];
        auto It = std::find_if(R.Header.begin(), R.Header.end(),
                               [&](const TViewerField& H) { return H.Name == Field.Name; });
        if (It == R.Header.end())
            R.Header.push_back({Field.Name, Field.Value});
        else
            It->Value = Field.Value;
        if (R.Box)
            R.Box->SetReport(R.Header, R.Sections);
        return true;
    });
    Session.Handle(lfReportSection, false, [this](const TLinkFrame& F) {
        TReportSectionFrame S;
        if (!DecodeFrame(F, S) || !Reports.count(S.Report))
            return false;
        TReport& R = *Reports[S.Report];
        auto It = std::find_if(R.Sections.begin(), R.Sections.end(),
                               [&](const TBoxSection& B) { return B.Name == S.Name; });
        if (It == R.Sections.end())
            R.Sections.push_back({S.Name, S.Thread, S.Text});
        else
            *It = {S.Name, S.Thread, S.Text};
        if (R.Box)
            R.Box->SetReport(R.Header, R.Sections);
        return true;
    });
    Session.Handle(lfReportComplete, false, [this](const TLinkFrame& F) {
        TReportCompleteFrame C;
        if (!DecodeFrame(F, C) || !Reports.count(C.Report))
            return false;
        Reports[C.Report]->Full = C.Text;
        if (TExceptBox* B = Box(C.Report))
            B->SetFullReport(C.Text);
        if (OnProgress)
            OnProgress(C.Report, true);
        return true;
    });
    Session.Handle(lfShowDetails, false, [this](const TLinkFrame& F) {
        TShowDetailsFrame S;
        if (!DecodeFrame(F, S) || !Reports.count(S.Report))
            return false;
        if (TExceptBox* B = Box(S.Report))
            B->ShowDetails();
        return true;
    });
    Session.Handle(lfCloseBox, false, [this](const TLinkFrame& F) {
        TCloseBoxFrame C;
        if (!DecodeFrame(F, C) || !Reports.count(C.Report))
            return false;
        if (TExceptBox* B = Box(C.Report))
            B->CloseBox();
        return true;
    });
    Session.Handle(lfHandlersAnswer, false, [this](const TLinkFrame& F) {
        THandlersAnswerFrame A;
        if (!DecodeFrame(F, A) || A.Request == 0 || A.Request != Waiting)
            return false;
        Answer = A.Handled;
        return true;
    });
}

bool TExceptBoxSession::Begin(const TReportBeginFrame& F)
{
    if (Reports.count(F.Report))
        return false;
    if (OnProgress)
        OnProgress(F.Report, false);
    auto R = std::make_unique<TReport>();
    R->Begin = F;
    R->Mirror = std::make_shared<TExceptMirror>(F.Settings);
    R->Mirror->SetProgram(F.Executable, F.Class, F.Message);
    const TBoxFacts Facts{F.Kind == 1 /* a frozen main thread */, F.CanContinue, F.Simple,
                          F.SimpleDetails};
    R->Box = std::make_unique<TExceptBox>(R->Mirror->Settings(), Facts);
    const std::uint32_t Report = F.Report;
    R->Box->FireHandlers = [this, Report](std::uint8_t Kind, std::uint8_t Code) {
        return Fire(Report, Kind, Code);
    };
    R->Box->Action = [this, Report](TBoxButton Button) { Act(Report, Button); };
    QObject::connect(R->Box.get(), &QDialog::finished, R->Box.get(),
                     [this, Report] { Finished(Report); });
    TExceptBox* Box = R->Box.get();
    // The box reads the mirror's settings until it is gone.
    QObject::connect(Box, &QObject::destroyed, [Mirror = R->Mirror] {});
    Reports[Report] = std::move(R);
    if (const QScreen* S = QGuiApplication::primaryScreen())
        Session.Send(TDisplayModeFrame{Report, static_cast<std::uint32_t>(S->size().width()),
                                       static_cast<std::uint32_t>(S->size().height()),
                                       static_cast<std::uint32_t>(S->depth())});
    TBoxOwnerFrame Owner{F.Report, 0, false};
    if (const auto It = Owners.find(F.Report); It != Owners.end()) {
        Owner = It->second;
        Owners.erase(It);
    }
    // On X11 the box stands over the program's main window (the window
    // manager keeps it in front of it and may place it there).
    if (Owner.Window != 0 && QGuiApplication::platformName() == "xcb") {
        Box->winId();
        if (QWindow* Program = QWindow::fromWinId(static_cast<WId>(Owner.Window))) {
            Reports[Report]->Owner.reset(Program);
            Box->windowHandle()->setTransientParent(Program);
        }
    }
    if (Owner.Beep)
        QApplication::beep();
    Box->show();
    Box->raise();
    Box->activateWindow();
    return true;
}

bool TExceptBoxSession::Fire(std::uint32_t Report, std::uint8_t Kind, std::uint8_t Code)
{
    // One round at a time; the answer comes through the event loop, which
    // also notices the link's end.
    if (Waiting != 0)
        return false;
    Waiting = NextRequest++;
    Answer.reset();
    if (!Session.Send(TFireHandlersFrame{Report, Waiting, Kind, Code})) {
        Waiting = 0;
        return false;
    }
    WaitUntil([this] { return Answer.has_value(); });
    Waiting = 0;
    return Answer.value_or(false);
}

void TExceptBoxSession::WaitUntil(const std::function<bool()>& Done)
{
    QEventLoop Loop;
    QTimer Check;
    QObject::connect(&Check, &QTimer::timeout, &Loop, [&] {
        if (Done() || !Session.LinkOpen())
            Loop.quit();
    });
    Check.start(5);
    if (!Done() && Session.LinkOpen())
        Loop.exec();
}

bool TExceptBoxSession::WaitForFullText(std::uint32_t Report)
{
    auto Full = [this, Report] {
        const auto It = Reports.find(Report);
        return It == Reports.end() || It->second->Full.has_value();
    };
    WaitUntil(Full);
    const auto It = Reports.find(Report);
    return It != Reports.end() && It->second->Full.has_value();
}

void TExceptBoxSession::Act(std::uint32_t Report, TBoxButton Button)
{
    if (!Reports.count(Report))
        return;
    // Every round and the assistant run the event loop, in which the box may
    // close and its report go: each step looks the report up afresh.
    auto RunIt = [this, Report, Button]() {
        const auto It = Reports.find(Report);
        if (It == Reports.end())
            return TAssistantResult::arCancelled;
        const std::shared_ptr<TExceptMirror> Mirror = It->second->Mirror;
        const std::string Name = Mirror->Settings().GetTextSetting(
            TTextKey::Named(AssistantSettingOf(static_cast<std::uint8_t>(Button))));
        if (Name.empty())
            return TAssistantResult::arNone;
        const std::uint8_t Result = RunAssistant(
            Mirror, Name, Mirror->Settings().GetTextSetting("TitleBar"), It->second->Box.get());
        if (Result == nmrNone)
            return TAssistantResult::arNone;
        if (Result == nmrCancel || !Reports.count(Report))
            return TAssistantResult::arCancelled;
        // What the user entered goes to the program, which owns the report.
        for (const TAssistantOutput& O : Mirror->Outputs)
            Session.Send(TAssistantOutputFrame{Report, O.Name, O.OwnSection, O.Text});
        for (const std::string& Key : Mirror->ChangedSettings())
            if (Key == "MailFrom")
                Session.Send(TSettingChangedFrame{Report, Key,
                                                  Mirror->Settings().GetTextSetting("MailFrom")});
        if (Mirror->AttachScreenShotChanged())
            Session.Send(TAttachScreenShotFrame{Report, Mirror->AttachScreenShot()});
        return TAssistantResult::arConfirmed;
    };
    // A report whose box has gone meanwhile counts as handled: nothing is
    // left to do for it.
    auto FireAction = [this, Report](std::uint8_t Code) {
        return !Reports.count(Report) || Fire(Report, hkAction, Code);
    };
    if (!FireAssistedAction(static_cast<std::uint8_t>(Button), FireAction, RunIt))
        Carry(Report, Button);
}

void TExceptBoxSession::Carry(std::uint32_t Report, TBoxButton Button)
{
    // The report may still be calculated in the program: the action waits
    // for its last section, the box staying usable meanwhile.
    if (!WaitForFullText(Report))
        return;
    TReport& R = *Reports[Report];
    const std::string Text = *R.Full;
    switch (Button) {
    case bbSave:
        if (SaveReportToFile(Text, *R.Mirror->SettingsCopy(), {}))
            Fire(Report, hkAction, acSaved);
        return;
    case bbPrint:
        PrintReport(Text, R.Mirror->Settings(), R.Box.get());
        return;
    case bbSend: {
        // On a thread of its own, which the helper outlives even when the
        // program and its box are gone; the box stays usable meanwhile.
        TSendOptions Options;
        Options.Background = true;
        Options.Finished = [this, Report](TSendResult Result) {
            QMetaObject::invokeMethod(
                qApp,
                [this, Report, Result] {
                    if (Result == TSendResult::srSent && Reports.count(Report))
                        Fire(Report, hkAction, acSent);
                    Session.EndWork();
                },
                Qt::QueuedConnection);
        };
        Session.BeginWork();
        SendReport(Text, R.Mirror->AttachScreenShot() ? R.Mirror->ScreenShot() : nullptr,
                   R.Mirror->SettingsCopy(),
                   NewHelperSendUi(R.Mirror->Settings().GetTextSetting("TitleBar")), Options);
        return;
    }
    default:
        return;
    }
}

void TExceptBoxSession::Finished(std::uint32_t Report)
{
    const auto It = Reports.find(Report);
    if (It == Reports.end())
        return;
    if (const auto V = It->second->Box->Verdict()) {
        const std::uint8_t Verdict = *V == bbRestart ? bvRestart
                                     : *V == bbClose ? bvClose
                                                     : bvContinue;
        Session.Send(TVerdictFrame{Report, Verdict});
    }
    // The box is inside its own signal: it goes when the event loop is back.
    It->second->Box.release()->deleteLater();
    Reports.erase(It);
}
