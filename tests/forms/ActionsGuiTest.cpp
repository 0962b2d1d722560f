// Actions and their update handlers: when the handlers run, that a command
// never runs in a state its handler refuses, and buttons that follow them.
#include "forms/Actions.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class ActionsGui : public ::testing::Test {
protected:
    QApplication& Application = App(); // before any widget
    QWidget Owner;
    TActionList* List = new TActionList(&Owner);
};

TEST_F(ActionsGui, ExecuteAsksTheUpdateHandlerFirstAndADisabledActionDoesNothing)
{
    bool Allowed = false;
    int Runs = 0;
    TAction* A = List->Add(
        "actRun", "Run", [&] { ++Runs; }, [&](TAction& Self) { Self.setEnabled(Allowed); });
    // Enabled as made, but the handler refuses: nothing runs.
    ASSERT_TRUE(A->isEnabled());
    EXPECT_FALSE(A->Execute());
    EXPECT_EQ(Runs, 0);
    EXPECT_FALSE(A->isEnabled());
    // Triggered from outside (a shortcut, a menu) while disabled: nothing.
    A->trigger();
    EXPECT_EQ(Runs, 0);
    Allowed = true;
    EXPECT_TRUE(A->Execute());
    EXPECT_EQ(Runs, 1);

    // An action without handlers: Update reports that there is none, and it
    // can still be executed.
    TAction* Plain = List->Add("actPlain", "Plain", nullptr);
    EXPECT_FALSE(Plain->Update());
    EXPECT_TRUE(Plain->Execute());

    // Found by name, and the owner's shortcuts reach them.
    EXPECT_EQ(List->Find("actRun"), A);
    EXPECT_EQ(List->Find("actNone"), nullptr);
    EXPECT_EQ(List->Actions().size(), 2u);
    EXPECT_TRUE(Owner.actions().contains(A));
}

TEST_F(ActionsGui, HandlersRunWhileTheOwnerIsVisibleOnly)
{
    int Updates = 0;
    List->Add(
        "actCount", "Count", [] {}, [&](TAction&) { ++Updates; });
    QTest::qWait(3 * TActionList::UpdateIntervalMs);
    EXPECT_EQ(Updates, 0);

    Owner.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Updates > 0; }, 2000));
    // The timer keeps them coming when no event arrives.
    const int Seen = Updates;
    EXPECT_TRUE(QTest::qWaitFor([&] { return Updates > Seen; }, 2000));

    Owner.hide();
    QCoreApplication::processEvents();
    const int Hidden = Updates;
    QTest::qWait(3 * TActionList::UpdateIntervalMs);
    EXPECT_EQ(Updates, Hidden);
}

TEST_F(ActionsGui, ARoundIsNeverReenteredAndSurvivesAHandlerThatThrows)
{
    int Depth = 0, MaxDepth = 0, Calls = 0;
    bool Throw = false;
    List->Add(
        "actPump", "Pump", [] {},
        [&](TAction&) {
            ++Calls;
            ++Depth;
            MaxDepth = std::max(MaxDepth, Depth);
            // A handler that shows a message box pumps events, and with
            // them the idle hook that starts a round.
            QCoreApplication::processEvents();
            QTest::qWait(TActionList::UpdateIntervalMs + 50);
            --Depth;
            if (Throw)
                throw std::runtime_error("handler failed");
        });
    Owner.show();
    List->UpdateActions();
    EXPECT_EQ(MaxDepth, 1);

    Throw = true;
    EXPECT_THROW(List->UpdateActions(), std::runtime_error);
    Throw = false;
    const int Before = Calls;
    List->UpdateActions();
    EXPECT_EQ(Calls, Before + 1);
    Owner.hide();
}

TEST_F(ActionsGui, ABoundButtonFollowsItsActionAndClicksExecuteIt)
{
    bool Allowed = true;
    int Runs = 0;
    TAction* A = List->Add(
        "actGo", "&Go", [&] { ++Runs; }, [&](TAction& Self) { Self.setEnabled(Allowed); });
    auto* Button = new QPushButton(&Owner);
    BindButton(Button, A);
    EXPECT_EQ(Button->text(), "&Go");
    // A hint that only repeats the caption is no hint.
    EXPECT_EQ(Button->toolTip(), "");
    A->setToolTip("Starts it");
    A->setText("Start");
    EXPECT_EQ(Button->text(), "Start");
    EXPECT_EQ(Button->toolTip(), "Starts it");
    A->setEnabled(false);
    EXPECT_FALSE(Button->isEnabled());
    A->setEnabled(true);

    Button->click();
    EXPECT_EQ(Runs, 1);
    // The state changed since the last round: the click asks again and the
    // command does not run; the button shows the new state.
    Allowed = false;
    Button->click();
    EXPECT_EQ(Runs, 1);
    EXPECT_FALSE(Button->isEnabled());
}

} // namespace
