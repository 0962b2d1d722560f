// Modal dialogs and message boxes: the modal results they answer with, the
// seams tests work them through, and the store's failures reaching the user.
#include "forms/Dialogs.h"
#include "forms/PlainText.h"
#include "settings/uXMLStorage.h"

#include <QDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/FifoTrap.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace guitest;

// Works the message box that the event loop shows next.
void AnswerNextMessageBox(QMessageBox::StandardButton Button, QMessageBox::Icon* SeenIcon,
                          QString* SeenTitle)
{
    QTimer::singleShot(0, [=] {
        auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(Box, nullptr);
        *SeenIcon = Box->icon();
        *SeenTitle = Box->windowTitle();
        if (Button == QMessageBox::NoButton)
            QTest::keyClick(Box, Qt::Key_Escape);
        else
            Box->button(Button)->click();
    });
}

TEST(DialogsGui, ShowModalAnswersWithTheDriversResultAndHidesTheDialog)
{
    App();
    QDialog Dlg;
    {
        ModalDriver D([](QDialog& Shown) {
            Shown.show();
            return mrYes;
        });
        EXPECT_EQ(ShowModal(Dlg), mrYes);
        EXPECT_FALSE(Dlg.isVisible());
    }
    // Without a driver the dialog runs its own loop: accepted is OK,
    // anything else Cancel.
    QTimer::singleShot(0, &Dlg, &QDialog::accept);
    EXPECT_EQ(ShowModal(Dlg), mrOk);
    QTimer::singleShot(0, &Dlg, [&] { Dlg.done(5); });
    EXPECT_EQ(ShowModal(Dlg), mrCancel);
    QTimer::singleShot(0, &Dlg, &QDialog::reject);
    EXPECT_EQ(ShowModal(Dlg), mrCancel);
}

TEST(DialogsGui, MessagesGoToTheSinkAndBackToTheMessageBoxWhenItIsRemoved)
{
    App();
    std::vector<TMessageBoxCall> Calls;
    const TMessageSink Old = SetMessageSink([&](const TMessageBoxCall& C) {
        Calls.push_back(C);
        return mrNo;
    });
    EXPECT_FALSE(Old);
    EXPECT_EQ(ShowMessageBox("Delete?", "Tolvex", TMsgIcon::Question, TMsgButtons::YesNo), mrNo);
    EXPECT_EQ(ShowMessageBox("Done", "Tolvex"), mrNo);
    ASSERT_EQ(Calls.size(), 2u);
    EXPECT_EQ(Calls[0].Text, "Delete?");
    EXPECT_EQ(Calls[0].Caption, "Tolvex");
    EXPECT_EQ(Calls[0].Icon, TMsgIcon::Question);
    EXPECT_EQ(Calls[0].Buttons, TMsgButtons::YesNo);
    EXPECT_EQ(Calls[1].Icon, TMsgIcon::Information);
    EXPECT_EQ(Calls[1].Buttons, TMsgButtons::OK);
    EXPECT_TRUE(SetMessageSink({}));

    // The message box itself: each button is its modal result, and Escape
    // is the answer that changes nothing.
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    QString Title;
    AnswerNextMessageBox(QMessageBox::No, &Icon, &Title);
    EXPECT_EQ(ShowMessageBox("Really?", "Ask", TMsgIcon::Question, TMsgButtons::YesNoCancel), mrNo);
    EXPECT_EQ(Icon, QMessageBox::Question);
    EXPECT_EQ(Title, "Ask");
    AnswerNextMessageBox(QMessageBox::NoButton, &Icon, &Title);
    EXPECT_EQ(ShowMessageBox("Really?", "Ask", TMsgIcon::Warning, TMsgButtons::YesNoCancel),
              mrCancel);
    EXPECT_EQ(Icon, QMessageBox::Warning);
    AnswerNextMessageBox(QMessageBox::NoButton, &Icon, &Title);
    EXPECT_EQ(ShowMessageBox("Really?", "Ask", TMsgIcon::Error, TMsgButtons::YesNo), mrNo);
    EXPECT_EQ(Icon, QMessageBox::Critical);
    AnswerNextMessageBox(QMessageBox::Ok, &Icon, &Title);
    EXPECT_EQ(ShowMessageBox("Fine", "Info"), mrOk);
}

TEST(DialogsGui, FilesTheStoreCannotReadAreReportedAsErrors)
{
    App();
    TempFolder Dir;
    TempFolder::Write(Dir.Path("options.xml"), "<Options><unclosed>");
    std::vector<TMessageBoxCall> Calls;
    SetMessageSink([&](const TMessageBoxCall& C) {
        Calls.push_back(C);
        return mrOk;
    });
    RouteStoreMessagesToMessageBoxes();
    TXMLStorage Store(Dir.Path("options.xml"));
    Store.Load();
    SetXMLStorageMessageHandler({});
    SetMessageSink({});
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Caption, "Error!");
    EXPECT_NE(Calls[0].Text.find("options.xml"), std::string::npos);
    EXPECT_EQ(Calls[0].Icon, TMsgIcon::Error);
}

