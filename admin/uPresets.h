// Message presets: reusable titles and texts for messages to sessions, kept
// in "presets.xml", and the text macros every message passes through.
#pragma once

#include "settings/uXMLStorage.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Message types, also the index of the type combo boxes.
inline constexpr std::int32_t MessageTypeNone = 0;
inline constexpr std::int32_t MessageTypeInformation = 1;
inline constexpr std::int32_t MessageTypeWarning = 2;
inline constexpr std::int32_t MessageTypeError = 3;

class TPreset {
public:
    std::string Text; // may span lines (CR LF)
    std::string Name;
    std::string Title;
    std::int32_t MessageType = MessageTypeNone;

    virtual ~TPreset() = default;
    virtual void Assign(const TPreset& Source);

    void SetText(const std::string& Value) { Text = Value; }
    void SetName(const std::string& Value) { Name = Value; }
    void SetTitle(const std::string& Value) { Title = Value; }
    void SetMessageType(std::int32_t Value) { MessageType = Value; }
};

class TPresets {
public:
    TPresets() = default;
    TPresets(const TPresets&) = delete;
    TPresets& operator=(const TPresets&) = delete;

    int Count() const { return static_cast<int>(FItems.size()); }
    TPreset* Items(int Index) const;
    TPreset* Add();
    // The new preset, or null (and nothing added) when Name is empty.
    TPreset* AddPreset(const std::string& Name, const std::string& Title, std::int32_t MessageType,
                       const std::string& Text);
    void Delete(int Index);
    // Moves the item at FromIndex to ToIndex.
    void Move(int FromIndex, int ToIndex);
    void Clear();
    // Copies every preset of Source (this one is emptied first).
    void Assign(const TPresets& Source);
    bool SameAs(const TPresets& Other) const;

    // Adds the presets of FileName; the collection is not emptied first.
    // False when the file could not be read whole (unreadable, or an item
    // that had to be skipped): the presets read are kept, and SaveToFile
    // then leaves that file alone, so that nothing the user stored is lost.
    bool LoadFromFile(const std::string& FileName);
    // False when nothing was written: the file was not read whole, or the
    // store reported a failure.
    bool SaveToFile(const std::string& FileName);

    // Set by every change through this class; cleared by LoadFromFile and
    // a successful SaveToFile. Saving is skipped while it is clear.
    bool Modified = false;

private:
    std::vector<std::unique_ptr<TPreset>> FItems;
    // Files read only in part: never written over.
    std::vector<std::string> FPartlyRead;
};

class TPresetsXMLStorage : public TXMLStorage {
public:
    using TXMLStorage::TXMLStorage;
    // Appends the presets stored under Section/Key to Presets. An item that
    // cannot be read, has no name or a message type outside the four is
    // skipped and counted in SkippedItems; the others are still read.
    void LoadPresets(const std::string& Section, const std::string& Key, TPresets& Presets);
    void SavePresets(const std::string& Section, const std::string& Key, const TPresets& Presets);

    int SkippedItems = 0;
};

// The presets file of the settings folder.
inline constexpr const char* PresetsFileName = "presets.xml";

// Replaces "%computer_name%", "%user_name%" and "%time_now%" (any case, every
// occurrence) in one pass: a value that itself holds a macro name stays as it
// is.
std::string ExpandPresetMacros(const std::string& Text);

// Every LF that does not follow a CR becomes CR LF, the line breaks of the
// stored texts.
std::string NormaliseLineBreaks(const std::string& Text);

// Seams for tests: the values the macros take (unset: the real ones).
void SetPresetMacroValues(const std::string& ComputerName, const std::string& UserName,
                          const std::string& TimeNow);
void ResetPresetMacroValues();
