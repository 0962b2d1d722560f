#include "platform/Netlink.h"

#include "platform/Sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <linux/if_arp.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

size_t IpAddress::size() const
{
    return family == AF_INET ? 4 : family == AF_INET6 ? 16 : 0;
}

bool IpAddress::operator==(const IpAddress& other) const
{
    return family == other.family && std::memcmp(bytes.data(), other.bytes.data(), size()) == 0;
}

bool ParseIpAddress(const std::string& Text, IpAddress& Address)
{
    IpAddress a;
    if (inet_pton(AF_INET, Text.c_str(), a.bytes.data()) == 1)
        a.family = AF_INET;
    else if (inet_pton(AF_INET6, Text.c_str(), a.bytes.data()) == 1)
        a.family = AF_INET6;
    else
        return false;
    Address = a;
    return true;
}

bool ParseIPv4Loose(const std::string& Text, IpAddress& Address)
{
    in_addr in{};
    if (Text.empty() || inet_aton(Text.c_str(), &in) == 0 || in.s_addr == INADDR_NONE)
        return false;
    IpAddress a;
    a.family = AF_INET;
    std::memcpy(a.bytes.data(), &in.s_addr, 4);
    Address = a;
    return true;
}

std::string IpAddressText(const IpAddress& Address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (Address.size() == 0 || !inet_ntop(Address.family, Address.bytes.data(), text, sizeof text))
        return {};
    return text;
}

namespace {

// Replies of the kernel come in datagrams of at most a few pages; a dump may
// pack several messages into one.
constexpr size_t kReceiveBufferSize = 64 * 1024;

// Upper bound for one request/reply round with the kernel; rtnetlink answers
// from memory, so this only guards against a wedged socket.
constexpr int kReplyTimeoutMs = 2000;

// Requests asked again after the kernel dropped their reply.
constexpr int kOverrunRetries = 3;

// Room for the neighbour notifications of a busy scan between two reads
// (capped by net.core.rmem_max for unprivileged programs).
constexpr int kNotificationBufferBytes = 1 << 20;

// A request under construction: header, fixed part, attributes.
class Request {
public:
    Request(uint16_t type, uint16_t flags, const void* body, size_t bodyLen)
    {
        buf_.resize(NLMSG_SPACE(bodyLen));
        auto* h = header();
        h->nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(bodyLen));
        h->nlmsg_type = type;
        h->nlmsg_flags = flags;
        std::memcpy(NLMSG_DATA(h), body, bodyLen);
    }

    void AddAttribute(uint16_t type, const void* data, size_t len)
    {
        size_t at = NLMSG_ALIGN(header()->nlmsg_len);
        buf_.resize(at + RTA_SPACE(len));
        auto* rta = reinterpret_cast<rtattr*>(buf_.data() + at);
        rta->rta_type = type;
        rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
        std::memcpy(RTA_DATA(rta), data, len);
        header()->nlmsg_len = static_cast<uint32_t>(at + RTA_LENGTH(len));
    }

    nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(buf_.data()); }

private:
    std::vector<uint8_t> buf_;
};

using MessageHandler = std::function<void(const nlmsghdr*)>;