TEST(DialogsGui, NumericEditsTakeDigitsOnly)
{
    App();
    QLineEdit Edit;
    SetEditNumeric(&Edit);
    SetEditNumeric(nullptr);
    QTest::keyClicks(&Edit, "1a2-3 4");
    EXPECT_EQ(Edit.text(), "1234");
    EXPECT_TRUE(Edit.alignment() & Qt::AlignRight);
}

} // namespace

namespace {

TEST(DialogsGui, TheEndOfTheSessionDismissesOpenDialogsAndShowsNoMore)
{
    App();
    ASSERT_FALSE(DialogsDismissed());
    // Should a box be shown after all, this answers it, so that the fault
    // fails the test instead of hanging it.
    bool ShownAfterTheEnd = false;
    QTimer Watchdog;
    QObject::connect(&Watchdog, &QTimer::timeout, [&] {
        if (QWidget* Open = QApplication::activeModalWidget()) {
            ShownAfterTheEnd = true;
            if (auto* D = qobject_cast<QDialog*>(Open))
                D->reject();
        }
    });
    testing::internal::CaptureStderr();

    // A message box open above a dialog when the session ends.
    QDialog Dlg;
    int BoxAnswer = -1;
    QTimer::singleShot(0, &Dlg, [&] {
        QTimer::singleShot(0, [] { DismissDialogsForEnd(); });
        BoxAnswer = ShowMessageBox("Delete all selected computers?", "Delete computers",
                                   TMsgIcon::Warning, TMsgButtons::YesNo);
    });
    EXPECT_EQ(ShowModal(Dlg), mrCancel);
    EXPECT_EQ(BoxAnswer, mrNo);
    EXPECT_FALSE(Dlg.isVisible());
    EXPECT_TRUE(DialogsDismissed());

    // From then on nothing waits for an answer.
    Watchdog.start(2000);
    EXPECT_EQ(
        ShowMessageBox("Can't write file x: No space left on device", "Error!", TMsgIcon::Error),
        mrOk);
    EXPECT_EQ(ShowMessageBox("Save?", "Ask", TMsgIcon::Question, TMsgButtons::YesNoCancel),
              mrCancel);
    QDialog Later;
    EXPECT_EQ(ShowModal(Later), mrCancel);
    EXPECT_FALSE(Later.isVisible());
    Watchdog.stop();
    EXPECT_FALSE(ShownAfterTheEnd);

    // Whatever nobody saw is in the error output.
    const std::string Told = testing::internal::GetCapturedStderr();
    EXPECT_NE(Told.find("Delete computers Delete all selected computers?"), std::string::npos)
        << Told;
    EXPECT_NE(Told.find("Error! Can't write file x: No space left on device"), std::string::npos)
        << Told;
    ShowDialogsAgain();
}

// Text from a file, markup that names a named pipe as an image and a
// link: every box and prompt shows it as it is, laid out and painted,
// without ever opening the pipe.
TEST(DialogsGui, MarkupInAMessageOrAPromptIsShownAsText)
{
    App();
    TempFolder Dir;
    TFifoTrap Fifo(Dir.Path("fifo"));
    ASSERT_TRUE(Fifo.Ready());
    const std::string Markup = "Refused: <img src=\"" + Fifo.Path +
                               "\"><a href=\"file:///etc/passwd\">details</a> <b>now</b>";

    // The message box, as every window's messages reach the user.
    QString Shown;
    QTimer::singleShot(0, [&] {
        auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(Box, nullptr);
        EXPECT_TRUE(SaveScreenshot(*Box, "MessageBoxWithMarkup"));
        for (const QLabel* L : Box->findChildren<QLabel*>())
            if (L->text().contains("Refused"))
                Shown = L->text();
        Box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(ShowMessageBox(Markup, "Error!", TMsgIcon::Error), mrOk);
    EXPECT_EQ(Shown.toStdString(), Markup);

    // A prompt of an input box, and a label.
    QInputDialog Prompt;
    SetPlainLabelText(Prompt, Markup);
    Prompt.show();
    EXPECT_TRUE(SaveScreenshot(Prompt, "PromptWithMarkup"));
    QLabel Label;
    SetPlainText(Label, Markup);
    Label.show();
    EXPECT_TRUE(SaveScreenshot(Label, "LabelWithMarkup"));
    QApplication::processEvents();

    EXPECT_FALSE(Fifo.Opened()) << "the image of the markup was loaded";
}

} // namespace
