#include "engine/uThreadInPool.h"

#include "engine/MacVendorFunctions.h"
#include "engine/NeighbourSweep.h"
#include "engine/NetUtil.h"
#include "engine/uFormat.h"
#include "engine/uGetMac.h"
#include "engine/uLocalComputerAddress.h"
#include "engine/uNetworkEnum.h"
#include "engine/uThreadScanPool.h"

TWorkerServices DefaultWorkerServices()
{
    TWorkerServices s;
    s.HostNameToIP = [](const std::string& Host, int TimeoutMs, std::string& IP) {
        HostNameToIP(Host, IP, TimeoutMs);
    };
    s.PingHost = &PingHost;
    s.CheckTcpPort = [](const std::string& IP, int TimeoutMs, uint16_t Port) {
        return CheckTcpPort(IP, TimeoutMs, Port);
    };
    s.GetMacByArp = &GetMacByArp;
    s.GetMacByNetBios = [](const std::string& IP, int TimeoutMs, std::string& MAC) {
        return GetMacByNetBios(IP, TimeoutMs, MAC);
    };
    s.GetMacsByNetApi = [](const std::string& Host, TComputer& Computer) {
        return GetMacsByNetApi(Host, Computer);
    };
    s.GetMacsByWmi = [](const std::string& Host, TComputer& Computer) {
        return GetMacsByWmi(Host, Computer);
    };
    s.GetMacsBySnmp = [](const std::string& Host, TComputer& Computer,
                         const TEngineSettings& Settings) {
        return GetMacsBySnmp(Host, Computer, Settings.SNMPCommunity, Settings.DefaultTimeout);
    };
    s.GetNetBiosName = [](const std::string& IP, int TimeoutMs, std::string& Name) {
        GetNetBiosName(IP, TimeoutMs, Name);
    };
    s.IPToHostName = [](const std::string& IP, std::string& Name) { IPToHostName(IP, Name); };
    s.LocalNetworkAddress = [] { return FirstNetworkAddress(); };
    s.EnumNetworkNeighbourhood = [](TScanJob& Job, std::vector<std::string>& Names,
                                    const std::function<bool()>& Terminated) {
        EnumNetworkNeighbourhood(Job, Names, Terminated);
    };
    s.ScanActiveDirectory = [](TScanJob& Job, std::vector<std::string>& Names,
                               const std::function<bool()>& Terminated) {
        ScanActiveDirectory(Job, Names, Terminated);
    };
    s.VendorsDbFileName = GetVendorsDbFileName();
    return s;
}

bool PingsTheNetwork(const TWorkerServices& Services)
{
    using TPing = int (*)(const std::string&, int);
    const TPing* ping = Services.PingHost.target<TPing>();
    return ping && *ping == &PingHost;
}

bool AsksTheNetworkByArp(const TWorkerServices& Services)
{
    using TArp = void (*)(const std::string&, std::string&);
    const TArp* arp = Services.GetMacByArp.target<TArp>();
    return arp && *arp == &GetMacByArp;
}

TThreadInPool::TThreadInPool(TPoolOfThreads* Pool, std::shared_ptr<const TWorkerServices> Services,
                             std::shared_ptr<platform::TThreadGroup> Group)
    : TThread(std::move(Group)), FPool(Pool), FServices(std::move(Services))
{
    FreeOnTerminate = true;
    if (!FServices)
        throw std::invalid_argument("A scan worker needs its services");
    FDb = OpenVendorsDb(FServices->VendorsDbFileName, VendorsDbWorkerFlags);
}

TThreadInPool::~TThreadInPool()
{
    CloseVendorsDb(FDb);
}

void TThreadInPool::Execute()
{
    while (!Terminated()) {
        Synchronize([this] {
            if (FPool) {
                FPool->GetJob(Job);
                FSweep = FPool->Sweep();
            }
            if (!FPool || Job.Address.empty())
                Terminate();
        });
        if (Terminated())
            break;
        ProcessJob();
        if (Terminated())
            break;
        Synchronize([this] {
            if (FPool)
                FPool->JobDone(Job);
        });
        // What the pool did not take is freed before the next job.
        Job.Computer.reset();
        Job.Names.reset();
    }
}

