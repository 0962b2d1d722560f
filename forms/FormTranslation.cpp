#include "forms/FormTranslation.h"

#include "forms/QtStrings.h"
#include "settings/Language.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTextEdit>

namespace {

// The tab of a page inside a tab widget (the class library's tab sheet).
QTabWidget* TabOwner(QWidget* Page, int& Index)
{
    auto* Stack = qobject_cast<QStackedWidget*>(Page->parentWidget());
    if (!Stack)
        return nullptr;
    auto* Tabs = qobject_cast<QTabWidget*>(Stack->parentWidget());
    if (!Tabs)
        return nullptr;
    Index = Tabs->indexOf(Page);
    return Index >= 0 ? Tabs : nullptr;
}

class TWidgetProperties : public TPropertyObject {
public:
    explicit TWidgetProperties(QObject* Object) : FObject(Object) {}

    std::string ClassName() const override
    {
        return FObject ? FObject->metaObject()->className() : "";
    }

    std::unique_ptr<TPropertyObject> FindComponent(const std::string& Name) override
    {
        // A form owns all of its components, however they are nested.
        if (!FObject || Name.empty() || !FObject->isWidgetType() ||
            !static_cast<QWidget*>(FObject.data())->isWindow())
            return nullptr;
        QObject* Child = FObject->findChild<QObject*>(ToQ(Name));
        return Child ? std::make_unique<TWidgetProperties>(Child) : nullptr;
    }

    std::unique_ptr<TPropertyObject> ObjectProperty(const std::string&) override { return nullptr; }

    TPropertyKind PropertyKind(const std::string& Name) override
    {
        QObject* O = FObject;
        if (!O)
            return TPropertyKind::None;
        auto* W = qobject_cast<QWidget*>(O);
        if (Name == "Caption") {
            if (qobject_cast<QAction*>(O) || qobject_cast<QMenu*>(O))
                return TPropertyKind::String;
            if (W && (W->isWindow() || qobject_cast<QLabel*>(W) ||
                      qobject_cast<QAbstractButton*>(W) || qobject_cast<QGroupBox*>(W)))
                return TPropertyKind::String;
            int Index = 0;
            if (W && TabOwner(W, Index))
                return TPropertyKind::String;
            return TPropertyKind::None;
        }
        if (Name == "Hint")
            return (W || qobject_cast<QAction*>(O)) ? TPropertyKind::String : TPropertyKind::None;
        if (Name == "Text") {
            auto* Combo = qobject_cast<QComboBox*>(O);
            return (qobject_cast<QLineEdit*>(O) || (Combo && Combo->isEditable()) ||
                    qobject_cast<QPlainTextEdit*>(O) || qobject_cast<QTextEdit*>(O))
                       ? TPropertyKind::String
                       : TPropertyKind::None;
        }
        if (Name == "Items")
            return (qobject_cast<QComboBox*>(O) || qobject_cast<QListWidget*>(O))
                       ? TPropertyKind::StringList
                       : TPropertyKind::None;
        if (Name == "Lines")
            return (qobject_cast<QPlainTextEdit*>(O) || qobject_cast<QTextEdit*>(O))
                       ? TPropertyKind::StringList
                       : TPropertyKind::None;
        if (Name == "Left" || Name == "Top" || Name == "Width" || Name == "Height")
            return W ? TPropertyKind::Integer : TPropertyKind::None;
        return TPropertyKind::None;
    }

    void SetInteger(const std::string& Name, std::int64_t Value) override
    {
        auto* W = qobject_cast<QWidget*>(FObject);
        if (!W || PropertyKind(Name) != TPropertyKind::Integer)
            return;
        const int V = static_cast<int>(std::clamp<std::int64_t>(Value, -100000, 100000));
        // Left and Top are the outer position, Width and Height the size.
        if (Name == "Left")
            W->move(V, W->y());
        else if (Name == "Top")
            W->move(W->x(), V);
        else if (Name == "Width")
            W->resize(std::max(V, 0), W->height());
        else
            W->resize(W->width(), std::max(V, 0));
    }

    void SetFloat(const std::string& Name, double Value) override
    {
        SetInteger(Name, static_cast<std::int64_t>(Value));
    }

    void SetString(const std::string& Name, const std::string& Value) override
    {
        QObject* O = FObject;
        if (!O || PropertyKind(Name) != TPropertyKind::String)
            return;
        const QString V = ToQ(Value);
        if (Name == "Hint") {
            if (auto* A = qobject_cast<QAction*>(O)) {
                A->setToolTip(V);
                A->setStatusTip(V);
            } else {
                static_cast<QWidget*>(O)->setToolTip(V);
            }
            return;
        }
        if (Name == "Text") {
            if (auto* E = qobject_cast<QLineEdit*>(O))
                E->setText(V);
            else if (auto* C = qobject_cast<QComboBox*>(O))
                C->setEditText(V);
            else if (auto* P = qobject_cast<QPlainTextEdit*>(O))
                P->setPlainText(V);
            else if (auto* T = qobject_cast<QTextEdit*>(O))
                T->setPlainText(V);
            return;
        }
        // Caption
        if (auto* A = qobject_cast<QAction*>(O))
            A->setText(V);
        else if (auto* M = qobject_cast<QMenu*>(O))
            M->setTitle(V);
        else if (auto* L = qobject_cast<QLabel*>(O))
            L->setText(V);
        else if (auto* B = qobject_cast<QAbstractButton*>(O))
            B->setText(V);
        else if (auto* G = qobject_cast<QGroupBox*>(O))
            G->setTitle(V);
        else if (auto* W = qobject_cast<QWidget*>(O)) {
            int Index = 0;
            if (QTabWidget* Tabs = TabOwner(W, Index))
                Tabs->setTabText(Index, V);
            else
                W->setWindowTitle(V);
        }
    }

