#include "admin/uDlgPresetsManage.h"
#include "admin/uDlgSendMessage.h"
#include "admin/uPresets.h"
#include "admin/uSendMessage.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/MainThreadLoop.h"
#include "platform/Thread.h"
#include "settings/Language.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include "tests/admin/SessionPeers.h"
#include "tests/forms/GuiTestApp.h"
#include "tests/support/FifoTrap.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

using guitest::Child;
using guitest::ModalDriver;
using sessiontest::Pty;

namespace {

// The application with its main thread serving the worker's calls, the
// built-in English texts and private buses with logind and a notification
// server on them.
class SendMessageGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        static bool Installed = false;
        if (!Installed) {
            InstallMainThreadIntoEventLoop();
            Installed = true;
        }
        LangChanger = std::make_unique<TLangChanger>();
        SetPresetMacroValues("PC1", "admin", "10:11");
    }
    void TearDown() override
    {
        Logind.reset();
        Notifications.reset();
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
        ResetPresetMacroValues();
        LangChanger.reset();
    }
    void StartPeers(const std::string& Sessions, const std::string& Delay = "0")
    {
        const std::string Json = Dir.Path("sessions.json");
        std::ofstream(Json) << Sessions;
        SystemBus = std::make_unique<sessiontest::PrivateBus>(Dir.Path(), "system");
        SessionBus = std::make_unique<sessiontest::PrivateBus>(Dir.Path(), "session");
        Logind = sessiontest::StartPeer("logind", *SystemBus, Json, Delay);
        Notifications =
            sessiontest::StartPeer("notifications", *SessionBus, Dir.Path("notify.log"));
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", SystemBus->Address.c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", SessionBus->Address.c_str(), 1);
    }
    static std::string TtySession(const std::string& Id, const std::string& Line)
    {
        return "{\"id\":\"" + Id + "\",\"uid\":1000,\"user\":\"u" + Id + "\",\"tty\":\"" + Line +
               "\"}";
    }
    // Presses Send and serves the worker until it has reported back.
    static void SendAndWait(TDlgSendMessage& Dlg)
    {
        ASSERT_TRUE(Dlg.actSend()->Execute());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !Dlg.Sending(); }, 20000));
    }

    TempFolder Dir;
    std::unique_ptr<sessiontest::PrivateBus> SystemBus, SessionBus;
    std::unique_ptr<sessiontest::Child> Logind, Notifications;
};

// Works the next real message box once it is up: Fn gets it and closes it.
void AnswerNextBox(QObject* Context, std::function<void(QMessageBox&)> Fn)
{
    auto* Timer = new QTimer(Context);
    QObject::connect(Timer, &QTimer::timeout, Timer, [Timer, Fn] {
        if (auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            Timer->stop();
            Timer->deleteLater();
            Fn(*Box);
        }
    });
    Timer->start(50);
}

TEST_F(SendMessageGui, TimeoutUnitsAndCaptions)
{
    TDlgSendMessage Dlg("", nullptr);
    auto* Number = Child<QSpinBox>(Dlg, "edTimeout");
    auto* Unit = Child<QComboBox>(Dlg, "cmbTimeoutType");
    auto* Check = Child<QCheckBox>(Dlg, "chkTimeout");
    const struct {
        int Seconds, Number, Unit;
    } Cases[] = {{120, 2, 1}, {7200, 2, 2}, {90, 90, 0}, {60, 1, 1}, {0, 10, 1}, {-3, 10, 1}};
    for (const auto& C : Cases) {
        Dlg.SetTimeoutSeconds(C.Seconds);
        EXPECT_EQ(Number->value(), C.Number) << C.Seconds;
        EXPECT_EQ(Unit->currentIndex(), C.Unit) << C.Seconds;
        EXPECT_EQ(Check->isChecked(), C.Seconds > 0);
        EXPECT_EQ(Number->isEnabled(), C.Seconds > 0);
        EXPECT_EQ(Unit->isEnabled(), C.Seconds > 0);
        EXPECT_EQ(Dlg.TimeoutSeconds(), std::max(0, C.Seconds));
    }
    // Unchecking sends without time-out; the empty unit counts seconds; the
    // largest time-out does not overflow.
    Dlg.SetTimeoutSeconds(7200);
    Check->setChecked(false);
    EXPECT_EQ(Dlg.TimeoutSeconds(), 0);
    EXPECT_FALSE(Number->isEnabled());
    Check->setChecked(true);
    Unit->setCurrentIndex(3);
    EXPECT_EQ(Dlg.TimeoutSeconds(), 2);
    Number->setValue(5000);
    Unit->setCurrentIndex(2);
    EXPECT_EQ(Dlg.TimeoutSeconds(), 1000 * 3600);

    Dlg.SetTarget("", AllSessions);
    EXPECT_EQ(Child<QGroupBox>(Dlg, "gbMessage")->title(),
              "Send message to all sessions on \"Local Host\"");
    Dlg.SetTarget("pc7", 5);
    EXPECT_EQ(Child<QGroupBox>(Dlg, "gbMessage")->title(),
              "Send message to selected process session (ID: 5) on \"pc7\"");
    Dlg.actSend()->Update();
    Dlg.actPreview()->Update();
    EXPECT_FALSE(Dlg.actSend()->isEnabled()); // no message yet
    EXPECT_FALSE(Dlg.actPreview()->isEnabled());
}

