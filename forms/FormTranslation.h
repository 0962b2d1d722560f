// The language file applied to the windows: a form's components are found by
// object name, and the class library's property names are mapped onto the
// widgets, so that one language file serves every window.
#pragma once

#include "settings/LangChanger.h"

#include <QPointer>
#include <QStringList>

#include <map>
#include <memory>
#include <string>
#include <utility>

class QObject;
class QWidget;

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

// A form's own texts (Caption, Hint and Items of the form and its named
// components), taken before any language file is applied. A language file
// sets only the texts it has keys for; before the next one is applied, what
// the last one set goes back to the form's own text, so that a text the
// next language has no key for shows the program's text again instead of
// the last language's.
class TFormTexts {
public:
    void Take(QWidget* Form);
    // Puts back every text of the form that a form key of LangFile (the
    // language file applied last) names; texts no key named stay as they are.
    void Restore(const std::string& LangFile);

private:
    struct TText {
        QPointer<QObject> Object;
        QString Text;
        QStringList Items;
    };
    QPointer<QWidget> FForm;
    // By upper-cased "component.Property" ("Property" for the form itself).
    std::map<std::string, TText> FTexts;
};
