#include "crashreport/helper/kelExceptMirror.h"

#include <algorithm>

// The settings copy answers FindAssistant without the screenshot form when
// there is no screenshot to show.
class TExceptMirror::TMirrorSettings final : public TIKESettings {
public:
    TMirrorSettings(const TExceptMirror& AMirror, std::shared_ptr<TModuleSettings> ATable)
        : TIKESettings(0, std::move(ATable)), Mirror(AMirror)
    {
    }

protected:
    bool ScreenshotSwitchOff() const override { return Mirror.FScreenShot == nullptr; }

private:
    const TExceptMirror& Mirror;
};

TExceptMirror::TExceptMirror(std::string_view SettingsStream)
    : FSettings(
          std::make_shared<TMirrorSettings>(*this, TModuleSettings::FromStream(SettingsStream))),
      FStream(SettingsStream)
{
}

std::shared_ptr<TIKESettings> TExceptMirror::SettingsCopy() const
{
    auto Copy = NewSettingsFromStream(FStream);
    if (!Copy->Found())
        return NewSettings(0, false);
    for (const std::string& Key : FChangedSettings)
        Copy->SetTextSetting(TTextKey::Named(Key), FSettings->GetTextSetting(TTextKey::Named(Key)));
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