// One rtnetlink socket: requests with their replies, and, when it was opened
// with multicast groups, the kernel's notifications in between.
class RouteSocket {
public:
    bool Open(uint32_t groups = 0)
    {
        sock_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
        if (!sock_.valid())
            return false;
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = groups;
        if (groups != 0) {
            int size = kNotificationBufferBytes;
            ::setsockopt(sock_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        if (::bind(sock_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return false;
        socklen_t len = sizeof local;
        if (::getsockname(sock_.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0)
            return false;
        portId_ = local.nl_pid;
        buffer_.resize(kReceiveBufferSize);
        return true;
    }

    int fd() const { return sock_.get(); }

    // Sends the request and hands every reply message to onReply until the
    // reply is complete. Messages that are not replies to it (notifications)
    // go to onOther. Returns 0 or the kernel's (positive) errno.
    int Transact(Request& req, const MessageHandler& onReply, const MessageHandler& onOther = {})
    {
        // A full receive queue drops the reply along with notifications; a
        // get of one object is asked again, a dump is not (its parts would
        // come twice).
        const bool dump = (req.header()->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
        int rc = EIO;
        for (int attempt = 0; attempt < kOverrunRetries; ++attempt) {
            rc = TransactOnce(req, onReply, onOther);
            if (rc != ENOBUFS || dump)
                break;
        }
        return rc;
    }

    // True once since the kernel last had to drop messages for this socket.
    bool TakeOverrun()
    {
        bool o = overrun_;
        overrun_ = false;
        return o;
    }

    // Reads one datagram and hands out each complete message in it.
    // Returns 0, or ENOBUFS when the kernel dropped notifications, or another
    // errno.
    int Receive(const MessageHandler& handle)
    {
        sockaddr_nl from{};
        iovec iov{buffer_.data(), buffer_.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n;
        do
            n = ::recvmsg(sock_.get(), &msg, MSG_DONTWAIT);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == ENOBUFS)
                overrun_ = true;
            return errno == EAGAIN ? 0 : errno;
        }
        if (msg.msg_flags & MSG_TRUNC)
            return EMSGSIZE;
        if (from.nl_pid != 0)
            return 0; // only the kernel speaks to us
        int len = static_cast<int>(n);
        for (auto* m = reinterpret_cast<const nlmsghdr*>(buffer_.data()); NLMSG_OK(m, len);
             m = NLMSG_NEXT(m, len))
            handle(m);
        return 0;
    }

private:
    int TransactOnce(Request& req, const MessageHandler& onReply, const MessageHandler& onOther)
    {
        nlmsghdr* h = req.header();
        h->nlmsg_seq = ++seq_;
        h->nlmsg_pid = 0;
        h->nlmsg_flags |= NLM_F_ACK;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        ssize_t sent;
        do
            sent = ::sendto(sock_.get(), h, h->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                            sizeof kernel);
        while (sent < 0 && errno == EINTR);
        if (sent != static_cast<ssize_t>(h->nlmsg_len))
            return sent < 0 ? errno : EIO;

        const uint32_t seq = seq_;
        const long long deadline = MonotonicMs() + kReplyTimeoutMs;
        for (;;) {
            long long left = deadline - MonotonicMs();
            if (left <= 0 ||
                WaitFor(sock_.get(), POLLIN, static_cast<int>(left)) != WaitResult::Ready)
                return ETIMEDOUT;
            int result = 0;
            bool finished = false;
            int rc = Receive([&](const nlmsghdr* m) {
                if (m->nlmsg_seq != seq || m->nlmsg_pid != portId_) {
                    if (onOther)
                        onOther(m);
                    return;
                }
                if (finished)
                    return;
                if (m->nlmsg_type == NLMSG_ERROR) {
                    if (m->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
                        result = EIO;
                    } else {
                        auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(m));
                        result = -e->error; // 0 is the acknowledgement
                    }
                    finished = true;
                } else if (m->nlmsg_type == NLMSG_DONE) {
                    finished = true;
                } else {
                    // A get of one object is answered by one message and an
                    // acknowledgement; the acknowledgement ends it.
                    onReply(m);
                }
            });
            if (rc != 0)
                return rc;
            if (finished)
                return result;
        }
    }

    Socket sock_;
    bool overrun_ = false;
    uint32_t portId_ = 0;
    uint32_t seq_ = 0;
    std::vector<uint8_t> buffer_;
};

// Walks the attributes behind a fixed message part of length fixedLen.
template <typename Fn> void ForEachAttribute(const nlmsghdr* m, size_t fixedLen, Fn&& fn)
{
    if (m->nlmsg_len < NLMSG_LENGTH(fixedLen))
        return;
    int len = static_cast<int>(m->nlmsg_len - NLMSG_LENGTH(fixedLen));
    auto* rta = reinterpret_cast<const rtattr*>(static_cast<const uint8_t*>(NLMSG_DATA(m)) +
                                                NLMSG_ALIGN(fixedLen));
    for (; RTA_OK(rta, len); rta = RTA_NEXT(rta, len))
        fn(rta->rta_type, static_cast<const uint8_t*>(RTA_DATA(rta)), RTA_PAYLOAD(rta));
}

bool CopyAddress(int family, const uint8_t* data, size_t len, IpAddress& out)
{
    IpAddress a;
    a.family = family;
    if (a.size() == 0 || len != a.size())
        return false;
    std::memcpy(a.bytes.data(), data, len);
    out = a;
    return true;
}

// Reads a neighbour message for (ifindex, address); false when it is about
// another entry.
bool ParseNeighbour(const nlmsghdr* m, int ifindex, const IpAddress& address, NeighbourEntry& entry)
{
    if ((m->nlmsg_type != RTM_NEWNEIGH && m->nlmsg_type != RTM_DELNEIGH) ||
        m->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)))
        return false;
    auto* nd = static_cast<const ndmsg*>(NLMSG_DATA(m));
    if (nd->ndm_family != address.family || nd->ndm_ifindex != ifindex)
        return false;
    IpAddress dst;
    NeighbourEntry e;
    e.state = nd->ndm_state;
    e.flags = nd->ndm_flags;
    ForEachAttribute(m, sizeof(ndmsg), [&](uint16_t type, const uint8_t* data, size_t len) {
        if (type == NDA_DST)
            CopyAddress(nd->ndm_family, data, len, dst);
        else if (type == NDA_LLADDR)
            e.lladdr.assign(data, data + len);
    });
    if (!(dst == address))
        return false;
    if (m->nlmsg_type == RTM_DELNEIGH)
        e = NeighbourEntry{}; // gone: no state, no address
    entry = e;
    return true;
}

Request NeighbourRequest(int ifindex, const IpAddress& address)
{
    ndmsg nd{};
    nd.ndm_family = static_cast<uint8_t>(address.family);
    nd.ndm_ifindex = ifindex;
    Request req(RTM_GETNEIGH, NLM_F_REQUEST, &nd, sizeof nd);
    req.AddAttribute(NDA_DST, address.bytes.data(), address.size());
    return req;
}

NeighbourLookup QueryNeighbour(RouteSocket& sock, int ifindex, const IpAddress& address,
                               NeighbourEntry& entry, const MessageHandler& onOther)
{
    Request req = NeighbourRequest(ifindex, address);
    bool found = false;
    int rc = sock.Transact(
        req,
        [&](const nlmsghdr* m) { found = ParseNeighbour(m, ifindex, address, entry) || found; },
        onOther);
    if (rc == ENOENT)
        return NeighbourLookup::Missing;
    if (rc != 0)
        return NeighbourLookup::Error;
    return found ? NeighbourLookup::Found : NeighbourLookup::Missing;
}

bool SendTrigger(const IpAddress& address)
{
    Socket s(::socket(address.family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return false;
    sockaddr_storage to{};
    socklen_t toLen;
    if (address.family == AF_INET) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&to);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(9);
        std::memcpy(&sin->sin_addr, address.bytes.data(), 4);
        toLen = sizeof(sockaddr_in);
    } else {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&to);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(9);
        std::memcpy(&sin6->sin6_addr, address.bytes.data(), 16);
        toLen = sizeof(sockaddr_in6);
    }
    ssize_t n;
    do
        n = ::sendto(s.get(), "", 0, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), toLen);
    while (n < 0 && errno == EINTR);
    // A full queue of unresolved packets still leaves a resolution under way.
    return n >= 0 || errno == EAGAIN || errno == ENOBUFS;
}

} // namespace

