#include "engine/NetUtil.h"

#include "engine/NeighbourSweep.h"
#include "engine/NetBiosNodeStatus.h"
#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

bool IPToHostOrder(const std::string& Text, uint32_t& Value)
{
    // inet_addr itself, not inet_pton: users type the short forms ("10.1")
    // and stored lists hold them.
    in_addr_t a = ::inet_addr(Text.c_str());
    if (a == INADDR_NONE)
        return false;
    Value = ntohl(a);
    return true;
}

bool IsIPAddress(const std::string& Text)
{
    uint32_t v;
    return IPToHostOrder(Text, v);
}

std::string HostOrderToIP(uint32_t Value)
{
    in_addr a{};
    a.s_addr = htonl(Value);
    char buf[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

int CompareIP(const std::string& IP1, const std::string& IP2)
{
    // An unreadable text counts as INADDR_NONE, as the library reads it.
    uint32_t a = 0xFFFFFFFFu, b = 0xFFFFFFFFu;
    IPToHostOrder(IP1, a);
    IPToHostOrder(IP2, b);
    return a < b ? -1 : (a > b ? 1 : 0);
}

bool CalcIPRange(const std::string& IP, const std::string& Mask, std::string& StartIP,
                 std::string& StopIP)
{
    StartIP.clear();
    StopIP.clear();
    // inet_aton reads the same forms as inet_addr but can tell the all-ones
    // mask of a single host from an error.
    in_addr ipA{}, maskA{};
    if (IP.empty() || Mask.empty() || !::inet_aton(IP.c_str(), &ipA) ||
        !::inet_aton(Mask.c_str(), &maskA))
        return false;
    const uint32_t ip = ntohl(ipA.s_addr), mask = ntohl(maskA.s_addr);
    StartIP = HostOrderToIP((ip & mask) + 1);
    StopIP = HostOrderToIP((ip | ~mask) - 1);
    return !StartIP.empty() && !StopIP.empty();
}

void HostNameToIP(const std::string& Host, std::string& IP)
{
    IP.clear();
    if (Host.empty())
        return;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(Host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            char buf[INET_ADDRSTRLEN];
            if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf))
                IP = buf;
            break;
        }
    }
    ::freeaddrinfo(found);
}

void HostNameToIP(const std::string& Host, std::string& IP, int NetBiosTimeoutMs)
{
    HostNameToIP(Host, IP);
    if (IP.empty() && IsNetBiosQueryName(Host))
        QueryNetBiosNameAddress(Host, LocalNetBiosBroadcastTargets(), NetBiosTimeoutMs, IP);
}

void IPToHostName(const std::string& IP, std::string& Name)
{
    Name.clear();
    uint32_t hostOrder;
    // The library's error value would otherwise become a lookup of
    // 255.255.255.255.
    if (!IPToHostOrder(IP, hostOrder))
        return;
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(hostOrder);
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&sin), sizeof sin, host, sizeof host,
                      nullptr, 0, NI_NAMEREQD) == 0)
        Name = host;
}

void ParseNetBiosNameReply(const std::vector<uint8_t>& Reply, std::string& Name)
{
    Name.clear();
    TNetBiosNodeStatus status;
    if (!ParseNetBiosNodeStatus(Reply, status))
        return;
    for (const TNetBiosNameEntry& entry : status.Names) {
        // A unique (not group), active name of any node type, nothing else
        // set; suffix 00 is the workstation, 01 the messenger.
        const bool uniqueActive = entry.Flags == 0x04 || entry.Flags == 0x24 ||
                                  entry.Flags == 0x44 || entry.Flags == 0x64;
        if (!uniqueActive || (entry.Suffix != 0x00 && entry.Suffix != 0x01))
            continue;
        const std::string name = NetBiosEntryName(entry);
        if (name.find('~') != std::string::npos)
            continue;
        Name = name;
        return;
    }
}

void QueryNetBiosName(const std::string& IP, int TimeoutMs, std::string& Name)
{
    Name.clear();
    std::vector<uint8_t> reply;
    if (ExchangeNetBiosNodeStatus(IP, TimeoutMs, reply))
        ParseNetBiosNameReply(reply, Name);
}

void GetNetBiosName(const std::string& IP, int TimeoutMs, std::string& Name)
{
    try {
        QueryNetBiosName(IP, TimeoutMs, Name);
    } catch (const std::exception&) {
        Name.clear();
    }
}

void GetLocalComputerName(std::string& Name)
{
    Name.clear();
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) == 0)
        Name = buf;
}

void GetLocalUserName(std::string& Name)
{
    Name.clear();
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(::geteuid(), &entry, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (rc == 0 && found != nullptr && found->pw_name != nullptr)
        Name = found->pw_name;
}

int PingHost(const std::string& Host, int TimeoutMs)
{
    std::string ip = Host;
    if (!IsIPAddress(ip))
        HostNameToIP(Host, ip);
    uint32_t hostOrder;
    if (ip.empty() || !IPToHostOrder(ip, hostOrder))
        return NoAnswer;
    // The scan's sweep found no neighbour at this on-link address within the
    // time: the echo could not even leave.
    if (SweepGaveUp(hostOrder, TimeoutMs))
        return NoAnswer;
    try {
        const platform::EchoOutcome outcome = platform::IcmpEcho(htonl(hostOrder), TimeoutMs);
        return outcome.Answered ? outcome.RoundTripMs : NoAnswer;
    } catch (const platform::EIcmpUnavailable&) {
        throw;
    } catch (const std::exception&) {
        return NoAnswer;
    }
}

int OpenNonBlockingTcpSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (!platform::SetNonBlocking(fd, true)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void CloseNonBlockingSocket(int Socket)
{
    if (Socket < 0)
        return;
    platform::SetNonBlocking(Socket, false);
    ::close(Socket);
}

int TcpConnectTime(const std::string& Host, int TimeoutMs, uint16_t Port)
{
    uint32_t hostOrder;
    // No connection attempt to the library's error value for a text that is
    // no address.
    if (!IPToHostOrder(Host, hostOrder))
        return NoAnswer;
    if (TimeoutMs < 0)
        TimeoutMs = 0;
    const int fd = OpenNonBlockingTcpSocket();
    if (fd < 0)
        return NoAnswer;
    int result = NoAnswer;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(Port);
    peer.sin_addr.s_addr = htonl(hostOrder);
    const long long start = platform::MonotonicMs();
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
        result = static_cast<int>(platform::MonotonicMs() - start);
    } else if (errno == EINPROGRESS || errno == EINTR) {
        // poll reports a refused or failed connection as ready too; only a
        // connection without a pending error has been made.
        if (platform::WaitFor(fd, POLLOUT, TimeoutMs) == platform::WaitResult::Ready &&
            platform::PendingError(fd) == 0)
            result = static_cast<int>(platform::MonotonicMs() - start);
    }
    CloseNonBlockingSocket(fd);
    return result;
}

int CheckTcpPort(const std::string& Host, int TimeoutMs, uint16_t Port)
{
    return TcpConnectTime(Host, TimeoutMs, Port);
}

std::string VarArrayToStr(const std::vector<std::string>& Values)
{
    std::string out;
    for (std::size_t i = 0; i < Values.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += Values[i];
    }
    return out;
}
