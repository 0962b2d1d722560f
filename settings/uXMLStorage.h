// The section/key settings store: one object per XML file ("options.xml",
// "tools.xml", "presets.xml"). A section is a child element of the document
// element, a key a child element of the section, and its text the value.
//
// Values are HTML-encoded before the XML layer escapes them again, so an "&"
// in a value reaches the file as "&amp;amp;"; that double encoding is the file
// format. Characters that XML 1.0 cannot hold, and CR (which XML parsers turn
// into LF), go into the encoded text as decimal references ("&#13;"), so every
// value survives the round trip and every file reopens. A NUL cannot be held
// by any XML text and is dropped; bytes that are not UTF-8 become U+FFFD.
//
// Use: construct, Load, read and/or write, Save (writers only). A writer loads
// first, so that sections, keys and comments it does not know survive.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <pugixml.hpp>

// Shows a failure to the user (the Qt layer installs a message box; until
// then the text goes to stderr). Caption is "Error!".
using TXMLStorageMessageHandler =
    std::function<void(const std::string& Caption, const std::string& Text)>;
// Installs Handler (an empty one restores the stderr default); returns the
// handler it replaces.
TXMLStorageMessageHandler SetXMLStorageMessageHandler(TXMLStorageMessageHandler Handler);
// Reports Text through that handler with the caption "Error!": for the
// other readers of settings files (the language file).
void ShowSettingsError(const std::string& Text);

class TXMLStorage {
public:
    explicit TXMLStorage(std::string AFileName);
    virtual ~TXMLStorage();
    TXMLStorage(const TXMLStorage&) = delete;
    TXMLStorage& operator=(const TXMLStorage&) = delete;

    std::string FileName;
    std::string Encoding = "UTF-8"; // the only encoding written
    bool AutoIndent = true;
    // The most a settings file may hold: far more than any user's settings,
    // and little enough that reading and saving it stays quick. Load refuses
    // a larger file as it refuses an unreadable one; a store of a file that
    // must load faster sets less.
    static constexpr std::size_t MaxSettingsFileSize = std::size_t{64} << 20;
    std::size_t MaxFileSize = MaxSettingsFileSize;

    // Reads FileName into a new document. A missing file gives an empty
    // document with the root "Options". A file that cannot be read or parsed
    // (also one that is no regular file, or larger than a settings file can
    // be) is reported ("Can't read file <name>: <reason>"); the store then
    // holds an empty "Options" document, so reads give their defaults, and a
    // later Save keeps the unreadable file as "<name>.bad" (earlier copies
    // move on to ".bad.1" up to ".bad.9", the oldest goes) before replacing
    // it. Elements nested deeper than the store keeps are dropped, and the
    // file as it was is kept aside the same way; so is a file with bytes that
    // are no UTF-8, which are read as U+FFFD and reported.
    void Load();

    // Writes the document over FileName through a temporary file in the same
    // folder (written, flushed to disk, then renamed), so the old file stays
    // whole whatever fails. A file that does not exist is not created, and a
    // file that would not change is not written. Any failure is reported
    // ("Can't write file <name>: <reason>") and gives false.
    bool Save();

    // True after a Load that found the file but could not read it.
    bool LoadFailed() const { return FLoadFailed; }
    // True when the next Save keeps the file as it was aside (it was not read
    // as it stands).
    bool KeepsOriginal() const { return FKeepOriginal; }

    std::string ReadString(const std::string& Section, const std::string& Key,
                           const std::string& Default);
    // The writers of values; WriteInteger and WriteBool write through
    // WriteString. Virtual so that a store without a document can take what
    // a writer writes (see the options' image).
    virtual void WriteString(const std::string& Section, const std::string& Key,
                             const std::string& Value);
    // Decimal, or hexadecimal after "$", "0x" or "0X"; a sign may lead.
    int ReadInteger(const std::string& Section, const std::string& Key, int Default);
    void WriteInteger(const std::string& Section, const std::string& Key, int Value);
    // Any non-zero integer is true; a text that is no integer gives Default.
    bool ReadBool(const std::string& Section, const std::string& Key, bool Default);
    void WriteBool(const std::string& Section, const std::string& Key, bool Value);
    // One line per child element of the key, whatever the children are called.
    void ReadStrings(const std::string& Section, const std::string& Key,
                     std::vector<std::string>& Strings);
    // Replaces the key's children by Key0, Key1, ...
    virtual void WriteStrings(const std::string& Section, const std::string& Key,
                              const std::vector<std::string>& Strings);

    // Whether WriteString (WriteStrings) would leave the document as it is:
    // the key holds that value (those lines) exactly as this store writes it.
    bool Holds(const std::string& Section, const std::string& Key, const std::string& Value) const;
    bool Holds(const std::string& Section, const std::string& Key,
               const std::vector<std::string>& Strings) const;

protected:
    // The value encodings of the file format, for the stores that derive
    // from this one and keep record lists of their own.
    static std::string EncodeText(const std::string& Value);
    // Undoes EncodeText; text the encoding cannot have produced (a value
    // written into the file by hand) is taken as it stands.
    static std::string DecodeText(const std::string& Text);
    // The first child element named Name (exact match), or an empty node.
    static pugi::xml_node FindElement(pugi::xml_node Parent, const std::string& Name);
    // FindElement, or a new element appended at the end; an empty node when
    // Name is no XML name.
    static pugi::xml_node FindOrAppendElement(pugi::xml_node Parent, const std::string& Name);
    // The decoded text of an element that holds text only; raises
    // EConvertError when it has child elements.
    static std::string ElementValue(pugi::xml_node Element);
    // Replaces the element's content by the encoded Value.
    static void SetElementValue(pugi::xml_node Element, const std::string& Value);
    // A list stored as the element children of Section/Key under the root:
    // each child element in document order is handed to Read, whatever its
    // name. An item that Read cannot take (it raises) is skipped and counted,
    // so one bad entry never costs the ones after it. Returns that count; 0
    // without a document or without the list.
    int ReadListElements(const std::string& Section, const std::string& Key,
                         const std::function<void(pugi::xml_node Item)>& Read);
    // Section/Key under the root, found or appended, emptied for a list to be
    // written into it; an empty node without a document or for a Key that is
    // no XML name.
    pugi::xml_node ClearedListElement(const std::string& Section, const std::string& Key);
    static bool IsXMLName(const std::string& Name);

    std::unique_ptr<pugi::xml_document> Document;
    pugi::xml_node Root;

private:
    bool FLoadFailed = false;
    // The file was not read as it stands (unreadable, bytes that are no
    // UTF-8, or nested deeper than is kept): the next Save keeps it aside
    // before replacing it.
    bool FKeepOriginal = false;
};
