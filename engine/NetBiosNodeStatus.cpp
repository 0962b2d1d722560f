#include "engine/NetBiosNodeStatus.h"

#include "platform/LocalInterfaces.h"
#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>

const std::array<uint8_t, 50> NetBiosNodeStatusRequest = {
    0x80, 0xBE,                         // transaction id
    0x00, 0x00,                         // flags: query, no recursion
    0x00, 0x01,                         // one question
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // no answer, authority or additional records
    0x20,                               // encoded name length
    'C',  'K',  'A',  'A',  'A',  'A',  'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A',
    'A',  'A',  'A',  'A',  'A',  'A',  'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A',
    0x00,       // end of name
    0x00, 0x21, // NBSTAT
    0x00, 0x01, // IN
};

namespace {

// Answer record layout of a reply to our request: the question's name as
// record name, then type, class, TTL and data length, then the name count.
constexpr std::size_t NameLengthOffset = 12;
constexpr std::size_t EncodedNameOffset = 13;
constexpr std::size_t EncodedNameLength = 32;
constexpr std::size_t NameEndOffset = 45;
constexpr std::size_t TypeOffset = 46;
constexpr std::size_t ClassOffset = 48;

uint16_t Be16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Code points of bytes 0x80..0xFF in code page 850.
constexpr char16_t Cp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557,
    0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB,
    0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9,
    0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::string OemToUtf8(std::string_view Text)
{
    std::string out;
    out.reserve(Text.size() * 2);
    for (const char ch : Text) {
        const auto b = static_cast<uint8_t>(ch);
        AppendUtf8(out, b < 0x80 ? char32_t(b) : char32_t(Cp850High[b - 0x80]));
    }
    return out;
}

bool IsNetBiosNodeStatusReply(const uint8_t* data, std::size_t len)
{
    if (data == nullptr || len <= NetBiosNameCountOffset)
        return false;
    if (data[0] != NetBiosNodeStatusRequest[0] || data[1] != NetBiosNodeStatusRequest[1])
        return false;
    const bool response = (data[2] & 0x80) != 0;
    const unsigned opcode = (data[2] >> 3) & 0x0F;
    const unsigned rcode = data[3] & 0x0F;
    if (!response || opcode != 0 || rcode != 0 || Be16(data + 6) == 0)
        return false;
    if (data[NameLengthOffset] != EncodedNameLength || data[NameEndOffset] != 0)
        return false;
    // First-level encoding: every byte is 'A' + a half byte.
    for (std::size_t i = 0; i < EncodedNameLength; ++i) {
        const uint8_t c = data[EncodedNameOffset + i];
        if (c < 'A' || c > 'P')
            return false;
    }
    return Be16(data + TypeOffset) == 0x0021 && Be16(data + ClassOffset) == 0x0001;
}

bool ParseNetBiosNodeStatus(const std::vector<uint8_t>& Reply, TNetBiosNodeStatus& Status)
{
    Status = TNetBiosNodeStatus{};
    if (!IsNetBiosNodeStatusReply(Reply.data(), Reply.size()))
        return false;
    const std::size_t size = Reply.size();
    Status.DeclaredNames = Reply[NetBiosNameCountOffset];
    for (unsigned i = 0; i < Status.DeclaredNames; ++i) {
        const std::size_t at = NetBiosNameTableOffset + NetBiosNameEntrySize * i;
        if (at + NetBiosNameEntrySize > size)
            break;
        TNetBiosNameEntry entry;
        entry.RawName.assign(reinterpret_cast<const char*>(&Reply[at]), 15);
        entry.Suffix = Reply[at + 15];
        entry.Flags = Reply[at + 16];
        Status.Names.push_back(std::move(entry));
    }
    const std::size_t macAt = NetBiosNameTableOffset + NetBiosNameEntrySize * Status.DeclaredNames;
    if (macAt + Status.Mac.size() <= size) {
        for (std::size_t i = 0; i < Status.Mac.size(); ++i)
            Status.Mac[i] = Reply[macAt + i];
        Status.HasMac = true;
    }
    return true;
}

std::string NetBiosEntryName(const TNetBiosNameEntry& Entry)
{
    std::string_view name(Entry.RawName);
    const std::size_t zero = name.find('\0');
    if (zero != std::string_view::npos)
        name = name.substr(0, zero);
    auto blankOrControl = [](char c) { return static_cast<uint8_t>(c) <= ' '; };
    while (!name.empty() && blankOrControl(name.front()))
        name.remove_prefix(1);
    while (!name.empty() && blankOrControl(name.back()))
        name.remove_suffix(1);
    return OemToUtf8(name);
}

bool ExchangeNetBiosNodeStatus(const std::string& IP, int TimeoutMs, std::vector<uint8_t>& Reply)
{
    Reply.clear();
    in_addr address{};
    if (::inet_aton(IP.c_str(), &address) == 0 || address.s_addr == INADDR_NONE)
        return false;
    if (TimeoutMs < 0)
        TimeoutMs = 0;

    platform::Socket sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid() || !platform::SetNonBlocking(sock.get(), true))
        return false;
    // Connected, the socket takes datagrams from the host's port 137 only, and
    // a port-unreachable answer ends the wait at once.
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(NetBiosNamePort);
    peer.sin_addr = address;
    if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0)
        return false;
    if (platform::WaitFor(sock.get(), POLLOUT, TimeoutMs) != platform::WaitResult::Ready)
        return false;
    ssize_t sent;
    do
        sent = ::send(sock.get(), NetBiosNodeStatusRequest.data(), NetBiosNodeStatusRequest.size(),
                      MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(NetBiosNodeStatusRequest.size()))
        return false;

    std::vector<uint8_t> buffer(NetBiosReceiveSize);
    const long long deadline = platform::MonotonicMs() + TimeoutMs;
    for (;;) {
        const long long left = deadline - platform::MonotonicMs();
        if (left < 0)
            return false;
        if (platform::WaitFor(sock.get(), POLLIN, static_cast<int>(left)) !=
            platform::WaitResult::Ready)
            return false;
        const ssize_t got = ::recv(sock.get(), buffer.data(), buffer.size(), 0);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return false;
        }
        if (IsNetBiosNodeStatusReply(buffer.data(), static_cast<std::size_t>(got))) {
            Reply.assign(buffer.begin(), buffer.begin() + got);
            return true;
        }
    }
}

