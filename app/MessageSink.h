// Message boxes. Every window shows its messages through ShowMessageBox, so
// that one place decides how they reach the user: a modal message box in the
// program, a recorder in tests (SetMessageSink).
#pragma once

#include <functional>
#include <string>

enum class TMsgIcon { None, Information, Warning, Error, Question };
enum class TMsgButtons { OK, OKCancel, YesNo, YesNoCancel };

// The class library's modal results, also the answers of a message box.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;

struct TMessageBoxCall {
    std::string Text;
    std::string Caption;
    TMsgIcon Icon = TMsgIcon::None;
    TMsgButtons Buttons = TMsgButtons::OK;
};

// Answers a message: returns the button pressed (mrOk, mrCancel, mrYes, mrNo).
using TMessageSink = std::function<int(const TMessageBoxCall&)>;

// Installs Sink (empty: the message box again); returns the one it replaces.
TMessageSink SetMessageSink(TMessageSink Sink);

int ShowMessageBox(const std::string& Text, const std::string& Caption,
                   TMsgIcon Icon = TMsgIcon::Information, TMsgButtons Buttons = TMsgButtons::OK);

// The settings store reports files it cannot read or write as messages with
// the caption "Error!"; this sends them through ShowMessageBox.
void RouteStoreMessagesToMessageBoxes();
