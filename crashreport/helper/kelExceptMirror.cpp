#include "crashreport/helper/kelExceptMirror.h"

#include "crashlib/kelStrings.h"
#include "crashlib/kelTools.h"

#include <algorithm>

// The mirror's settings: FindAssistant without the screenshot form while the
// mirror holds no screenshot, and the texts' placeholders of the program
// that met the exception. A copy for a send that outlives the mirror has no
// mirror, and keeps the program's facts as they were.
class TExceptMirror::TMirrorSettings final : public TIKESettings {
public:
    TMirrorSettings(const TExceptMirror* AMirror, std::shared_ptr<TModuleSettings> ATable,
                    std::string AProgram = {}, TPlaceholderTexts ATexts = {})
        : TIKESettings(0, std::move(ATable)), Mirror(AMirror), OwnProgram(std::move(AProgram)),
          OwnTexts(std::move(ATexts))
    {
    }

    // "%appname%" and the like name the program, not this helper.
    std::string GetTextSetting(TTextKey Key) const override
    {
        const std::string& File = Mirror ? Mirror->FProgram : OwnProgram;
        if (File.empty() || Key.Name.ends_with("Password"))
            return TIKESettings::GetTextSetting(Key);
        std::string Text = GetRawTextSetting(Key);
        if (Text.find('%') == std::string::npos)
            return Text;
        const std::string Name = File.substr(File.rfind('/') + 1);
        std::string Version = GetFileVersionA(File);
        if (Version.empty())
            Version = "?";
        for (const char* Placeholder : {"%appname%", "%modname%"})
            ReplaceTextA(Text, Placeholder, Name);
        for (const char* Placeholder : {"%appversion%", "%modversion%"})
            ReplaceTextA(Text, Placeholder, Version);
        return ExpandPlaceholders(Text, Module(), PlaceholderTexts());
    }

protected:
    bool ScreenshotSwitchOff() const override { return Mirror && Mirror->FScreenShot == nullptr; }
    TPlaceholderTexts PlaceholderTexts() const override
    {
        return Mirror ? Mirror->FTexts : OwnTexts;
    }

private:
    const TExceptMirror* Mirror;
    std::string OwnProgram;
    TPlaceholderTexts OwnTexts;
};

TExceptMirror::TExceptMirror(std::string_view SettingsStream)
    : FSettings(
          std::make_shared<TMirrorSettings>(this, TModuleSettings::FromStream(SettingsStream))),
      FStream(SettingsStream)
{
}

void TExceptMirror::SetProgram(std::string_view File, std::string_view Class,
                               std::string_view Message)
{
    FProgram = File;
    FTexts.ExceptClass = std::string(Class);
    FTexts.ExceptMsg = std::string(Message);
}

std::shared_ptr<TIKESettings> TExceptMirror::SettingsCopy() const
{
    auto Copy = std::make_shared<TMirrorSettings>(nullptr, TModuleSettings::FromStream(FStream),
                                                  FProgram, FTexts);
    for (const std::string& Key : FChangedSettings)
        Copy->SetTextSetting(TTextKey::Named(Key),
                             FSettings->GetRawTextSetting(TTextKey::Named(Key)));
    return Copy;
}

bool TExceptMirror::SetTextSetting(TTextKey Key, std::string_view Value)
{
    if (!FSettings->SetTextSetting(Key, Value))
        return false;
    if (std::find(FChangedSettings.begin(), FChangedSettings.end(), Key.Name) ==
        FChangedSettings.end())
        FChangedSettings.emplace_back(Key.Name);
    return true;
}

void TExceptMirror::SetScreenShot(std::shared_ptr<INVBitmap> Value, bool Changed)
{
    FScreenShot = std::move(Value);
    FScreenShotChanged = FScreenShotChanged || Changed;
}

void TExceptMirror::SetAttachScreenShot(bool Value, bool Changed)
{
    if (Changed && Value != FAttachScreenShot)
        FAttachChanged = true;
    FAttachScreenShot = Value;
}

std::vector<TAssistantOutput> AssistantOutputs(const INVAssistant& Assistant)
{
    std::vector<TAssistantOutput> Out;
    for (int F = 0; F < Assistant.FormCount(); ++F) {
        const INVForm& Form = *Assistant.Form(F);
        if (Form.ModalResult() != nmrNext)
            continue;
        for (int I = FirstFormItem; I < Form.ItemCount(); ++I) {
            if (const auto* Edit = dynamic_cast<const INVEdit*>(Form.Item(I))) {
                if (!Edit->OutputName().empty() && !Edit->Text().empty())
                    Out.push_back({Edit->OutputName(), Edit->OutputType(), Edit->Text()});
            } else if (const auto* Check = dynamic_cast<const INVCheckBox*>(Form.Item(I))) {
                if (!Check->OutputName().empty())
                    Out.push_back({Check->OutputName(), false, Check->Checked() ? "yes" : "no"});
            }
        }
    }
    return Out;
}

std::uint8_t RunAssistant(const std::shared_ptr<TExceptMirror>& Mirror, std::string_view Name,
                          std::string_view Title, QWidget* Parent)
{
    const auto Forms = Mirror->Settings().FindAssistant(Name);
    if (!Forms || Forms->empty())
        return nmrNone;
    const auto Assistant = LoadAssistantRes(0, Title, *Forms, Mirror);
    const std::uint8_t Result = Assistant->ShowModal(Parent);
    if (Result != nmrCancel)
        Mirror->Outputs = AssistantOutputs(*Assistant);
    return Result;
}
