#include "engine/NeighbourSweep.h"

#include "engine/NeighbourPath.h"
#include "platform/Netlink.h"
#include "platform/Sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <linux/neighbour.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace {

thread_local TNeighbourSweep* CurrentSweep = nullptr;

long long NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

platform::IpAddress FromHostOrder(uint32_t HostOrder)
{
    platform::IpAddress a;
    a.family = AF_INET;
    const uint32_t net = htonl(HostOrder);
    std::memcpy(a.bytes.data(), &net, 4);
    return a;
}

uint32_t ToHostOrder(const platform::IpAddress& Address)
{
    uint32_t net;
    std::memcpy(&net, Address.bytes.data(), 4);
    return ntohl(net);
}

// What the kernel's table already says of a neighbour, as the neighbour way
// would take it: a usable entry is the answer, a fixed entry without an
// address is a verdict of its own, anything else needs asking.
TSweepVerdict TableVerdict(const platform::NeighbourEntry& Entry)
{
    if (platform::IsUsableNeighbour(Entry))
        return svAnswered;
    if (Entry.state & (NUD_NOARP | NUD_PERMANENT))
        return svNoAnswer;
    return svPending;
}

// The sweep's frames to the few addresses still undecided come in a burst
// after the first round; a small queue of fresh addresses keeps them
// interleaved with new ones rather than waiting behind all of them.
constexpr size_t FreshQueue = 64;
// Neighbours kept to check the link with, the newest that answered.
constexpr size_t CheckableNeighbours = 4;
// How often a worker waiting for an address the sweep has not come to looks
// whether it ever will.
constexpr std::chrono::milliseconds ClassifyLook{20};
// Each address takes a route lookup; a small batch keeps them from holding
// up a frame at the fastest pace (0.2 ms).
constexpr int ClassifyBatch = 8;

// The sweep tries an address as often, and as far apart, as the ARP method.
static_assert(TSweepPacing{}.Tries.Attempts == SendArpPacing.Attempts &&
              TSweepPacing{}.Tries.IntervalMs == SendArpPacing.IntervalMs &&
              TSweepPacing{}.Tries.LastWaitMs == SendArpPacing.LastWaitMs);

// A try may be lost on its way out or its answer on the way back; one in
// ten thousand is the most a live host may be missed with.
constexpr double MissedHostTarget = 1e-4;

// Takes the frame slot due at NextSlot for a frame sent at Now. Slots missed
// by a late wake-up (a busy machine) are made up for at once, but no more
// than a millisecond's worth, and never more than one: the average pace
// holds, and no run of frames goes out faster than the pace allows but for
// that millisecond's worth (five frames at the fastest pace).
constexpr long long MakeUpUs = 1000;

void TakeSlot(long long& NextSlot, long long Now, long long GapUs)
{
    NextSlot = std::max(NextSlot + GapUs, Now - std::max(GapUs, MakeUpUs));
}

} // namespace

TNeighbourSweep::TNeighbourSweep(TAddressAt AddressAt, uint64_t Count, TSweepPacing Pacing)
    : FAddressAt(std::move(AddressAt)), FCount(Count), FPacing(Pacing)
{
}

TNeighbourSweep::~TNeighbourSweep()
{
    Stop();
}

void TNeighbourSweep::Start()
{
    if (FThread.joinable())
        return;
    FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWake < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    FRaw = platform::RawArpAvailable();
    try {
        FThread = std::thread([this] { Execute(); });
    } catch (...) {
        ::close(FWake);
        FWake = -1;
        throw;
    }
}

void TNeighbourSweep::Stop()
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        FStopped = true;
    }
    WakeAll();
    if (FWake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(FWake, &one, sizeof one);
    }
    if (FThread.joinable())
        FThread.join();
    if (FWake >= 0) {
        ::close(FWake);
        FWake = -1;
    }
}

void TNeighbourSweep::Handed(uint64_t Count)
{
    bool wake;
    {
        std::lock_guard<std::mutex> lock(FLock);
        // Only a sweep that waits at the end of its window needs waking.
        wake = !FFinished && FClassified < FCount && FClassified >= FHanded + FPacing.Window;
        FHanded = std::max(FHanded, Count);
    }
    if (wake && FWake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(FWake, &one, sizeof one);
    }
}

TSweepVerdict TNeighbourSweep::Peek(uint32_t HostOrder) const
{
    std::lock_guard<std::mutex> lock(FLock);
    auto it = FRecords.find(HostOrder);
    if (it == FRecords.end())
        return svNotSwept;
    if (it->second.Verdict == svPending && FStopped)
        return svStopped;
    return it->second.Verdict;
}

