// The editor of one message preset.
#pragma once

#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>

class TAction;
class TActionList;
namespace Ui {
class TDlgPresetEdit;
}

class TDlgPresetEdit : public QDialog {
    Q_OBJECT
public:
    explicit TDlgPresetEdit(QWidget* Owner);
    ~TDlgPresetEdit() override;

    TAction* actOK() const { return FactOK; }
    void SetValues(const std::string& Name, const std::string& Title, const std::string& Text,
                   std::int32_t MessageType);
    std::string Name() const;
    std::string Title() const;
    // The memo's text with CR LF line breaks.
    std::string Text() const;
    std::int32_t MessageType() const;

private:
    std::unique_ptr<Ui::TDlgPresetEdit> ui;
    TActionList* FActions;
    TAction* FactOK;
};

// Shows the editor on the four values; True on OK, which copies them back.
bool EditPreset(std::string& Name, std::string& Title, std::string& Text,
                std::int32_t& MessageType);

// The memo shows LF line breaks; stored texts have CR LF.
std::string MemoText(const std::string& Text);
