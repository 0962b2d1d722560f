// What the assistant tests share: forms made from readable form texts (the
// shipped ones among them), the dialogs of a running assistant worked one
// after another while the code under test waits in them, keys typed where the
// focus is, and the widget of an item.
#pragma once

#include "crashreport/helper/kelNVAssistant.h"
#include "crashreport/kelExceptSettings.h"
#include "tests/crashreport/helper/HelperTestApp.h"
#include "tests/support/TempFolder.h"
#include "tools/CrashFormText.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// An environment variable set for the time of a test.
class TEnvVar {
public:
    TEnvVar(const char* AName, const std::string& Value) : Name(AName)
    {
        if (const char* Old = std::getenv(Name))
            Saved = Old;
        ::setenv(Name, Value.c_str(), 1);
    }
    ~TEnvVar()
    {
        if (Saved)
            ::setenv(Name, Saved->c_str(), 1);
        else
            ::unsetenv(Name);
    }
    TEnvVar(const TEnvVar&) = delete;
    TEnvVar& operator=(const TEnvVar&) = delete;

private:
    const char* Name;
    std::optional<std::string> Saved;
};

// The stream of a form text.
inline std::string FormStream(const std::string& Text)
{
    return WriteFormObjects(ParseFormText(Text, "test form"));
}

// The stream of a shipped form ("ContactForm", ...).
inline std::string ShippedForm(const std::string& Name)
{
    const std::string File =
        std::string(TOLVEX_SOURCE_DIR) + "/resources/crashreport/forms/" + Name + ".txt";
    return WriteFormObjects(ParseFormText(TempFolder::Read(File), File));
}

// A settings stream of these texts and integers.
inline std::string
SettingsStream(const std::vector<std::pair<std::string, std::string>>& Texts,
               const std::vector<std::pair<std::string, std::int32_t>>& Ints = {})
{
    std::vector<TSettingEntry> Entries;
    auto Add = [&](const std::string& Name, TSettingKind Kind) -> TSettingEntry& {
        Entries.push_back({});
        Entries.back().Name = Name;
        Entries.back().Kind = Kind;
        return Entries.back();
    };
    for (const auto& [Name, Value] : Texts)
        Add(Name, skText).Text = Value;
    for (const auto& [Name, Value] : Ints)
        Add(Name, skInt).Int = Value;
    return WriteSettingsStream(Entries);
}

// Works the modal dialogs that come up while it lives, each with the next
// step, in order. A dialog beyond the steps fails the test and is closed, and
// so is one still open 20 seconds after its step.
class TDialogSteps {
public:
    using TStep = std::function<void(QDialog&)>;
    explicit TDialogSteps(std::vector<TStep> ASteps) : Steps(std::move(ASteps))
    {
        QObject::connect(&Timer, &QTimer::timeout, [this] { Poll(); });
        Timer.start(5);
        Since.start();
    }
    ~TDialogSteps() { EXPECT_EQ(Next, Steps.size()) << "dialogs that never came up"; }
    TDialogSteps(const TDialogSteps&) = delete;
    TDialogSteps& operator=(const TDialogSteps&) = delete;

private:
    void Poll()
    {
        auto* D = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (D != nullptr && D == Last && !Busy && Since.elapsed() > 20000) {
            ADD_FAILURE() << "a dialog left open by its step: " << D->objectName().toStdString();
            D->done(0);
            return;
        }
        if (D == nullptr || D == Last || !D->isVisible() || Busy)
            return;
        Last = D;
        Since.restart();
        Busy = true;
        if (Next < Steps.size()) {
            Steps[Next++](*D);
        } else {
            ADD_FAILURE() << "a dialog no step expected: " << D->objectName().toStdString();
            D->close();
        }
        Busy = false;
    }

    std::vector<TStep> Steps;
    std::size_t Next = 0;
    QPointer<QDialog> Last;
    bool Busy = false;
    QTimer Timer;
    QElapsedTimer Since;
};

// The widget of the dialog's item Name; null when there is none.
template <class T = QWidget> T* ItemWidget(QDialog& D, const char* Name)
{
    return D.findChild<T*>(QString::fromLatin1(Name));
}

// The widget that has the dialog's focus.
inline QWidget* Focused(QDialog& D)
{
    return D.focusWidget();
}

inline std::string FocusedName(QDialog& D)
{
    return Focused(D) != nullptr ? Focused(D)->objectName().toStdString() : std::string();
}

// A key pressed where the dialog's focus is.
inline void Press(QDialog& D, Qt::Key Key, Qt::KeyboardModifiers Modifiers = Qt::NoModifier)
{
    QTest::keyClick(Focused(D) != nullptr ? Focused(D) : &D, Key, Modifiers);
}

// Typing Utf8 into W, a key press with its text for each character (QTest
// types only ASCII).
inline void Type(QWidget* W, const char* Utf8)
{
    for (const QChar C : QString::fromUtf8(Utf8)) {
        QKeyEvent Press(QEvent::KeyPress, 0, Qt::NoModifier, QString(C));
        QKeyEvent Release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(C));
        QApplication::sendEvent(W, &Press);
        QApplication::sendEvent(W, &Release);
    }
}

// A click on the dialog's button Name.
inline void Click(QDialog& D, const char* Name)
{
    auto* B = ItemWidget<QAbstractButton>(D, Name);
    ASSERT_NE(B, nullptr) << Name;
    QTest::mouseClick(B, Qt::LeftButton);
}