bool TriggerNeighbourResolution(const IpAddress& Address)
{
    return SendTrigger(Address);
}

NeighbourProbing KernelNeighbourProbing(int IfIndex)
{
    NeighbourProbing probing;
    // The interface's name, by the ioctl that net/if.h's if_indextoname
    // wraps (that header clashes with the kernel's link headers used here).
    Socket sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq req{};
    req.ifr_ifindex = IfIndex;
    if (IfIndex <= 0 || !sock.valid() || ::ioctl(sock.get(), SIOCGIFNAME, &req) != 0)
        return probing;
    std::string name(req.ifr_name, strnlen(req.ifr_name, sizeof req.ifr_name));
    // A positive number from one line of the interface's neighbour settings.
    auto read = [&name](const char* Key, int& Value) {
        const std::string path = std::string("/proc/sys/net/ipv4/neigh/") + name + "/" + Key;
        FILE* f = std::fopen(path.c_str(), "re");
        if (f == nullptr)
            return;
        int v = 0;
        if (std::fscanf(f, "%d", &v) == 1 && v > 0)
            Value = v;
        std::fclose(f);
    };
    read("mcast_solicit", probing.Requests);
    read("retrans_time_ms", probing.IntervalMs);
    return probing;
}

bool DumpNeighbours(int IfIndex, int Family,
                    const std::function<void(const IpAddress&, const NeighbourEntry&)>& Each)
{
    if (IfIndex <= 0 || (Family != AF_INET && Family != AF_INET6))
        return false;
    RouteSocket sock;
    if (!sock.Open())
        return false;
    ndmsg nd{};
    nd.ndm_family = static_cast<uint8_t>(Family);
    nd.ndm_ifindex = IfIndex;
    Request req(RTM_GETNEIGH, NLM_F_REQUEST | NLM_F_DUMP, &nd, sizeof nd);
    // Kernels that filter a dump by interface do so on this attribute; older
    // ones send the whole table, which the index test below sorts out.
    uint32_t index = static_cast<uint32_t>(IfIndex);
    req.AddAttribute(NDA_IFINDEX, &index, sizeof index);
    int rc = sock.Transact(req, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWNEIGH || m->nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg)))
            return;
        auto* n = static_cast<const ndmsg*>(NLMSG_DATA(m));
        if (n->ndm_family != Family || n->ndm_ifindex != IfIndex)
            return;
        IpAddress dst;
        NeighbourEntry e;
        e.state = n->ndm_state;
        e.flags = n->ndm_flags;
        bool hasDst = false;
        ForEachAttribute(m, sizeof(ndmsg), [&](uint16_t type, const uint8_t* data, size_t len) {
            if (type == NDA_DST)
                hasDst = CopyAddress(n->ndm_family, data, len, dst);
            else if (type == NDA_LLADDR)
                e.lladdr.assign(data, data + len);
        });
        if (hasDst)
            Each(dst, e);
    });
    return rc == 0;
}

