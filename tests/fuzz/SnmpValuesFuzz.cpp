// Any bytes as the interface table an SNMP agent answers with: the values
// of ifNumber, ifIndex, ifDescr, ifType and ifPhysAddress take any BER type
// and content. A scripted agent on loopback serves the table; the client and
// the table walk must take what the values allow and nothing else: a MAC
// only of a hardware address's length, names capped, strings as sent.
#include "engine/SnmpClient.h"
#include "engine/uGetMac.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

using TOid = std::vector<unsigned long>;

std::string Encode(std::uint8_t Tag, const std::string& Value)
{
    std::string Out(1, static_cast<char>(Tag));
    if (Value.size() < 128) {
        Out += static_cast<char>(Value.size());
    } else {
        Out += static_cast<char>(0x82);
        Out += static_cast<char>(Value.size() >> 8);
        Out += static_cast<char>(Value.size() & 0xFF);
    }
    return Out + Value;
}

std::string EncodeInt(long long V)
{
    std::string Bytes;
    for (int I = 7; I >= 0; --I) {
        Bytes += static_cast<char>((V >> (I * 8)) & 0xFF);
    }
    while (Bytes.size() > 1 &&
           ((Bytes[0] == 0 && !(Bytes[1] & 0x80)) || (Bytes[0] == '\xFF' && (Bytes[1] & 0x80)))) {
        Bytes.erase(0, 1);
    }
    return Encode(0x02, Bytes);
}

std::string EncodeOid(const TOid& N)
{
    std::string Body(1, static_cast<char>(N[0] * 40 + N[1]));
    for (size_t I = 2; I < N.size(); ++I) {
        std::string Sub(1, static_cast<char>(N[I] & 0x7F));
        for (unsigned long V = N[I] >> 7; V; V >>= 7) {
            Sub.insert(0, 1, static_cast<char>(0x80 | (V & 0x7F)));
        }
        Body += Sub;
    }
    return Encode(0x06, Body);
}

TOid DecodeOid(const std::string& Body)
{
    if (Body.empty()) {
        return {};
    }
    const auto First = static_cast<std::uint8_t>(Body[0]);
    TOid N{First / 40u, First % 40u};
    unsigned long V = 0;
    for (size_t I = 1; I < Body.size(); ++I) {
        V = V << 7 | (Body[I] & 0x7F);
        if (!(Body[I] & 0x80)) {
            N.push_back(V);
            V = 0;
        }
    }
    return N;
}

struct TTlv {
    std::uint8_t Tag = 0;
    std::string Value;
};

bool ReadTlv(const std::string& In, size_t& Pos, TTlv& Out)
{
    if (Pos + 2 > In.size()) {
        return false;
    }
    Out.Tag = static_cast<std::uint8_t>(In[Pos++]);
    size_t Length = static_cast<std::uint8_t>(In[Pos++]);
    if (Length & 0x80) {
        int N = Length & 0x7F;
        Length = 0;
        while (N--) {
            if (Pos >= In.size()) {
                return false;
            }
            Length = Length << 8 | static_cast<std::uint8_t>(In[Pos++]);
        }
    }
    if (Length > In.size() - Pos) {
        return false;
    }
    Out.Value = In.substr(Pos, Length);
    Pos += Length;
    return true;
}

