// The language file applied to the windows: a form's components are found by
// object name, and the class library's property names are mapped onto the
// widgets, so that one language file serves every window.
#pragma once

#include "LangChanger.h"

#include <memory>

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