bool ReadNeighbourTableSize(int Family, NeighbourTableSize& Size)
{
    RouteSocket sock;
    if ((Family != AF_INET && Family != AF_INET6) || !sock.Open())
        return false;
    ndtmsg nd{};
    nd.ndtm_family = static_cast<uint8_t>(Family);
    Request req(RTM_GETNEIGHTBL, NLM_F_REQUEST | NLM_F_DUMP, &nd, sizeof nd);
    NeighbourTableSize size;
    bool found = false;
    int rc = sock.Transact(req, [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWNEIGHTBL || m->nlmsg_len < NLMSG_LENGTH(sizeof(ndtmsg)) ||
            static_cast<const ndtmsg*>(NLMSG_DATA(m))->ndtm_family != Family)
            return;
        // The table's own message carries its thresholds; those of its
        // interfaces' settings that follow do not.
        NeighbourTableSize s;
        bool thresholds = false, config = false;
        auto u32 = [](const uint8_t* data, size_t len, int& out) {
            uint32_t v;
            if (len < sizeof v)
                return false;
            std::memcpy(&v, data, sizeof v);
            out = static_cast<int>(std::min<uint32_t>(v, 1u << 30));
            return true;
        };
        ForEachAttribute(m, sizeof(ndtmsg), [&](uint16_t type, const uint8_t* data, size_t len) {
            if (type == NDTA_THRESH1)
                u32(data, len, s.Thresh1);
            else if (type == NDTA_THRESH2)
                u32(data, len, s.Thresh2);
            else if (type == NDTA_THRESH3)
                thresholds = u32(data, len, s.Thresh3);
            else if (type == NDTA_CONFIG && len >= sizeof(ndt_config)) {
                ndt_config c;
                std::memcpy(&c, data, sizeof c);
                s.Entries = static_cast<int>(std::min<uint32_t>(c.ndtc_entries, 1u << 30));
                config = true;
            }
        });
        if (thresholds && config && !found) {
            size = s;
            found = true;
        }
    });
    if (rc != 0 || !found)
        return false;
    Size = size;
    return true;
}

