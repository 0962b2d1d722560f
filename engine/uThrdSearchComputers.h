// The computer picker's search: lists the computers of every domain and
// workgroup the browsers know, reporting each name in the main thread as soon
// as it is found, so the picker fills while the search runs.
#pragma once

#include "engine/uNetworkEnum.h"
#include "platform/Thread.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

using TComputerFoundEvent = std::function<void(const std::string& ComputerName)>;

class TThrdSearchComputers : public platform::TThread {
public:
    // Created suspended and freeing itself when it ends: the owner sets the
    // event and resumes it, and clears the event when it no longer wants
    // names; it must not delete a thread it has resumed. The group, when
    // given, tells when the thread has completely gone.
    explicit TThrdSearchComputers(const TNeighbourhoodSource& Source = PlatformNeighbourhood(),
                                  std::shared_ptr<platform::TThreadGroup> Group = nullptr);
    ~TThrdSearchComputers() override;

    // Main thread only; the event is looked at in the main thread just before
    // each name is reported, so clearing it there stops every later call.
    void SetOnComputerFound(TComputerFoundEvent Event) { FOnComputerFound = std::move(Event); }

    // The name being reported.
    std::string ComputerName;
    std::vector<std::string> Domains;
    // Why the browse failed (the first failure), empty when nothing failed;
    // read by the owner once the thread has ended (in OnTerminate).
    std::string ErrorText;

protected:
    void Execute() override;

private:
    void EnumDomainComputers(const std::string& Domain);
    void DoComputerFound();

    TNeighbourhoodSource FSource;
    TComputerFoundEvent FOnComputerFound;
};