TSweepVerdict TNeighbourSweep::Wait(uint32_t HostOrder, std::string& Mac)
{
    return Wait(HostOrder, Mac, -1);
}

TSweepVerdict TNeighbourSweep::Wait(uint32_t HostOrder, std::string& Mac, int TimeoutMs)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs < 0 ? 0 : TimeoutMs);
    auto wait = [&](std::condition_variable& c, std::unique_lock<std::mutex>& l) {
        if (TimeoutMs < 0) {
            c.wait(l);
            return true;
        }
        return c.wait_until(l, deadline) == std::cv_status::no_timeout ||
               std::chrono::steady_clock::now() < deadline;
    };
    std::unique_lock<std::mutex> lock(FLock);
    const uint64_t handed = std::min(FHanded, FCount);
    for (;;) {
        auto it = FRecords.find(HostOrder);
        if (it != FRecords.end()) {
            TRecord& r = it->second;
            if (r.Verdict == svAnswered)
                Mac = MacBytesToText(r.Mac.data());
            if (r.Verdict != svPending)
                return r.Verdict;
            if (FStopped)
                return svStopped;
            ++r.Waiters;
            const bool inTime = wait(FVerdict[HostOrder % VerdictConditions], lock);
            // The record may have gone meanwhile (the sweep ended on an
            // error): look it up again.
            auto again = FRecords.find(HostOrder);
            if (again != FRecords.end())
                --again->second.Waiters;
            if (!inTime && again != FRecords.end() && again->second.Verdict == svPending)
                return svPending;
            continue;
        }
        if (FClassified >= handed || FStopped || FFinished)
            return svNotSwept;
        // Woken when the sweep comes to this address. One that is not in the
        // sequence at all (a name's address) is never come to: it looks
        // again now and then until every address handed out was looked at.
        ++FClassifyWaiters;
        auto until = std::chrono::steady_clock::now() + ClassifyLook;
        if (TimeoutMs >= 0)
            until = std::min(until, deadline);
        FVerdict[HostOrder % VerdictConditions].wait_until(lock, until);
        --FClassifyWaiters;
        if (TimeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline &&
            FRecords.find(HostOrder) == FRecords.end())
            return svNotSwept;
    }
}

TSweepVerdict TNeighbourSweep::WaitFromFirstFrame(uint32_t HostOrder, std::string& Mac,
                                                  int TimeoutMs, int& LeftMs)
{
    using Clock = std::chrono::steady_clock;
    const long long timeoutUs = std::max(0, TimeoutMs) * 1000LL;
    const long long startUs = NowUs();
    auto at = [](long long Us) { return Clock::time_point(std::chrono::microseconds(Us)); };
    LeftMs = std::max(0, TimeoutMs);
    std::unique_lock<std::mutex> lock(FLock);
    const uint64_t handed = std::min(FHanded, FCount);
    for (;;) {
        auto it = FRecords.find(HostOrder);
        if (it != FRecords.end()) {
            TRecord& r = it->second;
            // The echo's time runs from when a frame could first reach the
            // neighbour.
            const long long fromUs = std::max(startUs, r.FirstFrameUs);
            if (r.Verdict == svAnswered) {
                Mac = MacBytesToText(r.Mac.data());
                LeftMs = static_cast<int>(std::max(0LL, timeoutUs - (NowUs() - fromUs)) / 1000);
            }
            if (r.Verdict != svPending)
                return r.Verdict;
            if (FStopped)
                return svStopped;
            const bool asked = r.FirstFrameUs != 0;
            if (asked && NowUs() >= fromUs + timeoutUs)
                return svPending;
            ++r.Waiters;
            // Woken by the verdict, or by the first frame that starts the
            // clock.
            auto& c = FVerdict[HostOrder % VerdictConditions];
            if (asked)
                c.wait_until(lock, at(fromUs + timeoutUs));
            else
                c.wait(lock);
            auto again = FRecords.find(HostOrder);
            if (again != FRecords.end())
                --again->second.Waiters;
            continue;
        }
        if (FClassified >= handed || FStopped || FFinished)
            return svNotSwept;
        if (NowUs() >= startUs + timeoutUs)
            return svNotSwept;
        ++FClassifyWaiters;
        FVerdict[HostOrder % VerdictConditions].wait_until(
            lock, std::min(at(startUs + timeoutUs), Clock::now() + ClassifyLook));
        --FClassifyWaiters;
    }
}

void TNeighbourSweep::FirstFrameSent(uint32_t HostOrder, long long Us)
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        auto it = FRecords.find(HostOrder);
        if (it == FRecords.end() || it->second.FirstFrameUs != 0)
            return;
        it->second.FirstFrameUs = std::max(1LL, Us);
        if (it->second.Waiters == 0)
            return;
    }
    FVerdict[HostOrder % VerdictConditions].notify_all();
}