TEST_F(SendMessageGui, PresetsMenuFillsTitleAndTextAndSavesOnlyAChange)
{
    const std::string File = Dir.Path("presets.xml");
    {
        TempFolder::Write(File, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options/>\n");
        TPresets P;
        for (int I = 0; I < 23; ++I)
            P.AddPreset(I == 1 ? "Tom & Jerry" : "preset " + std::to_string(I),
                        "title " + std::to_string(I), 3, "line\r\n" + std::to_string(I));
        ASSERT_TRUE(P.SaveToFile(File));
    }
    const std::string Before = sessiontest::ReadText(File);
    {
        TDlgSendMessage Dlg(File, nullptr);
        Dlg.resize(460, 380);
        Dlg.show();
        Dlg.BuildPresetsMenu();
        const auto Items = Dlg.PresetsMenu()->actions();
        ASSERT_EQ(Items.size(), 21 + 2);
        EXPECT_EQ(Items[1]->text(), "Tom && Jerry");
        EXPECT_TRUE(Items[21]->isSeparator());
        EXPECT_EQ(Items[22], Dlg.actPresetsManage());
        Dlg.PresetsMenu()->popup(Dlg.mapToGlobal(QPoint(40, 300)));
        guitest::SaveScreenshot(*Dlg.PresetsMenu(), "send-message-presets-menu");
        Dlg.PresetsMenu()->hide();
        Items[1]->trigger();
        EXPECT_EQ(Child<QLineEdit>(Dlg, "edTitle")->text(), "title 1");
        EXPECT_EQ(Child<QPlainTextEdit>(Dlg, "mMessage")->toPlainText(), "line\n1");
        EXPECT_EQ(Dlg.MessageType(), 0); // the type stays the user's choice
    }
    EXPECT_EQ(sessiontest::ReadText(File), Before); // nothing changed, nothing written
    {
        TDlgSendMessage Dlg(File, nullptr);
        ModalDriver Driver([](QDialog& D) {
            auto& M = dynamic_cast<TDlgPresetsManage&>(D);
            M.actRemove()->Update();
            TMessageSink Old = SetMessageSink([](const TMessageBoxCall&) { return mrYes; });
            M.actRemove()->Execute();
            SetMessageSink(Old);
            return int(mrOk);
        });
        Dlg.BuildPresetsMenu();
        Dlg.actPresetsManage()->trigger();
        EXPECT_EQ(Dlg.Presets().Count(), 22);
    }
    TPresets Back;
    ASSERT_TRUE(Back.LoadFromFile(File));
    EXPECT_EQ(Back.Count(), 22);
    EXPECT_EQ(Back.Items(0)->Name, "Tom & Jerry");
}

TEST_F(SendMessageGui, SentMessageReachesTheTerminalAndIsKeptForNextTime)
{
    Pty A;
    StartPeers("[" + TtySession("1", A.Line) + "]");
    int Opened = 0;
    ModalDriver Driver([&](QDialog& D) -> int {
        auto& Dlg = dynamic_cast<TDlgSendMessage&>(D);
        ++Opened;
        if (Opened == 1) {
            Dlg.resize(460, 380);
            Dlg.show();
            Child<QLineEdit>(Dlg, "edTitle")->setText("From %USER_NAME%");
            Child<QPlainTextEdit>(Dlg, "mMessage")->setPlainText("Restart %computer_name%\nnow");
            Child<QComboBox>(Dlg, "cmbMessageType")->setCurrentIndex(2);
            Dlg.SetTimeoutSeconds(120);
            guitest::SaveScreenshot(Dlg, "send-message-dialog");
            SendAndWait(Dlg);
            return Dlg.result();
        }
        EXPECT_EQ(Dlg.Title(), "From %USER_NAME%");
        EXPECT_EQ(Dlg.Text(), "Restart %computer_name%\r\nnow");
        EXPECT_EQ(Dlg.MessageType(), 2);
        EXPECT_EQ(Dlg.TimeoutSeconds(), 120);
        EXPECT_EQ(Child<QSpinBox>(Dlg, "edTimeout")->value(), 2);
        return int(mrCancel);
    });
    EXPECT_TRUE(ShowSendMessageDialog("", AllSessions));
    const std::string Seen = A.ReadAll();
    EXPECT_NE(Seen.find("From admin ("), std::string::npos) << Seen;
    EXPECT_NE(Seen.find("Restart PC1\r\nnow\r\n"), std::string::npos) << Seen;
    EXPECT_FALSE(ShowSendMessageDialog("", AllSessions));
    EXPECT_EQ(Opened, 2);
}

TEST_F(SendMessageGui, FailureOffersRetryAndCancel)
{
    Pty Closed(0600);
    StartPeers("[" + TtySession("1", Closed.Line) + "," + TtySession("2", "../../etc/passwd") +
               "]");
    TDlgSendMessage Dlg("", nullptr);
    Dlg.SetTarget("", AllSessions);
    Dlg.SetMessage("T", "hello");
    Dlg.show();

    std::vector<TMessageBoxCall> Shown;
    TMessageSink Old = SetMessageSink([&](const TMessageBoxCall& C) {
        Shown.push_back(C);
        return mrRetry;
    });
    SendAndWait(Dlg);
    SetMessageSink(Old);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0].Caption, "Error");
    EXPECT_EQ(Shown[0].Icon, TMsgIcon::Error);
    EXPECT_EQ(Shown[0].Buttons, TMsgButtons::RetryCancel);
    EXPECT_EQ(Shown[0].Text.rfind("No active sessions. ", 0), 0u) << Shown[0].Text;
    EXPECT_NE(Shown[0].Text.find("mesg n"), std::string::npos);
    EXPECT_NE(Shown[0].Text.find("invalid terminal line"), std::string::npos);
    // Retry: still open, editable, ready to send again.
    EXPECT_EQ(Dlg.result(), 0);
    EXPECT_TRUE(Dlg.isVisible());
    EXPECT_TRUE(Child<QLineEdit>(Dlg, "edTitle")->isEnabled());

    // The real box this time: its picture, then Cancel closes the dialog.
    bool Pictured = false;
    AnswerNextBox(&Dlg, [&](QMessageBox& Box) {
        EXPECT_NE(Box.button(QMessageBox::Retry), nullptr);
        Pictured = guitest::SaveScreenshot(Box, "send-message-failure");
        Box.button(QMessageBox::Cancel)->click();
    });
    SendAndWait(Dlg);
    EXPECT_TRUE(Pictured);
    EXPECT_EQ(Dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(Dlg.Sent());
    EXPECT_EQ(Closed.ReadAll(100), "");
}

