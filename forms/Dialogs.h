// Modal dialogs and message boxes. Both answer with a modal result, and both
// go through one place each, so that the program shows them to the user and
// tests work them instead (SetModalDriver, SetMessageSink).
#pragma once

#include <functional>
#include <string>
#include <vector>

class QDialog;
class QLineEdit;
class QWidget;

// The class library's modal results, also the answers of a message box.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;
inline constexpr int mrRetry = 4;

// --- Modal dialogs --------------------------------------------------------------
// The owner for a new dialog: the application's active window (the dialog is
// centred on it and stays above it), or none.
QWidget* DialogOwner();

// Shows Dialog modally and returns its modal result: mrOk when accepted,
// mrCancel otherwise. Tests install a driver that works the dialog instead of
// a nested event loop; it returns the modal result.
using TModalDriver = std::function<int(QDialog&)>;
TModalDriver SetModalDriver(TModalDriver Driver);
int ShowModal(QDialog& Dialog);

// Digits only, right-aligned: the numeric edits of the dialogs.
void SetEditNumeric(QLineEdit* Edit);

// --- Message boxes --------------------------------------------------------------
// Every window shows its messages through ShowMessageBox, so that one place
// decides how they reach the user: a modal message box in the program, a
// recorder in tests (SetMessageSink).
enum class TMsgIcon { None, Information, Warning, Error, Question };
enum class TMsgButtons { OK, OKCancel, YesNo, YesNoCancel, RetryCancel };

struct TMessageBoxCall {
    std::string Text;
    std::string Caption;
    TMsgIcon Icon = TMsgIcon::None;
    TMsgButtons Buttons = TMsgButtons::OK;
};

// Answers a message: returns the button pressed (mrOk, mrCancel, mrYes, mrNo,
// mrRetry).
using TMessageSink = std::function<int(const TMessageBoxCall&)>;

// Installs Sink (empty: the message box again); returns the one it replaces.
TMessageSink SetMessageSink(TMessageSink Sink);

int ShowMessageBox(const std::string& Text, const std::string& Caption,
                   TMsgIcon Icon = TMsgIcon::Information, TMsgButtons Buttons = TMsgButtons::OK);

// --- File prompt and folder chooser ------------------------------------------------
// The class library's PromptForFileName and SelectDirectory. Each goes
// through one replaceable function, so that tests choose the answer
// (SetPromptForFileName, SetSelectDirectory), as with the file dialogs.

// An open-file prompt titled Title, showing the files of Filter (the class
// library's form: description and patterns alternating, separated by "|",
// "Programs|*.sh;*.py|All files|*") and starting in InitialDir (empty: where
// the last one was). True with the chosen file in FileName; false (FileName
// unchanged) when cancelled.
using TPromptForFileNameFn =
    std::function<bool(std::string& FileName, const std::string& Filter, const std::string& Title,
                       const std::string& InitialDir)>;
// Installs Fn (empty: the toolkit's dialog again); returns the one replaced.
TPromptForFileNameFn SetPromptForFileName(TPromptForFileNameFn Fn);
bool PromptForFileName(std::string& FileName, const std::string& Filter, const std::string& Title,
                       const std::string& InitialDir);

// A folder chooser with Caption, starting at Directory (empty: the user's
// home folder). True with the chosen folder in Directory; false (Directory
// unchanged) when cancelled.
using TSelectDirectoryFn = std::function<bool(const std::string& Caption, std::string& Directory)>;
TSelectDirectoryFn SetSelectDirectory(TSelectDirectoryFn Fn);
bool SelectDirectory(const std::string& Caption, std::string& Directory);

// The class library's filter as the toolkit's name filters, one per pair
// ("Programs|*.sh;*.py" gives "Programs (*.sh *.py)").
std::vector<std::string> ToolkitNameFilters(const std::string& Filter);

// --- The end of the session ------------------------------------------------------
// When the session ends (SIGTERM) nobody is left to answer: every open modal
// dialog and message box is dismissed as by Escape (Cancel, No; a message's
// text goes to the standard error output), and from then on none is shown:
// ShowModal answers mrCancel, ShowMessageBox writes the message to the
// standard error output and answers as Escape would.
void DismissDialogsForEnd();
bool DialogsDismissed();
// Shows them again: for a process that goes on after all (tests).
void ShowDialogsAgain();

// The settings store reports files it cannot read or write as messages with
// the caption "Error!"; this sends them through ShowMessageBox.
void RouteStoreMessagesToMessageBoxes();
