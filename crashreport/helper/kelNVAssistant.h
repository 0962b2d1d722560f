// Assistants: rows of small dialogs (forms) that ask the user something before
// a report is sent, with "Next >", "Skip" and "Cancel" buttons.
//
// Each form comes from a section of this program (crashreport/kelNVFormStream.h
// reads it) and is shown by ShowModal as a dialog of its own, laid out by the
// forms' pixel rules (crashreport/kelNVLayout.h) with the fonts measured here.
// Handler routines named by the forms ("OnAction") or set by the caller react
// to a form's life and to what the user does: each action goes first to the
// form's handler, then to the assistant's.
//
// Items are owned by their form and forms by their assistant; the pointers
// the operations hand out live as long as the assistant. A form's window
// exists only while it is shown. Everything runs on the GUI thread.
#pragma once

#include "crashlib/kelTools.h"
#include "crashreport/kelNVBitmap.h"
#include "crashreport/kelNVFormStream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QWidget;
class INVAssistant;
class INVForm;

// What the caller gives an assistant, handed to every handler (the helper's
// mirror of the exception, kelExceptMirror.h).
class INVContext {
public:
    virtual ~INVContext();
};

// The actions a handler is told of.
enum TNVAction : std::uint8_t {
    naFormRead = 0,  // the form was read from its section
    naFormShow = 1,  // the form is laid out and about to be shown (it may be skipped now)
    naFormClose = 2, // the form closes; its modal result is set
    naItemEvent = 3, // an item acted (button or check box clicked, clickable image clicked,
                     // edit text changed), or, with no item, the form's timer fired
};

// What a form's ShowModal and an assistant's answer.
enum TNVModalResult : std::uint8_t { nmrNone = 0, nmrNext = 1, nmrSkip = 2, nmrCancel = 3 };

// --- Items -----------------------------------------------------------------------

class INVItem {
public:
    virtual ~INVItem();
    virtual std::string Name() const = 0;
    // The item's widget while the form is shown; null for images and before.
    virtual QWidget* Window() const = 0;
    virtual bool TabStop() const = 0;
    virtual int Spacing() const = 0;
    virtual bool Enabled() const = 0;
    // The widget is enabled when the item is and the form does not block it.
    virtual void SetEnabled(bool Value) = 0;
    // An edit also gets all its text selected.
    virtual void SetFocus() = 0;
};

class INVButton : public virtual INVItem {
public:
    virtual std::string Caption() const = 0;
    virtual void SetCaption(std::string_view Value) = 0;
    virtual int MinWidth() const = 0;
};

class INVLabel : public virtual INVItem {
public:
    virtual std::string Caption() const = 0;
    virtual void SetCaption(std::string_view Value) = 0;
};

class INVEdit : public virtual INVItem {
public:
    virtual int Lines() const = 0;
    virtual bool Optional() const = 0;
    // Checks the form again.
    virtual void SetOptional(bool Value) = 0;
    // Line breaks are CR LF.
    virtual std::string Text() const = 0;
    // Writes the widget when the text differs, then fires naItemEvent for the
    // edit and checks the form again.
    virtual void SetText(std::string_view Value) = 0;
    virtual bool Colored() const = 0;
    virtual void SetColored(bool Value) = 0;
    virtual bool Valid() const = 0;
    // Repaints and checks the form again.
    virtual void SetValid(bool Value) = 0;
    // True: the text is a report section of its own (only multi-line edits).
    virtual bool OutputType() const = 0;
    // True is refused unless the edit has two or more lines.
    virtual void SetOutputType(bool Value) = 0;
    virtual std::string OutputName() const = 0;
    virtual void SetOutputName(std::string_view Value) = 0;
};

class INVCheckBox : public virtual INVItem {
public:
    virtual std::string Caption() const = 0;
    virtual void SetCaption(std::string_view Value) = 0;
    virtual bool Checked() const = 0;
    virtual void SetChecked(bool Value) = 0;
    virtual std::string OutputName() const = 0;
    virtual void SetOutputName(std::string_view Value) = 0;
};

class INVImage : public virtual INVItem {
public:
    virtual std::string File() const = 0;
    virtual std::shared_ptr<INVBitmap> Bitmap() const = 0;
    // Before the form is laid out the bitmap is kept as given; afterwards one
    // larger than the item's room is replaced by its zoomed copy. Null clears
    // the picture.
    virtual void SetBitmap(std::shared_ptr<INVBitmap> Value) = 0;
    virtual bool Clickable() const = 0;
    virtual bool Border() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
};

// --- Forms and assistants ----------------------------------------------------------

