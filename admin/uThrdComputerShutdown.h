// One shutdown or restart request in a thread of its own, so that the
// dialog stays responsive while net or logind answers.
#pragma once

#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// One request in its own thread; created suspended, frees itself.
class TThrdComputerShutdown : public platform::TThread {
public:
    TThrdComputerShutdown(const std::string& AHost, const std::string& AUserName,
                          const std::string& APassword, std::int32_t AActionIndex, bool AForced,
                          std::shared_ptr<platform::TThreadGroup> Group = nullptr);

    // The password is wiped when the thread goes.
    ~TThrdComputerShutdown() override;

    // Stops the request, from any thread; it then ends as cancelled.
    void CancelRequest() { FCancel = true; }

    std::int32_t ReturnValue = -1;
    std::string Host;
    std::string UserName;
    std::string Password;
    std::string ErrorText;
    bool Forced;
    std::int32_t ActionIndex;

protected:
    void Execute() override;

private:
    std::atomic<bool> FCancel{false};
};
