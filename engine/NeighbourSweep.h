// One neighbour answer per address per scan. When a scan's addresses lie on
// a directly attached network, asking each of them "does anything answer ARP
// here?" once, for the whole scan, costs one give-up time for all silent
// addresses together instead of one per address and per worker. The sweep
// does that in a thread of its own and keeps each verdict; the ARP ways and
// the ping of a worker look it up instead of asking the wire again.
//
// With CAP_NET_RAW the sweep sends its own ARP requests on a packet socket
// per interface, spaced as the ARP method spaces its tries, and takes every
// answer that comes back. A silent address is asked twice, as arp-scan asks,
// or up to as often as the ARP method asks where the answers show frames
// being lost. Its frames start at arp-scan's default bandwidth and follow
// what the answers show of the link, up to ten times that (TSweepRate).
// Without it the sweep asks the kernel at arp-scan's pace: one datagram per
// address, then the kernel's neighbour table, whose verdict on a silent
// address comes after its own probes; those probes are counted against the
// same bandwidth, and no more addresses are asked at once than the table
// has room for (KernelTableRoom). Where the answers show a link that loses
// nothing, the sweep gives up on a silent address once the kernel has asked
// as often as the raw way would have, before the kernel's own verdict; where
// late answers show frames being lost, an address the kernel gave up on is
// asked again, in a new round of the kernel's requests.
//
// Only addresses whose route names a neighbour on an ARP link are swept; the
// others (off-link, own, broadcast, names) are left to the methods as they
// are. Frames go out only on the interface the route names.
#pragma once

#include "engine/NeighbourSweepRate.h"
#include "platform/RawArp.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

enum TSweepVerdict {
    svNotSwept, // the sweep does not cover this address: ask as always
    svPending,  // not decided yet
    svAnswered, // a neighbour answered; the MAC is known
    svNoAnswer, // nothing answered after every try
    svStopped,  // the sweep was ended before it decided
};

// How the sweep paces its frames and how often it tries an address.
struct TSweepPacing {
    // Tries per address at the most, the time between two tries of one
    // address, and the wait for a late answer after the last one: the ARP
    // method's own.
    platform::ArpPacing Tries{6, 50, 100};
    // Tries per address at the least: arp-scan's own default. Between the
    // two the sweep asks a silent address as often as the loss it has seen
    // calls for (SweepTriesNeeded).
    int MinAttempts = 2;
    // The bandwidth the sweep's frames take, on all interfaces together:
    // where it starts and its least, and its most (TSweepRate).
    TSweepRateLimits Rate;
    // Time between two ARP requests at the starting bandwidth (2,000 us by
    // default), the kernel way's pace; and at the most (200 us).
    long long FrameGapUs() const { return FrameTimeUs(Rate.FrameBytes, Rate.StartBitsPerSecond); }
    long long LeastFrameGapUs() const
    {
        return FrameTimeUs(Rate.FrameBytes,
                           std::max(Rate.StartBitsPerSecond, Rate.MostBitsPerSecond));
    }
    // How far the sweep runs ahead of the addresses handed out, and how long
    // it keeps verdicts behind them, in addresses.
    uint64_t Window = 8192;
    // The kernel way: addresses whose verdict is awaited at once at the
    // most (0: as many as the kernel's neighbour table allows,
    // KernelTableRoom), the longest wait for a verdict, and how often the
    // table is read meanwhile. The kernel way keeps the starting pace: the
    // kernel's own requests take its frame slots, its first one for each
    // datagram and each later one while the address is still unresolved.
    int KernelInFlight = 0;
    int KernelVerdictMs = 3500;
    int KernelLookMs = 50;
};

// How often the sweep asks a silent address before it gives up, from what
// the neighbours that did answer showed of the link: Answered of them, Late
// of which answered only after a second try went out. A live host is missed
// when every try to it is lost; with q the estimated chance that one try is
// (half a late answer more than seen, out of one more than answered, so
// that a few answers never pass for a perfect link), the sweep tries until
// q to the number of tries is at most one in ten thousand, within the
// pacing's least and most. On a clean link full of answers that is
// arp-scan's two tries; with few answers, or with lost frames, up to the ARP
// method's six.
int SweepTriesNeeded(uint64_t Answered, uint64_t Late, const TSweepPacing& Pacing);

