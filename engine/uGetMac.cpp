#include "engine/uGetMac.h"

#include "engine/DetectOS.h"
#include "engine/NeighbourSweep.h"
#include "engine/NetBiosNodeStatus.h"
#include "engine/NetUtil.h"
#include "engine/uComputerList.h"
#include "platform/Netlink.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sys/socket.h>

// --- NetBIOS, NET API and WMI -------------------------------------------

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

TNetBiosMacSource GetMacByNetBios(const std::string& IP, int Timeout, std::string& MAC)
{
    MAC.clear();
    std::vector<uint8_t> reply;
    TNetBiosNodeStatus status;
    if (!ExchangeNetBiosNodeStatus(IP, Timeout, reply) || !ParseNetBiosNodeStatus(reply, status) ||
        !status.HasMac)
        return nmsNone;
    NetBiosReplyToMac(reply, MAC);
    if (!MAC.empty())
        return nmsReply;
    return NetBiosNeighbourMac(IP, MAC);
}

TNetBiosMacSource NetBiosNeighbourMac(const std::string& IP, std::string& MAC)
{
    MAC.clear();
    platform::IpAddress address;
    TNeighbourPath path;
    if (!platform::ParseIPv4Loose(IP, address))
        return nmsNoHardwareAddress;
    if (!FindOnLinkNeighbour(address, path, MAC))
        return MAC.empty() ? nmsNoHardwareAddress : nmsNeighbourTable;
    // The answer came, so the kernel resolved the host to send our request:
    // its entry is there, and looking at it sends nothing.
    platform::NeighbourEntry entry;
    if (platform::LookupNeighbour(path.IfIndex, address, entry) ==
            platform::NeighbourLookup::Found &&
        platform::IsUsableNeighbour(entry) && entry.lladdr.size() == 6) {
        MAC = MacBytesToText(entry.lladdr.data());
        return nmsNeighbourTable;
    }
    return nmsNoHardwareAddress;
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
    if (IsWindowsVistaOrLater()) {
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
    if (SweepAnswer(address, MAC))
        return;
    TNeighbourPath path;
    if (!FindOnLinkNeighbour(address, path, MAC))
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

// --- SNMP --------------------------------------------------------------------

namespace {

// The class library's StrToIntDef for the texts an agent's values give: an
// optional sign and decimal digits within 32 bits, else Default.
int StrToIntDef(const std::string& Text, int Default)
{
    size_t i = 0;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '-' || Text[i] == '+'))
        negative = Text[i++] == '-';
    if (i == Text.size())
        return Default;
    long long value = 0;
    for (; i < Text.size(); ++i) {
        if (Text[i] < '0' || Text[i] > '9')
            return Default;
        value = value * 10 + (Text[i] - '0');
        if (value > 2147483648LL)
            return Default;
    }
    if (negative)
        value = -value;
    if (value > 2147483647LL)
        return Default;
    return static_cast<int>(value);
}

std::vector<unsigned long long> OidNumbers(const std::string& Oid)
{
    std::vector<unsigned long long> numbers;
    unsigned long long n = 0;
    for (char c : Oid) {
        if (c == '.') {
            numbers.push_back(n);
            n = 0;
        } else {
            n = n * 10 + static_cast<unsigned>(c - '0');
        }
    }
    numbers.push_back(n);
    return numbers;
}

// A row of the ifIndex column: its name is the column's followed by more.
bool InIfIndexColumn(const std::string& Oid)
{
    const std::string column = std::string(SnmpOidIfIndex) + ".";
    return Oid.size() > column.size() && Oid.compare(0, column.size(), column) == 0;
}

bool OidAfter(const std::string& Oid, const std::string& Previous)
{
    return OidNumbers(Previous) < OidNumbers(Oid);
}

bool AllZero(const std::string& Bytes)
{
    return std::all_of(Bytes.begin(), Bytes.end(), [](char b) { return b == 0; });
}

} // namespace

bool SnmpQuery(TSnmpClient& Client, std::string& OID, bool GetNext, std::string& Value)
{
    TSnmpReply reply;
    if (!Client.Request(GetNext, OID, reply))
        return false;
    // A version 1 agent reports what it does not have (noSuchName, the end
    // of its MIB) through the error status, echoing the request's binding;
    // that binding is no value.
    if (reply.ErrorStatus != 0)
        return false;
    if (reply.HasVarBind) {
        // noSuchObject, noSuchInstance, endOfMibView: version 2's way of it.
        if (reply.Type >= 0x80 && reply.Type <= 0x82)
            return false;
        Value = reply.Value;
        if (GetNext)
            OID = reply.Oid;
    }
    return true;
}

