#include "dsp/KevoChorus.h"

#include "MasterEffectsTestUtil.h"

#include <gtest/gtest.h>

using namespace fxtest;

namespace
{
struct Arrival
{
    double time;   // centroid in samples
    double energy; // sum of the response over the cluster
};

// Splits an impulse response into clusters separated by silent gaps and
// returns each cluster's amplitude-weighted centre.
std::vector<Arrival> arrivals (const std::vector<float>& response, size_t from)
{
    std::vector<Arrival> found;
    double weighted = 0.0, sum = 0.0;
    int silentRun = 0;

    for (size_t i = from; i < response.size(); ++i)
    {
        const double v = std::abs (response[i]);
        if (v > 1.0e-9)
        {
            weighted += v * (double) i;
            sum += v;
            silentRun = 0;
        }
        else if (sum > 0.0 && ++silentRun > 2)
        {
            found.push_back ({ weighted / sum, sum });
            weighted = sum = 0.0;
        }
    }
    if (sum > 0.0)
        found.push_back ({ weighted / sum, sum });
    return found;
}

struct ChorusFixture
{
    Parameters p;
    KevoChorus chorus;

    ChorusFixture (double sampleRate, int blockSize, double mix, double time, double depth, double rate)
    {
        p[params::kChorusMix] = mix;
        p[params::kChorusTime] = time;
        p[params::kChorusDepth] = depth;
        p[params::kChorusRate] = rate;
        chorus.setParameters (p.data());
        chorus.prepare (sampleRate, blockSize);
    }

    void run (std::vector<float>& left, std::vector<float>& right, int blockSize)
    {
        inBlocks (left, right, blockSize, [this] (float* l, float* r, int n) { chorus.processStereo (l, r, n); });
    }
};
} // namespace

TEST (KevoChorus, BelowMixThresholdNothingRunsOrRecords)
{
    ChorusFixture f (44100.0, 512, 0.009, 0.0, 0.0, 0.0);
    auto left = noise (4096, 1), right = noise (4096, 2);
    const auto dryLeft = left, dryRight = right;

    f.run (left, right, 512);
    f.chorus.processMono (left.data(), 512);
    EXPECT_EQ (left, dryLeft);
    EXPECT_EQ (right, dryRight);

    // Nothing was recorded meanwhile: at full mix, silence in gives silence out.
    f.p[params::kChorusMix] = 1.0;
    std::vector<float> l (512, 0.0f), r (512, 0.0f);
    f.chorus.processStereo (l.data(), r.data(), 512);
    EXPECT_EQ (maxAbs (l), 0.0);
    EXPECT_EQ (maxAbs (r), 0.0);
}

TEST (KevoChorus, FixedTapsAtTimeZeroAndEqualPowerMix)
{
    // Time 0 and no sweep: taps at 0.025 * tap * base delay, each carrying
    // 1 / sqrt(3) of the wet signal; left and right differ by their bases.
    for (double mix : { 1.0, 0.5 })
    {
        ChorusFixture f (44100.0, 256, mix, 0.0, 0.0, 0.0);
        std::vector<float> left (256, 0.0f), right (256, 0.0f);
        left[0] = right[0] = 1.0f;
        f.chorus.processStereo (left.data(), right.data(), 256);

        EXPECT_NEAR (left[0], std::sqrt (1.0 - mix), 1.0e-6);

        for (auto [out, base] : { std::pair { &left, 20.0 }, { &right, 20.2 } })
        {
            const auto found = arrivals (*out, 1);
            ASSERT_EQ (found.size(), 3u) << "base " << base;
            const double taps[3] = { 17.0, 43.0, 67.0 };
            for (size_t i = 0; i < 3; ++i)
            {
                EXPECT_NEAR (found[i].time, 0.025 * taps[i] * base, 0.01);
                EXPECT_NEAR (found[i].energy, std::sqrt (mix) / std::sqrt (3.0), 1.0e-5);
            }
        }
    }
}

