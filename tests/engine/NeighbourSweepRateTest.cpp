// The sweep's pace, driven by simulated links: it never goes above its cap
// or below arp-scan's pace, climbs to the cap on a clean link (a sparse one
// too, by its checks), and falls back at once, by half or more, where
// answers come late or stop while requests still go out.
#include "engine/NeighbourSweepRate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <map>
#include <queue>

namespace {

constexpr long long Floor = 256000;
constexpr long long Cap = 2560000;
constexpr long long EpochUs = 50000;

struct TLinkModel {
    const char* What;
    int LiveEvery;         // one address in this many answers
    double Loss;           // chance that one exchange (request or answer) is lost
    long long CapacityFps; // requests a second the link carries; more are lost (0: any)
    long long StopsAtUs;   // from then on nothing answers (-1: never)
};

struct TRun {
    long long MostBits = 0, LeastBits = Cap;
    long long LeastGapUs = 1LL << 40; // between two requests sent
    int FallBacks = 0;
    int Halvings = 0;     // falls to half or less
    int SmallerFalls = 0; // falls by less than half: never
    int MostChecksInAnEpoch = 0;
    long long ReachedCapUs = -1;
    std::map<long long, long long> Pace; // time -> pace set from then on

    long long PaceAt(long long Us) const { return std::prev(Pace.upper_bound(Us))->second; }
    // Time-weighted mean pace over [From, To).
    double MeanPace(long long From, long long To) const
    {
        double sum = 0;
        for (long long t = From; t < To; t += 100)
            sum += static_cast<double>(PaceAt(t));
        return sum / static_cast<double>((To - From) / 100);
    }
};

// The sweep as the controller sees it: requests at its pace, each address
// tried every 50 ms until it answers (twice when silent), a neighbour that
// answered checked again when the controller asks, answers 100 us after
// their request unless the link loses them.
TRun Simulate(const TLinkModel& Link, long long DurationUs)
{
    TSweepRate rate;
    TRun run;
    uint64_t seed = 0x2545F4914F6CDD1DULL;
    auto chance = [&seed]() {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return static_cast<double>(seed >> 11) / static_cast<double>(1ULL << 53);
    };
    struct TAddress {
        bool Live;
        int Tries;
        long long FirstUs;
        bool Done;
    };
    std::vector<TAddress> addresses;
    std::deque<std::pair<long long, size_t>> retries; // due time, address
    struct TAnswer {
        long long AtUs;
        size_t Address; // SIZE_MAX: the check
        bool operator>(const TAnswer& O) const { return AtUs > O.AtUs; }
    };
    std::priority_queue<TAnswer, std::vector<TAnswer>, std::greater<TAnswer>> answers;
    long long lastAnswered = -1;
    std::map<long long, int> checksPerEpoch;
    long long previousSend = -1;
    long long previousPace = rate.BitsPerSecond();
    run.Pace[0] = previousPace;

    auto carried = [&](long long NowUs) {
        if (Link.StopsAtUs >= 0 && NowUs >= Link.StopsAtUs)
            return false;
        double lost = Link.Loss;
        const double pace = 1e6 / static_cast<double>(rate.GapUs());
        if (Link.CapacityFps > 0 && pace > static_cast<double>(Link.CapacityFps))
            lost = 1 - (1 - lost) * static_cast<double>(Link.CapacityFps) / pace;
        return chance() >= lost;
    };
    auto note = [&](long long NowUs) {
        const long long pace = rate.BitsPerSecond();
        if (pace == previousPace)
            return;
        if (pace < previousPace) {
            run.Halvings += 2 * pace <= previousPace || pace == Floor;
            run.SmallerFalls += 2 * pace > previousPace && pace != Floor;
        }
        run.Pace[NowUs] = pace;
        run.MostBits = std::max(run.MostBits, pace);
        run.LeastBits = std::min(run.LeastBits, pace);
        if (pace == Cap && run.ReachedCapUs < 0)
            run.ReachedCapUs = NowUs;
        previousPace = pace;
    };
    auto send = [&](long long NowUs) {
        if (previousSend >= 0)
            run.LeastGapUs = std::min(run.LeastGapUs, NowUs - previousSend);
        previousSend = NowUs;
        rate.Sent(NowUs);
    };

    long long now = 0;
    while (now < DurationUs) {
        // Answers up to now, in time order.
        while (!answers.empty() && answers.top().AtUs <= now) {
            const TAnswer a = answers.top();
            answers.pop();
            if (a.Address == SIZE_MAX) {
                rate.CheckAnswered(a.AtUs);
            } else if (!addresses[a.Address].Done) {
                TAddress& d = addresses[a.Address];
                d.Done = true;
                lastAnswered = static_cast<long long>(a.Address);
                rate.Answered(a.AtUs, d.FirstUs, d.Tries >= 2);
            }
            note(a.AtUs);
        }
        // One request per slot: a retry that is due, a check, a new address.
        if (!retries.empty() && retries.front().first <= now) {
            const size_t i = retries.front().second;
            retries.pop_front();
            TAddress& d = addresses[i];
            if (!d.Done) {
                send(now);
                ++d.Tries;
                if (d.Live && carried(now))
                    answers.push({now + 100, i});
                if (d.Tries < (d.Live ? 6 : 2))
                    retries.emplace_back(now + EpochUs, i);
            }
        } else if (lastAnswered >= 0 && rate.CheckDue(now)) {
            send(now);
            rate.CheckSent(now);
            ++checksPerEpoch[now / EpochUs];
            if (carried(now))
                answers.push({now + 100, SIZE_MAX});
        } else {
            const size_t i = addresses.size();
            addresses.push_back({i % static_cast<size_t>(Link.LiveEvery) == 3, 1, now, false});
            send(now);
            if (addresses[i].Live && carried(now))
                answers.push({now + 100, i});
            retries.emplace_back(now + EpochUs, i);
        }
        note(now);
        now += rate.GapUs();
        rate.Advance(now);
        note(now);
    }
    run.FallBacks = rate.FallBacks();
    for (const auto& [epoch, checks] : checksPerEpoch)
        run.MostChecksInAnEpoch = std::max(run.MostChecksInAnEpoch, checks);
    return run;
}

TEST(SweepRate, NeverAboveTheCapNorBelowArpScansPace)
{
    const TLinkModel links[] = {
        {"clean", 5, 0, 0, -1},
        {"clean and sparse", 327, 0, 0, -1},
        {"lossy", 5, 0.19, 0, -1},
        {"stops answering", 5, 0, 0, 1000000},
        {"carries half the cap", 5, 0, 2500, -1},
    };
    for (const TLinkModel& link : links) {
        const TRun run = Simulate(link, 3000000);
        EXPECT_LE(run.MostBits, Cap) << link.What;
        EXPECT_GE(run.LeastBits, Floor) << link.What;
        EXPECT_GE(run.LeastGapUs, 200) << link.What;
        EXPECT_EQ(run.SmallerFalls, 0) << link.What << ": fell by less than half";
        EXPECT_LE(run.MostChecksInAnEpoch, 1) << link.What;
    }
}

// On a clean link the pace doubles each epoch from arp-scan's to the cap
// and stays there; a sparse range gets there as fast, by its checks.
TEST(SweepRate, ACleanLinkIsAskedAtTheCapWithinFourEpochs)
{
    for (int every : {5, 327}) {
        const TRun run = Simulate({"clean", every, 0, 0, -1}, 3000000);
        EXPECT_GE(run.ReachedCapUs, 4 * EpochUs) << every;
        EXPECT_LE(run.ReachedCapUs, 6 * EpochUs) << every;
        EXPECT_EQ(run.FallBacks, 0) << every;
        EXPECT_EQ(run.PaceAt(3000000 - 1), Cap) << every;
    }
}

// Where a tenth of the frames is lost each way, answers come late again and
// again: the pace falls back each time, and stays well below a clean
// link's.
TEST(SweepRate, ALossyLinkIsAskedSlower)
{
    const TRun lossy = Simulate({"lossy", 5, 0.19, 0, -1}, 3000000);
    EXPECT_GE(lossy.Halvings, 10);
    EXPECT_LT(lossy.MeanPace(1000000, 3000000), Cap / 2);
}

// A link that stops answering while requests still go out: the next check
// goes unanswered and the pace is arp-scan's again within three epochs, and
// stays so while nothing answers.
TEST(SweepRate, ALinkThatStopsAnsweringFallsBackToArpScansPace)
{
    const TRun run = Simulate({"stops answering", 5, 0, 0, 1000000}, 3000000);
    EXPECT_EQ(run.PaceAt(1000000 - 1), Cap);
    EXPECT_EQ(run.PaceAt(1000000 + 3 * EpochUs), Floor);
    EXPECT_EQ(run.MeanPace(1000000 + 3 * EpochUs, 3000000), Floor);
    // The same for a sparse range, whose answers had come only by checks.
    const TRun sparse = Simulate({"sparse, stops", 327, 0, 0, 1000000}, 3000000);
    EXPECT_EQ(sparse.PaceAt(1000000 - 1), Cap);
    EXPECT_EQ(sparse.PaceAt(1000000 + 3 * EpochUs), Floor);
}

// A link that carries only half the cap: requests beyond that are lost. The
// pace follows it, around what it carries, instead of staying above it.
TEST(SweepRate, ThePaceFollowsWhatTheLinkCarries)
{
    const TRun run = Simulate({"carries half the cap", 5, 0, 2500, -1}, 3000000);
    const double carried = 2500.0 * 64 * 8;
    const double mean = run.MeanPace(1000000, 3000000);
    EXPECT_GE(run.FallBacks, 3);
    EXPECT_GT(mean, 0.4 * carried);
    EXPECT_LT(mean, 1.2 * carried);
}

// A request the system refuses halves the pace, once per epoch however many
// are refused in it.
TEST(SweepRate, RefusedRequestsHalveThePaceOncePerEpoch)
{
    TSweepRate rate;
    long long now = 0;
    for (int epoch = 0; epoch < 5; ++epoch) {
        for (long long t = 0; t < EpochUs; t += rate.GapUs()) {
            rate.Sent(now + t);
            if (t % 10000 == 0)
                rate.Answered(now + t + 50, now + t, false);
        }
        now += EpochUs;
    }
    rate.Advance(now);
    ASSERT_EQ(rate.BitsPerSecond(), Cap);
    for (int i = 0; i < 10; ++i)
        rate.Refused(now + i * 100);
    EXPECT_EQ(rate.BitsPerSecond(), Cap / 2);
    rate.Refused(now + EpochUs);
    EXPECT_EQ(rate.BitsPerSecond(), Cap / 4);
    EXPECT_EQ(rate.PeakBitsPerSecond(), Cap);
}

} // namespace
