// A neighbour sweep of a run of addresses on its own, as the calling process
// may (raw or kernel way), and the ARP requests it put on the wire, seen by
// a tap on the interface: what the sweep lan tests hold its verdicts and
// its frames against. Host numbers count from 1 at the first address.
#pragma once

#include "engine/NeighbourSweep.h"
#include "platform/Sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <map>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace sweeptest {

struct TSwept {
    std::map<int, std::string> Verdict; // host number -> MAC, "none" or "other"
    bool Raw = false;
    uint64_t Sent = 0; // frames or datagrams
    long long PeakBits = 0;
    long long PeakUsedBits = 0;
    int FallBacks = 0;
};

// Sweeps Count addresses from First (host order), handed out as a pool of
// Workers would: the sweep runs ahead of them by its window, and keeps no
// verdict far behind them.
inline TSwept Sweep(uint32_t First, int Count, const TSweepPacing& Pacing = {}, int Workers = 64)
{
    TNeighbourSweep sweep(
        [First](uint64_t Index, uint32_t& HostOrder) {
            HostOrder = First + static_cast<uint32_t>(Index);
            return true;
        },
        static_cast<uint64_t>(Count), Pacing);
    sweep.Start();
    TSwept out;
    for (int n = 1; n <= Count; ++n) {
        sweep.Handed(static_cast<uint64_t>(std::min(Count, n - 1 + Workers)));
        std::string mac;
        const TSweepVerdict v = sweep.Wait(First + static_cast<uint32_t>(n - 1), mac);
        out.Verdict[n] = v == svAnswered ? mac : v == svNoAnswer ? "none" : "other";
    }
    out.Raw = sweep.RawWay();
    out.Sent = sweep.Sent();
    sweep.Stop();
    out.PeakBits = sweep.PeakBitsPerSecond();
    out.PeakUsedBits = sweep.PeakUsedBitsPerSecond();
    out.FallBacks = sweep.FallBacks();
    return out;
}

struct TWire : TSwept {
    std::string Failed;            // why nothing could be counted
    std::map<int, int> Asked;      // host number -> requests
    std::vector<long long> Stamps; // when each request left, us
    size_t Requests = 0;
};

// The same sweep, with every ARP request that leaves interface Dev counted.
inline TWire SweepAndTap(uint32_t First, int Count, const char* Dev = "eth0")
{
    TWire w;
    // Outgoing frames reach only taps for every protocol, each stamped by
    // the kernel as it leaves.
    platform::Socket tap(
        ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL)));
    if (!tap.valid()) {
        w.Failed = "no tap";
        return w;
    }
    const int on = 1;
    ::setsockopt(tap.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // Room for every frame of the sweep until they are read.
    const int room = 64 << 20;
    ::setsockopt(tap.get(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(::if_nametoindex(Dev));
    if (::bind(tap.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        w.Failed = "tap not bound";
        return w;
    }
    static_cast<TSwept&>(w) = Sweep(First, Count);
    for (;;) {
        uint8_t frame[64];
        alignas(cmsghdr) char control[64];
        sockaddr_ll from{};
        iovec io{frame, sizeof frame};
        msghdr m{};
        m.msg_name = &from;
        m.msg_namelen = sizeof from;
        m.msg_iov = &io;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(tap.get(), &m, 0);
        if (n < 0)
            break;
        // An outgoing request for IPv4: operation 1, target address last.
        if (from.sll_pkttype != PACKET_OUTGOING || from.sll_protocol != htons(ETH_P_ARP) ||
            n < 28 || frame[6] != 0 || frame[7] != 1)
            continue;
        uint32_t target;
        std::memcpy(&target, frame + 24, 4);
        ++w.Asked[static_cast<int>(ntohl(target) - First) + 1];
        ++w.Requests;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec t;
                std::memcpy(&t, CMSG_DATA(c), sizeof t);
                w.Stamps.push_back(t.tv_sec * 1000000LL + t.tv_nsec / 1000);
            }
    }
    return w;
}

// True when no run of Run requests went out faster than the cap allows: a
// frame waits for its slot, and slots missed by a late wake-up are made up
// for at once, at most a millisecond's worth (five at the cap), so any run
// spans at least six slots fewer than its length; two more are left for
// sends stamped late.
inline bool NeverAboveTheCap(const TWire& W, size_t Run = 64)
{
    const long long gap = TSweepPacing{}.LeastFrameGapUs();
    for (size_t i = 0; i + Run <= W.Stamps.size(); ++i)
        if (W.Stamps[i + Run - 1] - W.Stamps[i] < static_cast<long long>(Run - 8) * gap)
            return false;
    return true;
}

} // namespace sweeptest
