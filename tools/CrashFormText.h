// The readable form of an assistant form, from which the build writes the
// form's section (tools/make_crash_resources form) and into which a form
// stream is printed back (make_crash_resources decode).
//
// An object is "object Name: Class", its properties, its child objects and
// "end"; the first object is the form, its children are the form's items.
// Indenting by two blanks a level is the custom; it does not count. A property
// is "Name = value" (blanks around both do not count, "%LF%" is a line break);
// the kind of a property the forms know comes from the table below, any other
// property says its kind after a ":" (text, int or bool), and a known one may
// too, to be stored as that kind:
//
//   # Who reports, so that someone can answer.
//   object ContactForm: TNVForm
//     Message = Who are you?
//     OnAction = kelExcept.HandleContactForm
//     object NameLabel: TNVLabel
//       Caption = Your name:
//     end
//     object NameEdit: TNVEdit
//       Optional = true
//     end
//   end
//
// Integers: Spacing, MinWidth, Lines, Width, Height, Timer. Booleans (true or
// false, yes or no, on or off, 1 or 0): Enabled, NoOwnerDraw, Visible,
// Optional, Colored, Valid, Checked, Clickable, Border. Every other known
// property is a text. Properties come before the object's children; objects
// nest at most as deep, and a form holds at most as many, as the helper reads.
#pragma once

#include "crashreport/kelNVFormStream.h"
#include "tools/CrashTextLines.h"

#include <string>
#include <string_view>
#include <vector>

// The objects of a form text, front to back. FileName only names the file in
// errors (ECrashTextError, "file:line: ...").
std::vector<TFormStreamObject> ParseFormText(std::string_view Text, std::string_view FileName);

// The form text of a stream. Problem tells what kept the text from being
// complete (not a form stream, a cut-off or unreadable part, a name or value
// the text cannot hold); the text holds what could be read.
struct TFormTextDecoded {
    std::string Text;
    std::string Problem;
};
TFormTextDecoded FormStreamToText(std::string_view Stream);
