// Text from files and the network is shown as text, never read as markup.
//
// A Qt label, message box, input prompt or tool tip in the automatic text
// format takes anything that looks like HTML for rich text: an <img> in a
// computer list's MAC, a command's name or a preset is loaded as the image
// it names when the text is laid out (a named pipe there blocks the GUI
// thread for good, /dev/zero reads until memory runs out), and <a href>
// becomes a link that opens what the file's author chose. Every box, label
// and prompt that can show such text goes through here, and here alone
// decides how it is shown: as plain text, set before the text is.
#pragma once

#include <QString>

#include <string>

class QInputDialog;
class QLabel;
class QMessageBox;
class QPoint;
class QRect;
class QWidget;

// Label shows Text as plain text.
void SetPlainText(QLabel& Label, const QString& Text);
void SetPlainText(QLabel& Label, const std::string& Text);

// Box's text, Text, as plain text.
void SetPlainText(QMessageBox& Box, const std::string& Text);

// Dialog's prompt, Prompt, as plain text.
void SetPlainLabelText(QInputDialog& Dialog, const std::string& Prompt);

// Shows Text as a tool tip of Owner at Global (for the item at Rect of
// Owner), as plain text: a tool tip has no format of its own, so the text
// goes as the rich text that shows it literally. An empty Text hides the
// tool tip.
void ShowPlainToolTip(const QPoint& Global, const QString& Text, QWidget* Owner, const QRect& Rect);
