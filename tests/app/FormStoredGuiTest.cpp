#include "app/uFormStored.h"
#include "engine/uEngineOptions.h"
#include "forms/Dialogs.h"
#include "settings/CommonFunctions.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"

#include <QScreen>
#include <QTest>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace guitest;

// What a start of the program found of the window, and what it stored.
struct TPlacement {
    QRect Frame;  // the window with its frame, as it was shown
    QSize Client; // without the frame
    int State = 0;
    QRect Normal; // after returning to the normal state (maximized starts)
};

// A portable program folder of its own, so each start reads and writes the
// options file there; the window's keys are seeded before the first start.
class FormStoredGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        AppDir_ = Dir.Path("app");
        MakePortableProgram(AppDir_, false);
        OldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call.Text);
            return mrOk;
        });
        RouteStoreMessagesToMessageBoxes();
    }
    void TearDown() override
    {
        SetMessageSink(std::move(OldSink));
        ForgetPortableProgram();
    }

    void SeedWindow(int Left, int Top, int Width, int Height, int State)
    {
        TempFolder::Write(AppDir_ + "/Default/options.xml",
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>\n"
                          "  <Window>\n"
                          "    <MainWindowTop>" +
                              std::to_string(Top) + "</MainWindowTop>\n    <MainWindowLeft>" +
                              std::to_string(Left) + "</MainWindowLeft>\n    <MainWindowWidth>" +
                              std::to_string(Width) + "</MainWindowWidth>\n    <MainWindowHeight>" +
                              std::to_string(Height) +
                              "</MainWindowHeight>\n    <MainWindowState>" + std::to_string(State) +
                              "</MainWindowState>\n  </Window>\n</Options>\n");
    }

    // One run of the program: the window is made (options loaded), shown,
    // optionally changed by Use, and closed (options written).
    TPlacement Start(const std::function<void(TFormStored&)>& Use = {})
    {
        TPlacement P;
        auto* Form = new TFormStored;
        Form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Form));
        P.Frame = Form->frameGeometry();
        P.Client = Form->size();
        P.State = WindowStateValue(*Form);
        if (Use)
            Use(*Form);
        if (Form->isMaximized()) {
            Form->showNormal();
            // The window system answers with the restored geometry later.
            QTest::qWait(20);
            P.Normal = Form->frameGeometry();
            Form->showMaximized();
            QTest::qWait(20);
        }
        delete Form;
        return P;
    }

    int Stored(const char* Key)
    {
        TXMLStorage S(AppDir_ + "/options.xml");
        S.Load();
        return S.ReadInteger("Window", Key, -1);
    }

    TempFolder Dir;
    std::string AppDir_;
    TMessageSink OldSink;
    std::vector<std::string> Messages;
};

TEST_F(FormStoredGui, PlacementSurvivesRestartsWithoutDrifting)
{
    struct Case {
        int Left, Top, Width, Height;
    };
    // In the middle of the primary screen, at its top left corner (where a
    // frame must not push the window further in each time), hanging over its
    // right and bottom edges, and on the second screen.
    const std::vector<Case> Cases = {{200, 150, 640, 480},
                                     {1, 1, 500, 400},
                                     {PrimaryWidth - 300, PrimaryHeight - 200, 600, 450},
                                     {SecondLeft + 40, 30, 700, 500}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(::testing::PrintToString(QRect(C.Left, C.Top, C.Width, C.Height)));
        SeedWindow(C.Left, C.Top, C.Width, C.Height, 0);
        std::filesystem::remove(AppDir_ + "/options.xml");
        for (int Run = 0; Run < 3; ++Run) {
            SCOPED_TRACE("start " + std::to_string(Run + 1));
            const TPlacement P = Start();
            EXPECT_EQ(P.Frame.topLeft(), QPoint(C.Left, C.Top));
            EXPECT_EQ(P.Client, QSize(C.Width, C.Height));
            EXPECT_EQ(Stored("MainWindowLeft"), C.Left);
            EXPECT_EQ(Stored("MainWindowTop"), C.Top);
            EXPECT_EQ(Stored("MainWindowWidth"), C.Width);
            EXPECT_EQ(Stored("MainWindowHeight"), C.Height);
            EXPECT_EQ(Stored("MainWindowState"), 0);
        }
    }
    EXPECT_TRUE(Messages.empty());
}

TEST_F(FormStoredGui, WhereTheUserLeavesTheWindowIsWhereItOpensNext)
{
    SeedWindow(200, 150, 640, 480, 0);
    Start([](TFormStored& F) {
        F.move(SecondLeft + 100, 60);
        F.resize(720, 530);
    });
    EXPECT_EQ(Stored("MainWindowLeft"), SecondLeft + 100);
    EXPECT_EQ(Stored("MainWindowTop"), 60);
    EXPECT_EQ(Stored("MainWindowWidth"), 720);
    EXPECT_EQ(Stored("MainWindowHeight"), 530);
    const TPlacement P = Start();
    EXPECT_EQ(P.Frame.topLeft(), QPoint(SecondLeft + 100, 60));
    EXPECT_EQ(P.Client, QSize(720, 530));
    EXPECT_TRUE(Messages.empty());
}