void TNeighbourSweep::WakeAll()
{
    for (auto& c : FVerdict)
        c.notify_all();
}

bool TNeighbourSweep::Running() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FThread.joinable() && !FFinished && !FStopped;
}

uint64_t TNeighbourSweep::Sent() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FSent;
}

long long TNeighbourSweep::PeakBitsPerSecond() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FPeakBits;
}

long long TNeighbourSweep::PeakUsedBitsPerSecond() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FPeakUsedBits;
}

int TNeighbourSweep::FallBacks() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FFallBacks;
}

bool TNeighbourSweep::TakeTableNote(int& InFlight)
{
    std::lock_guard<std::mutex> lock(FLock);
    if (FTableBound == 0 || FTableNoted)
        return false;
    FTableNoted = true;
    InFlight = FTableBound;
    return true;
}

int KernelTableRoom(bool Read, const platform::NeighbourTableSize& Size)
{
    // The kernel's defaults: soft limit 512, hard limit 1,024 entries.
    platform::NeighbourTableSize table{128, 512, 1024, 0};
    if (Read)
        table = Size;
    const long long room =
        std::min<long long>(table.Thresh2, static_cast<long long>(table.Thresh3) - table.Thresh2);
    return static_cast<int>(std::clamp<long long>(room / 2, 16, 1 << 20));
}

bool TNeighbourSweep::Stopping() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FStopped;
}

bool TNeighbourSweep::Decide(uint32_t HostOrder, TSweepVerdict Verdict,
                             const platform::MacBytes* Mac)
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        auto it = FRecords.find(HostOrder);
        if (it == FRecords.end() || it->second.Verdict != svPending)
            return false;
        it->second.Verdict = Verdict;
        if (Mac)
            it->second.Mac = *Mac;
        if (it->second.Waiters == 0)
            return true;
    }
    FVerdict[HostOrder % VerdictConditions].notify_all();
    return true;
}

void TNeighbourSweep::Evict()
{
    // Caller holds FLock. Verdicts far behind the addresses handed out are
    // no longer asked for; a worker that still asks is answered "not swept"
    // and asks the wire itself.
    while (!FOrder.empty() && FOrder.front().first + FPacing.Window < FHanded) {
        auto it = FRecords.find(FOrder.front().second);
        if (it != FRecords.end() && it->second.Index == FOrder.front().first) {
            if (it->second.Verdict == svPending)
                break;
            FRecords.erase(it);
        }
        FOrder.pop_front();
    }
}

size_t TNeighbourSweep::LinkFor(int IfIndex, const platform::IpAddress& Address)
{
    for (size_t i = 0; i < FLinks.size(); ++i)
        if (FLinks[i]->IfIndex == IfIndex)
            return i;
    // The first neighbour of a link tells, as the ARP ways would, whether the
    // link resolves by ARP and which MAC speaks for us on it.
    auto link = std::make_unique<TLink>();
    link->IfIndex = IfIndex;
    const TNeighbourPath path = FindNeighbourPath(Address);
    link->Resolving = path.kind == TNeighbourPath::OnLink && path.IfIndex == IfIndex;
    if (link->Resolving) {
        std::memcpy(link->SourceMac.data(), path.SourceMac, 6);
        platform::DumpNeighbours(
            IfIndex, AF_INET, [&](const platform::IpAddress& A, const platform::NeighbourEntry& E) {
                link->Table[ToHostOrder(A)] = E;
            });
        if (FRaw)
            link->Socket.Open(IfIndex);
        else
            link->Probing = platform::KernelNeighbourProbing(IfIndex);
    }
    FLinks.push_back(std::move(link));
    return FLinks.size() - 1;
}

