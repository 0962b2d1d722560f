// What a bug report carries besides its text: named fields (the report's
// header, and the extra fields that bug trackers and web uploads send) and the
// files to attach.
//
// Both lists are thread-safe: every operation takes the list's own lock, and
// Lock/Unlock let a caller hold it across several operations (the lock is
// recursive). A list may belong to a settings object: it is then built from
// the text key "AddFields" or "AddAttachs" on first use, and every change is
// written back into that key, so the two stay equal. A fields list may also
// belong to an exception's report, whose lock it takes before its own around
// every change and which it tells when the fields have changed.
//
// Texts are UTF-8. Field names are compared without regard to the case of
// ASCII letters; file names, as the file system takes them, exactly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class IKESettings;

// What a report that owns a fields list offers it: its lock, taken before the
// list's own so that a report being calculated never sees a half-changed
// header, and the news that the fields changed.
class IKEFieldsOwnerReport {
public:
    virtual ~IKEFieldsOwnerReport();
    virtual void LockReport() = 0;
    virtual void UnlockReport() = 0;
    virtual void FieldsChanged() = 0;
};

class IKEFields {
public:
    virtual ~IKEFields();

    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual int ItemCount() = 0;
    // The name of item Index (0-based); empty outside the list.
    virtual std::string GetName(int Index) = 0;
    // Renames item Index; nothing happens outside the list or when the name is
    // the same.
    virtual void SetName(int Index, std::string_view Name) = 0;
    // The index of the first item with that name; -1 when there is none.
    virtual int IndexOf(std::string_view Name) = 0;
    // The value of the item with that name; empty when there is none.
    virtual std::string GetValue(std::string_view Name) = 0;
    // Sets a field by name, while setting by name is allowed (see
    // IKEFieldsEx): a value that is empty after trimming deletes the item; an
    // unknown name is inserted at the insertion position (when it is 1 or
    // more, else appended); a known name is overwritten when its name (its
    // case) or its value differ.
    virtual void SetValue(std::string_view Name, std::string_view Value) = 0;
    // Inserts an item before Index (clamped into 0..count).
    virtual void Insert(int Index, std::string_view Name, std::string_view Value) = 0;
    // Deletes item Index; the insertion position moves back by one when it
    // lay after it.
    virtual void Delete(int Index) = 0;
    // Deletes the first item with that name; true when there was one.
    virtual bool DeleteByName(std::string_view Name) = 0;
    // A new list with the same items, owned by nobody.
    virtual std::shared_ptr<IKEFields> Clone() = 0;
};

class IKEFieldsEx : public IKEFields {
public:
    ~IKEFieldsEx() override;
    virtual void ClearOwnerReport() = 0;
    virtual void ClearOwnerSettings() = 0;
    // The index at which SetValue inserts new names; 0 or less: at the end.
    virtual void SetInsertPos(int Index) = 0;
    virtual void AllowSettingByName(bool Allow) = 0;
};

// One file to attach.
struct TAttachment {
    std::string File;    // full or relative path
    std::string SendAs;  // the name it is sent (or zipped) under
    std::string ZipName; // the archive it goes into, without ".zip"
    std::string Field;   // the form field of an upload that carries it
};

class IKEAttachments {
public:
    virtual ~IKEAttachments();

    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual int ItemCount() = 0;
    // Item Index (0-based); an empty entry outside the list.
    virtual TAttachment GetItem(int Index) = 0;
    // Appends a file (nothing for an empty file name). The send-as name
    // defaults to the file's name after its last "/", the zip name to the
    // send-as name without its last "." and what follows.
    virtual void Add(std::string_view File, std::string_view SendAs = {},
                     std::string_view ZipName = {}, std::string_view Field = {}) = 0;
    // Removes the first entry for exactly that file; true when there was one.
    virtual bool DeleteByFile(std::string_view File) = 0;
    virtual void Clear() = 0;
    // A new list with the same entries, owned by nobody.
    virtual std::shared_ptr<IKEAttachments> Clone() = 0;
    // Detaches the list from its settings object: later changes are written
    // back nowhere.
    virtual void ClearOwnerSettings() = 0;
};

// A new fields list holding the items of Text ("name=value" items joined by
// "|", added as SetValue adds them). With an owner report, every later change
// takes the report's lock first and tells it; with owner settings, every later
// change is written back into their "AddFields" in the same form. Either may
// be left empty.
std::shared_ptr<IKEFieldsEx> NewFields(std::weak_ptr<IKEFieldsOwnerReport> OwnerReport = {},
                                       std::weak_ptr<IKESettings> OwnerSettings = {},
                                       std::string_view Text = {});
// A new attachments list holding the files of Text ("file>send-as>zip>field"
// items joined by "|", added as Add adds them). With owner settings every
// later change is written back into their "AddAttachs" in the same form;
// without, it is the list one send collects its files in.
std::shared_ptr<IKEAttachments> NewAttachments(std::weak_ptr<IKESettings> OwnerSettings = {},
                                               std::string_view Text = {});