TEST (KevoChorus, LongestTapFitsTheLineAtEveryRate)
{
    // Time 1: the longest tap (67 * 20.2 * 1.025 samples at 44.1 kHz) must
    // arrive at its full delay, scaled with the rate, not wrapped around.
    for (double rate : { 44100.0, 96000.0, 192000.0 })
    {
        ChorusFixture f (rate, 512, 1.0, 1.0, 0.0, 0.0);
        const double longest = 67.0 * 20.2 * 1.025 * rate / 44100.0;
        const int n = (int) longest + 64;

        std::vector<float> left ((size_t) n, 0.0f), right ((size_t) n, 0.0f);
        left[0] = right[0] = 1.0f;
        f.run (left, right, 512);

        const auto found = arrivals (right, 0);
        ASSERT_EQ (found.size(), 3u) << rate;
        EXPECT_NEAR (found[2].time, longest, 0.5) << rate;
        EXPECT_GE (f.chorus.getRightTapper().getLineSize(), (int) longest + 2);
    }
}

TEST (KevoChorus, FullSweepAtHighRatesStaysFiniteAndBounded)
{
    for (double rate : { 44100.0, 96000.0, 192000.0 })
        for (double time : { 0.0, 0.3, 1.0 })
        {
            ChorusFixture f (rate, 1024, 1.0, time, 1.0, 1.0);
            auto left = noise ((int) rate, 3), right = noise ((int) rate, 4);
            f.run (left, right, 1024);
            EXPECT_TRUE (allFinite (left) && allFinite (right));
            // Three taps of a full-scale input, each interpolated, over sqrt(3).
            EXPECT_LE (maxAbs (left), std::sqrt (3.0) + 1.0e-6);
            EXPECT_GT (rms (left), 0.1);
        }
}

TEST (KevoChorus, LongBlocksRunInPiecesWithoutGrowing)
{
    // A block longer than prepared gives exactly what short blocks give, and
    // the tapper output is not reallocated.
    ChorusFixture a (48000.0, 256, 0.7, 0.6, 0.8, 0.5), b (48000.0, 256, 0.7, 0.6, 0.8, 0.5);
    const int capacity = a.chorus.getLeftTapper().getCapacity();
    auto l1 = noise (20000, 5), r1 = noise (20000, 6);
    auto l2 = l1, r2 = r1;
    a.chorus.processStereo (l1.data(), r1.data(), 20000);
    b.run (l2, r2, 256);
    EXPECT_EQ (l1, l2);
    EXPECT_EQ (r1, r2);
    EXPECT_EQ (a.chorus.getLeftTapper().getCapacity(), capacity);
}

TEST (KevoChorus, MonoPathFollowsTheMixGradually)
{
    ChorusFixture f (44100.0, 512, 1.0, 0.5, 0.5, 0.5);
    auto left = noise (100, 7);
    f.chorus.processMono (left.data(), 100);

    // One-pole smoothing at 0.99 per sample: about 63 % after 100 samples.
    // Below the mix threshold the smoothed value holds.
    const double expected = 1.0 - std::pow (0.99, 100);
    EXPECT_NEAR (f.chorus.getSmoothedMonoMix(), expected, 1.0e-4);
    f.p[params::kChorusMix] = 0.0;
    f.chorus.processMono (left.data(), 100);
    EXPECT_NEAR (f.chorus.getSmoothedMonoMix(), expected, 1.0e-4);
}

TEST (KevoChorus, SweepMovesTheTaps)
{
    // With depth the delay changes over time: a steady sine comes out with a
    // varying level (the taps beat against each other differently).
    ChorusFixture still (44100.0, 512, 1.0, 0.5, 0.0, 0.5), swept (44100.0, 512, 1.0, 0.5, 1.0, 0.5);
    const auto tone = sine (44100, 500.0, 44100.0, 0.5f);
    auto a = tone, b = tone, scratchA = tone, scratchB = tone;
    still.run (a, scratchA, 512);
    swept.run (b, scratchB, 512);

    auto spread = [] (const std::vector<float>& x) {
        double lo = 1.0e9, hi = 0.0;
        for (size_t w = 4410; w + 441 <= x.size(); w += 441)
        {
            const double level = rms (x, w, w + 441);
            lo = std::min (lo, level);
            hi = std::max (hi, level);
        }
        return decibels (hi / lo);
    };

    EXPECT_LT (spread (a), 0.1);
    EXPECT_GT (spread (b), 1.0);
}
