// User commands as the class library has them: an action carries a caption,
// a hint and an enabled state that its update handler decides, and whatever
// shows the command (a menu item, a tool button, a push button) follows it.
#pragma once

#include <QAction>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <vector>

class QAbstractButton;
class QTimer;
class QWidget;
class TActionList;

// A user command. OnUpdate sets Enabled (and may change anything else);
// OnExecute does the work. Triggering a disabled action does nothing.
class TAction : public QAction {
    Q_OBJECT
public:
    TAction(const QString& Name, const QString& Caption, TActionList& List);

    std::function<void(TAction&)> OnUpdate;
    std::function<void()> OnExecute;

    // Runs the update handler; false when there is none.
    bool Update();
    // Runs the update handler, then triggers the action when it is enabled;
    // true when it was triggered.
    bool Execute();
};

// The actions of one form. Their update handlers run whenever the event loop
// is about to wait for new events, and on a short timer (so a change that
// comes without an event, such as a worker's progress, is seen too), while
// the owning form is visible.
class TActionList : public QObject {
    Q_OBJECT
public:
    explicit TActionList(QWidget* Owner);

    TAction* Add(const QString& Name, const QString& Caption, std::function<void()> OnExecute,
                 std::function<void(TAction&)> OnUpdate = {});
    const std::vector<TAction*>& Actions() const { return FActions; }
    TAction* Find(const QString& Name) const;
    // Runs every update handler now.
    void UpdateActions();

    static constexpr int UpdateIntervalMs = 200;

private:
    void Idle();

    QPointer<QWidget> FOwner;
    std::vector<TAction*> FActions;
    QTimer* FTimer;
    bool FUpdating = false;
};

// The button shows the action's caption, hint and enabled state, and a click
// executes it (update first, so a stale state never runs the command).
void BindButton(QAbstractButton* Button, TAction* Action);
