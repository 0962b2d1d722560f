#include "uGetMac.h"

#include "DetectOS.h"
#include "Netlink.h"

#include <algorithm>
#include <cstring>
#include <sys/socket.h>

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
            row.Descr = descr.substr(0, descr.find('\0'));
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