namespace {

// Layout of a name query and of the answer record of its reply.
constexpr std::size_t HeaderSize = 12;
constexpr std::size_t QueryNameSize = 34; // length byte, 32 encoded bytes, end byte
constexpr std::size_t AnswerNameOffset = HeaderSize;
constexpr std::size_t AnswerTypeOffset = AnswerNameOffset + QueryNameSize;
constexpr std::size_t AnswerRdLengthOffset = AnswerTypeOffset + 8; // type, class, TTL
constexpr std::size_t AnswerRdataOffset = AnswerRdLengthOffset + 2;
constexpr std::size_t AddressEntrySize = 6; // NB_FLAGS, then the address
constexpr uint16_t TypeNB = 0x0020;
constexpr uint16_t ClassIN = 0x0001;

uint16_t NewTransactionId()
{
    static thread_local std::mt19937 generator(std::random_device{}());
    return static_cast<uint16_t>(generator());
}

} // namespace

bool IsNetBiosQueryName(std::string_view Name)
{
    if (Name.empty() || Name.size() > NetBiosMaxNameLength)
        return false;
    for (const char ch : Name) {
        const auto b = static_cast<uint8_t>(ch);
        if (b <= ' ' || b == 0x7F || ch == '.' || ch == '*')
            return false;
    }
    return true;
}

std::vector<uint8_t> BuildNetBiosNameQuery(std::string_view Name, uint16_t TransactionId,
                                           bool Broadcast)
{
    if (!IsNetBiosQueryName(Name))
        return {};
    std::array<uint8_t, 16> raw;
    raw.fill(' ');
    for (std::size_t i = 0; i < Name.size(); ++i) {
        const auto b = static_cast<uint8_t>(Name[i]);
        raw[i] = (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 'a' + 'A') : b;
    }
    raw[15] = 0x00;
    std::vector<uint8_t> q;
    q.reserve(HeaderSize + QueryNameSize + 4);
    q.push_back(static_cast<uint8_t>(TransactionId >> 8));
    q.push_back(static_cast<uint8_t>(TransactionId));
    q.push_back(0x01);                    // recursion desired
    q.push_back(Broadcast ? 0x10 : 0x00); // B flag
    const uint8_t counts[8] = {0, 1, 0, 0, 0, 0, 0, 0};
    q.insert(q.end(), counts, counts + 8);
    q.push_back(0x20);
    for (const uint8_t b : raw) {
        q.push_back(static_cast<uint8_t>('A' + (b >> 4)));
        q.push_back(static_cast<uint8_t>('A' + (b & 0x0F)));
    }
    q.push_back(0x00);
    q.push_back(0x00);
    q.push_back(static_cast<uint8_t>(TypeNB));
    q.push_back(0x00);
    q.push_back(static_cast<uint8_t>(ClassIN));
    return q;
}