std::string BytesToMacText(std::string_view Bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(Bytes.size() * 3);
    for (unsigned char b : Bytes) {
        if (!text.empty())
            text += '-';
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

namespace {

// The lengths a hardware address has: 6 bytes (Ethernet and its kin), 8 for
// the EUI-64 of FireWire and 802.15.4 links, 20 for InfiniBand. Anything else
// an agent sends as ifPhysAddress is no MAC address.
bool IsHardwareAddress(std::string_view Address, int IfType)
{
    constexpr int IfTypeIeee1394 = 144, IfTypeInfiniband = 199, IfTypeIeee802154 = 259;
    switch (Address.size()) {
    case 6:
        return true;
    case 8:
        return IfType == IfTypeIeee1394 || IfType == IfTypeIeee802154;
    case 20:
        return IfType == IfTypeInfiniband;
    default:
        return false;
    }
}

// ifDescr is a DisplayString of at most 255 bytes; an agent that sends more
// is cut there, before a character whose bytes would not all fit.
std::string CapDisplayString(std::string Text)
{
    constexpr size_t MaxDisplayString = 255;
    if (Text.size() <= MaxDisplayString)
        return Text;
    const auto Continues = [&](size_t I) {
        return (static_cast<unsigned char>(Text[I]) & 0xC0) == 0x80;
    };
    size_t End = MaxDisplayString;
    while (End > MaxDisplayString - 3 && Continues(End))
        --End;
    // Bytes that are no UTF-8 are cut where the limit falls.
    Text.resize(Continues(End) ? MaxDisplayString : End);
    return Text;
}

} // namespace

std::vector<TSnmpInterface> ReadSnmpInterfaces(TSnmpClient& Client)
{
    std::vector<TSnmpInterface> rows;
    std::string oid = SnmpOidIfNumber;
    std::string value;
    if (!SnmpQuery(Client, oid, false, value))
        return rows;
    const int count = std::min(StrToIntDef(value, -1), SnmpMaxInterfaces);
    if (count <= 0)
        return rows;

    oid = SnmpOidIfIndex;
    for (int i = 0; i < count; ++i) {
        const std::string previous = oid;
        value.clear();
        if (!SnmpQuery(Client, oid, true, value))
            break;
        // An agent with fewer interfaces than it counted answers with the
        // next column's first row, whose values are no indexes; one that
        // names no later row would keep the walk going in circles.
        if (!InIfIndexColumn(oid) || !OidAfter(oid, previous))
            break;
        TSnmpInterface row;
        row.Index = StrToIntDef(value, -1);
        rows.push_back(row);
    }

    for (TSnmpInterface& row : rows) {
        std::string column = SnmpOidIfDescr + std::to_string(row.Index), descr;
        if (row.Index > 0 && SnmpQuery(Client, column, false, descr))
            // Some agents count a C string's terminator into the text.
            row.Descr = CapDisplayString(descr.substr(0, descr.find('\0')));
    }
    for (TSnmpInterface& row : rows) {
        std::string column = SnmpOidIfType + std::to_string(row.Index), type;
        if (row.Index > 0 && SnmpQuery(Client, column, false, type))
            row.Type = StrToIntDef(type, -1);
    }
    for (TSnmpInterface& row : rows) {
        std::string column = SnmpOidIfPhysAddress + std::to_string(row.Index), address;
        if (row.Index > 0 && SnmpQuery(Client, column, false, address)) {
            row.PhysAddress = address;
            if (IsHardwareAddress(address, row.Type))
                row.Mac = BytesToMacText(address);
        }
    }
    return rows;
}

bool GetMacsBySnmp(const std::string& Host, TComputer& Computer, const std::string& Community,
                   int Timeout, uint16_t Port)
{
    TSnmpClient client(Host, Community, Timeout, Port);
    bool found = false;
    for (const TSnmpInterface& row : ReadSnmpInterfaces(client)) {
        if (row.Type == SnmpIfTypeSoftwareLoopback || row.Mac.empty() || AllZero(row.PhysAddress))
            continue;
        auto adapter = std::make_unique<TMacAddress>();
        adapter->Number = row.Mac;
        adapter->Name = row.Descr;
        Computer.AdapterList.push_back(std::move(adapter));
        found = true;
    }
    return found;
}