TEST_F(SendMessageGui, AnotherComputerIsAClearError)
{
    Pty A;
    StartPeers("[" + TtySession("1", A.Line) + "]");
    TDlgSendMessage Dlg("", nullptr);
    Dlg.SetTarget("192.0.2.7", AllSessions);
    Dlg.SetMessage("T", "hello");
    Dlg.show();
    bool Pictured = false;
    std::string Text;
    AnswerNextBox(&Dlg, [&](QMessageBox& Box) {
        Text = Box.text().toStdString();
        Pictured = guitest::SaveScreenshot(Box, "send-message-another-computer");
        Box.button(QMessageBox::Cancel)->click();
    });
    SendAndWait(Dlg);
    EXPECT_TRUE(Pictured);
    EXPECT_EQ(Text,
              "Messages to the sessions of another computer are not available on this system.");
    EXPECT_EQ(A.ReadAll(100), "");
}

TEST_F(SendMessageGui, PreviewShowsTheExpandedMessageAndClosesAfterItsTimeout)
{
    TDlgSendMessage Dlg("", nullptr);
    Dlg.SetMessage("Hi %user_name%", "on %computer_name%");
    Dlg.SetMessageType(3);
    Dlg.SetTimeoutSeconds(1);
    Dlg.show();
    ASSERT_TRUE(Dlg.actPreview()->Execute());
    QMessageBox* Box = nullptr;
    for (QWidget* W : QApplication::topLevelWidgets())
        if (W->objectName() == "PreviewMessage" && W->isVisible())
            Box = qobject_cast<QMessageBox*>(W);
    ASSERT_NE(Box, nullptr);
    EXPECT_EQ(Box->windowTitle(), "Hi admin");
    EXPECT_EQ(Box->text(), "on PC1");
    EXPECT_EQ(Box->icon(), QMessageBox::Critical);
    guitest::SaveScreenshot(*Box, "send-message-preview");
    QPointer<QMessageBox> Watch(Box);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Watch.isNull() || !Watch->isVisible(); }, 5000));
}