bool ParseNetBiosNameQueryReply(const std::vector<uint8_t>& Query, const uint8_t* Data,
                                std::size_t Length, std::string& IP)
{
    IP.clear();
    if (Data == nullptr || Query.size() < HeaderSize + QueryNameSize || Length < AnswerRdataOffset)
        return false;
    if (Data[0] != Query[0] || Data[1] != Query[1])
        return false;
    const bool response = (Data[2] & 0x80) != 0;
    const unsigned opcode = (Data[2] >> 3) & 0x0F;
    const unsigned rcode = Data[3] & 0x0F;
    if (!response || opcode != 0 || rcode != 0 || Be16(Data + 6) == 0)
        return false;
    for (std::size_t i = 0; i < QueryNameSize; ++i)
        if (Data[AnswerNameOffset + i] != Query[HeaderSize + i])
            return false;
    if (Be16(Data + AnswerTypeOffset) != TypeNB || Be16(Data + AnswerTypeOffset + 2) != ClassIN)
        return false;
    const std::size_t rdLength = Be16(Data + AnswerRdLengthOffset);
    if (rdLength < AddressEntrySize || AnswerRdataOffset + rdLength > Length)
        return false;
    for (std::size_t at = AnswerRdataOffset; at + AddressEntrySize <= AnswerRdataOffset + rdLength;
         at += AddressEntrySize) {
        in_addr address;
        std::memcpy(&address.s_addr, Data + at + 2, 4);
        if (address.s_addr == INADDR_ANY || address.s_addr == INADDR_NONE)
            continue;
        char text[INET_ADDRSTRLEN];
        if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr)
            continue;
        IP = text;
        return true;
    }
    return false;
}

std::vector<TNetBiosQueryTarget> LocalNetBiosBroadcastTargets()
{
    std::vector<TNetBiosQueryTarget> targets;
    std::vector<platform::LocalInterface> interfaces;
    try {
        interfaces = platform::ListLocalInterfaces();
    } catch (const std::exception&) {
        return targets;
    }
    for (const platform::LocalInterface& i : interfaces) {
        if (!i.up || i.loopback)
            continue;
        for (const platform::Ipv4Address& a : i.ipv4) {
            // /31 and /32 have no broadcast address.
            if (a.netmask == 0 || (~a.netmask) <= 1)
                continue;
            in_addr b{};
            b.s_addr = htonl(a.address | ~a.netmask);
            char text[INET_ADDRSTRLEN];
            if (::inet_ntop(AF_INET, &b, text, sizeof text) == nullptr)
                continue;
            bool known = false;
            for (const TNetBiosQueryTarget& t : targets)
                known = known || t.IP == text;
            if (!known)
                targets.push_back({text, NetBiosNamePort, true});
        }
    }
    return targets;
}

void QueryNetBiosNameAddress(const std::string& Name,
                             const std::vector<TNetBiosQueryTarget>& Targets, int TimeoutMs,
                             std::string& IP)
{
    IP.clear();
    if (Targets.empty() || !IsNetBiosQueryName(Name))
        return;
    if (TimeoutMs < 0)
        TimeoutMs = 0;
    const uint16_t id = NewTransactionId();
    const std::vector<uint8_t> broadcastQuery = BuildNetBiosNameQuery(Name, id, true);
    const std::vector<uint8_t> unicastQuery = BuildNetBiosNameQuery(Name, id, false);

    platform::Socket sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid() || !platform::SetNonBlocking(sock.get(), true))
        return;
    const int on = 1;
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return;
    bool sentAny = false;
    for (const TNetBiosQueryTarget& t : Targets) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(t.Port);
        if (::inet_pton(AF_INET, t.IP.c_str(), &to.sin_addr) != 1)
            continue;
        const std::vector<uint8_t>& q = t.Broadcast ? broadcastQuery : unicastQuery;
        ssize_t sent;
        do
            sent = ::sendto(sock.get(), q.data(), q.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to);
        while (sent < 0 && errno == EINTR);
        sentAny = sentAny || sent == static_cast<ssize_t>(q.size());
    }
    if (!sentAny)
        return;

    std::vector<uint8_t> buffer(NetBiosReceiveSize);
    const long long deadline = platform::MonotonicMs() + TimeoutMs;
    for (;;) {
        const long long left = deadline - platform::MonotonicMs();
        if (left < 0)
            return;
        if (platform::WaitFor(sock.get(), POLLIN, static_cast<int>(left)) !=
            platform::WaitResult::Ready)
            return;
        const ssize_t got = ::recv(sock.get(), buffer.data(), buffer.size(), 0);
        if (got < 0) {
            // A port-unreachable answer of one target must not end the wait
            // for the others.
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED)
                continue;
            return;
        }
        // The B flag differs between the two forms, not the name or the id.
        if (ParseNetBiosNameQueryReply(unicastQuery, buffer.data(), static_cast<std::size_t>(got),
                                       IP))
            return;
    }
}
