// Worker services that never touch the network: each host behaves as the
// test scripts it, and every call is recorded in the order it was made.
#pragma once

#include "engine/NetUtil.h"
#include "engine/uThreadInPool.h"
#include "tests/support/ComputerBuilders.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct ScriptedNet {
    // Host names and their addresses; any other name does not resolve.
    std::map<std::string, std::string> Resolves;
    // Addresses that answer neither ping nor the TCP probe.
    std::set<std::string> Dead;
    // Not empty: no echo can be sent at all, for this reason.
    std::string PingUnavailable;
    // MAC texts that ARP and NetBIOS answer per address.
    std::map<std::string, std::string> Arp;
    std::map<std::string, std::string> NetBios;
    // Addresses that answer NetBIOS with an all-zero unit id, and what the
    // method then made of it (the MAC, if any, from NetBios).
    std::map<std::string, TNetBiosMacSource> NetBiosZeros;
    // Adapters the list methods add per host ("netapi", "wmi", "snmp");
    // a method asked for a host not listed here fails (returns false).
    std::map<std::string, std::map<std::string, std::vector<std::string>>> Lists;
    // "method address" pairs whose call raises "boom" ("enum net" and
    // "enum ad" for the enumerations).
    std::set<std::string> Raises;
    // The address of this computer's first network interface.
    std::string NetworkAddress;
    std::map<std::string, std::string> NetBiosNames;
    std::map<std::string, std::string> DnsNames;
    // What the enumerations find; Enumerations counts their runs.
    std::vector<std::string> Neighbourhood;
    std::vector<std::string> Directory;
    // An enumeration that waits until its worker is asked to end.
    bool EnumerationBlocks = false;
    int EnumerationDelayMs = 0;
    int ArpDelayMs = 0;

    std::vector<std::string> CallLog() const
    {
        std::lock_guard<std::mutex> l(Lock);
        return Log;
    }
    int CallCount(const std::string& Prefix) const
    {
        std::lock_guard<std::mutex> l(Lock);
        int n = 0;
        for (const std::string& c : Log)
            n += c.compare(0, Prefix.size(), Prefix) == 0;
        return n;
    }
    std::atomic<int> Enumerations{0};
    std::atomic<bool> LastADIncludeDisabled{false};

    std::shared_ptr<const TWorkerServices> Services()
    {
        TWorkerServices s = DefaultWorkerServices();
        s.HostNameToIP = [this](const std::string& Host, int TimeoutMs, std::string& IP) {
            Record("resolve " + Host + " " + std::to_string(TimeoutMs));
            auto it = Resolves.find(Host);
            IP = it == Resolves.end() ? "" : it->second;
        };
        s.PingHost = [this](const std::string& IP, int TimeoutMs) {
            Record("ping " + IP + " " + std::to_string(TimeoutMs));
            if (!PingUnavailable.empty())
                throw platform::EIcmpUnavailable(PingUnavailable);
            return Dead.count(IP) ? NoAnswer : 1;
        };
        s.CheckTcpPort = [this](const std::string& IP, int TimeoutMs, uint16_t Port) {
            Record("tcp " + IP + " " + std::to_string(TimeoutMs) + " " + std::to_string(Port));
            return Dead.count(IP) ? NoAnswer : 1;
        };
        s.GetMacByArp = [this](const std::string& IP, std::string& MAC) {
            Record("arp " + IP);
            if (ArpDelayMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(ArpDelayMs));
            MAC = Lookup(Arp, IP);
        };
        s.GetMacByNetBios = [this](const std::string& IP, int TimeoutMs, std::string& MAC) {
            Record("netbios " + IP + " " + std::to_string(TimeoutMs));
            MAC = Lookup(NetBios, IP);
            const auto zeros = NetBiosZeros.find(IP);
            if (zeros != NetBiosZeros.end())
                return zeros->second;
            return MAC.empty() ? nmsNone : nmsReply;
        };
        s.GetMacsByNetApi = [this](const std::string& Host, TComputer& Computer) {
            return List("netapi", Host, Computer);
        };
        s.GetMacsByWmi = [this](const std::string& Host, TComputer& Computer) {
            return List("wmi", Host, Computer);
        };
        s.GetMacsBySnmp = [this](const std::string& Host, TComputer& Computer,
                                 const TEngineSettings& Settings) {
            Record("community " + Settings.SNMPCommunity);
            return List("snmp", Host, Computer);
        };
        s.GetNetBiosName = [this](const std::string& IP, int, std::string& Name) {
            Record("nbname " + IP);
            Name = Lookup(NetBiosNames, IP);
        };
        s.LocalNetworkAddress = [this] {
            Record("network address");
            return NetworkAddress;
        };
        s.IPToHostName = [this](const std::string& IP, std::string& Name) {
            Record("dns " + IP);
            Name = Lookup(DnsNames, IP);
        };
        s.EnumNetworkNeighbourhood = [this](TScanJob& Job, std::vector<std::string>& Names,
                                            const std::function<bool()>& Terminated) {
            Enumerate(Job, Names, Terminated, Neighbourhood, "net");
        };
        s.ScanActiveDirectory = [this](TScanJob& Job, std::vector<std::string>& Names,
                                       const std::function<bool()>& Terminated) {
            LastADIncludeDisabled = Job.ADIncludeDisabled;
            Enumerate(Job, Names, Terminated, Directory, "ad");
        };
        return std::make_shared<const TWorkerServices>(std::move(s));
    }

private:
    void Record(const std::string& Call)
    {
        std::lock_guard<std::mutex> l(Lock);
        Log.push_back(Call);
        if (Raises.count(Call.substr(0, Call.find(' ', Call.find(' ') + 1))))
            throw std::runtime_error("boom");
    }
    static std::string Lookup(const std::map<std::string, std::string>& Map, const std::string& Key)
    {
        auto it = Map.find(Key);
        return it == Map.end() ? "" : it->second;
    }
    bool List(const std::string& Method, const std::string& Host, TComputer& Computer)
    {
        Record(Method + " " + Host);
        auto byHost = Lists.find(Method);
        if (byHost == Lists.end())
            return false;
        auto macs = byHost->second.find(Host);
        if (macs == byHost->second.end())
            return false;
        for (const std::string& mac : macs->second)
            Computer.AdapterList.push_back(MakeAdapter(Method + " adapter", mac));
        return true;
    }
    void Enumerate(TScanJob& Job, std::vector<std::string>& Names,
                   const std::function<bool()>& Terminated, const std::vector<std::string>& Found,
                   const std::string& Kind)
    {
        ++Enumerations;
        Record("enum " + Kind);
        std::this_thread::sleep_for(std::chrono::milliseconds(EnumerationDelayMs));
        while (EnumerationBlocks && !Terminated())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Names = Found;
        Job.Status = Found.empty() ? 3 : 0;
        Job.Message = Kind + " found " + std::to_string(Found.size());
    }

    mutable std::mutex Lock;
    std::vector<std::string> Log;
};
