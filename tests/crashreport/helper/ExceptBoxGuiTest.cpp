// The exception box and its report views, offscreen, found by objectName:
// the buttons of the simple and the full box, what closing does, the
// countdown mark, Ctrl+C read back from the clipboard, the message's line
// breaks, the handler codes of the show button and F1, and the list views'
// headings, cells and colours.
#include "crashreport/helper/kelExceptBox.h"
#include "crashreport/helper/kelExceptMirror.h"
#include "crashreport/helper/kelExceptViewer.h"
#include "crashreport/helper/kelHelperSession.h"
#include "crashreport/send/kelExceptSend.h"
#include "tests/crashreport/helper/HelperTestApp.h"

#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

namespace {

std::shared_ptr<TIKESettings> Settings(std::vector<TSettingEntry> Entries)
{
    return NewSettingsFromStream(WriteSettingsStream(Entries));
}

TSettingEntry Bool(const char* Name, bool V)
{
    return {Name, skBool, V, 0, ""};
}
TSettingEntry Int(const char* Name, int V)
{
    return {Name, skInt, false, V, ""};
}
TSettingEntry Text(const char* Name, const char* V)
{
    return {Name, skText, false, 0, V};
}

std::set<std::string> Buttons(const TExceptBox& Box)
{
    std::set<std::string> Names;
    for (const QPushButton* B : Box.findChildren<QPushButton*>())
        Names.insert(B->objectName().toStdString());
    return Names;
}

class CrashreportBox : public ::testing::Test {
protected:
    void SetUp() override { App(); }
};

TEST_F(CrashreportBox, SimpleAndFullButtons)
{
    auto S = Settings({Bool("SaveBtnVis", true), Text("OkBtnTxt", "&Fine"),
                       Text("DetailsBtnTxt", "&More"), Text("SendBtnTxt", "mail it")});
    TExceptBox Full(*S, {});
    EXPECT_EQ(Buttons(Full),
              (std::set<std::string>{"send", "save", "show", "continue", "restart", "close"}));
    EXPECT_EQ(Full.findChild<QPushButton*>("send")->text(), "mail it");

    TExceptBox Simple(*S, {false, true, true, false});
    EXPECT_EQ(Buttons(Simple), (std::set<std::string>{"continue"}));
    EXPECT_EQ(Simple.findChild<QPushButton*>("continue")->text(), "&Fine");
    EXPECT_TRUE(Simple.findChild<QPushButton*>("continue")->isDefault());

    Full.show();
    Simple.show();
    QApplication::processEvents();
    // Every caption fits its button.
    for (const QPushButton* B : Full.findChildren<QPushButton*>())
        EXPECT_GE(B->width(), B->fontMetrics().horizontalAdvance(B->text()) + 27)
            << B->objectName().toStdString();
    EXPECT_TRUE(SaveScreenshot(Full, "ExceptBoxFull"));
    EXPECT_TRUE(SaveScreenshot(Simple, "ExceptBoxSimple"));

    TExceptBox WithDetails(*S, {false, true, true, true});
    EXPECT_EQ(Buttons(WithDetails), (std::set<std::string>{"continue", "show"}));
    EXPECT_EQ(WithDetails.findChild<QPushButton*>("show")->text(), "&More");
}

TEST_F(CrashreportBox, CannotContinue)
{
    // After a fault that cannot go on, continue is shown but disabled while
    // the user has restart or close; alone, it stays usable.
    auto S = Settings({});
    TExceptBox Box(*S, {false, false, false, false});
    EXPECT_FALSE(Box.findChild<QPushButton*>("continue")->isEnabled());
    EXPECT_TRUE(Box.Layout().CantContinue);
    auto Alone = Settings({Bool("RestartBtnVis", false), Bool("CloseBtnVis", false)});
    TExceptBox Box2(*Alone, {false, false, false, false});
    EXPECT_TRUE(Box2.findChild<QPushButton*>("continue")->isEnabled());
}

TEST(CrashreportBoxGeometry, PartsStandWhereTheRulesPutThem)
{
    struct TCase {
        const char* Name;
        std::vector<std::pair<int, int>> Widths; // button id, width
        int ButtonHeight;
        bool Simple, Picture;
        int MaxWidth, MessageHeight;
        // Expected: client width, message (x, y, w, h), first row's top,
        // rows, height, and some buttons' places (id, x, y).
        int Client;
        QRect Message;
        int Rows, Height;
        std::vector<std::tuple<int, int, int>> Places;
    };
    const std::vector<TCase> Cases{
        {"plain",
         {{bbSend, 80}, {bbShow, 90}, {bbContinue, 100}, {bbClose, 100}},
         22,
         false,
         false,
         0,
         13,
         664,
         QRect(11, 12, 642, 13),
         1,
         59,
         // Left from 6 side by side; the right group ends 2 before the edge.
         {{bbSend, 6, 32}, {bbShow, 86, 32}, {bbContinue, 462, 32}, {bbClose, 562, 32}}},
        {"short message beside the picture: centred on its band, the rows below the picture",
         {{bbSend, 80}, {bbClose, 100}},
         22,
         false,
         true,
         0,
         13,
         664,
         QRect(51, 18, 602, 13),
         1,
         75,
         {{bbSend, 6, 48}, {bbClose, 562, 48}}},
        {"tall message beside the picture",
         {{bbSend, 80}, {bbClose, 100}},
         22,
         false,
         true,
         0,
         40,
         664,
         QRect(51, 12, 602, 40),
         1,
         86,
         {{bbSend, 6, 59}}},
        {"wide buttons widen the box",
         {{bbSend, 200}, {bbSave, 200}, {bbContinue, 200}, {bbClose, 200}},
         26,
         false,
         false,
         0,
         13,
         816,
         QRect(11, 12, 794, 13),
         1,
         63,
         {{bbSave, 206, 32}, {bbContinue, 414, 32}, {bbClose, 614, 32}}},
        {"a screen too narrow for both groups: the right group on a second row",
         {{bbSend, 200}, {bbSave, 200}, {bbContinue, 200}, {bbClose, 200}},
         26,
         false,
         false,
         700,
         13,
         700,
         QRect(11, 12, 678, 13),
         2,
         93,
         {{bbSend, 6, 32}, {bbContinue, 298, 62}, {bbClose, 498, 62}}},
        {"simple box: OK and Details centred, 2 apart",
         {{bbShow, 90}, {bbContinue, 75}},
         23,
         true,
         false,
         0,
         13,
         664,
         QRect(11, 12, 642, 13),
         1,
         60,
         {{bbContinue, 248, 32}, {bbShow, 325, 32}}},
        {"simple box: OK alone",
         {{bbContinue, 75}},
         23,
         true,
         false,
         0,
         13,
         664,
         QRect(11, 12, 642, 13),
         1,
         60,
         {{bbContinue, 294, 32}}},
        {"message limited to the screen's two thirds (here 100)",
         {{bbContinue, 75}},
         22,
         false,
         false,
         0,
         5000,
         664,
         QRect(11, 12, 642, 100),
         1,
         146,
         {{bbContinue, 587, 119}}},
    };
    for (const TCase& C : Cases) {
        TBoxGeometryInput In;
        for (const auto& [Id, W] : C.Widths)
            In.Widths[Id] = W;
        In.ButtonHeight = C.ButtonHeight;
        In.Simple = C.Simple;
        In.Picture = C.Picture;
        In.MaxClientWidth = C.MaxWidth;
        In.MaxMessageHeight = 100;
        int AskedWidth = -1;
        In.MessageHeight = [&](int W) {
            AskedWidth = W;
            return C.MessageHeight;
        };
        const TBoxGeometry G = BoxGeometry(In);
        EXPECT_EQ(G.ClientWidth, C.Client) << C.Name;
        EXPECT_EQ(G.Message, C.Message) << C.Name;
        EXPECT_EQ(AskedWidth, C.Message.width()) << C.Name;
        EXPECT_EQ(G.Rows, C.Rows) << C.Name;
        EXPECT_EQ(G.ClientHeight, C.Height) << C.Name;
        EXPECT_EQ(G.Picture, C.Picture ? QRect(11, 9, 32, 32) : QRect()) << C.Name;
        for (const auto& [Id, X, Y] : C.Places)
            EXPECT_EQ(G.Buttons[Id], QRect(X, Y, In.Widths[Id], C.ButtonHeight))
                << C.Name << " button " << Id;
        for (int Id = 0; Id < BoxButtonCount; ++Id)
            EXPECT_EQ(G.Buttons[Id].isNull(), In.Widths[Id] == 0) << C.Name << " button " << Id;
        // The details: 2 below the rows, 5 from the left, the client less 9
        // wide, 5 above the bottom.
        EXPECT_EQ(DetailsRect(G, G.ClientWidth, G.ClientHeight + 500),
                  QRect(5, G.ButtonsBottom + 2, G.ClientWidth - 9,
                        G.ClientHeight + 500 - G.ButtonsBottom - 7))
            << C.Name;
    }
}

TEST_F(CrashreportBox, PicturesFromTheProgramFile)
{
    // The box's pictures are sections of the program file (the test's own).
    auto S = Settings({Bool("SaveBtnVis", true), Bool("PrintBtnVis", true)});
    TExceptBox Box(*S, {false, false, false, false});
    EXPECT_TRUE(Box.HasPicture());
    EXPECT_EQ(Box.Geometry().Message.x(), 51);
    for (int Id = 0; Id < BoxButtonCount; ++Id)
        EXPECT_TRUE(Box.Button(static_cast<TBoxButton>(Id))->HasIcon()) << Id;
    // The big picture's red disc and the transparent corner over the face.
    Box.show();
    QApplication::processEvents();
    const QImage Shot = Box.grab().toImage();
    const QColor Centre = Shot.pixelColor(11 + 8, 9 + 16);
    EXPECT_GT(Centre.red(), 150);
    EXPECT_LT(Centre.green(), 80);
    // (the alpha + 1 weighting lets a transparent pixel darken it by 1/256)
    const QColor Corner = Shot.pixelColor(11, 9), Face = Box.palette().color(QPalette::Window);
    EXPECT_LE(std::abs(Corner.red() - Face.red()), 2);
    EXPECT_LE(std::abs(Corner.blue() - Face.blue()), 2);
}

TEST_F(CrashreportBox, BoxesLeaveTheTopmostBandForAMailProgram)
{
    // A send's mail program must come in front of the boxes; the send's
    // desktop is asked from the send's own thread.
    auto S = Settings({});
    TExceptBox A(*S, {}), B(*S, {});
    A.show();
    ASSERT_TRUE(A.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    const auto Ui = NewHelperSendUi("title");
    std::atomic<bool> Done{false};
    std::thread Send([&] {
        Ui->LeaveTopmost();
        Done = true;
    });
    while (!Done)
        QApplication::processEvents();
    Send.join();
    for (const TExceptBox* Box : {&A, &B})
        EXPECT_FALSE(Box->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    // A box shown stays shown, one hidden stays hidden.
    EXPECT_TRUE(A.isVisible());
    EXPECT_FALSE(B.isVisible());
}

TEST_F(CrashreportBox, PlaceholdersNameTheProgramThatMetTheException)
{
    // The helper's settings texts speak of the program and its exception,
    // not of the helper: the box's title, and the settings a send takes.
    const std::string Stream = WriteSettingsStream(
        {Text("TitleBar", "%APPNAME% %appversion%"),
         Text("ExceptMsg", "%exceptClass% in %appname%: %exceptMsg%"),
         Text("MailSubj", "[%appname%] %exceptMsg%"), Text("MailFrom", "a@example.org")});
    TExceptMirror Before(Stream);
    // Without the program's facts, the placeholders are this process's.
    EXPECT_EQ(Before.Settings().GetTextSetting("TitleBar").rfind("crashreport_helper_", 0), 0u)
        << Before.Settings().GetTextSetting("TitleBar");
    auto Mirror = std::make_shared<TExceptMirror>(Stream);
    Mirror->SetProgram("/opt/tolvex/bin/tolvex", "std::runtime_error", "");
    Mirror->SetTextSetting("MailFrom", "%appname%@example.org");
    TExceptBox Box(Mirror->Settings(), {});
    EXPECT_EQ(Box.windowTitle().toStdString(), "tolvex ?");
    EXPECT_EQ(Box.MessageText().toStdString(), "std::runtime_error in tolvex: Unknown");
    // The copy a send takes lives on its own, the user's changes with it.
    const auto Copy = Mirror->SettingsCopy();
    Mirror.reset();
    EXPECT_EQ(Copy->GetTextSetting("MailSubj"), "[tolvex] Unknown");
    EXPECT_EQ(Copy->GetTextSetting("MailFrom"), "tolvex@example.org");
}

TEST_F(CrashreportBox, WithoutWayOutTheBoxStaysOpen)
{
    for (const int Focused : {0, 3, 7, 0x84}) {
        auto S = Settings({Bool("ContinueBtnVis", false), Bool("RestartBtnVis", false),
                           Bool("CloseBtnVis", false), Int("FocusedBtn", Focused)});
        TExceptBox Box(*S, {});
        Box.show();
        QTest::keyClick(&Box, Qt::Key_Escape);
        Box.close();
        EXPECT_TRUE(Box.isVisible()) << Focused;
        EXPECT_FALSE(Box.Verdict().has_value()) << Focused;
    }
}

TEST_F(CrashreportBox, CloseRuleOrder)
{
    struct TCase {
        const char* Why;
        bool Continue, Restart, Close;
        int Focused;
        bool CanContinue, Simple;
        std::optional<TBoxButton> Choice;
    };
    const TCase Cases[] = {
        {"the focused button 4..6 wins", true, true, true, 6, true, false, bbClose},
        {"even one not shown", false, false, false, 5, true, false, bbRestart},
        {"continue first", true, true, true, 0, true, false, bbContinue},
        {"not when it cannot go on", true, true, true, 0, false, false, bbClose},
        {"then close", false, true, true, 1, true, false, bbClose},
        {"then restart", false, true, false, 2, true, false, bbRestart},
        {"simple box: OK", true, true, true, 0, true, true, bbContinue},
        {"simple box that cannot go on: close", true, true, true, 0, false, true, bbClose},
        {"nothing", false, false, false, 3, true, false, std::nullopt},
    };
    for (const TCase& C : Cases) {
        auto S = Settings({Bool("ContinueBtnVis", C.Continue), Bool("RestartBtnVis", C.Restart),
                           Bool("CloseBtnVis", C.Close), Int("FocusedBtn", C.Focused)});
        const TBoxFacts F{false, C.CanContinue, C.Simple, false};
        EXPECT_EQ(BoxCloseChoice(MakeBoxLayout(*S, F), *S, F), C.Choice) << C.Why;
        // The box itself closes with that verdict.
        TExceptBox Box(*S, F);
        Box.show();
        QTest::keyClick(&Box, Qt::Key_Escape);
        EXPECT_EQ(Box.Verdict(), C.Choice) << C.Why;
        EXPECT_EQ(Box.isVisible(), !C.Choice.has_value()) << C.Why;
    }
}

TEST_F(CrashreportBox, CountdownMark)
{
    // At 0, 50 and 100 % of the delay the mark stands at the left edge, the
    // middle and the right edge of the button (with UglyBtns inside the
    // frame, 5 pixels from each side).
    for (const bool Ugly : {false, true})
        for (const int Delay : {1, 7, 60}) {
            const int W = 131;
            const int Left = Ugly ? 5 : 0, Right = Ugly ? W - 6 : W;
            EXPECT_EQ(CountdownMark(0, W, Delay, Ugly), Left);
            EXPECT_NEAR(CountdownMark(Delay * 500, W, Delay, Ugly), (Left + Right) / 2.0, 1.0);
            EXPECT_EQ(CountdownMark(Delay * 1000, W, Delay, Ugly), Right);
        }
    EXPECT_LT(CountdownMark(0, 100, 0, false), 0);

    // In the box: the close button counts down; half way its mark is in
    // the middle, and at the end the box closes with its verdict.
    auto S = Settings({Int("AutoClose", 1), Int("AutoDelay", 2)});
    TExceptBox Box(*S, {});
    ASSERT_EQ(Box.Layout().Automatic, bbClose);
    Box.show();
    const auto Now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
    Box.StartCountdown(Now - 1000);
    const int W = Box.Button(bbClose)->width();
    EXPECT_NEAR(Box.Button(bbClose)->Mark(), W / 2.0, W / 10.0);
    QTRY_VERIFY_WITH_TIMEOUT(!Box.isVisible(), 3000);
    EXPECT_EQ(Box.Verdict(), bbClose);
}

TEST_F(CrashreportBox, AutomaticButton)
{
    struct TCase {
        int AutoClose, AutoRestart;
        bool AutoContinue, CloseVis, CanContinue;
        int Automatic;
    };
    const TCase Cases[] = {
        {1, 1, true, true, true, bbClose},    {1, 1, true, false, true, bbRestart},
        {0, 0, true, true, true, bbContinue}, {0, 0, true, true, false, -1},
        {0, 0, false, true, true, -1},
    };
    for (const TCase& C : Cases) {
        auto S = Settings({Int("AutoClose", C.AutoClose), Int("AutoRestart", C.AutoRestart),
                           Bool("AutoContinue", C.AutoContinue), Bool("CloseBtnVis", C.CloseVis)});
        EXPECT_EQ(MakeBoxLayout(*S, {false, C.CanContinue, false, false}).Automatic, C.Automatic);
    }
}

TEST_F(CrashreportBox, MessageLineBreaks)
{
    struct TCase {
        std::string In, Out;
    };
    const TCase Cases[] = {
        // The blank of ". " must stand after the 21st character and before
        // the 10th from the end.
        {"The program met an error. It will be closed now.",
         "The program met an error.\nIt will be closed now."},
        {"Short one. Then a long second sentence.", "Short one. Then a long second sentence."},
        {"A first sentence of some length. End. ok.", "A first sentence of some length. End. ok."},
        {"A message that already holds\r\na break. Another sentence here.",
         "A message that already holds\r\na break. Another sentence here."},
    };
    for (const TCase& C : Cases)
        EXPECT_EQ(BreakBoxMessage(C.In), C.Out);

    // One long sentence without ". " is wrapped by the label.
    std::string Long;
    for (int I = 0; I < 60; ++I)
        Long += "word" + std::to_string(I) + (I % 7 == 6 ? ", " : " ");
    auto S = Settings({Text("ExceptMsg", (std::string("An error ") + Long + " y").c_str())});
    TExceptBox Box(*S, {});
    Box.show();
    auto* Message = Box.findChild<QLabel*>("message");
    ASSERT_NE(Message, nullptr);
    EXPECT_FALSE(Box.MessageText().contains('\n'));
    EXPECT_GT(Message->height(), 2 * Message->fontMetrics().height());
    EXPECT_LE(Box.width(), Message->screen()->geometry().width());
}

TEST_F(CrashreportBox, ShowAndHelpFireTheirCodes)
{
    auto S = Settings({});
    TExceptBox Box(*S, {});
    std::vector<std::pair<int, int>> Fired;
    Box.FireHandlers = [&](std::uint8_t Kind, std::uint8_t Code) {
        Fired.emplace_back(Kind, Code);
        return false;
    };
    Box.show();
    QTest::keyClick(&Box, Qt::Key_F1);
    EXPECT_FALSE(Box.DetailsShown());
    QTest::mouseClick(Box.findChild<QPushButton*>("show"), Qt::LeftButton);
    EXPECT_TRUE(Box.DetailsShown());
    EXPECT_EQ(Fired, (std::vector<std::pair<int, int>>{{0, 10}, {0, 9}}));
}

TEST_F(CrashreportBox, DetailsTabsAndClipboard)
{
    const std::vector<TViewerField> Header{{"exception class", "std::runtime_error"},
                                           {"process id", "$4ab7"}};
    const std::vector<TBoxSection> Sections{
        {"main thread ($4ab7)", true,
         "00007fabed8a3f16 +3e  libc.so.6  futex.c  57 +0  wait\r\n"
         "00007fabed8a6baa +54  libc.so.6  cond.c  503 +17 cond_wait\r\n"
         "000055e14525b18f +5f  tolvex     main.cpp 51 +1  main"},
        {"cpu registers", false, "rax = 0000000000000001\r\nrbx = 0000000000000002"},
        {"disassembling", false, ">> will be calculated soon"},
        {"hardware", false, "  - device:08"},
    };
    for (const bool AutoShow : {false, true}) {
        auto S = Settings({Bool("AutoShowBugRep", AutoShow)});
        TExceptBox Box(*S, {});
        Box.SetReport(Header, Sections);
        Box.SetFullReport("the whole report");
        Box.show();
        EXPECT_EQ(Box.DetailsShown(), AutoShow);
        // Without a section view on screen, Ctrl+C copies nothing.
        QApplication::clipboard()->setText("before");
        QTest::keyClick(&Box, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(QApplication::clipboard()->text().toStdString(),
                  AutoShow ? "the whole report" : "before");
        Box.ShowDetails();
        QTabWidget* Tabs = Box.Details();
        ASSERT_NE(Tabs, nullptr);
        // Only a box with its details from the start can be resized, and
        // not below the size it was made with.
        EXPECT_EQ(Box.Resizable(), AutoShow);
        EXPECT_EQ(Box.minimumSize() == Box.maximumSize(), !AutoShow);
        EXPECT_EQ(Box.minimumSize(), Box.size());
        // The tabs 2 pixels below the buttons, 5 from the left and the
        // right, at the bottom of the box.
        EXPECT_EQ(Tabs->geometry().top(), Box.Button(bbClose)->geometry().bottom() + 1 + 2 + 2);
        EXPECT_EQ(Tabs->geometry().left(), 5);
        EXPECT_EQ(Tabs->geometry().right(), Box.width() - 5);
        EXPECT_EQ(Tabs->geometry().bottom(), Box.height() - 6);
        QStringList Labels;
        for (int I = 0; I < Tabs->count(); ++I)
            Labels << Tabs->tabText(I);
        EXPECT_EQ(Labels, (QStringList{"general", "call stack", "main thread ($4ab7)", "cpu regs",
                                       "disasm", "hardware"}));
        for (int I = 0; I < Tabs->count() && !AutoShow; ++I) {
            Tabs->setCurrentIndex(I);
            QApplication::processEvents();
            EXPECT_GT(Tabs->height(), 300);
            EXPECT_TRUE(SaveScreenshot(Box, "ExceptBoxTab" + QString::number(I)));
        }
        // The call stack tab is the exception thread's stack, as a list.
        Tabs->setCurrentIndex(1);
        auto* View = Tabs->currentWidget()->findChild<TExceptViewer*>("view");
        ASSERT_NE(View, nullptr);
        EXPECT_EQ(View->topLevelItemCount(), 3);
        EXPECT_EQ(View->RowTexts(2).first(), "000055E14525B18F");
        // Ctrl+C: the whole report with AutoShowBugRep, else the section.
        Tabs->setCurrentIndex(3);
        QTest::keyClick(&Box, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(QApplication::clipboard()->text().toStdString(),
                  AutoShow ? "the whole report" : Sections[1].Text);
    }
}

TEST(CrashreportViewer, CellColours)
{
    struct TCase {
        int Column, Count;
        bool Selected;
        QColor Row, Want;
    };
    const QColor White(255, 255, 255), Blue(240, 248, 255), Red(255, 244, 244);
    const TCase Cases[] = {
        {0, 4, false, {}, Blue},
        {1, 4, false, {}, White},
        {2, 4, false, {}, Red},
        {4, 8, false, {}, Blue},
        {6, 8, false, {}, Red},
        {0, 1, false, {}, White},
        {0, 4, true, {}, QColor(224, 232, 239)},
        {1, 4, true, {}, QColor(239, 239, 239)},
        {2, 4, false, QColor(255, 208, 208), QColor(255, 208, 208)},
        {2, 4, true, QColor(255, 208, 208), QColor(239, 192, 192)},
        {0, 2, true, QColor(8, 8, 8), QColor(0, 0, 0)},
    };
    for (const TCase& C : Cases)
        EXPECT_EQ(ViewerCellColour(C.Column, C.Count, C.Selected, C.Row), C.Want)
            << C.Column << "/" << C.Count;
}

TEST(CrashreportViewer, ListViewOfASection)
{
    App();
    const TViewerTable T =
        ViewSection(TSectionKind::skModules, "00007fabed53b000 libm.so.6     6   /usr/lib\r\n"
                                             "00007fabedcb7000 libbz2.so.1.0 1.0 /usr/lib\r\n"
                                             "000055e145238000 tolvex        0.1 /opt/tolvex");
    TExceptViewer V(T, QFont(), QFont("Monospace"));
    ASSERT_EQ(V.columnCount(), 4);
    EXPECT_EQ(V.headerItem()->text(2), "version");
    EXPECT_TRUE(V.headerItem()->textAlignment(2) & Qt::AlignRight);
    EXPECT_EQ(V.RowTexts(1), (QStringList{"00007FABEDCB7000", "libbz2.so.1.0", "1.0", "/usr/lib"}));
    EXPECT_TRUE(V.topLevelItem(1)->textAlignment(2) & Qt::AlignRight);
    EXPECT_EQ(V.selectionMode(), QAbstractItemView::SingleSelection);
    V.resize(600, 200);
    V.show();
    EXPECT_FALSE(V.grab().isNull());
}

} // namespace
