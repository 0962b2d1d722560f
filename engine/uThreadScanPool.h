// The scan pool: cuts a target into jobs (one host per job, or one
// enumeration job), keeps up to iMaxThreads workers busy, takes every finished
// job back, counts progress and reports through its events.
//
// All bookkeeping runs in the main thread: workers reach the pool only
// through synchronized calls (GetJob, JobDone, ThreadDone), so only the list
// of workers needs its lock. Counts are 64-bit, since an expression or a
// range can name 2^32 addresses.
//
// The pool must be created and destroyed in the main thread. Its destructor
// stops every worker and keeps serving their synchronized calls until the
// last one has completely ended: no worker outlives the pool.
#pragma once

#include "engine/NeighbourSweep.h"
#include "engine/uScanJob.h"
#include "engine/uThreadInPool.h"
#include "platform/Thread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TPoolOfThreads {
public:
    using TNotifyEvent = std::function<void(TPoolOfThreads* Sender)>;
    using TComputerEvent = std::function<void(TComputer* Computer)>;
    using TStatusEvent = std::function<void(int Status, const std::string& Text)>;

    // Services: what the workers call; null means DefaultWorkerServices().
    explicit TPoolOfThreads(std::shared_ptr<const TWorkerServices> Services = nullptr);
    TPoolOfThreads(const TPoolOfThreads&) = delete;
    TPoolOfThreads& operator=(const TPoolOfThreads&) = delete;
    ~TPoolOfThreads();

    void SetTarget(TScanTarget Value) { FTarget = Value; }
    TScanTarget GetTarget() const { return FTarget; }
    void SetMethod(TScanMethod Value) { FMethod = Value; }
    TScanMethod GetMethod() const { return FMethod; }
    void SetComputerName(const std::string& Value) { FComputerName = Value; }
    // Host byte order; the caller makes StartIP <= StopIP.
    void SetStartIP(uint32_t Value) { FStartIP = Value; }
    void SetStopIP(uint32_t Value) { FStopIP = Value; }
    void SetADIncludeDisabled(bool Value) { FADIncludeDisabled = Value; }
    void SetOnStart(TNotifyEvent Value) { OnStart = std::move(Value); }
    void SetOnFinish(TNotifyEvent Value) { OnFinish = std::move(Value); }
    void SetOnComputer(TComputerEvent Value) { OnComputer = std::move(Value); }
    void SetOnStatus(TStatusEvent Value) { OnStatus = std::move(Value); }
    // Takes effect for workers created afterwards.
    void SetWorkerServices(std::shared_ptr<const TWorkerServices> Services);

    TNotifyEvent OnStart;
    TNotifyEvent OnFinish;
    TComputerEvent OnComputer;
    TStatusEvent OnStatus;
    // Target 6: the address expression.
    std::string Expression;
    // Target 4: the address list; after an enumeration, the names it found.
    std::vector<std::string> Addresses;

    // Starts a scan; the caller makes sure the pool is idle. When a worker
    // cannot be created (its vendor database does not open), the workers made
    // so far are freed, the pool stays idle and the error is raised again.
    void Start();
    // Ends a scan at once: every worker is told to end and forgotten, and
    // OnFinish fires. No result of a stopped worker reaches the events.
    void Stop();
    // True while at least one worker belongs to the scan.
    bool IsBusy() const;
    // Done * 100 / Total, 0 while Total is 0.
    int GetProgress() const;
    uint64_t GetDone() const { return FDone; }
    uint64_t GetTotal() const { return FTotal; }

    // Called by workers inside the main thread.
    void GetJob(TScanJob& Job);
    void JobDone(TScanJob& Job);
    void ThreadDone(platform::TThread* Sender);

    // Workers that have not completely ended yet, the stopped ones included.
    int LiveWorkers() const { return FGroup->Count(); }

    // The current scan's neighbour sweep, or null (main thread). A scan of
    // addresses with the ARP method or the ping check has one when the
    // workers use the network routines; it ends with the scan.
    std::shared_ptr<TNeighbourSweep> Sweep() const { return FSweep; }

private:
    uint64_t GetCount() const;
    void Reset();
    void CreateThreads();
    void ResumeThreads();
    void TerminateThreads();
    std::string GetNextAddress();
    void StartSweep();
    void EndSweep();

    mutable std::mutex FThreadsLock;
    std::vector<TThreadInPool*> FThreads;
    std::shared_ptr<platform::TThreadGroup> FGroup;
    std::shared_ptr<const TWorkerServices> FServices;
    std::shared_ptr<TNeighbourSweep> FSweep;
    uint64_t FHanded = 0; // addresses handed out in this scan
    // Why the reachability check cannot be made was said in this scan's log.
    bool FCheckErrorSaid = false;

    uint64_t FDone = 0;
    uint64_t FTotal = 0;
    // Next address of a range (one past 255.255.255.255 is representable),
    // index into Addresses, or the "handed out" mark of an enumeration.
    uint64_t FPosition = 0;
    uint32_t FStartIP = 0;
    uint32_t FStopIP = 0;
    uint64_t FExpressionIndex = 0;
    uint64_t FExpressionCount = 0;
    TScanTarget FTarget = stLocalComputer;
    TScanMethod FMethod = smArp;
    std::string FComputerName;
    bool FADIncludeDisabled = false;
};
