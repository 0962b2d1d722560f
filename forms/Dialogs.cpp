#include "forms/Dialogs.h"

#include "forms/PlainText.h"
#include "forms/QtStrings.h"
#include "settings/uXMLStorage.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
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
    SetPlainText(Box, Call.Text);
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

// --- File prompt and folder chooser ------------------------------------------------

namespace {

TPromptForFileNameFn& PromptSeam()
{
    static TPromptForFileNameFn Fn;
    return Fn;
}

TSelectDirectoryFn& SelectDirectorySeam()
{
    static TSelectDirectoryFn Fn;
    return Fn;
}

std::string Trimmed(const std::string& Text)
{
    const size_t B = Text.find_first_not_of(" \t");
    if (B == std::string::npos)
        return std::string();
    const size_t E = Text.find_last_not_of(" \t");
    return Text.substr(B, E - B + 1);
}

} // namespace

std::vector<std::string> ToolkitNameFilters(const std::string& Filter)
{
    std::vector<std::string> Parts;
    size_t Start = 0;
    while (Start <= Filter.size() && !Filter.empty()) {
        size_t Bar = Filter.find('|', Start);
        if (Bar == std::string::npos)
            Bar = Filter.size();
        Parts.push_back(Filter.substr(Start, Bar - Start));
        Start = Bar + 1;
    }
    std::vector<std::string> Result;
    for (size_t I = 0; I + 1 < Parts.size(); I += 2) {
        std::string Patterns;
        size_t P = 0;
        const std::string& List = Parts[I + 1];
        while (P <= List.size()) {
            size_t Semi = List.find(';', P);
            if (Semi == std::string::npos)
                Semi = List.size();
            const std::string One = Trimmed(List.substr(P, Semi - P));
            if (!One.empty())
                Patterns += (Patterns.empty() ? "" : " ") + One;
            P = Semi + 1;
        }
        // The toolkit reads the patterns from the last brackets; a
        // description that shows them already keeps its own.
        std::string Description = Trimmed(Parts[I]);
        const size_t Open = Description.rfind('(');
        if (Open != std::string::npos && Description.back() == ')')
            Description = Trimmed(Description.substr(0, Open));
        Result.push_back(Description + " (" + (Patterns.empty() ? "*" : Patterns) + ")");
    }
    return Result;
}

TPromptForFileNameFn SetPromptForFileName(TPromptForFileNameFn Fn)
{
    TPromptForFileNameFn Old = std::move(PromptSeam());
    PromptSeam() = std::move(Fn);
    return Old;
}

bool PromptForFileName(std::string& FileName, const std::string& Filter, const std::string& Title,
                       const std::string& InitialDir)
{
    if (PromptSeam())
        return PromptSeam()(FileName, Filter, Title, InitialDir);
    if (Dismissed)
        return false;
    QFileDialog Dlg(DialogOwner(), ToQ(Title));
    Dlg.setAcceptMode(QFileDialog::AcceptOpen);
    Dlg.setFileMode(QFileDialog::ExistingFile);
    QStringList Filters;
    for (const std::string& F : ToolkitNameFilters(Filter))
        Filters << ToQ(F);
    if (!Filters.isEmpty())
        Dlg.setNameFilters(Filters);
    if (!InitialDir.empty())
        Dlg.setDirectory(ToQ(InitialDir));
    if (Dlg.exec() != QDialog::Accepted || Dlg.selectedFiles().isEmpty())
        return false;
    FileName = FromQ(Dlg.selectedFiles().front());
    return true;
}

TSelectDirectoryFn SetSelectDirectory(TSelectDirectoryFn Fn)
{
    TSelectDirectoryFn Old = std::move(SelectDirectorySeam());
    SelectDirectorySeam() = std::move(Fn);
    return Old;
}

bool SelectDirectory(const std::string& Caption, std::string& Directory)
{
    if (SelectDirectorySeam())
        return SelectDirectorySeam()(Caption, Directory);
    if (Dismissed)
        return false;
    const QString Start = Directory.empty() ? QDir::homePath() : ToQ(Directory);
    const QString Chosen = QFileDialog::getExistingDirectory(DialogOwner(), ToQ(Caption), Start);
    if (Chosen.isEmpty())
        return false;
    Directory = FromQ(Chosen);
    return true;
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
