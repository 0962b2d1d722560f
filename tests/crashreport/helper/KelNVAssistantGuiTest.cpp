// Assistant forms, offscreen: the gaps between items and the button rows as
// the laid-out widgets stand, navigation through three forms, Escape, the Tab
// ring and Return, a required edit holding back "Next >", the form timer, the
// step indicator, a form stream with an unknown tag, and the shipped send
// assistant from this program's own sections, with a screenshot of each form.
#include "crashreport/helper/kelExceptFormHandlers.h"
#include "crashreport/helper/kelExceptMirror.h"
#include "crashreport/helper/kelNVAssistant.h"
#include "crashreport/kelNVLayout.h"
#include "tests/crashreport/helper/AssistantTestSupport.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

namespace {

class CrashreportAssistant : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        InstallFormHandlers();
        Shown.clear();
        TimerEvents = 0;
    }

    static std::shared_ptr<INVAssistant> Make(const std::vector<std::string>& Texts)
    {
        std::vector<std::string> Streams;
        for (const auto& T : Texts)
            Streams.push_back(FormStream(T));
        auto A = NewAssistant("Send a report", Streams, nullptr);
        A->SetOnAction(Record);
        return A;
    }

    // The assistant's handler: which forms were shown, how often the timer
    // fired.
    static void Record(INVForm& Form, std::uint8_t Action, INVItem* Item, INVContext*)
    {
        if (Action == naFormShow)
            Shown.push_back(Form.Name());
        if (Action == naItemEvent && Item == nullptr)
            ++TimerEvents;
    }

    static std::vector<std::string> Shown;
    static int TimerEvents;
};

std::vector<std::string> CrashreportAssistant::Shown;
int CrashreportAssistant::TimerEvents = 0;

// An item's rectangle as the form lays it out, from its widget: a label's
// widget stands 2 above it, an edit's 2 inside its frame.
QRect ItemRect(QDialog& D, const char* Name)
{
    QWidget* W = ItemWidget(D, Name);
    if (W == nullptr)
        return {};
    if (qobject_cast<QLineEdit*>(W) || qobject_cast<QPlainTextEdit*>(W))
        return W->geometry().adjusted(-2, -2, 2, 2);
    if (W->inherits("QAbstractButton"))
        return W->geometry();
    return W->geometry().adjusted(0, 2, 0, 0);
}

int Gap(QDialog& D, const char* Upper, const char* Lower)
{
    const QRect U = ItemRect(D, Upper), L = ItemRect(D, Lower);
    return L.top() - (U.top() + U.height());
}

TEST_F(CrashreportAssistant, CaptionLabelsAndEditsTakeTurns)
{
    auto A = Make({"object Layout: TNVForm\n"
                   "  object NameLabel: TNVLabel\n    Caption = Name:\n  end\n"
                   "  object NameEdit: TNVEdit\n  end\n"
                   "  object MailLabel: TNVLabel\n    Caption = Address:\n  end\n"
                   "  object MailEdit: TNVEdit\n  end\n"
                   "  object Remember: TNVCheckBox\n    Caption = Remember\n  end\n"
                   "end\n"});
    TDialogSteps Steps({[](QDialog& D) {
        const int W = D.width();
        EXPECT_EQ(ItemWidget(D, "NameLabel")->geometry().topLeft(), QPoint(21, 38));
        EXPECT_EQ(ItemWidget(D, "NameEdit")->geometry().left(), 23);
        EXPECT_EQ(ItemWidget(D, "NameEdit")->width(), W - 46);
        EXPECT_EQ(Gap(D, "NameLabel", "NameEdit"), 4);
        EXPECT_EQ(Gap(D, "NameEdit", "MailLabel"), 8);
        EXPECT_EQ(Gap(D, "MailLabel", "MailEdit"), 4);
        EXPECT_EQ(Gap(D, "MailEdit", "Remember"), 12);
        // Below the last item: the buttons' room, 32 + 33.
        const QRect Last = ItemRect(D, "Remember");
        EXPECT_EQ(D.height(), Last.top() + Last.height() + 32 + 33);
        SaveScreenshot(D, "CrashreportAssistant-CaptionLabels");
        Click(D, "CancelBtn");
    }});
    EXPECT_EQ(A->ShowModal(nullptr), nmrCancel);
}

