// "Send message": title, text, type and time-out of a message to the
// sessions of a computer, with the presets, a preview in the program and
// the sending in a worker thread.
#pragma once

#include "admin/uPresets.h"

#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>

class QMenu;
class TAction;
class TActionList;
class TThrdSendMessage;
namespace platform {
class TThread;
class TThreadGroup;
} // namespace platform
namespace Ui {
class TDlgSendMessage;
}

class TDlgSendMessage : public QDialog {
    Q_OBJECT
public:
    // The presets are read from APresetsFile and written back there when the
    // dialog goes, if they were changed.
    TDlgSendMessage(const std::string& APresetsFile, QWidget* Owner);
    ~TDlgSendMessage() override;

    void SetTarget(const std::string& Host, std::int32_t SessionId);
    void SetTimeoutSeconds(std::int32_t Seconds);
    // 0 while "Close message after" is unchecked; clamped to what fits.
    std::int32_t TimeoutSeconds() const;
    std::int32_t MessageType() const;
    void SetMessageType(std::int32_t Type);
    std::string Title() const;
    // With CR LF line breaks.
    std::string Text() const;
    void SetMessage(const std::string& Title, const std::string& Text);

    bool Sending() const { return FThread != nullptr; }
    bool Sent() const { return FSent; }
    TPresets& Presets() { return FPresets; }
    QMenu* PresetsMenu() const { return FpmPresets; }
    // Rebuilds the presets menu as its pop-up does.
    void BuildPresetsMenu();

    TAction* actTimeoutEnable() const { return FactTimeoutEnable; }
    TAction* actPreview() const { return FactPreview; }
    TAction* actSend() const { return FactSend; }
    TAction* actPresetsManage() const { return FactPresetsManage; }

    // At most this many presets are offered in the menu.
    static constexpr int MaxPresetsInMenu = 21;

private:
    void UpdateTimeoutControls();
    void SetControlsEnabled(bool Value);
    void Preview();
    void Send();
    void SendDone(platform::TThread* Sender);
    void ChoosePreset(int Index);

    std::unique_ptr<Ui::TDlgSendMessage> ui;
    std::string FPresetsFile;
    TPresets FPresets;
    std::string FHost;
    std::int32_t FSessionId = -1;
    TThrdSendMessage* FThread = nullptr;
    bool FSent = false;
    QMenu* FpmPresets;
    TActionList* FActions;
    TAction* FactTimeoutEnable;
    TAction* FactPreview;
    TAction* FactSend;
    TAction* FactPresetsManage;
};

// The threads of all send dialogs: owners wait for them at the end.
std::shared_ptr<platform::TThreadGroup> SendMessageThreads();

// Shows the dialog for SessionId (-1: all sessions) of Host (empty: this
// computer); True when the message was sent. Title, text, time-out and type
// are kept for the next opening.
bool ShowSendMessageDialog(const std::string& Host, std::int32_t SessionId);