// How many addresses the kernel way keeps in the kernel's neighbour table at
// once: half its soft limit, past which the kernel starts to evict entries,
// and no more than half the room between that and its hard limit, past
// which it refuses new ones: 256 with the kernel's defaults. The table is
// one for every network namespace of the machine; the rest of it is left to
// them, and a table already at its soft limit still takes the sweep's share
// whole. At least 16; the kernel's defaults where the table's figures could
// not be read (Read false). What the table holds at the moment does not
// count: the kernel evicts failed and old entries to make room, the sweep's
// own of an earlier scan among them.
int KernelTableRoom(bool Read, const platform::NeighbourTableSize& Size);

class TNeighbourSweep {
public:
    // Address Index of the scan's sequence in host order; false when that
    // entry is no address (a name). Count: length of the sequence.
    using TAddressAt = std::function<bool(uint64_t Index, uint32_t& HostOrder)>;

    TNeighbourSweep(TAddressAt AddressAt, uint64_t Count, TSweepPacing Pacing = {});
    ~TNeighbourSweep();
    TNeighbourSweep(const TNeighbourSweep&) = delete;
    TNeighbourSweep& operator=(const TNeighbourSweep&) = delete;

    // Starts the sweep's thread; the way (raw or kernel) is chosen by this
    // thread's CAP_NET_RAW. Raises when no thread can be made.
    void Start();
    // Ends the thread and closes its sockets; every waiter wakes with
    // Stopped for what is still undecided. Idempotent; waits for the thread.
    void Stop();
    // How many addresses of the sequence have been handed out: the sweep
    // keeps its window around this point. Any thread.
    void Handed(uint64_t Count);

    // The verdict as it stands, without waiting.
    TSweepVerdict Peek(uint32_t HostOrder) const;
    // Waits for the verdict on an address; NotSwept at once (after the sweep
    // has looked at every address handed out so far) when it is not covered.
    TSweepVerdict Wait(uint32_t HostOrder, std::string& Mac);
    // The same, waiting at most TimeoutMs: Pending when the time ran out.
    TSweepVerdict Wait(uint32_t HostOrder, std::string& Mac, int TimeoutMs);
    // Waits for the verdict at most TimeoutMs from the later of this call
    // and the sweep's first frame to the address: how long an echo would
    // have had for its neighbour to answer, had it asked itself. Pending
    // when that time ran out; NotSwept when the address was not looked at
    // within TimeoutMs. LeftMs: what remains of the time at the verdict.
    TSweepVerdict WaitFromFirstFrame(uint32_t HostOrder, std::string& Mac, int TimeoutMs,
                                     int& LeftMs);

    bool RawWay() const { return FRaw; }
    bool Running() const;
    // Frames (raw) or datagrams (kernel) sent so far.
    uint64_t Sent() const;
    // The raw way's pace (TSweepRate): the highest set so far, the highest
    // at which frames went out over an interval, and its falls back.
    long long PeakBitsPerSecond() const;
    long long PeakUsedBitsPerSecond() const;
    int FallBacks() const;
    // True once, with the number of addresses asked at a time, after the
    // kernel way held addresses back because the kernel's neighbour table
    // had no room for more (KernelTableRoom). Any thread.
    bool TakeTableNote(int& InFlight);

private:
    struct TRecord {
        uint64_t Index = 0;
        TSweepVerdict Verdict = svPending;
        platform::MacBytes Mac{};
        int Waiters = 0;            // workers waiting for this verdict
        long long FirstFrameUs = 0; // when the first frame (or datagram) left
    };
    struct TLink {
        int IfIndex = 0;
        bool Resolving = false; // an ARP link: the route's neighbours are asked
        platform::MacBytes SourceMac{};
        platform::ArpSweepSocket Socket;
        platform::NeighbourProbing Probing; // the kernel way's requests
        // What the kernel's table held when the sweep came to the link.
        std::unordered_map<uint32_t, platform::NeighbourEntry> Table;
    };
    struct TTry {
        uint32_t Address = 0;
        size_t Link = 0;
        platform::IpAddress Source; // the address the route would send from
        int Sent = 0;
        long long DueUs = 0;
    };

