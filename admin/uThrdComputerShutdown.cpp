#include "admin/uThrdComputerShutdown.h"

#include "admin/uComputerShutdown.h"
#include "platform/Process.h"

#include <exception>
#include <utility>

TThrdComputerShutdown::TThrdComputerShutdown(const std::string& AHost, const std::string& AUserName,
                                             const std::string& APassword,
                                             std::int32_t AActionIndex, bool AForced,
                                             std::shared_ptr<platform::TThreadGroup> Group)
    : platform::TThread(std::move(Group)), Host(AHost), UserName(AUserName), Password(APassword),
      Forced(AForced), ActionIndex(AActionIndex)
{
    FreeOnTerminate = true;
}

TThrdComputerShutdown::~TThrdComputerShutdown()
{
    platform::WipeSecret(Password);
}

void TThrdComputerShutdown::Execute()
{
    ErrorText.clear();
    ReturnValue = -1;
    try {
        ReturnValue =
            ShutdownComputerByWmi(Host, UserName, Password, Forced, ActionIndex, &FCancel) == 0
                ? 0
                : -1;
    } catch (const std::exception& E) {
        ErrorText = E.what();
        ReturnValue = -1;
    }
}
