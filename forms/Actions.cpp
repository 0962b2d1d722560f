#include "forms/Actions.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QTimer>
#include <QWidget>

TAction::TAction(const QString& Name, const QString& Caption, TActionList& List)
    : QAction(Caption, &List)
{
    setObjectName(Name);
    connect(this, &QAction::triggered, this, [this] {
        if (OnExecute)
            OnExecute();
    });
}

bool TAction::Update()
{
    if (!OnUpdate)
        return false;
    OnUpdate(*this);
    return true;
}

bool TAction::Execute()
{
    Update();
    if (!isEnabled())
        return false;
    trigger();
    return true;
}

TActionList::TActionList(QWidget* Owner) : QObject(Owner), FOwner(Owner), FTimer(new QTimer(this))
{
    setObjectName("ActionList");
    if (auto* Dispatcher = QAbstractEventDispatcher::instance())
        connect(Dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &TActionList::Idle);
    connect(FTimer, &QTimer::timeout, this, &TActionList::Idle);
    FTimer->start(UpdateIntervalMs);
}

TAction* TActionList::Add(const QString& Name, const QString& Caption,
                          std::function<void()> OnExecute, std::function<void(TAction&)> OnUpdate)
{
    // Owned by the list, which the form owns; the form finds it by name.
    auto* A = new TAction(Name, Caption, *this);
    A->OnExecute = std::move(OnExecute);
    A->OnUpdate = std::move(OnUpdate);
    FActions.push_back(A);
    if (FOwner)
        FOwner->addAction(A);
    return A;
}

TAction* TActionList::Find(const QString& Name) const
{
    for (TAction* A : FActions)
        if (A->objectName() == Name)
            return A;
    return nullptr;
}

void TActionList::UpdateActions()
{
    // An update handler that pumps events (a message box) must not start
    // the round again from inside.
    if (FUpdating)
        return;
    FUpdating = true;
    try {
        for (TAction* A : FActions)
            A->Update();
    } catch (...) {
        FUpdating = false;
        throw;
    }
    FUpdating = false;
}

void TActionList::Idle()
{
    if (FOwner && FOwner->isVisible())
        UpdateActions();
}

void BindButton(QAbstractButton* Button, TAction* Action)
{
    auto Sync = [Button, Action] {
        Button->setText(Action->text());
        // Without a hint of its own an action's tool tip is its caption
        // without the "&" (the icon text); a button shows no such tip.
        const QString Tip = Action->toolTip();
        Button->setToolTip(Tip == Action->text() || Tip == Action->iconText() ? QString() : Tip);
        Button->setEnabled(Action->isEnabled());
    };
    Sync();
    QObject::connect(Action, &QAction::changed, Button, Sync);
    QObject::connect(Button, &QAbstractButton::clicked, Action, [Action] { Action->Execute(); });
}
