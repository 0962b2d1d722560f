#include "engine/NeighbourSweepRate.h"

#include <algorithm>
#include <limits>

TSweepRate::TSweepRate(const TSweepRateLimits& Limits)
    : FLimits(Limits), FLeast(std::max(1LL, Limits.StartBitsPerSecond)),
      FMost(std::max(FLeast, Limits.MostBitsPerSecond)), FBits(FLeast), FPeak(FLeast),
      FLastFallBackUs(std::numeric_limits<long long>::min())
{
    FLimits.EpochUs = std::max(1LL, FLimits.EpochUs);
    FLimits.StepBitsPerSecond = std::max(1LL, FLimits.StepBitsPerSecond);
}

void TSweepRate::Advance(long long NowUs)
{
    if (!FStarted) {
        FStarted = true;
        FEpochStartUs = NowUs;
    }
    // A check unanswered for a whole epoch: the link stopped answering while
    // requests still went out.
    if (FCheckOut && NowUs >= FCheckSentUs + FLimits.EpochUs) {
        FCheckOut = false;
        FallBack(NowUs, FLeast);
    }
    while (NowUs >= FEpochStartUs + FLimits.EpochUs) {
        EndEpoch();
        FEpochStartUs += FLimits.EpochUs;
        // Epochs in which nothing happened prove nothing: skip them at once.
        if (NowUs >= FEpochStartUs + FLimits.EpochUs)
            FEpochStartUs = NowUs;
    }
}

void TSweepRate::EndEpoch()
{
    const long long usedBits =
        FEpochSent * FLimits.FrameBytes * 8 * 1000000 / std::max(1LL, FLimits.EpochUs);
    FPeakUsed = std::max(FPeakUsed, std::min(usedBits, FMost));
    if (!FEpochTrouble && FEpochOnTime > 0 && 2 * usedBits >= FBits) {
        FBits = std::min(FMost, FSlowStart ? 2 * FBits : FBits + FLimits.StepBitsPerSecond);
        FPeak = std::max(FPeak, FBits);
    }
    FEpochSent = 0;
    FEpochOnTime = 0;
    FEpochTrouble = false;
    FEpochChecked = false;
}

void TSweepRate::FallBack(long long NowUs, long long Bits)
{
    FBits = std::clamp(Bits, FLeast, FMost);
    FSlowStart = false;
    FLastFallBackUs = NowUs;
    FEpochTrouble = true;
    ++FFallBacks;
}

void TSweepRate::Sent(long long NowUs)
{
    Advance(NowUs);
    ++FEpochSent;
}

void TSweepRate::Refused(long long NowUs)
{
    Advance(NowUs);
    if (FLastFallBackUs == std::numeric_limits<long long>::min() ||
        NowUs >= FLastFallBackUs + FLimits.EpochUs)
        FallBack(NowUs, FBits / 2);
    FEpochTrouble = true;
}

void TSweepRate::Answered(long long NowUs, long long FirstTryUs, bool Late)
{
    Advance(NowUs);
    if (!Late) {
        ++FEpochOnTime;
        return;
    }
    FEpochTrouble = true;
    if (FirstTryUs >= FLastFallBackUs)
        FallBack(NowUs, FBits / 2);
}

bool TSweepRate::CheckDue(long long NowUs)
{
    Advance(NowUs);
    return !FCheckOut && !FEpochChecked && FEpochOnTime == 0 && FEpochSent > 0 &&
           NowUs >= FEpochStartUs + FLimits.EpochUs / 2;
}

void TSweepRate::CheckSent(long long NowUs)
{
    Advance(NowUs);
    FCheckOut = true;
    FCheckSentUs = NowUs;
    FEpochChecked = true;
}

void TSweepRate::CheckAnswered(long long NowUs)
{
    Advance(NowUs);
    if (!FCheckOut)
        return;
    FCheckOut = false;
    ++FEpochOnTime;
}
