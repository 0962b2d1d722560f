// Asks what a computer is to do (shut down or restart, forced or not) and
// with whose credentials, then sends the request in a worker thread while the
// dialog shows a running progress bar. It closes with OK once the computer
// accepted; a failure is reported and the dialog stays. Cancel (or closing
// the window) while a request runs stops it, and the dialog closes once it
// has stopped; when the program ends, every request is cancelled.
#pragma once

#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>

class TThrdComputerShutdown;
namespace Ui {
class TdlgComputerShutdown;
}
namespace platform {
class TThread;
class TThreadGroup;
} // namespace platform

// The group of every running request; the program waits for it on exit after
// CancelShutdownRequests.
std::shared_ptr<platform::TThreadGroup> ComputerShutdownThreads();

class TdlgComputerShutdown : public QDialog {
    Q_OBJECT
public:
    explicit TdlgComputerShutdown(QWidget* Owner);
    ~TdlgComputerShutdown() override;

    // The target, the credentials and the preselected action.
    void SetTarget(const std::string& Host, const std::string& UserName,
                   const std::string& Password, std::int32_t ActionIndex);
    const std::string& UserName() const { return FUserName; }
    bool Working() const { return FThread != nullptr; }

    // "OK": starts the request.
    void Start();
    // "Credentials...".
    void EditCredentials();

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    void Finished(platform::TThread* Thread);
    void ShowWorking(bool On);

    std::unique_ptr<Ui::TdlgComputerShutdown> ui;
    std::string FPassword;
    std::string FHost;
    std::string FUserName;
    TThrdComputerShutdown* FThread = nullptr;
    bool FBusy = false;
    // The user cancelled the running request.
    bool FCancelled = false;
};

// Shows the dialog modally; True when the computer accepted the request.
bool ShowComputerShutdownDialog(const std::string& Host, const std::string& UserName,
                                const std::string& Password, std::int32_t ActionIndex);