// Answers GetRequest and GetNextRequest from Table, noSuchName otherwise.
class TAgent {
public:
    TAgent()
    {
        Socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof A;
        if (Socket < 0 || ::bind(Socket, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
            ::getsockname(Socket, reinterpret_cast<sockaddr*>(&A), &Length) != 0) {
            std::abort();
        }
        Port = ntohs(A.sin_port);
        Worker = std::thread([this] { Serve(); });
        Worker.detach(); // lives as long as the process
    }

    void SetTable(std::map<TOid, std::string> ATable)
    {
        std::lock_guard<std::mutex> Lock(Mutex);
        Table = std::move(ATable);
    }

    std::uint16_t Port = 0;

private:
    void Serve()
    {
        for (;;) {
            pollfd P{Socket, POLLIN, 0};
            if (::poll(&P, 1, -1) <= 0) {
                continue;
            }
            char Buffer[65536];
            sockaddr_in From{};
            socklen_t FromLength = sizeof From;
            const ssize_t N = ::recvfrom(Socket, Buffer, sizeof Buffer, 0,
                                         reinterpret_cast<sockaddr*>(&From), &FromLength);
            std::string Reply;
            if (N > 0 && Answer(std::string(Buffer, static_cast<size_t>(N)), Reply)) {
                ::sendto(Socket, Reply.data(), Reply.size(), 0, reinterpret_cast<sockaddr*>(&From),
                         FromLength);
            }
        }
    }

    bool Answer(const std::string& In, std::string& Reply)
    {
        size_t Pos = 0;
        TTlv Message, Version, Community, Pdu, Id, Status, Index, List, Bind, Name;
        if (!ReadTlv(In, Pos, Message)) {
            return false;
        }
        Pos = 0;
        if (!ReadTlv(Message.Value, Pos, Version) || !ReadTlv(Message.Value, Pos, Community) ||
            !ReadTlv(Message.Value, Pos, Pdu)) {
            return false;
        }
        Pos = 0;
        if (!ReadTlv(Pdu.Value, Pos, Id) || !ReadTlv(Pdu.Value, Pos, Status) ||
            !ReadTlv(Pdu.Value, Pos, Index) || !ReadTlv(Pdu.Value, Pos, List)) {
            return false;
        }
        Pos = 0;
        if (!ReadTlv(List.Value, Pos, Bind)) {
            return false;
        }
        Pos = 0;
        if (!ReadTlv(Bind.Value, Pos, Name)) {
            return false;
        }
        const TOid Asked = DecodeOid(Name.Value);
        std::string Binds;
        int Error = 0;
        {
            std::lock_guard<std::mutex> Lock(Mutex);
            auto Found = Pdu.Tag == 0xA1 ? Table.upper_bound(Asked) : Table.find(Asked);
            if (Found == Table.end()) {
                Error = 2; // noSuchName
                Binds = Encode(0x30, EncodeOid(Asked.size() >= 2 ? Asked : TOid{1, 3}) +
                                         Encode(0x05, ""));
            } else {
                Binds = Encode(0x30, EncodeOid(Found->first) + Found->second);
            }
        }
        const std::string Body = Encode(0x02, Id.Value) + EncodeInt(Error) +
                                 EncodeInt(Error ? 1 : 0) + Encode(0x30, Binds);
        Reply = Encode(0x30, EncodeInt(0) + Encode(0x04, Community.Value) + Encode(0xA2, Body));
        return true;
    }

    int Socket = -1;
    std::thread Worker;
    std::mutex Mutex;
    std::map<TOid, std::string> Table;
};

// Reads the input front to back; zeros once it is used up.
class TInput {
public:
    TInput(const std::uint8_t* AData, size_t ASize) : Data(AData), Size(ASize) {}
    bool Empty() const { return Pos >= Size; }
    std::uint8_t Byte() { return Pos < Size ? Data[Pos++] : 0; }
    std::string Bytes(size_t N)
    {
        N = std::min(N, Size - std::min(Pos, Size));
        std::string Out(reinterpret_cast<const char*>(Data + Pos), N);
        Pos += N;
        return Out;
    }

private:
    const std::uint8_t* Data;
    size_t Size;
    size_t Pos = 0;
};

// The BER types an agent may give a value: the ones a table holds, and
// NULL, the counters, opaque and the version-2 exceptions.
constexpr std::uint8_t Tags[] = {0x02, 0x04, 0x05, 0x06, 0x40, 0x41,
                                 0x42, 0x43, 0x44, 0x46, 0x80, 0x81};

// A value: the first byte picks the type (an integer of the next byte's
// value, when even), the following ones its content.
std::string Value(TInput& In, std::uint8_t& Tag, std::string& Content)
{
    const std::uint8_t Pick = In.Byte();
    if (Pick % 2 == 0) {
        Tag = 0x02;
        Content.clear();
        return EncodeInt(static_cast<std::int8_t>(In.Byte()) * 3 + (Pick >> 1));
    }
    Tag = Tags[(Pick >> 1) % sizeof Tags];
    const std::uint8_t Length = In.Byte();
    Content = In.Bytes(Length < 250 ? Length : 300 * (Length - 249));
    return Encode(Tag, Content);
}

const TOid Column{1, 3, 6, 1, 2, 1, 2, 2, 1};

TOid Cell(unsigned long ColumnNumber, unsigned long Row)
{
    TOid O = Column;
    O.push_back(ColumnNumber);
    O.push_back(Row);
    return O;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    static TAgent Agent;
    TInput In(Data, Size);
    std::map<TOid, std::string> Table;
    // What a GetRequest of each row's string cells is answered with.
    std::map<TOid, std::pair<std::uint8_t, std::string>> Sent;

    std::uint8_t Tag = 0;
    std::string Content;
    Table[{1, 3, 6, 1, 2, 1, 2, 1, 0}] =
        In.Byte() < 200 ? EncodeInt(In.Byte() % 16) : Value(In, Tag, Content);
    for (unsigned long Row = 1; !In.Empty() && Row <= 12; ++Row) {
        Table[Cell(1, Row)] =
            In.Byte() < 230 ? EncodeInt(static_cast<long long>(Row)) : Value(In, Tag, Content);
        for (unsigned long C : {2ul, 3ul, 6ul}) {
            Table[Cell(C, Row)] = Value(In, Tag, Content);
            Sent[Cell(C, Row)] = {Tag, Content};
        }
    }
    Agent.SetTable(std::move(Table));

    TSnmpClient Client("127.0.0.1", "public", 20, Agent.Port);
    const std::vector<TSnmpInterface> Rows = ReadSnmpInterfaces(Client);
    Check(Rows.size() <= 16);
    for (const TSnmpInterface& Row : Rows) {
        Check(Row.Descr.size() <= 255 && Row.Descr.find('\0') == std::string::npos);
        const size_t Length = Row.PhysAddress.size();
        if (!Row.Mac.empty()) {
            Check(Length == 6 || Length == 8 || Length == 20);
            Check(Row.Mac == BytesToMacText(Row.PhysAddress));
            Check(Row.Mac.size() == 3 * Length - 1);
        }
        if (Row.Index <= 0) {
            continue;
        }
        const auto Descr = Sent.find(Cell(2, static_cast<unsigned long>(Row.Index)));
        if (Descr != Sent.end() && Descr->second.first == 0x04) {
            Check(Descr->second.second.compare(0, Row.Descr.size(), Row.Descr) == 0);
        }
        const auto Phys = Sent.find(Cell(6, static_cast<unsigned long>(Row.Index)));
        if (Phys != Sent.end() && Phys->second.first == 0x04) {
            Check(Row.PhysAddress == Phys->second.second);
        }
    }
    return 0;
}