// The send dialog is modal while it is open: a preview that it blocked could
// be neither read to its end nor closed, and Enter would preview again.
TEST_F(SendMessageGui, PreviewOfAModalDialogCanBeClosedWhileTheDialogStaysOpen)
{
    TDlgSendMessage Dlg("", nullptr);
    Dlg.SetMessage("Title", "Text");
    Dlg.setWindowModality(Qt::ApplicationModal); // as ShowModal shows it
    Dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dlg));
    const auto Previews = [] {
        std::vector<QMessageBox*> Boxes;
        for (QWidget* W : QApplication::allWidgets())
            if (W->objectName() == "PreviewMessage" && W->isVisible())
                Boxes.push_back(qobject_cast<QMessageBox*>(W));
        return Boxes;
    };
    ASSERT_TRUE(Dlg.actPreview()->Execute());
    ASSERT_EQ(Previews().size(), 1u);
    QPointer<QMessageBox> Box(Previews().front());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Box));
    // Keys reach the box, through the window system as a user's do.
    QTest::keyClick(Box->windowHandle(), Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Box.isNull() || !Box->isVisible(); }, 2000));
    EXPECT_EQ(Previews().size(), 0u) << "Enter previewed again instead of closing the box";
    EXPECT_TRUE(Dlg.isVisible());

    // And so does a click on its OK.
    ASSERT_TRUE(Dlg.actPreview()->Execute());
    ASSERT_EQ(Previews().size(), 1u);
    Box = Previews().front();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Box));
    QAbstractButton* Ok = Box->button(QMessageBox::Ok);
    ASSERT_NE(Ok, nullptr);
    QTest::mouseClick(Box->windowHandle(), Qt::LeftButton, {}, Ok->mapTo(Box, Ok->rect().center()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Box.isNull() || !Box->isVisible(); }, 2000));
    EXPECT_TRUE(Dlg.isVisible());
}

TEST_F(SendMessageGui, APresetsMarkupIsPreviewedAsText)
{
    TFifoTrap Fifo(Dir.Path("fifo"));
    ASSERT_TRUE(Fifo.Ready());
    const std::string Text = "<img src=\"" + Fifo.Path + "\"><a href=\"file:///etc\">open</a>";
    TDlgSendMessage Dlg("", nullptr);
    Dlg.SetMessage("<b>T</b>", Text);
    Dlg.show();
    ASSERT_TRUE(Dlg.actPreview()->Execute());
    QMessageBox* Box = nullptr;
    for (QWidget* W : QApplication::topLevelWidgets())
        if (W->objectName() == "PreviewMessage" && W->isVisible())
            Box = qobject_cast<QMessageBox*>(W);
    ASSERT_NE(Box, nullptr);
    QApplication::processEvents();
    guitest::SaveScreenshot(*Box, "send-message-preview-markup");
    EXPECT_EQ(Box->text().toStdString(), Text);
    Box->close();
    EXPECT_FALSE(Fifo.Opened()) << "the markup's image was loaded";
}

TEST_F(SendMessageGui, ClosingWhileSendingLeavesTheThreadNothingToCallBack)
{
    Pty A;
    StartPeers("[" + TtySession("1", A.Line) + "]", "1");
    auto* Dlg = new TDlgSendMessage("", nullptr);
    Dlg->SetTarget("", AllSessions);
    Dlg->SetMessage("T", "late");
    ASSERT_TRUE(Dlg->actSend()->Execute());
    EXPECT_TRUE(Dlg->Sending());
    Dlg->actSend()->Update();
    EXPECT_FALSE(Dlg->actSend()->isEnabled()); // one thread per dialog
    EXPECT_FALSE(Child<QLineEdit>(*Dlg, "edTitle")->isEnabled());
    EXPECT_NE(QApplication::overrideCursor(), nullptr);
    delete Dlg;
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // The thread ends on its own and calls nobody back.
    EXPECT_TRUE(QTest::qWaitFor([] { return SendMessageThreads()->Empty(); }, 20000));
}

TEST_F(SendMessageGui, EnterStaysInTheMemoEscapeCancels)
{
    TDlgSendMessage Dlg("", nullptr);
    Dlg.show();
    QApplication::setActiveWindow(&Dlg);
    auto* Memo = Child<QPlainTextEdit>(Dlg, "mMessage");
    Memo->setFocus();
    QTest::keyClicks(Memo, "a");
    QTest::keyClick(Memo, Qt::Key_Return);
    QTest::keyClicks(Memo, "b");
    EXPECT_EQ(Dlg.Text(), "a\r\nb");
    EXPECT_TRUE(Dlg.isVisible());
    QTest::keyClick(Memo, Qt::Key_Escape);
    EXPECT_EQ(Dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(Dlg.isVisible());
}

} // namespace
