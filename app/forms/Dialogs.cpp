#include "Dialogs.h"

#include "QtStrings.h"
#include "uXMLStorage.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <cstdio>

// --- Modal dialogs --------------------------------------------------------------

QWidget* DialogOwner()
{
    return QApplication::activeWindow();
}

namespace {

TModalDriver& Driver()
{
    static TModalDriver D;
    return D;
}

bool Dismissed = false;

void ToStandardError(const std::string& Caption, const std::string& Text)
{
    std::fprintf(stderr, "tolvex: %s %s\n", Caption.c_str(), Text.c_str());
}

} // namespace

TModalDriver SetModalDriver(TModalDriver NewDriver)
{
    TModalDriver Old = std::move(Driver());
    Driver() = std::move(NewDriver);
    return Old;
}

int ShowModal(QDialog& Dialog)
{
    if (Driver()) {
        const int R = Driver()(Dialog);
        Dialog.hide();
        return R;
    }
    if (Dismissed)
        return mrCancel;
    return Dialog.exec() == QDialog::Accepted ? mrOk : mrCancel;
}

void SetEditNumeric(QLineEdit* Edit)
{
    if (!Edit)
        return;
    Edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), Edit));
    Edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

// --- Message boxes --------------------------------------------------------------

namespace {

TMessageSink& Sink()
{
    static TMessageSink S;
    return S;
}

// The answer of Escape: the box's "no" or "cancel" button, or its only one.
int EscapeAnswer(TMsgButtons Buttons)
{
    switch (Buttons) {
    case TMsgButtons::OK:
        return mrOk;
    case TMsgButtons::YesNo:
        return mrNo;
    case TMsgButtons::OKCancel:
    case TMsgButtons::YesNoCancel:
    case TMsgButtons::RetryCancel:
        break;
    }
    return mrCancel;
}

int ShowQtMessageBox(const TMessageBoxCall& Call)
{
    if (Dismissed) {
        ToStandardError(Call.Caption, Call.Text);
        return EscapeAnswer(Call.Buttons);
    }
    QMessageBox Box(QApplication::activeWindow());
    Box.setWindowTitle(ToQ(Call.Caption));
    Box.setText(ToQ(Call.Text));
    switch (Call.Icon) {
    case TMsgIcon::None:
        Box.setIcon(QMessageBox::NoIcon);
        break;
    case TMsgIcon::Information:
        Box.setIcon(QMessageBox::Information);
        break;
    case TMsgIcon::Warning:
        Box.setIcon(QMessageBox::Warning);
        break;
    case TMsgIcon::Error:
        Box.setIcon(QMessageBox::Critical);
        break;
    case TMsgIcon::Question:
        Box.setIcon(QMessageBox::Question);
        break;
    }
    QMessageBox::StandardButtons Buttons = QMessageBox::Ok;
    QMessageBox::StandardButton Escape = QMessageBox::Ok;
    switch (Call.Buttons) {
    case TMsgButtons::OK:
        break;
    case TMsgButtons::OKCancel:
        Buttons = QMessageBox::Ok | QMessageBox::Cancel;
        Escape = QMessageBox::Cancel;
        break;
    case TMsgButtons::YesNo:
        Buttons = QMessageBox::Yes | QMessageBox::No;
        Escape = QMessageBox::No;
        break;
    case TMsgButtons::YesNoCancel:
        Buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        Escape = QMessageBox::Cancel;
        break;
    case TMsgButtons::RetryCancel:
        Buttons = QMessageBox::Retry | QMessageBox::Cancel;
        Escape = QMessageBox::Cancel;
        break;
    }
    Box.setStandardButtons(Buttons);
    Box.setEscapeButton(Escape);
    switch (Box.exec()) {
    case QMessageBox::Ok:
        return mrOk;
    case QMessageBox::Yes:
        return mrYes;
    case QMessageBox::No:
        return mrNo;
    case QMessageBox::Retry:
        return mrRetry;
    default:
        return mrCancel;
    }
}

} // namespace

TMessageSink SetMessageSink(TMessageSink NewSink)
{
    TMessageSink Old = std::move(Sink());
    Sink() = std::move(NewSink);
    return Old;
}

int ShowMessageBox(const std::string& Text, const std::string& Caption, TMsgIcon Icon,
                   TMsgButtons Buttons)
{
    const TMessageBoxCall Call{Text, Caption, Icon, Buttons};
    if (Sink())
        return Sink()(Call);
    return ShowQtMessageBox(Call);
}

void DismissDialogsForEnd()
{
    Dismissed = true;
    for (QWidget* W : QApplication::topLevelWidgets()) {
        auto* Dialog = qobject_cast<QDialog*>(W);
        if (!Dialog || !Dialog->isVisible())
            continue;
        if (auto* Box = qobject_cast<QMessageBox*>(Dialog)) {
            ToStandardError(FromQ(Box->windowTitle()), FromQ(Box->text()));
            if (QAbstractButton* Escape = Box->escapeButton()) {
                Escape->click();
                continue;
            }
        }
        Dialog->reject();
    }
}

bool DialogsDismissed()
{
    return Dismissed;
}

void ShowDialogsAgain()
{
    Dismissed = false;
}

void RouteStoreMessagesToMessageBoxes()
{
    SetXMLStorageMessageHandler([](const std::string& Caption, const std::string& Text) {
        ShowMessageBox(Text, Caption, TMsgIcon::Error);
    });
}