TEST_F(CrashreportAssistant, GapsBetweenTwoItems)
{
    const struct {
        const char* First;
        const char* Second;
        int Gap;
    } Cases[] = {
        {"object A: TNVLabel\n Caption = A plain sentence.\nend\n",
         "object B: TNVLabel\n Caption = Another one.\nend\n", 8},
        {"object A: TNVLabel\n Caption = Question?\nend\n",
         "object B: TNVCheckBox\n Caption = yes\nend\n", 4},
        {"object A: TNVEdit\nend\n", "object B: TNVEdit\nend\n", 6},
        {"object A: TNVButton\nend\n", "object B: TNVButton\nend\n", 4},
        {"object A: TNVCheckBox\nend\n", "object B: TNVCheckBox\nend\n", 8},
        {"object A: TNVEdit\nend\n", "object B: TNVCheckBox\nend\n", 12},
        {"object A: TNVCheckBox\nend\n", "object B: TNVEdit\nend\n", 12},
        {"object A: TNVEdit\n Spacing = 30\nend\n", "object B: TNVEdit\nend\n", 30},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(std::string(C.First) + C.Second);
        auto A = Make({std::string("object F: TNVForm\n") + C.First + C.Second + "end\n"});
        TDialogSteps Steps({[&](QDialog& D) {
            EXPECT_EQ(Gap(D, "A", "B"), C.Gap);
            Click(D, "CancelBtn");
        }});
        EXPECT_EQ(A->ShowModal(nullptr), nmrCancel);
    }
}

TEST_F(CrashreportAssistant, ButtonRows)
{
    const struct {
        const char* Buttons;
        int Height, MinWidth;
        bool RightAligned, SkipShown;
    } Cases[] = {
        {"", 32, 85, false, true},
        {"object ContinueBtn: TNVButton\n NoOwnerDraw = true\nend\n"
         "object SkipBtn: TNVButton\n NoOwnerDraw = true\nend\n"
         "object CancelBtn: TNVButton\n NoOwnerDraw = true\nend\n",
         23, 75, false, true},
        {"object ContinueBtn: TNVButton\n NoOwnerDraw = true\nend\n"
         "object SkipBtn: TNVButton\n Visible = false\nend\n"
         "object CancelBtn: TNVButton\n NoOwnerDraw = true\nend\n",
         23, 75, true, false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Buttons);
        auto A = Make({std::string("object F: TNVForm\n") + C.Buttons +
                       "object L: TNVLabel\n Caption = Text.\nend\nend\n"});
        TDialogSteps Steps({[&](QDialog& D) {
            QWidget* Next = ItemWidget(D, "ContinueBtn");
            QWidget* Skip = ItemWidget(D, "SkipBtn");
            QWidget* Cancel = ItemWidget(D, "CancelBtn");
            const int W = D.width(), H = D.height();
            for (QWidget* B : {Next, Skip, Cancel}) {
                if (B->isHidden())
                    continue;
                EXPECT_EQ(B->height(), C.Height);
                EXPECT_GE(B->width(), C.MinWidth);
                EXPECT_EQ(B->y(), H - C.Height - 9);
            }
            EXPECT_EQ(Skip->isVisible(), C.SkipShown);
            EXPECT_EQ(Cancel->x() + Cancel->width(), W - 8);
            if (C.RightAligned) {
                EXPECT_EQ(Next->x() + Next->width(), Cancel->x() - 8);
            } else {
                EXPECT_EQ(Next->x(), 8);
                EXPECT_EQ(Skip->x(), Next->x() + Next->width() + 8);
            }
            // The items' panel ends 10 above the buttons.
            EXPECT_EQ(D.height(), ItemRect(D, "L").bottom() + 1 + C.Height + 33);
            SaveScreenshot(D, QString("CrashreportAssistant-Buttons-%1").arg(C.Height) +
                                  (C.SkipShown ? "" : "-NoSkip"));
            Click(D, "ContinueBtn");
        }});
        EXPECT_EQ(A->ShowModal(nullptr), nmrNext);
    }
}

std::string Simple(const std::string& Name)
{
    return "object " + Name + ": TNVForm\n Message = Form " + Name +
           "\n object L: TNVLabel\n  Caption = Form " + Name + ".\n end\nend\n";
}