void TThreadInPool::ProcessJob()
{
    if (Job.Target == stEntireNetwork || Job.Target == stActiveDirectory) {
        Job.Names = std::make_unique<std::vector<std::string>>();
        const auto& enumerate = Job.Target == stEntireNetwork ? FServices->EnumNetworkNeighbourhood
                                                              : FServices->ScanActiveDirectory;
        try {
            enumerate(Job, *Job.Names, [this] { return Terminated(); });
        } catch (const std::exception& e) {
            Job.Names->clear();
            Job.Status = jsNotFound;
            Job.Message = FormatChecked(Job.Settings.sSetStatusScanComputerErrorMSg,
                                        TEngineSettings{}.sSetStatusScanComputerErrorMSg,
                                        {Job.Address, e.what()});
        }
        return;
    }
    TNeighbourSweepScope sweep(FSweep.get());
    ProcessHostJob();
}

void TThreadInPool::ProcessHostJob()
{
    const TEngineSettings& s = Job.Settings;
    const TEngineSettings builtIn{};
    FNetBiosWithoutMac = nmsNone;
    try {
        Job.IP = ResolveAddress(Job.Address);
        // The host name of a Debian computer stands for 127.0.1.1, where no
        // method finds an adapter the network sees.
        if (Job.Target == stLocalComputer && (Job.IP.empty() || IsLoopbackAddress(Job.IP))) {
            const std::string Own =
                FServices->LocalNetworkAddress ? FServices->LocalNetworkAddress() : std::string();
            if (!Own.empty())
                Job.IP = Own;
        }
        if (Terminated())
            return;
        if (Job.IP.empty()) {
            // Without this line a name that does not resolve would vanish
            // from the log without a trace.
            Job.Status = jsNotFound;
            Job.Message = FormatChecked(s.sSetStatusScanComputerNotResolved,
                                        builtIn.sSetStatusScanComputerNotResolved, {Job.Address});
            return;
        }
        for (TScanMethod m = smArp; m <= smSnmp; ++m)
            if (Job.Method == smAll || Job.Method == m)
                RunMethod(m);
        if (Terminated())
            return;
        if (!Job.Alive)
            return;
        if (!Job.Computer || Job.Computer->AdapterList.empty()) {
            Job.Status = jsNotFound;
            // A host that answered is not a silent one, even without an address.
            Job.Message =
                FNetBiosWithoutMac == nmsNoHardwareAddress
                    ? FormatChecked(s.sSetStatusScanNetBiosNoMac,
                                    builtIn.sSetStatusScanNetBiosNoMac, {Job.Address})
                    : FormatChecked(s.sSetStatusScanComputerNotDetect,
                                    builtIn.sSetStatusScanComputerNotDetect, {Job.Address});
            return;
        }
        Job.Computer->SetName(Job.Target == stLocalComputer ? LocalComputerName()
                                                            : LookupComputerName(Job.IP));
        if (!Terminated()) {
            Job.Status = jsComplete;
            Job.Message =
                FNetBiosWithoutMac == nmsNeighbourTable
                    ? FormatChecked(s.sSetStatusScanNetBiosNeighbourMac,
                                    builtIn.sSetStatusScanNetBiosNeighbourMac, {Job.Address})
                    : FormatChecked(s.sSetStatusScanComputerComplete,
                                    builtIn.sSetStatusScanComputerComplete, {Job.Address});
        }
    } catch (const std::exception& e) {
        // The adapters found so far stay with the computer.
        Job.Status = jsNotFound;
        Job.Message =
            FormatChecked(s.sSetStatusScanComputerErrorMSg, builtIn.sSetStatusScanComputerErrorMSg,
                          {Job.Address, e.what()});
    }
}

std::string TThreadInPool::ResolveAddress(const std::string& Address)
{
    if (IsIPAddress(Address))
        return Address;
    std::string ip;
    FServices->HostNameToIP(Address, Job.Settings.DefaultTimeout, ip);
    return ip;
}

bool TThreadInPool::IsHostReachable(const std::string& IP)
{
    const TEngineSettings& s = Job.Settings;
    switch (s.DefaultCheckState) {
    case csDontCheck:
        return true;
    case csPing:
        try {
            return FServices->PingHost(IP, s.DefaultTimeout) != NoAnswer;
        } catch (const platform::EIcmpUnavailable& e) {
            // An echo that cannot be sent is a check the host did not pass;
            // the methods that work without an answer still run.
            Job.CheckError = e.what();
            return false;
        }
    case csTcpConnect:
        return FServices->CheckTcpPort(IP, s.DefaultTimeout, s.DefaultTCPPort) != NoAnswer;
    default:
        return false;
    }
}