bool TNeighbourSweep::Classify(int Budget)
{
    for (; Budget > 0; --Budget) {
        uint64_t index;
        {
            std::lock_guard<std::mutex> lock(FLock);
            index = FClassified;
            if (index >= FCount || index >= FHanded + FPacing.Window)
                return false;
        }
        uint32_t hostOrder = 0;
        bool onLink = false;
        TSweepVerdict verdict = svPending;
        platform::MacBytes mac{};
        size_t linkIndex = 0;
        platform::IpAddress source;
        source.family = AF_INET;
        platform::RouteInfo route;
        const bool isAddress = FAddressAt(index, hostOrder);
        if (isAddress && platform::LookupRoute(FromHostOrder(hostOrder), route) &&
            route.kind == platform::RouteKind::OnLink) {
            linkIndex = LinkFor(route.ifindex, FromHostOrder(hostOrder));
            TLink& link = *FLinks[linkIndex];
            // A link without ARP, or whose packet socket the system refused,
            // is left to the methods, which will find the same.
            onLink = link.Resolving && (!FRaw || link.Socket.IsOpen());
            if (onLink) {
                if (route.hasPrefSrc && route.prefSrc.family == AF_INET)
                    source = route.prefSrc;
                auto known = link.Table.find(hostOrder);
                if (known != link.Table.end()) {
                    verdict = TableVerdict(known->second);
                    if (verdict == svAnswered)
                        std::memcpy(mac.data(), known->second.lladdr.data(), 6);
                }
            }
        }
        bool fresh = false, wake = false;
        {
            std::lock_guard<std::mutex> lock(FLock);
            FClassified = index + 1;
            if (isAddress) {
                // An address the sweep does not cover gets its verdict too,
                // so that a worker waiting for it learns so at once.
                auto [it, added] = FRecords.try_emplace(hostOrder);
                it->second.Index = index;
                if (added) {
                    it->second.Verdict = onLink ? verdict : svNotSwept;
                    it->second.Mac = mac;
                    fresh = onLink && verdict == svPending;
                }
                FOrder.emplace_back(index, hostOrder);
                wake = FClassifyWaiters > 0;
            }
            Evict();
        }
        if (fresh)
            FFresh.push_back({hostOrder, linkIndex, source, 0, 0});
        // A neighbour the kernel's table knows may be asked to check the link.
        if (onLink && verdict == svAnswered)
            Checkable({hostOrder, linkIndex, source, 0, 0});
        // Only the workers that may wait for this address.
        if (wake)
            FVerdict[hostOrder % VerdictConditions].notify_all();
    }
    return true;
}

void TNeighbourSweep::Checkable(const TTry& Neighbour)
{
    FCheckable.push_back(Neighbour);
    if (FCheckable.size() > CheckableNeighbours)
        FCheckable.pop_front();
}

void TNeighbourSweep::WaitForWork(long long UntilUs, const std::vector<int>& Fds)
{
    std::vector<pollfd> fds;
    fds.push_back({FWake, POLLIN, 0});
    for (int fd : Fds)
        fds.push_back({fd, POLLIN, 0});
    const long long left = std::max(0LL, UntilUs - NowUs());
    timespec timeout{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
    if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) > 0 && (fds[0].revents & POLLIN)) {
        uint64_t n;
        [[maybe_unused]] ssize_t got = ::read(FWake, &n, sizeof n);
    }
}

void TNeighbourSweep::Execute()
{
    try {
        if (FRaw)
            ExecuteRaw();
        else
            ExecuteKernel();
    } catch (...) {
        // Nothing a worker could do better: what is undecided is left to the
        // methods below.
    }
    for (auto& link : FLinks)
        link->Socket.Close();
    {
        std::lock_guard<std::mutex> lock(FLock);
        for (auto it = FRecords.begin(); it != FRecords.end();) {
            if (it->second.Verdict == svPending && !FStopped)
                it = FRecords.erase(it);
            else
                ++it;
        }
        FFinished = true;
    }
    WakeAll();
}

int SweepTriesNeeded(uint64_t Answered, uint64_t Late, const TSweepPacing& Pacing)
{
    const int most = std::max(1, Pacing.Tries.Attempts);
    const int least = std::clamp(Pacing.MinAttempts, 1, most);
    const double lost =
        std::min(1.0, (static_cast<double>(Late) + 0.5) / static_cast<double>(Answered + 1));
    int tries = least;
    double missed = std::pow(lost, tries);
    while (tries < most && missed > MissedHostTarget) {
        ++tries;
        missed *= lost;
    }
    return tries;
}