TEST_F(FormStoredGui, MaximizedStateSurvivesAndKeepsTheNormalBounds)
{
    // Stored on the second screen: the window is maximized there, and its
    // normal bounds are the stored ones however often it is restarted.
    SeedWindow(SecondLeft + 50, 40, 600, 400, 2);
    const QRect Second = QGuiApplication::screens().value(1)->availableGeometry();
    for (int Run = 0; Run < 3; ++Run) {
        SCOPED_TRACE("start " + std::to_string(Run + 1));
        const TPlacement P = Start();
        EXPECT_EQ(P.State, 2);
        EXPECT_TRUE(Second.contains(P.Frame.center()));
        EXPECT_EQ(P.Frame.size(), Second.size());
        EXPECT_EQ(P.Normal.topLeft(), QPoint(SecondLeft + 50, 40));
        EXPECT_EQ(Stored("MainWindowState"), 2);
        EXPECT_EQ(Stored("MainWindowLeft"), SecondLeft + 50);
        EXPECT_EQ(Stored("MainWindowWidth"), 600);
    }
    // Restored by the user before closing: normal again next time, at the
    // normal bounds.
    Start([](TFormStored& F) {
        F.showNormal();
        QTest::qWait(20);
    });
    EXPECT_EQ(Stored("MainWindowState"), 0);
    const TPlacement P = Start();
    EXPECT_EQ(P.State, 0);
    EXPECT_EQ(P.Frame.topLeft(), QPoint(SecondLeft + 50, 40));
    EXPECT_EQ(P.Client, QSize(600, 400));
    EXPECT_TRUE(Messages.empty());
}

TEST_F(FormStoredGui, PlacementOffEveryScreenOpensOnAScreen)
{
    // Beyond every screen, and in the corner below the lower second screen
    // that lies inside the screens' bounding box but on none of them.
    for (const QPoint Where :
         {QPoint(5000, 3000), QPoint(SecondLeft + 20, SecondHeight + 10), QPoint(-400, 100)}) {
        SCOPED_TRACE(::testing::PrintToString(Where));
        ASSERT_EQ(QGuiApplication::screenAt(Where), nullptr);
        for (const int State : {0, 2}) {
            SeedWindow(Where.x(), Where.y(), 640, 480, State);
            std::filesystem::remove(AppDir_ + "/options.xml");
            const TPlacement P = Start();
            EXPECT_EQ(P.State, State);
            EXPECT_NE(QGuiApplication::screenAt(P.Frame.topLeft()), nullptr);
            EXPECT_NE(QGuiApplication::screenAt(P.Frame.center()), nullptr);
            if (State == 0) {
                // What is stored now is where it was seen, so the next start
                // opens on a screen too.
                EXPECT_EQ(Stored("MainWindowLeft"), P.Frame.x());
                EXPECT_EQ(Stored("MainWindowTop"), P.Frame.y());
                EXPECT_NE(QGuiApplication::screenAt(Start().Frame.center()), nullptr);
            }
        }
    }
    EXPECT_TRUE(Messages.empty());
}

TEST_F(FormStoredGui, ClosingWritesTheOptionsFileAndKeepsUnknownKeys)
{
    // A file a newer version wrote: what this one does not know stays.
    TempFolder::Write(AppDir_ + "/options.xml",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>\n  <Window>\n"
                      "    <MainWindowTop>150</MainWindowTop>\n"
                      "    <MainWindowLeft>200</MainWindowLeft>\n"
                      "    <FutureKey>kept</FutureKey>\n  </Window>\n</Options>\n");
    Start([](TFormStored& F) {
        iMaxThreads = 17;
        F.move(210, 160);
    });
    TXMLStorage S(AppDir_ + "/options.xml");
    S.Load();
    EXPECT_EQ(S.ReadInteger("Defaults", "iMaxThreads", 0), 17);
    EXPECT_EQ(S.ReadInteger("Window", "MainWindowLeft", 0), 210);
    EXPECT_EQ(S.ReadString("Window", "FutureKey", ""), "kept");
    // The language object lives from creation to destruction only.
    EXPECT_EQ(LangChanger, nullptr);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(FormStoredGui, AWindowNeverShownKeepsTheStoredPlacement)
{
    // Closed before it ever appeared (start-up given up): there is no place
    // of the user's to store, so the one from the last run stays.
    SeedWindow(200, 150, 640, 480, 0);
    delete new TFormStored;
    EXPECT_EQ(Stored("MainWindowLeft"), 200);
    EXPECT_EQ(Stored("MainWindowTop"), 150);
    EXPECT_EQ(Stored("MainWindowWidth"), 640);
    EXPECT_EQ(Stored("MainWindowHeight"), 480);
    EXPECT_EQ(Stored("MainWindowState"), 0);
}

} // namespace
