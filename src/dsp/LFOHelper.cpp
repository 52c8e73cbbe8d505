#include "dsp/LFOHelper.h"

#include <algorithm>
#include <cmath>
#include <mutex>

static_assert (std::atomic<double>::is_always_lock_free, "the tempo must be readable without a lock");

double LFO_SyncSpeed::rateHz() const noexcept
{
    const double b = beats();
    if (! (tempo > 0.0) || ! (b > 0.0))
        return 0.0;
    return (tempo / 60.0) / b;
}

namespace
{
struct Ratio
{
    double numerator;
    double denominator;
    const char* name;
};

// The ratios before sorting. Of the two equal ratios "3/2" must stay ahead of
// "6/4": the sort below is stable, so it comes first here.
constexpr Ratio kRatios[] = {
    { 1, 64, "1/64" },  { 3, 256, "3/256" }, { 1, 48, "1/48" },  { 3, 128, "3/128" }, { 1, 32, "1/32" },
    { 3, 64, "3/64" },  { 1, 16, "1/16" },   { 1, 12, "1/12" },  { 3, 32, "3/32" },   { 1, 8, "1/8" },
    { 3, 16, "3/16" },  { 1, 5, "1/5" },     { 1, 4, "1/4" },    { 1, 3, "1/3" },     { 3, 8, "3/8" },
    { 2, 5, "2/5" },    { 1, 2, "1/2" },     { 3, 5, "3/5" },    { 5, 8, "5/8" },     { 2, 3, "2/3" },
    { 3, 4, "3/4" },    { 1, 1, "1/1" },     { 5, 4, "5/4" },    { 4, 3, "4/3" },     { 3, 2, "3/2" },
    { 6, 4, "6/4" },    { 8, 5, "8/5" },     { 5, 3, "5/3" },    { 2, 1, "2/1" },     { 8, 3, "8/3" },
    { 3, 1, "3/1" },    { 4, 1, "4/1" },     { 5, 1, "5/1" },    { 16, 3, "16/3" },   { 6, 1, "6/1" },
    { 7, 1, "7/1" },    { 8, 1, "8/1" },     { 9, 1, "9/1" },    { 10, 1, "10/1" },   { 32, 3, "32/3" },
    { 11, 1, "11/1" },  { 12, 1, "12/1" },   { 13, 1, "13/1" },  { 14, 1, "14/1" },   { 15, 1, "15/1" },
    { 16, 1, "16/1" },  { 20, 1, "20/1" },   { 64, 3, "64/3" },  { 24, 1, "24/1" },   { 32, 1, "32/1" },
    { 128, 3, "128/3" }, { 48, 1, "48/1" },  { 64, 1, "64/1" },
};

static_assert (sizeof (kRatios) / sizeof (kRatios[0]) == LFOHelper::kNumSyncSpeeds, "53 tempo-sync ratios");

std::once_flag buildOnce;
std::atomic<bool> built { false };
} // namespace

LFOHelper& LFOHelper::instance()
{
    static LFOHelper helper;

    if (! built.load (std::memory_order_acquire))
        std::call_once (buildOnce, [] {
            helper.build();
            built.store (true, std::memory_order_release);
        });

    return helper;
}

void LFOHelper::build()
{
    for (int i = 0; i < kNumSyncSpeeds; ++i)
        speeds[(size_t) i] = { kRatios[i].numerator, kRatios[i].denominator, kRatios[i].name, 120.0 };

    std::stable_sort (speeds.begin(), speeds.end(), [] (const LFO_SyncSpeed& a, const LFO_SyncSpeed& b) {
        return a.beats() > b.beats();
    });
}

void LFOHelper::setTempo (double bpm) noexcept
{
    if (bpm > 0.0 && std::isfinite (bpm))
        tempo.store (bpm, std::memory_order_relaxed);
}

int LFOHelper::getSyncIndexFromHz (double hz) const noexcept
{
    const double t = tempo.load (std::memory_order_relaxed);

    for (int i = 0; i < kNumSyncSpeeds; ++i)
    {
        // Same arithmetic as LFO_SyncSpeed::rateHz, with one tempo for the walk.
        const double rate = (t / 60.0) / speeds[(size_t) i].beats();
        if (rate >= hz)
            return i;
    }

    return kNumSyncSpeeds - 1;
}

LFO_SyncSpeed LFOHelper::getSyncSpeedFromHz (double hz) const noexcept
{
    return getEntry (getSyncIndexFromHz (hz));
}

LFO_SyncSpeed LFOHelper::getEntry (int index) const noexcept
{
    index = std::clamp (index, 0, kNumSyncSpeeds - 1);
    LFO_SyncSpeed s = speeds[(size_t) index];
    s.tempo = tempo.load (std::memory_order_relaxed);
    return s;
}