void TNeighbourSweep::ExecuteRaw()
{
    // The frames are 0.2 to 2 ms apart; the default slack of a sleeping
    // thread's timer (50 us) would stretch the sweep by up to a quarter for
    // nothing.
    ::prctl(PR_SET_TIMERSLACK, 5000UL, 0, 0, 0);
    const platform::ArpPacing& tries = FPacing.Tries;
    const int attempts = std::max(1, tries.Attempts);
    const long long intervalUs = std::max(0, tries.IntervalMs) * 1000LL;
    const long long lastWaitUs = std::max(0, tries.LastWaitMs) * 1000LL;
    // The pace follows the answers (TSweepRate), judged once per interval
    // between two tries of an address: the time in which a lost frame shows.
    TSweepRateLimits limits = FPacing.Rate;
    limits.EpochUs = std::max(1LL, intervalUs);
    TSweepRate rate(limits);
    size_t inFlight = 0;
    long long nextSlot = NowUs();
    bool more = true;
    std::vector<int> fds;
    // Tries sent to each address still undecided and when the first went,
    // and what the answers so far showed of the link (SweepTriesNeeded).
    struct TAsked {
        int Tries = 0;
        long long FirstUs = 0;
        size_t Link = 0;
        platform::IpAddress Source;
    };
    std::unordered_map<uint32_t, TAsked> asked;
    uint64_t answered = 0, late = 0;
    TTry checked;
    auto publish = [&] {
        std::lock_guard<std::mutex> lock(FLock);
        FPeakBits = rate.PeakBitsPerSecond();
        FPeakUsedBits = rate.PeakUsedBitsPerSecond();
        FFallBacks = rate.FallBacks();
    };
    while (!Stopping()) {
        bool behind;
        {
            std::lock_guard<std::mutex> lock(FLock);
            behind = FClassified < std::min(FHanded, FCount);
        }
        if (FFresh.size() < FreshQueue || behind)
            more = Classify(ClassifyBatch);
        // The answers first: one read only after a give-up was decided would
        // count for nothing, one read only after the next try went out as
        // late (a busy machine may leave the thread asleep past both).
        fds.clear();
        for (size_t l = 0; l < FLinks.size(); ++l) {
            TLink& link = *FLinks[l];
            if (!link.Socket.IsOpen())
                continue;
            link.Socket.Drain(
                [&](const platform::IpAddress& Sender, const platform::MacBytes& Mac) {
                    const uint32_t from = ToHostOrder(Sender);
                    const long long at = NowUs();
                    if (rate.CheckOutstanding() && from == checked.Address && l == checked.Link)
                        rate.CheckAnswered(at);
                    if (!Decide(from, svAnswered, &Mac))
                        return;
                    const auto sent = asked.find(from);
                    if (sent == asked.end())
                        return;
                    // An answer heard only after a later try went out: that try's
                    // predecessors, or their answers, were lost (or the neighbour
                    // is slow, which calls for more tries too).
                    const bool wasLate = sent->second.Tries >= 2;
                    ++answered;
                    late += wasLate;
                    rate.Answered(at, sent->second.FirstUs, wasLate);
                    Checkable({from, sent->second.Link, sent->second.Source, 0, 0});
                });
            fds.push_back(link.Socket.fd());
        }
        long long now = NowUs();
        rate.Advance(now);
        const long long gapUs = std::max(1LL, rate.GapUs());
        // An address's next try goes out when its own wait is over, before
        // any new address: its verdict, and a worker's ping waiting on it,
        // are then as quick as the ARP method's own. New addresses fill the
        // slots the retries leave, so the link stays busy until the last
        // tries; at most this many addresses are undecided at once, twice
        // what one interval between two tries needs at the pace now.
        const size_t inFlightMax = static_cast<size_t>(std::max(1LL, 2 * intervalUs / gapUs));
        // A retry that is due for an address the link no longer calls for
        // another try of becomes a give-up, timed from its last try. Those
        // answered meanwhile leave the queue here too.
        while (!FRetries.empty() && FRetries.front().DueUs <= now) {
            const TTry& t = FRetries.front();
            if (Peek(t.Address) != svPending) {
                asked.erase(t.Address);
                --inFlight;
            } else if (t.Sent >= SweepTriesNeeded(answered, late, FPacing)) {
                TTry last = t;
                last.DueUs = t.DueUs - intervalUs + lastWaitUs;
                FLast.push(last);
            } else {
                break;
            }
            FRetries.pop_front();
        }
        while (!FLast.empty() && FLast.top().DueUs <= now) {
            TTry t = FLast.top();
            FLast.pop();
            // Early in a sweep few answers have been heard; what came in
            // since the last try may show a lossy link that calls for more.
            if (t.Sent < attempts && Peek(t.Address) == svPending &&
                t.Sent < SweepTriesNeeded(answered, late, FPacing)) {
                t.DueUs = now;
                auto at = std::find_if(FRetries.begin(), FRetries.end(),
                                       [now](const TTry& R) { return R.DueUs > now; });
                FRetries.insert(at, t);
                continue;
            }
            Decide(t.Address, svNoAnswer, nullptr);
            asked.erase(t.Address);
            --inFlight;
        }
        if (now >= nextSlot) {
            TTry t;
            bool have = false, check = false;
            if (!FRetries.empty() && FRetries.front().DueUs <= now) {
                t = FRetries.front();
                FRetries.pop_front();
                have = true;
            } else if (!FCheckable.empty() && rate.CheckDue(now)) {
                // Half an interval without an answer on time: ask a neighbour
                // that answered before whether the link still answers.
                t = FCheckable.back();
                FCheckable.pop_back();
                FCheckable.push_front(t);
                have = check = true;
            } else if (!FFresh.empty() && inFlight < inFlightMax) {
                t = FFresh.front();
                FFresh.pop_front();
                have = Peek(t.Address) == svPending;
                inFlight += have;
            }
            if (have) {
                TLink& link = *FLinks[t.Link];
                if (link.Socket.Send(link.SourceMac, t.Source, FromHostOrder(t.Address))) {
                    std::lock_guard<std::mutex> lock(FLock);
                    ++FSent;
                } else {
                    rate.Refused(now);
                }
                rate.Sent(now);
                if (check) {
                    rate.CheckSent(now);
                    checked = t;
                } else {
                    TAsked& a = asked[t.Address];
                    if (t.Sent == 0) {
                        FirstFrameSent(t.Address, now);
                        a.FirstUs = now;
                        a.Link = t.Link;
                        a.Source = t.Source;
                    }
                    ++t.Sent;
                    a.Tries = t.Sent;
                    if (t.Sent >= attempts) {
                        TTry last = t;
                        last.DueUs = now + lastWaitUs;
                        FLast.push(last);
                    } else {
                        t.DueUs = now + intervalUs;
                        FRetries.push_back(t);
                    }
                }
                TakeSlot(nextSlot, now, std::max(1LL, rate.GapUs()));
            }
        }
        publish();
        if (!more && FFresh.empty() && FRetries.empty() && FLast.empty()) {
            std::lock_guard<std::mutex> lock(FLock);
            if (FClassified >= FCount)
                return;
        }
        // Sleep until the next thing to do: a frame, a retry, a give-up, or
        // more addresses (the window moves with the pool's hand-outs). A
        // check goes out in a frame's slot.
        long long until = now + 1000000;
        if (!FFresh.empty() && inFlight < inFlightMax)
            until = std::min(until, nextSlot);
        // A retry not due yet is woken for at its time, to be sent or given
        // up; one that is due and still wanted waits for its slot.
        if (!FRetries.empty())
            until = std::min(until, FRetries.front().DueUs > now
                                        ? FRetries.front().DueUs
                                        : std::max(nextSlot, FRetries.front().DueUs));
        if (!FLast.empty())
            until = std::min(until, FLast.top().DueUs);
        if (more && FFresh.size() < FreshQueue)
            until = now;
        WaitForWork(until, fds);
    }
}