bool LookupRoute(const IpAddress& Destination, RouteInfo& Route)
{
    if (Destination.size() == 0)
        return false;
    RouteSocket sock;
    if (!sock.Open())
        return false;
    rtmsg rt{};
    rt.rtm_family = static_cast<unsigned char>(Destination.family);
    rt.rtm_dst_len = static_cast<unsigned char>(Destination.size() * 8);
    Request req(RTM_GETROUTE, NLM_F_REQUEST, &rt, sizeof rt);
    req.AddAttribute(RTA_DST, Destination.bytes.data(), Destination.size());

    bool got = false;
    RouteInfo info;
    int rc = sock.Transact(req, [&](const nlmsghdr* m) {
        if (got || m->nlmsg_type != RTM_NEWROUTE || m->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
            return;
        auto* r = static_cast<const rtmsg*>(NLMSG_DATA(m));
        got = true;
        info.type = r->rtm_type;
        ForEachAttribute(m, sizeof(rtmsg), [&](uint16_t type, const uint8_t* data, size_t len) {
            if (type == RTA_OIF && len >= sizeof(int)) {
                std::memcpy(&info.ifindex, data, sizeof(int));
            } else if (type == RTA_GATEWAY) {
                info.hasGateway = CopyAddress(r->rtm_family, data, len, info.gateway);
            } else if (type == RTA_VIA && len >= sizeof(rtvia)) {
                // A gateway of the other family: off-link just the same.
                IpAddress via;
                auto* v = reinterpret_cast<const rtvia*>(data);
                CopyAddress(v->rtvia_family, data + sizeof(rtvia), len - sizeof(rtvia), via);
                info.hasGateway = true;
                info.gateway = via;
            } else if (type == RTA_PREFSRC) {
                info.hasPrefSrc = CopyAddress(r->rtm_family, data, len, info.prefSrc);
            }
        });
    });
    if (rc != 0 || !got)
        return false;
    switch (info.type) {
    case RTN_LOCAL:
        info.kind = RouteKind::Local;
        break;
    case RTN_UNICAST:
        info.kind = info.hasGateway ? RouteKind::Gateway : RouteKind::OnLink;
        break;
    case RTN_UNREACHABLE:
    case RTN_PROHIBIT:
    case RTN_BLACKHOLE:
        return false;
    default:
        info.kind = RouteKind::Other;
        break;
    }
    Route = info;
    return true;
}

bool GetLinkInfo(int IfIndex, LinkInfo& Link)
{
    if (IfIndex <= 0)
        return false;
    RouteSocket sock;
    if (!sock.Open())
        return false;
    ifinfomsg ifi{};
    ifi.ifi_family = AF_UNSPEC;
    ifi.ifi_index = IfIndex;
    Request req(RTM_GETLINK, NLM_F_REQUEST, &ifi, sizeof ifi);
    uint32_t mask = RTEXT_FILTER_SKIP_STATS;
    req.AddAttribute(IFLA_EXT_MASK, &mask, sizeof mask);

    bool got = false;
    LinkInfo info;
    int rc = sock.Transact(req, [&](const nlmsghdr* m) {
        if (got || m->nlmsg_type != RTM_NEWLINK || m->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
            return;
        auto* i = static_cast<const ifinfomsg*>(NLMSG_DATA(m));
        if (i->ifi_index != IfIndex)
            return;
        got = true;
        info.ifindex = i->ifi_index;
        info.type = i->ifi_type;
        info.flags = i->ifi_flags;
        ForEachAttribute(m, sizeof(ifinfomsg), [&](uint16_t type, const uint8_t* data, size_t len) {
            if (type == IFLA_ADDRESS)
                info.hwaddr.assign(data, data + len);
            else if (type == IFLA_IFNAME)
                info.name.assign(reinterpret_cast<const char*>(data),
                                 strnlen(reinterpret_cast<const char*>(data), len));
        });
    });
    if (rc != 0 || !got)
        return false;
    Link = info;
    return true;
}

int FindAddressOwner(const IpAddress& Address)
{
    if (Address.size() == 0)
        return 0;
    RouteSocket sock;
    if (!sock.Open())
        return 0;
    ifaddrmsg ifa{};
    ifa.ifa_family = static_cast<unsigned char>(Address.family);
    Request req(RTM_GETADDR, NLM_F_REQUEST | NLM_F_DUMP, &ifa, sizeof ifa);
    int owner = 0;
    int rc = sock.Transact(req, [&](const nlmsghdr* m) {
        if (owner || m->nlmsg_type != RTM_NEWADDR || m->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
            return;
        auto* a = static_cast<const ifaddrmsg*>(NLMSG_DATA(m));
        if (a->ifa_family != Address.family)
            return;
        // IFA_LOCAL is this end of a point-to-point link; IFA_ADDRESS is then
        // the peer. Without IFA_LOCAL, IFA_ADDRESS is our own.
        IpAddress local, address;
        bool hasLocal = false, hasAddress = false;
        ForEachAttribute(m, sizeof(ifaddrmsg), [&](uint16_t type, const uint8_t* data, size_t len) {
            if (type == IFA_LOCAL)
                hasLocal = CopyAddress(a->ifa_family, data, len, local);
            else if (type == IFA_ADDRESS)
                hasAddress = CopyAddress(a->ifa_family, data, len, address);
        });
        if ((hasLocal && local == Address) || (!hasLocal && hasAddress && address == Address))
            owner = static_cast<int>(a->ifa_index);
    });
    return rc == 0 ? owner : 0;
}

bool IsUsableNeighbour(const NeighbourEntry& Entry)
{
    constexpr uint16_t complete = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT;
    if (!(Entry.state & complete) || Entry.lladdr.empty())
        return false;
    // An all-zero address is what a noarp-like entry carries, not a neighbour.
    for (uint8_t b : Entry.lladdr)
        if (b != 0)
            return true;
    return false;
}

NeighbourLookup LookupNeighbour(int IfIndex, const IpAddress& Address, NeighbourEntry& Entry)
{
    if (IfIndex <= 0 || Address.size() == 0)
        return NeighbourLookup::Error;
    RouteSocket sock;
    if (!sock.Open())
        return NeighbourLookup::Error;
    return QueryNeighbour(sock, IfIndex, Address, Entry, {});
}

NeighbourResult ResolveNeighbour(int IfIndex, const IpAddress& Address, int TimeoutMs,
                                 NeighbourEntry& Entry, int RequeryMs)
{
    if (IfIndex <= 0 || Address.size() == 0)
        return NeighbourResult::Error;
    const long long deadline = MonotonicMs() + (TimeoutMs > 0 ? TimeoutMs : 0);
    if (RequeryMs <= 0)
        RequeryMs = 200;

    // Subscribed before the first look, so that no change between the look
    // and the wait goes unseen.
    RouteSocket sock;
    if (!sock.Open(RTMGRP_NEIGH))
        return NeighbourResult::Error;

    // What a notification told us since the last look at the table.
    bool notified = false;
    NeighbourEntry latest;
    MessageHandler onNotification = [&](const nlmsghdr* m) {
        NeighbourEntry e;
        if (ParseNeighbour(m, IfIndex, Address, e)) {
            notified = true;
            latest = e;
        }
    };

    NeighbourEntry entry;
    NeighbourLookup look = QueryNeighbour(sock, IfIndex, Address, entry, onNotification);
    if (look == NeighbourLookup::Error)
        return NeighbourResult::Error;
    if (look == NeighbourLookup::Found && IsUsableNeighbour(entry)) {
        Entry = entry;
        return NeighbourResult::Resolved;
    }
    if (look == NeighbourLookup::Found && (entry.state & (NUD_NOARP | NUD_PERMANENT))) {
        Entry = entry;
        return NeighbourResult::Failed; // fixed without an address: nothing to resolve
    }
    if (!TriggerNeighbourResolution(Address))
        return NeighbourResult::Error;

    // From here on, a failed or missing entry in the table is the verdict of
    // the resolution our datagram started (it made the entry incomplete before
    // sendto returned). A failed state in a notification may predate the
    // datagram, so it only prompts another look.
    notified = false;
    bool lookNow = true;
    for (;;) {
        if (lookNow) {
            notified = false;
            look = QueryNeighbour(sock, IfIndex, Address, entry, onNotification);
            // The answer is newer than any notification dropped before it.
            // A look that failed (its reply lost to a full queue three
            // times) is made again at the next tick; the resolution goes on.
            sock.TakeOverrun();
            if (look == NeighbourLookup::Found && IsUsableNeighbour(entry)) {
                Entry = entry;
                return NeighbourResult::Resolved;
            }
            if (look == NeighbourLookup::Missing ||
                (look == NeighbourLookup::Found &&
                 (entry.state & (NUD_FAILED | NUD_NOARP | NUD_PERMANENT)))) {
                Entry = look == NeighbourLookup::Found ? entry : NeighbourEntry{};
                return NeighbourResult::Failed;
            }
            lookNow = false;
        }
        if (notified) {
            notified = false;
            if (IsUsableNeighbour(latest)) {
                Entry = latest;
                return NeighbourResult::Resolved;
            }
            if (latest.state == 0 || (latest.state & NUD_FAILED)) {
                lookNow = true;
                continue;
            }
        }
        long long now = MonotonicMs();
        if (now >= deadline)
            return NeighbourResult::TimedOut;
        long long wait = std::min<long long>(deadline - now, RequeryMs);
        WaitResult w = WaitFor(sock.fd(), POLLIN, static_cast<int>(wait));
        if (w == WaitResult::Error)
            return NeighbourResult::Error;
        if (w == WaitResult::Stopped)
            return NeighbourResult::TimedOut; // nobody waits for the answer any more
        if (w == WaitResult::Timeout) {
            lookNow = MonotonicMs() < deadline;
            continue;
        }
        int rc = sock.Receive(onNotification);
        if (rc == ENOBUFS || sock.TakeOverrun())
            lookNow = true; // notifications were dropped: ask the table itself
        else if (rc != 0)
            return NeighbourResult::Error;
    }
}

} // namespace platform