TEST_F(CrashreportAssistant, SkipGoesOnAndEscapeEndsTheRow)
{
    auto A = Make({Simple("First"), Simple("Second"), Simple("Third")});
    TDialogSteps Steps({[](QDialog& D) {
                            EXPECT_EQ(D.objectName(), "First");
                            EXPECT_EQ(D.windowTitle(), "Send a report");
                            Click(D, "SkipBtn");
                        },
                        [](QDialog& D) {
                            EXPECT_EQ(D.objectName(), "Second");
                            Press(D, Qt::Key_Escape);
                        }});
    EXPECT_EQ(A->ShowModal(nullptr), nmrCancel);
    EXPECT_EQ(A->ModalResult(), nmrCancel);
    EXPECT_EQ(Shown, (std::vector<std::string>{"First", "Second"}));
    EXPECT_EQ(A->Form(0)->ModalResult(), nmrSkip);
    EXPECT_EQ(A->Form(1)->ModalResult(), nmrCancel);
    EXPECT_EQ(A->Form(2)->ModalResult(), nmrNone);
    EXPECT_EQ(A->FindForm("SECOND"), A->Form(1));
}

TEST_F(CrashreportAssistant, EscapeDoesNothingWhileCancelIsDisabled)
{
    auto A = Make({"object F: TNVForm\n"
                   " object CancelBtn: TNVButton\n  Enabled = false\n end\n"
                   " object E: TNVEdit\n end\nend\n"});
    TDialogSteps Steps({[](QDialog& D) {
        EXPECT_FALSE(ItemWidget(D, "CancelBtn")->isEnabled());
        Press(D, Qt::Key_Escape);
        QTest::qWait(50);
        EXPECT_TRUE(D.isVisible());
        // The window's own close is Cancel all the same.
        D.close();
    }});
    EXPECT_EQ(A->ShowModal(nullptr), nmrCancel);
}

TEST_F(CrashreportAssistant, RequiredEditHoldsBackNext)
{
    auto A = Make({"object F: TNVForm\n"
                   " object Required: TNVEdit\n end\n"
                   " object Free: TNVEdit\n  Optional = true\n end\n"
                   " object Multi: TNVEdit\n  Lines = 3\n  Optional = true\n end\nend\n"});
    TDialogSteps Steps({[](QDialog& D) {
        QWidget* Next = ItemWidget(D, "ContinueBtn");
        auto* Required = ItemWidget<QLineEdit>(D, "Required");
        EXPECT_FALSE(Next->isEnabled());
        QTest::keyClicks(Required, "x");
        EXPECT_TRUE(Next->isEnabled());
        QTest::keyClick(Required, Qt::Key_Backspace);
        EXPECT_FALSE(Next->isEnabled());
        QTest::keyClicks(Required, "kept");
        QTest::keyClicks(ItemWidget<QPlainTextEdit>(D, "Multi"), "two");
        QTest::keyClick(ItemWidget<QPlainTextEdit>(D, "Multi"), Qt::Key_Return);
        QTest::keyClicks(ItemWidget<QPlainTextEdit>(D, "Multi"), "lines");
        ASSERT_TRUE(Next->isEnabled());
        Click(D, "ContinueBtn");
    }});
    EXPECT_EQ(A->ShowModal(nullptr), nmrNext);
    // Next keeps what was typed.
    EXPECT_EQ(A->Form(0)->FindEdit("Required")->Text(), "kept");
    EXPECT_EQ(A->Form(0)->FindEdit("Multi")->Text(), "two\r\nlines");
    EXPECT_EQ(A->Form(0)->FindEdit("Free")->Text(), "");
}