void TNeighbourSweep::ExecuteKernel()
{
    struct TWatch {
        uint32_t Address;
        size_t Link;
        long long DeadlineUs;
        long long SentUs;
        int Requests;         // the kernel's requests for it counted so far
        bool Decided = false; // given up before the kernel: still probing
        int Earlier = 0;      // the requests of the kernel's earlier rounds
    };
    std::deque<TWatch> watched;
    std::deque<TWatch> again; // to be asked in a new round, first in line
    // What the answers so far showed of the link (SweepTriesNeeded): an
    // answer heard only after the kernel's second request is a late one.
    uint64_t answered = 0, late = 0;
    // When each answer to a first request counts, earliest first.
    std::priority_queue<long long, std::vector<long long>, std::greater<long long>> onTime;
    const long long gapUs = std::max(0LL, FPacing.FrameGapUs());
    const long long lookUs = std::max(1, FPacing.KernelLookMs) * 1000LL;
    const long long verdictUs = std::max(0, FPacing.KernelVerdictMs) * 1000LL;
    // The kernel keeps an entry for each address asked until its verdict:
    // no more at once than its table has room for.
    platform::NeighbourTableSize table;
    const bool tableRead = platform::ReadNeighbourTableSize(AF_INET, table);
    const int room = KernelTableRoom(tableRead, table);
    const size_t inFlight = static_cast<size_t>(
        FPacing.KernelInFlight > 0 ? std::min(FPacing.KernelInFlight, room) : room);
    const bool tableBounds = inFlight == static_cast<size_t>(room);
    // The table is the whole machine's: where the kernel refuses an entry
    // (other namespaces filled it), the sweep keeps fewer addresses in flight
    // and asks again when verdicts have made room, one more with each.
    // Refusals that go on for the time of a verdict are taken as final: what
    // is refused then is left to the methods.
    size_t bound = inFlight;
    long long refusedUntil = 0, refusedSince = -1;
    const size_t leastBound = std::min<size_t>(inFlight, 16);
    auto refused = [&](long long Now) {
        if (refusedSince < 0)
            refusedSince = Now;
        refusedUntil = Now + lookUs;
        bound = std::max(leastBound, (watched.size() + again.size()) / 2);
        std::lock_guard<std::mutex> lock(FLock);
        if (FTableBound == 0)
            FTableBound = static_cast<int>(std::max<size_t>(1, watched.size() + again.size()));
    };
    auto given = [&](long long Now) {
        return refusedSince >= 0 && Now - refusedSince >= verdictUs;
    };
    const long long lastWaitUs = std::max(0, FPacing.Tries.LastWaitMs) * 1000LL;
    long long nextSlot = NowUs();
    long long nextLook = nextSlot;
    bool more = true;
    while (!Stopping()) {
        bool behind;
        {
            std::lock_guard<std::mutex> lock(FLock);
            behind = FClassified < std::min(FHanded, FCount);
        }
        if (FFresh.size() < FreshQueue || behind)
            more = Classify(ClassifyBatch);
        long long now = NowUs();
        // The kernel asks again for an address still unresolved after each
        // of its intervals; those requests share the bandwidth with the
        // first ones our datagrams bring about.
        long long nextRequest = now + 1000000;
        for (TWatch& w : watched) {
            const platform::NeighbourProbing& p = FLinks[w.Link]->Probing;
            for (;;) {
                const long long due = w.SentUs + w.Requests * (p.IntervalMs * 1000LL);
                if (w.Requests >= p.Requests)
                    break;
                if (due > now) {
                    nextRequest = std::min(nextRequest, due);
                    break;
                }
                ++w.Requests;
                TakeSlot(nextSlot, now, gapUs);
            }
        }
        while (now >= nextSlot && now >= refusedUntil && !again.empty()) {
            TWatch w = again.front();
            again.pop_front();
            if (Peek(w.Address) != svPending)
                continue;
            if (!platform::TriggerNeighbourResolution(FromHostOrder(w.Address))) {
                if (given(now)) {
                    Decide(w.Address, svNoAnswer, nullptr);
                } else {
                    again.push_front(w);
                    refused(now);
                }
                continue;
            }
            refusedSince = -1;
            w.Earlier += w.Requests;
            w.Requests = 1;
            w.SentUs = now;
            w.DeadlineUs = now + verdictUs;
            watched.push_back(w);
            TakeSlot(nextSlot, now, gapUs);
            std::lock_guard<std::mutex> lock(FLock);
            ++FSent;
        }
        if (tableBounds && now >= nextSlot && !FFresh.empty() &&
            watched.size() + again.size() >= bound) {
            // An address waits only for room in the table: the scan is as
            // fast as the table lets it be, which the log says once.
            std::lock_guard<std::mutex> lock(FLock);
            if (FTableBound == 0)
                FTableBound = static_cast<int>(bound);
        }
        if (now >= nextSlot && now >= refusedUntil && !FFresh.empty() &&
            watched.size() + again.size() < bound) {
            TTry t = FFresh.front();
            FFresh.pop_front();
            if (Peek(t.Address) == svPending) {
                if (platform::TriggerNeighbourResolution(FromHostOrder(t.Address))) {
                    refusedSince = -1;
                    watched.push_back({t.Address, t.Link, now + verdictUs, now, 1, false});
                    FirstFrameSent(t.Address, now);
                    std::lock_guard<std::mutex> lock(FLock);
                    ++FSent;
                } else if (!given(now)) {
                    FFresh.push_front(t);
                    refused(now);
                } else {
                    // The kernel would not even start: left to the methods,
                    // and a worker already waiting is told so.
                    {
                        std::lock_guard<std::mutex> lock(FLock);
                        if (auto it = FRecords.find(t.Address); it != FRecords.end())
                            it->second.Verdict = svNotSwept;
                    }
                    FVerdict[t.Address % VerdictConditions].notify_all();
                }
                TakeSlot(nextSlot, now, gapUs);
            }
        }
        if (!watched.empty() && now >= nextLook) {
            // One read of each link's table decides every address on it whose
            // resolution has ended. Our datagram made its entry incomplete
            // before it was sent, so a failed or vanished entry is the
            // verdict on our request, not an older one.
            std::vector<std::unordered_map<uint32_t, platform::NeighbourEntry>> tables(
                FLinks.size());
            std::vector<bool> read(FLinks.size(), false);
            for (const TWatch& w : watched)
                if (!read[w.Link]) {
                    read[w.Link] = platform::DumpNeighbours(
                        FLinks[w.Link]->IfIndex, AF_INET,
                        [&](const platform::IpAddress& A, const platform::NeighbourEntry& E) {
                            tables[w.Link][ToHostOrder(A)] = E;
                        });
                }
            // The kernel asks a silent address as often as it is set to;
            // where the answers show a link that loses nothing, the sweep
            // gives up once the kernel has asked as often as the raw way
            // would have, and leaves the kernel's later requests to run out
            // (still counted against the bandwidth).
            // An answer to the kernel's first request counts once a late
            // one to a request sent with it could have come: before that,
            // the answers of a lossy link would pass for a clean one's.
            while (!onTime.empty() && onTime.top() <= now) {
                ++answered;
                onTime.pop();
            }
            const int needed = SweepTriesNeeded(answered, late, FPacing);
            std::deque<TWatch> still;
            for (TWatch& w : watched) {
                if (!read[w.Link]) {
                    still.push_back(w);
                    continue;
                }
                const platform::NeighbourProbing& p = FLinks[w.Link]->Probing;
                auto it = tables[w.Link].find(w.Address);
                if (it != tables[w.Link].end() && platform::IsUsableNeighbour(it->second) &&
                    it->second.lladdr.size() == 6) {
                    platform::MacBytes mac;
                    std::memcpy(mac.data(), it->second.lladdr.data(), 6);
                    // One given up on too soon still tells of the link: its
                    // answer came late, after a loss.
                    if (Decide(w.Address, svAnswered, &mac) || w.Decided) {
                        const long long intervalUs = p.IntervalMs * 1000LL;
                        if (w.Earlier > 0 || now - w.SentUs > intervalUs) {
                            ++answered;
                            ++late;
                        } else {
                            onTime.push(w.SentUs + intervalUs + lookUs);
                        }
                    }
                } else if (it != tables[w.Link].end() &&
                           (it->second.state & (NUD_NOARP | NUD_PERMANENT))) {
                    Decide(w.Address, svNoAnswer, nullptr);
                } else if (it == tables[w.Link].end() || (it->second.state & NUD_FAILED) ||
                           now >= w.DeadlineUs) {
                    // The kernel gave up after its requests. Where answers
                    // came late, so that frames are being lost, the address
                    // is asked again, in a new round of the kernel's
                    // requests, until it has been asked as often as the raw
                    // way would ask. Without a late answer the kernel's own
                    // verdict stands, as it would without the sweep.
                    if (w.Decided || late == 0 || w.Earlier + w.Requests >= needed) {
                        Decide(w.Address, svNoAnswer, nullptr);
                        continue;
                    }
                    again.push_back(w);
                } else {
                    if (!w.Decided && w.Earlier == 0 && needed < p.Requests &&
                        now >= w.SentUs + (needed - 1) * (p.IntervalMs * 1000LL) + lastWaitUs) {
                        Decide(w.Address, svNoAnswer, nullptr);
                        w.Decided = true;
                    }
                    still.push_back(w);
                }
            }
            // Each verdict frees an entry: one more may be asked at a time,
            // up to the table's share, after the kernel refused one.
            bound = std::min(inFlight, bound + (watched.size() - still.size()));
            watched.swap(still);
            nextLook = now + lookUs;
        }
        if (!more && FFresh.empty() && watched.empty() && again.empty()) {
            std::lock_guard<std::mutex> lock(FLock);
            if (FClassified >= FCount)
                return;
        }
        long long until = now + 1000000;
        if ((!FFresh.empty() && watched.size() + again.size() < bound) || !again.empty())
            until = std::min(until, std::max(nextSlot, refusedUntil));
        if (!watched.empty())
            until = std::min({until, nextLook, nextRequest});
        if (more && FFresh.size() < FreshQueue)
            until = now;
        WaitForWork(until, {});
    }
}

