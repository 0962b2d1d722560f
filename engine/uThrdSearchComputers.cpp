#include "engine/uThrdSearchComputers.h"

TThrdSearchComputers::TThrdSearchComputers(const TNeighbourhoodSource& Source,
                                           std::shared_ptr<platform::TThreadGroup> Group)
    : TThread(std::move(Group)), FSource(Source)
{
    FreeOnTerminate = true;
}

TThrdSearchComputers::~TThrdSearchComputers() = default;

void TThrdSearchComputers::Execute()
{
    const TTerminatedFn terminated = [this] { return Terminated(); };
    ::EnumDomains(Domains, terminated, FSource, &ErrorText);
    for (const auto& domain : Domains) {
        if (Terminated())
            break;
        EnumDomainComputers(domain);
    }
}

void TThrdSearchComputers::EnumDomainComputers(const std::string& Domain)
{
    const TTerminatedFn terminated = [this] { return Terminated(); };
    ::EnumDomainComputers(
        Domain,
        [this](const std::string& Name) {
            // A long list keeps coming after a stop request; nobody wants it.
            if (Terminated())
                return;
            ComputerName = Name;
            Synchronize([this] { DoComputerFound(); });
        },
        terminated, FSource, &ErrorText);
}

void TThrdSearchComputers::DoComputerFound()
{
    if (FOnComputerFound)
        FOnComputerFound(ComputerName);
}