TEST_F(CrashreportAssistant, TabRingAndReturn)
{
    auto A = Make({"object F: TNVForm\n"
                   " object L: TNVLabel\n  Caption = Ring:\n end\n"
                   " object One: TNVEdit\n  Optional = true\n end\n"
                   " object Check: TNVCheckBox\n end\n"
                   " object Many: TNVEdit\n  Lines = 3\n  Optional = true\n end\n"
                   " object Extra: TNVButton\n end\n"
                   " object SkipBtn: TNVButton\n  Visible = false\n end\nend\n"});
    TDialogSteps Steps({[](QDialog& D) {
        // The first item after Cancel that takes the focus.
        EXPECT_EQ(FocusedName(D), "One");
        const char* Ring[] = {"Check", "Many", "Extra", "ContinueBtn", "CancelBtn", "One"};
        for (const char* Name : Ring) {
            Press(D, Qt::Key_Tab);
            EXPECT_EQ(FocusedName(D), Name);
        }
        for (int I = 4; I >= 0; --I) {
            Press(D, Qt::Key_Backtab, Qt::ShiftModifier);
            EXPECT_EQ(FocusedName(D), Ring[I]);
        }
        // Return moves on from a one-line edit and a check box, but breaks
        // the line in a multi-line edit.
        ItemWidget(D, "One")->setFocus();
        Press(D, Qt::Key_Return);
        EXPECT_EQ(FocusedName(D), "Check");
        Press(D, Qt::Key_Return);
        EXPECT_EQ(FocusedName(D), "Many");
        QTest::keyClicks(Focused(D), "a");
        Press(D, Qt::Key_Return);
        QTest::keyClicks(Focused(D), "b");
        EXPECT_EQ(FocusedName(D), "Many");
        EXPECT_EQ(ItemWidget<QPlainTextEdit>(D, "Many")->toPlainText(), "a\nb");
        // Return on a button presses it.
        ItemWidget(D, "ContinueBtn")->setFocus();
        Press(D, Qt::Key_Return);
    }});
    EXPECT_EQ(A->ShowModal(nullptr), nmrNext);
}

TEST_F(CrashreportAssistant, UnknownHandlerNameAndTheTimer)
{
    auto A = Make({"object F: TNVForm\n OnAction = SomeUnit.NoSuchRoutine\n Timer = 20\n"
                   " object L: TNVLabel\n  Caption = Waiting.\n end\nend\n"});
    EXPECT_EQ(A->Form(0)->OnAction(), nullptr);
    TDialogSteps Steps({[](QDialog& D) {
        EXPECT_TRUE(QTest::qWaitFor([] { return TimerEvents >= 3; }, 2000));
        Click(D, "ContinueBtn");
    }});
    EXPECT_EQ(A->ShowModal(nullptr), nmrNext);
    const int Events = TimerEvents;
    QTest::qWait(60);
    EXPECT_EQ(TimerEvents, Events); // the timer stops with the form
}

TEST_F(CrashreportAssistant, StepIndicatorShowsTheCurrentForm)
{
    const TNVColor Shadow = [] {
        const QColor C = QApplication::palette().color(QPalette::Dark);
        return static_cast<TNVColor>(C.red() << 16 | C.green() << 8 | C.blue());
    }();
    auto Pixel = [](const QImage& I, int X, int Y) {
        return static_cast<TNVColor>(I.pixel(X, Y) & 0xFFFFFF);
    };
    // One form: the corner where the numbers would stand is plain background.
    {
        auto A = Make({Simple("Alone")});
        TDialogSteps Steps({[&](QDialog& D) {
            const QImage I = D.grab().toImage();
            const TNVRect Box = StepBox(D.width(), 1, 1);
            const TNVColor Background = Pixel(I, Box.Left - 4, Box.Top);
            for (int Y = Box.Top; Y < Box.Bottom; ++Y)
                for (int X = Box.Left; X < Box.Right; ++X)
                    ASSERT_EQ(Pixel(I, X, Y), Background) << X << "," << Y;
            Click(D, "ContinueBtn");
        }});
        A->ShowModal(nullptr);
    }
    // Four forms: the second shows its number boxed, the others not.
    auto A = Make({Simple("One"), Simple("Two"), Simple("Three"), Simple("Four")});
    A->Form(0)->Skip();
    TDialogSteps Steps({[&](QDialog& D) {
        const QImage I = D.grab().toImage();
        SaveScreenshot(D, "CrashreportAssistant-StepTwoOfFour");
        for (int N = 1; N <= 4; ++N) {
            const TNVRect Box = StepBox(D.width(), 4, N);
            EXPECT_EQ(Pixel(I, Box.Left, Box.Top + 10) == Shadow, N == 2) << N;
            EXPECT_EQ(Pixel(I, Box.Right - 1, Box.Top + 5) == Shadow, N == 2) << N;
        }
        Press(D, Qt::Key_Escape);
    }});
    EXPECT_EQ(A->ShowModal(nullptr), nmrCancel);
}