    void SetStringList(const std::string& Name, const std::vector<std::string>& Value) override
    {
        QObject* O = FObject;
        if (!O || PropertyKind(Name) != TPropertyKind::StringList)
            return;
        const QStringList L = ToQList(Value);
        if (auto* C = qobject_cast<QComboBox*>(O)) {
            const int Index = C->currentIndex();
            const QSignalBlocker Block(C);
            C->clear();
            C->addItems(L);
            C->setCurrentIndex(Index < C->count() ? Index : -1);
        } else if (auto* LW = qobject_cast<QListWidget*>(O)) {
            const int Row = LW->currentRow();
            LW->clear();
            LW->addItems(L);
            if (Row < LW->count())
                LW->setCurrentRow(Row);
        } else if (auto* P = qobject_cast<QPlainTextEdit*>(O)) {
            P->setPlainText(L.join('\n'));
        } else if (auto* T = qobject_cast<QTextEdit*>(O)) {
            T->setPlainText(L.join('\n'));
        }
    }

private:
    QPointer<QObject> FObject;
};

// The Caption a language file would set on O, read back; false when O has
// none.
bool GetCaption(QObject* O, QString& Text)
{
    if (auto* A = qobject_cast<QAction*>(O))
        Text = A->text();
    else if (auto* M = qobject_cast<QMenu*>(O))
        Text = M->title();
    else if (auto* L = qobject_cast<QLabel*>(O))
        Text = L->text();
    else if (auto* B = qobject_cast<QAbstractButton*>(O))
        Text = B->text();
    else if (auto* G = qobject_cast<QGroupBox*>(O))
        Text = G->title();
    else if (auto* W = qobject_cast<QWidget*>(O)) {
        int Index = 0;
        if (QTabWidget* Tabs = TabOwner(W, Index))
            Text = Tabs->tabText(Index);
        else if (W->isWindow())
            Text = W->windowTitle();
        else
            return false;
    } else
        return false;
    return true;
}

bool GetItems(QObject* O, QStringList& Items)
{
    if (auto* C = qobject_cast<QComboBox*>(O)) {
        for (int I = 0; I < C->count(); ++I)
            Items.push_back(C->itemText(I));
        return true;
    }
    if (auto* L = qobject_cast<QListWidget*>(O)) {
        for (int I = 0; I < L->count(); ++I)
            Items.push_back(L->item(I)->text());
        return true;
    }
    return false;
}

std::string UpperAscii(std::string Text)
{
    for (char& C : Text)
        if (C >= 'a' && C <= 'z')
            C = static_cast<char>(C - 'a' + 'A');
    return Text;
}

bool IsForm(QWidget* W)
{
    return qobject_cast<QMainWindow*>(W) || qobject_cast<QDialog*>(W);
}

} // namespace

std::unique_ptr<TPropertyObject> WidgetProperties(QObject* Object)
{
    return Object ? std::make_unique<TWidgetProperties>(Object) : nullptr;
}

void TranslateForm(QWidget* Form)
{
    if (!LangChanger || !Form)
        return;
    auto P = WidgetProperties(Form);
    LangChanger->TranslateForm(P.get());
}

void InstallScreenForms(TLangChanger& Changer)
{
    Changer.ScreenForms = [] {
        std::vector<std::unique_ptr<TPropertyObject>> Forms;
        for (QWidget* W : QApplication::topLevelWidgets())
            if (IsForm(W))
                Forms.push_back(WidgetProperties(W));
        return Forms;
    };
}

void TFormTexts::Take(QWidget* Form)
{
    FForm = Form;
    FTexts.clear();
    if (!Form)
        return;
    auto Add = [this](QObject* O, const std::string& Prefix) {
        QString Text;
        if (GetCaption(O, Text))
            FTexts[UpperAscii(Prefix + "Caption")] = {O, Text, {}};
        if (O->isWidgetType() || qobject_cast<QAction*>(O)) {
            const QString Tip = O->isWidgetType() ? static_cast<QWidget*>(O)->toolTip()
                                                  : static_cast<QAction*>(O)->toolTip();
            FTexts[UpperAscii(Prefix + "Hint")] = {O, Tip, {}};
        }
        QStringList Items;
        if (GetItems(O, Items))
            FTexts[UpperAscii(Prefix + "Items")] = {O, {}, Items};
    };
    Add(Form, "");
    for (QObject* O : Form->findChildren<QObject*>())
        if (!O->objectName().isEmpty())
            Add(O, FromQ(O->objectName()) + ".");
}

void TFormTexts::Restore(const std::string& LangFile)
{
    if (!FForm || LangFile.empty())
        return;
    TLangChanger Last;
    Last.SetLangFile(LangFile);
    std::vector<std::string> Keys;
    Last.ReadSectionKeys("Translations", Keys);
    const std::string Class = UpperAscii(FForm->metaObject()->className());
    for (const std::string& Key : Keys) {
        const size_t Dot = Key.find('.');
        if (Dot == std::string::npos || "T" + UpperAscii(Key.substr(0, Dot)) != Class)
            continue;
        const auto It = FTexts.find(UpperAscii(Key.substr(Dot + 1)));
        if (It == FTexts.end() || !It->second.Object)
            continue;
        const TText& T = It->second;
        auto P = WidgetProperties(T.Object);
        const std::string Property = It->first.substr(It->first.rfind('.') + 1);
        if (Property == "ITEMS") {
            std::vector<std::string> Items;
            for (const QString& I : T.Items)
                Items.push_back(FromQ(I));
            P->SetStringList("Items", Items);
        } else {
            P->SetString(Property == "HINT" ? "Hint" : "Caption", FromQ(T.Text));
        }
    }
}
