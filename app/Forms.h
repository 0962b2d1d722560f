// What the windows share of the class library they were designed around:
// actions whose update handlers decide when they are enabled, buttons bound
// to actions, modal showing of dialogs, the language file applied to widgets
// by object name, and the numeric edit style.
#pragma once

#include "LangChanger.h"

#include <QAction>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAbstractButton;
class QDialog;
class QLineEdit;
class QTimer;
class QWidget;
class TActionList;

inline QString ToQ(const std::string& Text)
{
    return QString::fromStdString(Text);
}
inline std::string FromQ(const QString& Text)
{
    return Text.toStdString();
}

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

// --- Dialogs ------------------------------------------------------------------
// The owner for a new dialog: the application's active window (the dialog is
// centred on it and stays above it), or none.
QWidget* DialogOwner();

// Shows Dialog modally and returns its modal result: mrOk when accepted,
// mrCancel otherwise. Tests install a driver that works the dialog instead of
// a nested event loop; it returns the modal result.
using TModalDriver = std::function<int(QDialog&)>;
TModalDriver SetModalDriver(TModalDriver Driver);
int ShowModal(QDialog& Dialog);

// --- Language files -----------------------------------------------------------
// A widget (or action) as the language file sees it: components by
// objectName, and the class library's property names mapped onto the widget:
//   Caption  window title, label, button, group box, tab, menu, action text
//   Hint     tool tip (actions: also the status tip)
//   Text     line edit, editable combo, plain-text edit
//   Items    combo box and list items (the chosen index is kept)
//   Lines    plain-text edit lines
//   Left, Top, Width, Height  the geometry
// The class name of a form is its Qt class name ("TdlgFind").
std::unique_ptr<TPropertyObject> WidgetProperties(QObject* Object);

// Applies the form keys of the current language file to Form; nothing when
// no language is loaded.
void TranslateForm(QWidget* Form);
// Lets TranslateForm(null) of the language file reach every open form.
void InstallScreenForms(TLangChanger& Changer);

// Digits only, right-aligned.
void SetEditNumeric(QLineEdit* Edit);
