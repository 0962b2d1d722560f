// Language files: every user-visible text of the program can be replaced
// from the section "Translations" of a profile file "*.lng".
//
// Two kinds of key share the section: text keys (a message id or a built-in
// text, see TranslateString) and form keys: a form's class name without its
// leading "T", then ".", the component name, "." and the names of nested
// object properties, and last "." and the property name
// ("dlgOptions.btnOK.Caption"). "{ENTER}" in a value is a line break (CR LF).
//
// The form side works on TPropertyObject, the small "set a property by name"
// view that the widget layer gives of its forms and their components.
#pragma once

#include "platform/IniProfile.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

enum class TPropertyKind { None, Integer, Int64, Float, String, StringList, Other };

// A form, a component or a nested object, as the translation sees it.
class TPropertyObject {
public:
    virtual ~TPropertyObject() = default;
    // The class name a form key names ("TdlgFind"); used for forms only.
    virtual std::string ClassName() const = 0;
    // The component named Name that this object owns; null when none.
    virtual std::unique_ptr<TPropertyObject> FindComponent(const std::string& Name) = 0;
    // The object held by the property Name; null when there is no such
    // property or it holds no object.
    virtual std::unique_ptr<TPropertyObject> ObjectProperty(const std::string& Name) = 0;
    // The kind of the property Name; None when there is no such property.
    virtual TPropertyKind PropertyKind(const std::string& Name) = 0;
    virtual void SetInteger(const std::string& Name, std::int64_t Value) = 0;
    virtual void SetFloat(const std::string& Name, double Value) = 0;
    virtual void SetString(const std::string& Name, const std::string& Value) = 0;
    virtual void SetStringList(const std::string& Name, const std::vector<std::string>& Value) = 0;
};

class TLangChanger {
public:
    TLangChanger();

    const std::string& LangFile() const { return FLangFile; }
    // Takes a new language file (full path; empty: no translation). The file
    // is read as NormaliseLanguageText makes it: a line without "=" that is
    // not a section header is a key with an empty value. The file on disk is
    // left as it is.
    void SetLangFile(const std::string& Value);

    const std::string& Separator() const { return FSeparator; }
    // An empty (or blank) separator means ",".
    void SetSeparator(const std::string& Value);

    // The translation of Text; when the language file (or its absence)
    // gives none, the program's built-in text of that key, else Text
    // itself. "{ENTER}" becomes CR LF.
    std::string TranslateString(const std::string& Text);
    // Applies the form keys that name Form's class; with Form null, to every
    // form that ScreenForms lists.
    void TranslateForm(TPropertyObject* Form);
    // All key names of Section of the language file, in file order.
    void ReadSectionKeys(const std::string& Section, std::vector<std::string>& Strings);
    // Sets one property: Path is "component.nested.property" or "property".
    // A component, property or value that does not fit is skipped.
    void SetPropertyByPath(TPropertyObject& Root, const std::string& Path,
                           const std::string& Value);

    // The forms that currently exist, in the screen's order; set by the
    // widget layer. Unset: TranslateForm(null) finds no forms.
    std::function<std::vector<std::unique_ptr<TPropertyObject>>()> ScreenForms;

private:
    // The language file as last read; reread when the file on disk changes.
    const platform::IniProfile& Profile();

    std::string FLangFile;
    std::string FSeparator;

    bool Cached = false;
    dev_t CachedDev = 0;
    ino_t CachedIno = 0;
    off_t CachedSize = 0;
    std::timespec CachedMtime{};
    platform::IniProfile CachedProfile;
};

// The program's own English language file, built into the program: the
// texts shown for every key that the language file in use does not have
// (also when there is none, or it cannot be read).
const char* BuiltInLanguageText();

// The normalisation applied to a language file as it is read (the file
// itself is never changed), on its bytes: lines split at CR LF, LF or CR; a
// line without "=" is trimmed and, when it is not empty, does not start with
// "[" and does not end with "]", gets "=" appended; every line ends with
// CR LF. A leading UTF-8 byte-order mark is kept, as one mark in front also
// when a first line without "=" starts with marks (after blanks, or after the
// file's own mark). Normalising the result again changes nothing.
std::string NormaliseLanguageText(const std::string& Bytes);
