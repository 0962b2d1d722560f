#include "uGetMac.h"

#include "Netlink.h"

#include <cstring>
#include <sys/socket.h>

namespace {

// Whether the system has the neighbour facilities of the first way; the
// operating-system check takes this place once it is available here.
bool NeighbourWayAvailable()
{
    return true;
}

} // namespace

// --- NetBIOS, NET API and WMI -------------------------------------------
#include "NetBiosNodeStatus.h"
#include "NetUtil.h"
#include "uComputerList.h"

#include <algorithm>
#include <cctype>

void NetBiosReplyToMac(const std::vector<uint8_t>& Reply, std::string& MAC)
{
    MAC.clear();
    TNetBiosNodeStatus status;
    if (!ParseNetBiosNodeStatus(Reply, status) || !status.HasMac)
        return;
    if (std::all_of(status.Mac.begin(), status.Mac.end(), [](uint8_t b) { return b == 0; }))
        return;
    MAC = MacBytesToText(status.Mac.data());
}

void GetMacByNetBios(const std::string& IP, int Timeout, std::string& MAC)
{
    MAC.clear();
    std::vector<uint8_t> reply;
    if (ExchangeNetBiosNodeStatus(IP, Timeout, reply))
        NetBiosReplyToMac(reply, MAC);
}

std::string RegroupNetworkAddress(const std::string& Address)
{
    std::string out;
    for (std::size_t i = 0; i < Address.size(); ++i) {
        if (i >= 2 && i % 2 == 0)
            out += '-';
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(Address[i])));
    }
    return out;
}

bool GetMacsByNetApi(const std::string& Host, TComputer& Computer)
{
    return GetMacsByNetApi(
        Host, Computer,
        [](const std::string& Server, std::vector<platform::ServerTransportInfo0>& Page,
           uint32_t& ResumeHandle) {
            uint32_t read = 0, total = 0;
            return platform::NetServerTransportEnum(Server, platform::MaxPreferredLength, Page,
                                                    read, total, ResumeHandle);
        });
}

bool GetMacsByNetApi(const std::string& Host, TComputer& Computer,
                     const TTransportEnumerator& Enumerate)
{
    const std::string server = Host.empty() ? std::string() : "\\\\" + Host;
    if (server.size() > NetApiMaxServerName)
        return false;
    bool result = false;
    uint32_t resume = 0;
    for (;;) {
        std::vector<platform::ServerTransportInfo0> page;
        const uint32_t before = resume;
        const uint32_t answer = Enumerate(server, page, resume);
        if (answer != platform::NerrSuccess && answer != platform::ErrorMoreData)
            break;
        result = true;
        for (const platform::ServerTransportInfo0& t : page) {
            if (t.TransportName == "\\Device\\NetbiosSmb")
                continue;
            auto adapter = std::make_unique<TMacAddress>();
            adapter->Number = RegroupNetworkAddress(t.NetworkAddress);
            adapter->Name = t.TransportName;
            Computer.AdapterList.push_back(std::move(adapter));
        }
        // "More data" that moved the handle nowhere would ask for the same
        // page for ever.
        if (answer != platform::ErrorMoreData || (page.empty() && resume == before))
            break;
    }
    return result;
}

bool GetMacsByWmi(const std::string& Host, TComputer& Computer)
{
    return GetMacsByWmi(Host, Computer, platform::ConnectWmiServer);
}

namespace {

// Removes, when it goes out of scope, every adapter of the list that this
// call added and that has no MAC; the others are left where they are.
class TWmiAdded {
public:
    explicit TWmiAdded(TAdapterList& List) : list_(List) {}
    ~TWmiAdded()
    {
        for (TMacAddress* a : added_)
            if (a->Number.empty())
                Remove(a);
    }
    TWmiAdded(const TWmiAdded&) = delete;
    TWmiAdded& operator=(const TWmiAdded&) = delete;

    void Add(std::unique_ptr<TMacAddress> Adapter)
    {
        added_.push_back(Adapter.get());
        list_.push_back(std::move(Adapter));
    }
    TMacAddress* Find(int64_t Index) const
    {
        for (TMacAddress* a : added_)
            if (a->Index == Index)
                return a;
        return nullptr;
    }
    void Remove(TMacAddress* Adapter)
    {
        list_.erase(std::remove_if(list_.begin(), list_.end(),
                                   [&](const auto& p) { return p.get() == Adapter; }),
                    list_.end());
        added_.erase(std::remove(added_.begin(), added_.end(), Adapter), added_.end());
    }

private:
    TAdapterList& list_;
    std::vector<TMacAddress*> added_;
};

} // namespace

bool GetMacsByWmi(const std::string& Host, TComputer& Computer, const TWmiConnector& Connect)
{
    const std::unique_ptr<platform::WmiServices> services = Connect(Host, "root\\cimv2");
    bool result = false;
    TWmiAdded added(Computer.AdapterList);
    for (const platform::WmiObject& o : services->ExecQuery(WmiConfigurationQuery, "WQL")) {
        result = true;
        auto adapter = std::make_unique<TMacAddress>();
        adapter->Index = static_cast<int32_t>(o.Get("Index").AsInteger());
        const platform::WmiValue& ip = o.Get("IPAddress");
        adapter->IPAddress = VarArrayToStr(ip.IsArray() ? ip.array : std::vector<std::string>{});
        added.Add(std::move(adapter));
    }
    for (const platform::WmiObject& o : services->ExecQuery(WmiAdapterQuery, "WQL")) {
        TMacAddress* adapter = added.Find(o.Get("Index").AsInteger());
        if (!adapter)
            continue;
        std::string mac = o.Get("MACAddress").AsText();
        if (mac.empty()) {
            added.Remove(adapter);
            continue;
        }
        std::replace(mac.begin(), mac.end(), ':', '-');
        adapter->Number = mac;
        adapter->Name = o.Get("ProductName").AsText();
    }
    return result;
}

// --- ARP -------------------------------------------------------------------

void GetMacByArp(const std::string& IP, std::string& MAC)
{
    MAC.clear();
    if (NeighbourWayAvailable()) {
        // When the raw way can follow, it is the better retry: the kernel's
        // next probe would come only after a second.
        const int wait = platform::RawArpAvailable() ? ArpNeighbourWaitMs : NeighbourVerdictMs;
        GetMacByResolveIpNetEntry2(IP, MAC, wait);
    }
    if (MAC.empty())
        GetMacBySendArp(IP, MAC);
}

void GetMacBySendArp(const std::string& IP, std::string& MAC)
{
    GetMacBySendArp(IP, MAC, SendArpPacing);
}

void GetMacBySendArp(const std::string& IP, std::string& MAC, const platform::ArpPacing& Pacing)
{
    MAC.clear();
    platform::IpAddress address;
    if (!platform::ParseIPv4Loose(IP, address))
        return;
    TNeighbourPath path = FindNeighbourPath(address);
    if (path.kind == TNeighbourPath::Own) {
        MAC = path.OwnMac;
        return;
    }
    if (path.kind != TNeighbourPath::OnLink)
        return;
    platform::MacBytes source, reply;
    std::memcpy(source.data(), path.SourceMac, 6);
    platform::IpAddress sourceIp;
    sourceIp.family = AF_INET;
    if (path.HasSource)
        std::memcpy(sourceIp.bytes.data(), path.SourceIp, 4);
    if (platform::ArpRequest(path.IfIndex, source, sourceIp, address, Pacing, reply) ==
        platform::ArpResult::Answered)
        MAC = MacBytesToText(reply.data());
}