TNeighbourSweep* CurrentNeighbourSweep()
{
    return CurrentSweep;
}

bool SweepAnswer(const platform::IpAddress& Address, std::string& MAC)
{
    TNeighbourSweep* sweep = CurrentSweep;
    if (!sweep || Address.family != AF_INET)
        return false;
    std::string mac;
    switch (sweep->Wait(ToHostOrder(Address), mac)) {
    case svAnswered:
        MAC = mac;
        return true;
    case svNoAnswer:
    case svStopped:
        MAC.clear();
        return true;
    default:
        return false;
    }
}

bool SweepGaveUp(uint32_t HostOrder, int& TimeoutMs)
{
    TNeighbourSweep* sweep = CurrentSweep;
    if (!sweep)
        return false;
    std::string mac;
    int left = 0;
    const TSweepVerdict v = sweep->WaitFromFirstFrame(HostOrder, mac, std::max(0, TimeoutMs), left);
    if (v == svAnswered)
        TimeoutMs = left;
    return v == svNoAnswer || v == svStopped || v == svPending;
}

TNeighbourSweepScope::TNeighbourSweepScope(TNeighbourSweep* Sweep) : FPrevious(CurrentSweep)
{
    CurrentSweep = Sweep;
}

TNeighbourSweepScope::~TNeighbourSweepScope()
{
    CurrentSweep = FPrevious;
}
