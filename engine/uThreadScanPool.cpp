#include "engine/uThreadScanPool.h"

#include "engine/NetUtil.h"
#include "engine/uAddressExpressionOperations.h"
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uFormat.h"

#include <algorithm>
#include <chrono>
#include <thread>

TPoolOfThreads::TPoolOfThreads(std::shared_ptr<const TWorkerServices> Services)
    : FGroup(std::make_shared<platform::TThreadGroup>())
{
    SetWorkerServices(std::move(Services));
}

TPoolOfThreads::~TPoolOfThreads()
{
    TerminateThreads();
    EndSweep();
    // The stopped workers still finish the step they are in and make their
    // last synchronized calls; they are served here until every one of them
    // has ended, so none of them outlives the pool.
    platform::TMainThreadDispatcher& main = platform::MainThread();
    const auto forever = std::chrono::hours(24 * 365);
    if (main.IsMainThread()) {
        main.PumpUntil([this] { return FGroup->Empty(); }, forever);
    } else {
        while (!FGroup->Empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void TPoolOfThreads::SetWorkerServices(std::shared_ptr<const TWorkerServices> Services)
{
    FServices = Services ? std::move(Services)
                         : std::make_shared<const TWorkerServices>(DefaultWorkerServices());
}

uint64_t TPoolOfThreads::GetCount() const
{
    switch (FTarget) {
    case stLocalComputer:
    case stRemoteComputer:
    case stEntireNetwork:
    case stActiveDirectory:
        return 1;
    case stIPRange:
        return FStopIP >= FStartIP ? uint64_t(FStopIP) - FStartIP + 1 : 0;
    case stAddressList:
        return Addresses.size();
    case stExpression:
        return FExpressionCount;
    default:
        return 0;
    }
}

void TPoolOfThreads::Reset()
{
    FDone = 0;
    FPosition = 0;
    if (FTarget == stIPRange) {
        if (FStartIP > FStopIP)
            std::swap(FStartIP, FStopIP);
        FPosition = FStartIP;
    }
    if (FTarget == stExpression) {
        FExpressionIndex = 0;
        try {
            FExpressionCount = GetExpressionCount(Expression);
        } catch (const EExpressionError&) {
            FExpressionCount = 0; // more addresses than a count can hold: no job
        }
    }
    FTotal = GetCount();
}

void TPoolOfThreads::CreateThreads()
{
    Reset();
    // Read like every other option, from a copy; a value set in code past
    // the option's bounds is brought back inside them.
    const TOption& MaxThreads = EngineOption("iMaxThreads");
    const auto wanted = static_cast<size_t>(
        std::clamp<long long>(TakeEngineSettings().iMaxThreads, MaxThreads.Min, MaxThreads.Max));
    std::lock_guard<std::mutex> lock(FThreadsLock);
    FThreads.erase(std::remove(FThreads.begin(), FThreads.end(), nullptr), FThreads.end());
    std::vector<TThreadInPool*> made;
    try {
        while (FThreads.size() + made.size() < wanted) {
            auto worker = std::make_unique<TThreadInPool>(this, FServices, FGroup);
            worker->OnTerminate = [this](platform::TThread* Sender) { ThreadDone(Sender); };
            made.reserve(wanted);
            made.push_back(worker.release());
        }
    } catch (...) {
        // Never started, so they can be deleted here.
        for (TThreadInPool* w : made)
            delete w;
        throw;
    }
    FThreads.insert(FThreads.end(), made.begin(), made.end());
}

void TPoolOfThreads::ResumeThreads()
{
    CreateThreads();
    std::lock_guard<std::mutex> lock(FThreadsLock);
    for (size_t i = 0; i < FThreads.size(); ++i) {
        TThreadInPool* w = FThreads[i];
        if (w->Started())
            continue;
        try {
            w->Resume();
        } catch (...) {
            // The system refused another thread: the workers not started
            // are dropped; the running ones carry the scan on.
            for (size_t j = i; j < FThreads.size(); ++j)
                if (!FThreads[j]->Started()) {
                    delete FThreads[j];
                    FThreads[j] = nullptr;
                }
            FThreads.erase(std::remove(FThreads.begin(), FThreads.end(), nullptr), FThreads.end());
            if (FThreads.empty())
                throw;
            return;
        }
    }
}

void TPoolOfThreads::Start()
{
    FCheckErrorSaid = false;
    EndSweep();
    // The sweep's first frames go out while the workers are made (each opens
    // its vendor database): its first verdicts are what they wait for.
    Reset();
    StartSweep();
    try {
        ResumeThreads();
    } catch (...) {
        EndSweep();
        throw;
    }
    if (OnStart)
        OnStart(this);
    if (FTarget == stEntireNetwork && OnStatus)
        OnStatus(jsInformation, sSetStatusScanNetworkStart);
    if (FTarget == stActiveDirectory && OnStatus)
        OnStatus(jsInformation, sSetStatusScanADStart);
}

void TPoolOfThreads::TerminateThreads()
{
    std::lock_guard<std::mutex> lock(FThreadsLock);
    for (TThreadInPool* w : FThreads) {
        if (!w)
            continue;
        w->OnTerminate = nullptr;
        w->SetPool(nullptr);
        if (w->Started()) {
            w->Terminate();
        } else {
            delete w; // made but never started (a failed switch)
        }
    }
    FThreads.clear();
}

void TPoolOfThreads::StartSweep()
{
    FHanded = 0;
    if (FTarget != stIPRange && FTarget != stAddressList && FTarget != stExpression)
        return;
    if (FTotal == 0)
        return;
    const TEngineSettings settings = TakeEngineSettings();
    const bool arp = (FMethod == smArp || FMethod == smAll) && AsksTheNetworkByArp(*FServices);
    const bool ping = settings.DefaultCheckState == csPing && PingsTheNetwork(*FServices);
    if (!arp && !ping)
        return;
    // The sweep walks its own copy of the addresses, in the order the jobs
    // are handed out.
    TNeighbourSweep::TAddressAt at;
    switch (FTarget) {
    case stIPRange:
        at = [start = FStartIP](uint64_t Index, uint32_t& HostOrder) {
            HostOrder = static_cast<uint32_t>(start + Index);
            return true;
        };
        break;
    case stAddressList:
        at = [list = std::make_shared<const std::vector<std::string>>(Addresses)](
                 uint64_t Index, uint32_t& HostOrder) {
            return Index < list->size() && IPToHostOrder((*list)[Index], HostOrder);
        };
        break;
    default:
        at = [expression = Expression](uint64_t Index, uint32_t& HostOrder) {
            try {
                HostOrder = GetExpressionItem(expression, Index);
                return true;
            } catch (const EExpressionError&) {
                return false;
            }
        };
        break;
    }
    auto sweep = std::make_shared<TNeighbourSweep>(std::move(at), FTotal);
    try {
        sweep->Start();
    } catch (const std::exception&) {
        return; // no thread for it: the scan asks address by address
    }
    FSweep = std::move(sweep);
}

void TPoolOfThreads::EndSweep()
{
    if (!FSweep)
        return;
    // Waits for the sweep's thread, which never waits for this one.
    FSweep->Stop();
    FSweep.reset();
}

void TPoolOfThreads::Stop()
{
    TerminateThreads();
    EndSweep();
    if (OnFinish)
        OnFinish(this);
}

bool TPoolOfThreads::IsBusy() const
{
    std::lock_guard<std::mutex> lock(FThreadsLock);
    return !FThreads.empty();
}

int TPoolOfThreads::GetProgress() const
{
    if (FTotal == 0)
        return 0;
    return static_cast<int>(FDone * 100 / FTotal);
}

std::string TPoolOfThreads::GetNextAddress()
{
    switch (FTarget) {
    case stLocalComputer:
    case stRemoteComputer: {
        std::string name = std::move(FComputerName);
        FComputerName.clear();
        return name;
    }
    case stEntireNetwork:
    case stActiveDirectory:
        if (FPosition == 0) {
            FPosition = 1;
            return "*";
        }
        return {};
    case stIPRange:
        // The cursor is wider than an address, so a range that ends at
        // 255.255.255.255 ends too.
        if (FPosition <= FStopIP)
            return HostOrderToIP(static_cast<uint32_t>(FPosition++));
        return {};
    case stAddressList:
        if (FPosition < Addresses.size())
            return Addresses[FPosition++];
        return {};
    case stExpression:
        if (FExpressionIndex < FExpressionCount) {
            try {
                FPosition = GetExpressionItem(Expression, FExpressionIndex);
            } catch (const EExpressionError&) {
                FExpressionIndex = FExpressionCount; // the text changed under the scan
                return {};
            }
            ++FExpressionIndex;
            return HostOrderToIP(static_cast<uint32_t>(FPosition));
        }
        return {};
    default:
        return {};
    }
}

void TPoolOfThreads::GetJob(TScanJob& Job)
{
    Job.Reset();
    Job.Target = FTarget;
    Job.Method = FMethod;
    Job.Address = GetNextAddress();
    Job.ADIncludeDisabled = FADIncludeDisabled;
    if (FSweep && !Job.Address.empty())
        FSweep->Handed(++FHanded);
    // The worker reads this copy, never the globals the options dialog writes.
    if (!Job.Address.empty())
        Job.Settings = TakeEngineSettings();
}

void TPoolOfThreads::JobDone(TScanJob& Job)
{
    ++FDone;
    // Said once, before the first host it concerns: every other host fails
    // the check for the same reason.
    if (!Job.CheckError.empty() && !FCheckErrorSaid) {
        FCheckErrorSaid = true;
        if (OnStatus)
            OnStatus(jsNotFound, FormatChecked(sSetStatusScanCheckUnavailable,
                                               TEngineSettings{}.sSetStatusScanCheckUnavailable,
                                               {Job.CheckError}));
    }
    if (OnStatus)
        OnStatus(Job.Status, Job.Message);
    // Once per scan: the kernel's neighbour table bounds how fast it goes.
    int atATime = 0;
    if (FSweep && FSweep->TakeTableNote(atATime) && OnStatus)
        OnStatus(jsInformation,
                 FormatChecked(sSetStatusScanNeighbourTableBound,
                               TEngineSettings{}.sSetStatusScanNeighbourTableBound, {atATime}));
    if (FTarget != stEntireNetwork && FTarget != stActiveDirectory) {
        if (ComputerList && Job.Computer) {
            if (Job.Computer->AdapterList.empty()) {
                Job.Computer.reset();
            } else {
                TComputer* computer = Job.Computer.get();
                ComputerList->push_back(std::move(Job.Computer));
                if (OnComputer)
                    OnComputer(computer);
            }
        }
        return;
    }
    if (!Job.Names)
        return;
    FTarget = stAddressList;
    Addresses = std::move(*Job.Names);
    Job.Names.reset();
    try {
        ResumeThreads();
    } catch (const std::exception& e) {
        // No new worker could be made: the scan of the names ends with the
        // reason in the log, and the enumerating worker ends for lack of work.
        Addresses.clear();
        Reset();
        if (OnStatus)
            OnStatus(jsNotFound, e.what());
    }
}

void TPoolOfThreads::ThreadDone(platform::TThread* Sender)
{
    bool empty;
    {
        std::lock_guard<std::mutex> lock(FThreadsLock);
        FThreads.erase(std::remove(FThreads.begin(), FThreads.end(), Sender), FThreads.end());
        empty = FThreads.empty();
    }
    if (empty)
        EndSweep();
    if (empty && OnFinish)
        OnFinish(this);
}