    void Execute();
    void ExecuteRaw();
    void ExecuteKernel();
    // Looks at the next addresses of the sequence; false when none is left
    // within the window.
    bool Classify(int Budget);
    size_t LinkFor(int IfIndex, const platform::IpAddress& Address);
    // True when this decided the address (it was pending).
    bool Decide(uint32_t HostOrder, TSweepVerdict Verdict, const platform::MacBytes* Mac);
    void FirstFrameSent(uint32_t HostOrder, long long Us);
    void Evict();
    void Checkable(const TTry& Neighbour);
    bool Stopping() const;
    void WakeAll();
    void WaitForWork(long long UntilUs, const std::vector<int>& Fds);

    const TAddressAt FAddressAt;
    const uint64_t FCount;
    const TSweepPacing FPacing;
    bool FRaw = false;

    mutable std::mutex FLock;
    // Workers wait for verdicts on one of a few conditions chosen by
    // address, so that a verdict wakes only those that may want it.
    static constexpr size_t VerdictConditions = 64;
    std::condition_variable FVerdict[VerdictConditions];
    int FClassifyWaiters = 0; // workers waiting for the sweep to come to an address
    std::unordered_map<uint32_t, TRecord> FRecords;
    uint64_t FClassified = 0; // addresses of the sequence looked at
    uint64_t FHanded = 0;
    bool FStopped = false;
    bool FFinished = false;
    uint64_t FSent = 0;
    long long FPeakBits = 0;
    long long FPeakUsedBits = 0;
    int FFallBacks = 0;
    int FTableBound = 0; // addresses at a time, once the table bounded the sweep
    bool FTableNoted = false;

    // The sweep thread's own.
    std::thread FThread;
    int FWake = -1; // eventfd that ends a wait of the thread
    std::vector<std::unique_ptr<TLink>> FLinks;
    std::deque<TTry> FFresh;   // on-link, no try yet
    std::deque<TTry> FRetries; // by due time
    // Neighbours known to answer (they did, or the kernel's table knew
    // them), newest last: what a check of the link asks (TSweepRate).
    std::deque<TTry> FCheckable;
    // After the last try: the give-up time (DueUs), earliest first.
    struct TLaterGiveUp {
        bool operator()(const TTry& A, const TTry& B) const { return A.DueUs > B.DueUs; }
    };
    std::priority_queue<TTry, std::vector<TTry>, TLaterGiveUp> FLast;
    std::deque<std::pair<uint64_t, uint32_t>> FOrder; // for eviction
};

// The sweep of the scan the calling thread works for, or null.
TNeighbourSweep* CurrentNeighbourSweep();

// What the ARP ways take from the current sweep for an IPv4 address: true
// once the sweep has decided it (MAC then holds the answer, or is empty),
// false when there is no sweep or it does not cover the address.
bool SweepAnswer(const platform::IpAddress& Address, std::string& MAC);

// For an echo to an IPv4 address (host order) within TimeoutMs: true when
// the current sweep has given up on it, or has still heard nothing of it
// TimeoutMs after its first frame to it: no frame can reach it, so no echo
// can be answered. The time spent before the sweep came to the address is
// its own pacing, not the host's silence, and is not counted. When the sweep
// heard the neighbour, TimeoutMs is left with what remains of it.
bool SweepGaveUp(uint32_t HostOrder, int& TimeoutMs);

// Makes Sweep the calling thread's sweep while it lives.
class TNeighbourSweepScope {
public:
    explicit TNeighbourSweepScope(TNeighbourSweep* Sweep);
    ~TNeighbourSweepScope();
    TNeighbourSweepScope(const TNeighbourSweepScope&) = delete;
    TNeighbourSweepScope& operator=(const TNeighbourSweepScope&) = delete;

private:
    TNeighbourSweep* FPrevious;
};