// A handler routine: the form, the action, the item concerned (may be null)
// and the context the assistant was given.
using TNVActionProc = void (*)(INVForm& Form, std::uint8_t Action, INVItem* Item,
                               INVContext* Context);

class INVForm {
public:
    virtual ~INVForm();
    virtual INVAssistant* Assistant() const = 0;
    virtual std::string Name() const = 0;
    virtual std::string Title() const = 0;
    virtual void SetTitle(std::string_view Value) = 0;
    virtual std::string Message() const = 0;
    virtual void SetMessage(std::string_view Value) = 0;
    virtual int ItemCount() const = 0;
    // Null outside 0 .. ItemCount() - 1; 0, 1 and 2 are the navigation buttons.
    virtual INVItem* Item(int Index) const = 0;
    virtual INVButton* NextBtn() const = 0;
    virtual INVButton* SkipBtn() const = 0;
    virtual INVButton* CancelBtn() const = 0;
    virtual std::string ActiveControl() const = 0;
    virtual void SetActiveControl(std::string_view Value) = 0;
    virtual int Timer() const = 0;
    // The form's dialog while it is shown, else null.
    virtual QWidget* Window() const = 0;
    virtual std::uint8_t ModalResult() const = 0;
    virtual TNVActionProc OnAction() const = 0;
    virtual void SetOnAction(TNVActionProc Value) = 0;
    // The item of that name (exactly) and kind; null when there is none.
    virtual INVLabel* FindLabel(std::string_view Name) const = 0;
    virtual INVEdit* FindEdit(std::string_view Name) const = 0;
    virtual INVButton* FindButton(std::string_view Name) const = 0;
    virtual INVCheckBox* FindCheckBox(std::string_view Name) const = 0;
    virtual INVImage* FindImage(std::string_view Name) const = 0;
    // The form is not to be shown (also from the naFormShow handler).
    virtual void Skip() = 0;
    // Shows the form as a modal dialog over Parent (may be null); the modal
    // result. A skipped form returns at once.
    virtual std::uint8_t ShowModal(QWidget* Parent) = 0;
    virtual INVContext* Context() const = 0;
    virtual void SetContext(std::shared_ptr<INVContext> Value) = 0;
    virtual std::uintptr_t Tag() const = 0;
    virtual void SetTag(std::uintptr_t Value) = 0;
};

class INVAssistant {
public:
    virtual ~INVAssistant();
    virtual std::string Title() const = 0;
    // Sets every form's title too.
    virtual void SetTitle(std::string_view Value) = 0;
    virtual int FormCount() const = 0;
    virtual INVForm* Form(int Index) const = 0;
    // The last form of that name (any case); null when there is none.
    virtual INVForm* FindForm(std::string_view Name) const = 0;
    virtual std::uint8_t ModalResult() const = 0;
    virtual TNVActionProc OnAction() const = 0;
    virtual void SetOnAction(TNVActionProc Value) = 0;
    // Shows the forms one after the other over Parent: nmrNext when they were
    // all gone through (by "Next >" or "Skip"), nmrCancel when one was
    // cancelled; the forms after it are not shown.
    virtual std::uint8_t ShowModal(QWidget* Parent) = 0;
    virtual INVContext* Context() const = 0;
    virtual void SetContext(std::shared_ptr<INVContext> Value) = 0;
    virtual std::uintptr_t Tag() const = 0;
    virtual void SetTag(std::uintptr_t Value) = 0;
};

// An assistant of forms made from these streams, in order, each given the
// context; each form's naFormRead fires as it is made. A stream whose reading
// stops at an unknown tag says so in a message box ("kelExcept"); other damage
// goes to the error output; either way the form keeps what was read.
std::shared_ptr<INVAssistant> NewAssistant(std::string_view Title,
                                           const std::vector<std::string>& FormStreams,
                                           std::shared_ptr<INVContext> Context);
// The same with each form's stream from the module's section
// ".rsrc.10.TKE<FORM NAME IN CAPITALS>"; a missing section gives a form with
// only its navigation buttons.
std::shared_ptr<INVAssistant> LoadAssistantRes(HModule Module, std::string_view Title,
                                               const std::vector<std::string>& FormNames,
                                               std::shared_ptr<INVContext> Context);

// The routines that "OnAction" can name: "kelExcept.HandleContactForm" and
// "kelExcept.HandleScreenshotForm" (any case) select these two; any other name
// selects nothing, as this program holds no table of the routines of another.
void SetBuiltInFormHandlers(TNVActionProc ContactForm, TNVActionProc ScreenshotForm);
TNVActionProc FindFormHandler(std::string_view Name);