TEST_F(CrashreportAssistant, UnknownTagIsReportedAndWhatCameBeforeStays)
{
    // The form, a label, and an edit whose second property has tag 5.
    std::string Stream = FormStream("object F: TNVForm\n object Before: TNVLabel\n"
                                    "  Caption = Read.\n end\nend\n");
    Stream.pop_back(); // reopen the form's list of children
    Stream += std::string("\x07TNVEdit\x05"
                          "After\x04Text\x06\x02ok\x03"
                          "Bad\x05");
    TDialogSteps Steps({[](QDialog& D) {
                            auto* Box = qobject_cast<QMessageBox*>(&D);
                            ASSERT_NE(Box, nullptr);
                            EXPECT_EQ(Box->windowTitle(), "kelExcept");
                            EXPECT_EQ(Box->text(),
                                      "Internal error: Invalid assistant resource (5).");
                            Box->accept();
                        },
                        [](QDialog& D) {
                            EXPECT_NE(ItemWidget(D, "Before"), nullptr);
                            EXPECT_EQ(ItemWidget<QLineEdit>(D, "After")->text(), "ok");
                            Click(D, "ContinueBtn");
                        }});
    auto A = NewAssistant("Damaged", {Stream}, nullptr);
    EXPECT_EQ(A->ShowModal(nullptr), nmrNext);
}

TEST_F(CrashreportAssistant, SendAssistantFromTheProgramsSections)
{
    TempFolder Config;
    const TEnvVar ConfigHome("XDG_CONFIG_HOME", Config.Path());
    auto Mirror = std::make_shared<TExceptMirror>(
        SettingsStream({{"Assistant1", "SendAssistant|ContactForm|DetailsForm|ScrShotForm"}},
                       {{"ScrShotDepth", 102400}}));
    // Without a screenshot the screenshot form is left out.
    auto Picture = NewNVBitmap(320, 200);
    for (int I = 0; I < 320 * 200 * 4; ++I)
        Picture->Pixels()[I] = static_cast<std::uint8_t>(I % 251);
    {
        TDialogSteps Steps({[](QDialog& D) {
            EXPECT_EQ(D.objectName(), "ContactForm");
            Press(D, Qt::Key_Escape);
        }});
        EXPECT_EQ(RunAssistant(Mirror, "SendAssistant", "tolvex", nullptr), nmrCancel);
    }
    Mirror->SetScreenShot(Picture, false);
    Mirror->SetAttachScreenShot(true, false);
    TDialogSteps Steps({[](QDialog& D) {
                            EXPECT_EQ(D.objectName(), "ContactForm");
                            EXPECT_EQ(D.windowTitle(), "tolvex");
                            QTest::keyClicks(ItemWidget(D, "NameEdit"), "Ada Lovelace");
                            QTest::keyClicks(ItemWidget(D, "EmailEdit"), "ada@example.org");
                            SaveScreenshot(D, "CrashreportAssistant-ContactForm");
                            Click(D, "ContinueBtn");
                        },
                        [](QDialog& D) {
                            EXPECT_EQ(D.objectName(), "DetailsForm");
                            EXPECT_EQ(FocusedName(D), "DetailsEdit");
                            QTest::keyClicks(Focused(D), "I started a scan.");
                            SaveScreenshot(D, "CrashreportAssistant-DetailsForm");
                            Click(D, "ContinueBtn");
                        },
                        [](QDialog& D) {
                            EXPECT_EQ(D.objectName(), "ScrShotForm");
                            SaveScreenshot(D, "CrashreportAssistant-ScrShotForm");
                            Click(D, "ContinueBtn");
                        }});
    EXPECT_EQ(RunAssistant(Mirror, "SendAssistant", "tolvex", nullptr), nmrNext);
    EXPECT_EQ(Mirror->Outputs,
              (std::vector<TAssistantOutput>{{"user description", true, "I started a scan."}}));
    EXPECT_EQ(Mirror->Settings().GetTextSetting("MailFrom"), "Ada Lovelace <ada@example.org>");
    EXPECT_EQ(RunAssistant(Mirror, "NoSuchAssistant", "tolvex", nullptr), nmrNone);
}

} // namespace
