// One worker thread of the scan pool: it takes a job from the pool, works on
// it outside the main thread and hands it back, until the pool has no more
// work or stops it.
//
// A host job resolves the address, checks before every method that the host
// answers (DefaultCheckState), runs the chosen method or all five, looks up
// the vendor of every MAC address through the worker's own read-only
// connection to vendors.db, and resolves the host's name. An enumeration job
// ("*", targets 2 and 5) lists computer names instead.
//
// Everything the worker reaches outside its own job goes through
// TWorkerServices, so that tests can put their own methods, probes and
// enumerations in place of the network ones.
#pragma once

#include "engine/MacVendorFunctions.h"
#include "engine/uGetMac.h"
#include "engine/uScanJob.h"
#include "platform/Thread.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
class TPoolOfThreads;
class TNeighbourSweep;

// What a worker calls; DefaultWorkerServices() holds the real routines.
struct TWorkerServices {
    // Address of a host name: DNS first, then a NetBIOS name query within
    // the time-out; empty when the name does not resolve.
    std::function<void(const std::string& Host, int TimeoutMs, std::string& IP)> HostNameToIP;
    // Reachability probes: a time in ms or NoAnswer.
    std::function<int(const std::string& IP, int TimeoutMs)> PingHost;
    std::function<int(const std::string& IP, int TimeoutMs, uint16_t Port)> CheckTcpPort;

    // The MAC resolution methods. The list methods add adapters to the
    // computer and return true when they could ask the host.
    std::function<void(const std::string& IP, std::string& MAC)> GetMacByArp;
    std::function<TNetBiosMacSource(const std::string& IP, int TimeoutMs, std::string& MAC)>
        GetMacByNetBios;
    std::function<bool(const std::string& Host, TComputer& Computer)> GetMacsByNetApi;
    std::function<bool(const std::string& Host, TComputer& Computer)> GetMacsByWmi;
    std::function<bool(const std::string& Host, TComputer& Computer,
                       const TEngineSettings& Settings)>
        GetMacsBySnmp;

    // The address the network knows this computer by (an interface's, not
    // loopback); empty when it has none.
    std::function<std::string()> LocalNetworkAddress;

    // Name lookups of a found host.
    std::function<void(const std::string& IP, int TimeoutMs, std::string& Name)> GetNetBiosName;
    std::function<void(const std::string& IP, std::string& Name)> IPToHostName;

    // Enumerations: fill Names and set Job.Status and Job.Message. Terminated
    // tells when the worker is asked to end.
    using TEnumeration = std::function<void(TScanJob& Job, std::vector<std::string>& Names,
                                            const std::function<bool()>& Terminated)>;
    TEnumeration EnumNetworkNeighbourhood;
    TEnumeration ScanActiveDirectory;

    // The vendor database every worker opens read-only.
    std::string VendorsDbFileName;
};

// The network routines; VendorsDbFileName is GetVendorsDbFileName().
TWorkerServices DefaultWorkerServices();

// Whether the services ping, or resolve by ARP, through the network routines
// themselves (a scan's neighbour sweep serves those and no stand-in).
bool PingsTheNetwork(const TWorkerServices& Services);
bool AsksTheNetworkByArp(const TWorkerServices& Services);

class TThreadInPool : public platform::TThread {
public:
    // Created suspended, freeing itself when it ends. Opens its vendor
    // database connection and raises when that fails. Group counts the
    // worker until it has completely ended.
    TThreadInPool(TPoolOfThreads* Pool, std::shared_ptr<const TWorkerServices> Services,
                  std::shared_ptr<platform::TThreadGroup> Group = nullptr);
    ~TThreadInPool() override;

    // Main thread only: the pool clears its link before it stops the worker.
    void SetPool(TPoolOfThreads* Pool) { FPool = Pool; }

    // The host-job steps, public so that they can be driven without a pool.
    void ProcessJob();
    TScanJob Job;

protected:
    void Execute() override;

private:
    void ProcessHostJob();
    std::string ResolveAddress(const std::string& Address);
    void RunMethod(TScanMethod Method);
    bool IsHostReachable(const std::string& IP);
    void RunArp();
    void RunNetBios();
    void RunNetApi();
    void RunWmi();
    void RunSnmp();
    void AddSingleMac(const std::string& MAC);
    void LookUpListVendors(bool Asked);
    std::string LookupComputerName(const std::string& IP);
    std::string LocalComputerName() const;

    TPoolOfThreads* FPool;
    std::shared_ptr<const TWorkerServices> FServices;
    // The scan's neighbour sweep, taken with each job; null without one.
    std::shared_ptr<TNeighbourSweep> FSweep;
    sqlite3* FDb = nullptr;
    TVendorCache FVendors;
    // The current host answered NetBIOS without a hardware address
    // (nmsNeighbourTable or nmsNoHardwareAddress), or nmsNone.
    TNetBiosMacSource FNetBiosWithoutMac = nmsNone;
};
