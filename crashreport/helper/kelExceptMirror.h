// The helper's mirror of an exception object.
//
// The exception object lives in the program; the helper keeps what its
// windows need of it and may change: a copy of its settings (from the stream
// the program sent), the screenshot, the "attach screenshot" switch, and what
// the user entered in an assistant. What changed goes back to the program,
// which owns the report.
#pragma once

#include "crashreport/helper/kelNVAssistant.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelNVBitmap.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What an item of an assistant adds to the report: a field, or with
// OwnSection a section of its own, named Name.
struct TAssistantOutput {
    std::string Name;
    bool OwnSection = false;
    std::string Text;
    bool operator==(const TAssistantOutput&) const = default;
};

class TExceptMirror final : public INVContext {
public:
    // Settings from the program's settings stream; without a sound stream the
    // defaults, and no setting can be written.
    explicit TExceptMirror(std::string_view SettingsStream);

    // The copy of the exception's settings. Its "ScrShotForm" is left out of
    // assistants while the mirror holds no screenshot.
    IKESettings& Settings() { return *FSettings; }
    // The program that met the exception (its file) and the exception's
    // class and message: the settings' texts expand their placeholders with
    // them ("%appname%" is the program's name, not the helper's).
    void SetProgram(std::string_view File, std::string_view Class, std::string_view Message);
    // A copy of the settings as they stand, the mirror's changes included,
    // that lives on its own (for a send that outlives the box).
    std::shared_ptr<TIKESettings> SettingsCopy() const;
    // Writes a text setting and notes it as changed.
    bool SetTextSetting(TTextKey Key, std::string_view Value);

    std::shared_ptr<INVBitmap> ScreenShot() const { return FScreenShot; }
    void SetScreenShot(std::shared_ptr<INVBitmap> Value, bool Changed = true);
    bool AttachScreenShot() const { return FAttachScreenShot; }
    void SetAttachScreenShot(bool Value, bool Changed = true);

    // What changed since the mirror was made: the names of the settings
    // written, whether the screenshot or its switch changed.
    const std::vector<std::string>& ChangedSettings() const { return FChangedSettings; }
    bool ScreenShotChanged() const { return FScreenShotChanged; }
    bool AttachScreenShotChanged() const { return FAttachChanged; }

    // What the last confirmed assistant adds to the report.
    std::vector<TAssistantOutput> Outputs;

private:
    class TMirrorSettings;
    std::shared_ptr<TIKESettings> FSettings;
    std::string FStream;
    std::string FProgram;
    TPlaceholderTexts FTexts;
    std::shared_ptr<INVBitmap> FScreenShot;
    bool FAttachScreenShot = false;
    std::vector<std::string> FChangedSettings;
    bool FScreenShotChanged = false;
    bool FAttachChanged = false;
};

// The outputs of an assistant's forms that were left by "Next >": every edit
// or check box with an output name (an edit only when it holds text; a check
// box as "yes" or "no").
std::vector<TAssistantOutput> AssistantOutputs(const INVAssistant& Assistant);

// Shows the assistant Name of the mirror's settings ("Assistant1" ...) over
// Parent, its forms from this program's sections, with Title as the windows'
// caption. When it is gone through, its outputs become the mirror's. The
// assistant's result; nmrNone when the settings name no such assistant.
std::uint8_t RunAssistant(const std::shared_ptr<TExceptMirror>& Mirror, std::string_view Name,
                          std::string_view Title, QWidget* Parent);
