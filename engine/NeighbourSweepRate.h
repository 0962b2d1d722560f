// The pace of the neighbour sweep's ARP requests, which follows the link as a
// congestion controller does.
//
// Where it starts, and its floor: arp-scan's default bandwidth, 256,000
// bit/s, one 64-byte request every 2 ms. A LAN already takes that from a
// tool run at its defaults, so the sweep needs no proof of the link to go
// at that pace, and never goes slower.
//
// Its cap: ten times that, 2,560,000 bit/s, one request every 0.2 ms. Every
// request is a broadcast that each station on the segment takes in and
// hands to its kernel; 5,000 a second are 2.6% of a 100 Mbit/s link and a
// small share of one core of each station, and they ask a /16 of 65,534
// addresses twice in 26 s instead of arp-scan's four minutes. No answer the
// sweep hears tells it what the quietest station on the segment can take,
// so it never asks more than that, however well the link answers.
//
// How it moves, judged per epoch: the time between two tries of one address
// (50 ms, the ARP method's), which is when a lost request or a lost answer
// shows, as an answer that comes only to a later try.
// - Up, at the end of an epoch in which answers came on time (to a first
//   try, or to a check below), none came late, no check went unanswered, no
//   request was refused, and the requests really went out at half the pace
//   or more (a pace that is not used proves nothing). Until the first sign
//   of trouble the pace doubles each such epoch, as TCP's slow start does
//   per round trip: from the floor to the cap in four epochs, 0.2 s. After
//   one it grows by the floor's bandwidth per epoch, so a link at its limit
//   is approached slowly and left at once.
// - Down, at once: to half when an answer comes late to a request sent after
//   the last fall back (losses of requests sent before it were caused by the
//   pace already left, and count once), or when the system refuses a request
//   (its queue is full) for the first time in an epoch; to the floor when a
//   check goes unanswered for an epoch, since a link that stopped answering
//   proves nothing of any pace above arp-scan's.
// - Checks: where half an epoch passes while requests go out but no answer
//   comes on time, as in the long silent stretches of a sparse /16, the
//   sweep asks a neighbour that answered before once more. Its answer tells
//   that the link still carries answers at the pace; its silence that
//   answers stopped while requests still go out. At most one check per
//   epoch: 20 frames a second at the most, and none while answers come.
//
// The controller knows nothing of sockets or clocks: the sweep hands it the
// time with every event, and the tests hand it simulated answer streams.
#pragma once

#include "platform/RawArp.h"

// arp-scan's default outgoing bandwidth in bits per second: the sweep's
// starting pace and its floor.
constexpr long long SweepBandwidthBitsPerSecond = 256000;

// The time FrameBytes take at BitsPerSecond, in microseconds rounded up: the
// least average time between two frames sent at that bandwidth.
constexpr long long FrameTimeUs(long long FrameBytes, long long BitsPerSecond)
{
    return BitsPerSecond > 0 ? (FrameBytes * 8 * 1000000 + BitsPerSecond - 1) / BitsPerSecond : 0;
}

struct TSweepRateLimits {
    // The starting pace, which is also the least.
    long long StartBitsPerSecond = SweepBandwidthBitsPerSecond;
    // The most, whatever the answers say.
    long long MostBitsPerSecond = 10 * SweepBandwidthBitsPerSecond;
    // Growth per good epoch once trouble has been seen.
    long long StepBitsPerSecond = SweepBandwidthBitsPerSecond;
    // What one request takes on the wire.
    int FrameBytes = platform::ArpRequestFrameBytes;
    // The epoch: the time between two tries of one address.
    long long EpochUs = 50000;
};

class TSweepRate {
public:
    explicit TSweepRate(const TSweepRateLimits& Limits = {});

    long long BitsPerSecond() const { return FBits; }
    // The time between two requests at the pace now.
    long long GapUs() const { return FrameTimeUs(FLimits.FrameBytes, FBits); }
    // The same at the cap: no two requests closer on average.
    long long LeastGapUs() const { return FrameTimeUs(FLimits.FrameBytes, FMost); }
    // The highest pace set so far, and the highest at which requests really
    // went out over a whole epoch.
    long long PeakBitsPerSecond() const { return FPeak; }
    long long PeakUsedBitsPerSecond() const { return FPeakUsed; }
    int FallBacks() const { return FFallBacks; }

    // Moves the clock to NowUs: judges the epochs that ended and a check
    // that went unanswered. Every call below does this first.
    void Advance(long long NowUs);
    // A request (a try or a check) went out.
    void Sent(long long NowUs);
    // The system refused to send a request.
    void Refused(long long NowUs);
    // An answer to an address whose first try went out at FirstTryUs; Late:
    // it came only after a later try went out.
    void Answered(long long NowUs, long long FirstTryUs, bool Late);
    // Whether the sweep should check the link now, by asking again a
    // neighbour that answered before; it then calls Sent and CheckSent.
    bool CheckDue(long long NowUs);
    void CheckSent(long long NowUs);
    // The neighbour checked answered.
    void CheckAnswered(long long NowUs);
    bool CheckOutstanding() const { return FCheckOut; }

private:
    void EndEpoch();
    void FallBack(long long NowUs, long long Bits);

    TSweepRateLimits FLimits;
    long long FLeast;
    long long FMost;
    long long FBits;
    long long FPeak;
    long long FPeakUsed = 0;
    bool FSlowStart = true;
    long long FLastFallBackUs;
    int FFallBacks = 0;

    bool FStarted = false;
    long long FEpochStartUs = 0;
    long long FEpochSent = 0;
    int FEpochOnTime = 0;
    bool FEpochTrouble = false;
    bool FEpochChecked = false;

    bool FCheckOut = false;
    long long FCheckSentUs = 0;
};