void TThreadInPool::RunMethod(TScanMethod Method)
{
    Job.Alive = true;
    if (Job.Target != stLocalComputer)
        Job.Alive = IsHostReachable(Job.IP);
    if (!Job.Alive) {
        Job.Status = jsInactive;
        Job.Message =
            FormatChecked(Job.Settings.sSetStatusScanComputerInactive,
                          TEngineSettings{}.sSetStatusScanComputerInactive, {Job.Address});
        if (!Job.Settings.IgnoreCheck && (Method == smNetApi || Method == smWmi))
            return;
    }
    if (Terminated())
        return;
    if (!Job.Computer)
        Job.Computer = std::make_unique<TComputer>();
    Job.Computer->SetIP(Job.IP);
    if (Terminated())
        return;
    switch (Method) {
    case smArp:
        RunArp();
        break;
    case smNetBios:
        RunNetBios();
        break;
    case smNetApi:
        RunNetApi();
        break;
    case smWmi:
        RunWmi();
        break;
    case smSnmp:
        RunSnmp();
        break;
    default:
        break;
    }
}

void TThreadInPool::AddSingleMac(const std::string& MAC)
{
    if (MAC.empty())
        return;
    auto adapter = std::make_unique<TMacAddress>();
    adapter->SetNumber(MAC);
    std::string vendor;
    FVendors.GetVendorByMac(MAC, FDb, vendor);
    adapter->SetVendor(vendor);
    Job.Computer->AdapterList.push_back(std::move(adapter));
    Job.Computer->SetSingle(true);
}

void TThreadInPool::LookUpListVendors(bool Asked)
{
    if (!Asked)
        return;
    for (auto& adapter : Job.Computer->AdapterList) {
        std::string vendor;
        FVendors.GetVendorByMac(adapter->Number, FDb, vendor);
        adapter->SetVendor(vendor);
    }
    Job.Computer->SetSingle(false);
}

void TThreadInPool::RunArp()
{
    std::string mac;
    FServices->GetMacByArp(Job.Computer->IP, mac);
    AddSingleMac(mac);
}

void TThreadInPool::RunNetBios()
{
    std::string mac;
    const TNetBiosMacSource source =
        FServices->GetMacByNetBios(Job.Computer->IP, Job.Settings.DefaultTimeout, mac);
    if (source == nmsNeighbourTable || source == nmsNoHardwareAddress)
        FNetBiosWithoutMac = source;
    AddSingleMac(mac);
}

void TThreadInPool::RunNetApi()
{
    const std::string host = Job.Target == stLocalComputer ? std::string() : Job.Computer->IP;
    LookUpListVendors(FServices->GetMacsByNetApi(host, *Job.Computer));
}

void TThreadInPool::RunWmi()
{
    const std::string host = Job.Target == stLocalComputer ? std::string(".") : Job.Computer->IP;
    LookUpListVendors(FServices->GetMacsByWmi(host, *Job.Computer));
}

void TThreadInPool::RunSnmp()
{
    const std::string host =
        Job.Target == stLocalComputer ? std::string("localhost") : Job.Computer->IP;
    LookUpListVendors(FServices->GetMacsBySnmp(host, *Job.Computer, Job.Settings));
}

std::string TThreadInPool::LocalComputerName() const
{
    // The computer's own name is known; asking the network about its
    // address may give another name or none.
    return Job.Settings.bNoName ? std::string() : Job.Address;
}

std::string TThreadInPool::LookupComputerName(const std::string& IP)
{
    const TEngineSettings& s = Job.Settings;
    if (s.bNoName)
        return {};
    std::string name;
    if (s.bGetNetbiosName)
        FServices->GetNetBiosName(IP, s.DefaultTimeout, name);
    if (s.bGetDomainName || (name.empty() && s.bGetDomainNameIfNetBiosFailed)) {
        std::string dnsName;
        FServices->IPToHostName(IP, dnsName);
        // A NetBIOS name found before is kept when DNS knows no name.
        if (!dnsName.empty())
            name = dnsName;
    }
    return name;
}
