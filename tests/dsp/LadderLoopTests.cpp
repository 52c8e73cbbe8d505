// The shared ladder sample loop against the ladder computed stage after stage
// (each one-pole waiting for the one before it): both stage counts, with and
// without drive and low-cutoff smoothing, over groups of random length whose
// coefficients jump, the state carried from group to group.

#include "dsp/LadderLoop.h"
#include "dsp/filter.h"
#include "dsp/VectorPath.h"
#include "dsp/VoiceRandom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

using namespace filtering;

namespace
{
template <int Stages>
struct SerialLadder
{
    double y[Stages] = {}, m[Stages] = {};
    double colour = 0.0, colourIn = 0.0;
    LowCutoffSmoother smoother;

    void process (double* x, int n, const LadderLoopCoefficients& c, bool drive, bool smoothing)
    {
        const double h = 0.5 * c.g, b = 1.0 - c.g;
        for (int i = 0; i < n; ++i)
        {
            double sum = 0.0;
            for (int pass = 0; pass < 2; ++pass)
            {
                double u;
                if (drive)
                {
                    u = x[i] - clampValue (y[Stages - 1], -c.limit, c.limit) * c.feedback;
                    const double w = u * c.driveGain;
                    u += w / (std::abs (w) + 1.0);
                }
                else
                {
                    u = x[i] - y[Stages - 1] * c.feedback;
                }

                double stageIn = u;
                for (int s = 0; s < Stages; ++s)
                {
                    const double out = b * y[s] + h * (stageIn + m[s]);
                    m[s] = stageIn;
                    y[s] = out;
                    stageIn = out;
                }

                const double gColour = 0.95 * c.g;
                colour = (1.0 - gColour) * colour + 0.5 * gColour * (colourIn + stageIn);
                colourIn = stageIn;
                double out = stageIn + 2.0 * c.resonance * colour;
                if (smoothing)
                    out = smoother.process (out, c.g);
                sum += out;
            }
            x[i] = 0.5 * sum;
        }
    }
};

template <int Stages, bool Drive, bool Smoothing>
void expectLoopMatchesSerialLadder (uint64_t seed)
{
    SCOPED_TRACE (testing::Message() << Stages << " stages, drive " << Drive << ", smoothing " << Smoothing);

    SerialLadder<Stages> reference;
    double ys[Stages] = {}, lastInput = 0.0, colour = 0.0, colourIn = 0.0;
    LowCutoffSmoother smoother;

    VoiceRandom rng (seed);
    const auto uniform = [&rng] (double lo, double hi) { return lo + (hi - lo) * rng.nextUnit(); };

    constexpr int kSamples = 6000;
    std::vector<double> expected (kSamples), actual (kSamples);
    double phase = 0.0;
    for (int i = 0; i < kSamples; ++i)
    {
        phase += 0.013;
        phase -= std::floor (phase);
        expected[(size_t) i] = actual[(size_t) i] = 0.8 * (2.0 * phase - 1.0) + uniform (-0.7, 0.7);
    }

    for (int start = 0; start < kSamples;)
    {
        const int n = std::min (kSamples - start, 1 + (int) (rng.nextUnit() * 8.0) % 8);
        // Both ladders' ranges: gains at and between the clamps, loop gains 1.4 .. 3.2.
        const double g = std::clamp (uniform (-0.05, 1.05), 0.002, kMaxCutoff);
        const double resonance = uniform (0.0, Drive ? 0.9 : 1.0);
        const LadderLoopCoefficients c { g, resonance * uniform (1.4, 3.2), resonance,
                                         uniform (0.0, 0.3), uniform (0.0, 2.0) };

        reference.process (expected.data() + start, n, c, Drive, Smoothing);
        runLadderLoop<Stages, Drive, Smoothing> (actual.data() + start, n, ys, lastInput, colour, colourIn, c,
                                                 Smoothing ? &smoother : nullptr);
        start += n;
    }

    double peak = 0.0, worst = 0.0;
    int worstAt = 0;
    for (int i = 0; i < kSamples; ++i)
    {
        ASSERT_TRUE (std::isfinite (actual[(size_t) i])) << "sample " << i;
        peak = std::max (peak, std::abs (expected[(size_t) i]));
        const double difference = std::abs (actual[(size_t) i] - expected[(size_t) i]);
        if (difference > worst)
        {
            worst = difference;
            worstAt = i;
        }
    }

    ASSERT_GT (peak, 0.05);
    // Only rounding may differ: far below the -120 dB the renders allow.
    EXPECT_LT (worst, 1.0e-9 * peak) << "at sample " << worstAt;

    // The stage outputs handed back equal the serial ladder's.
    for (int s = 0; s < Stages; ++s)
        EXPECT_NEAR (ys[s], reference.y[s], 1.0e-9 * peak) << "stage " << s;
    EXPECT_NEAR (lastInput, reference.m[0], 1.0e-9 * peak);
}
} // namespace

TEST (LadderLoop, MatchesTheLadderComputedStageByStage)
{
    for (uint64_t seed : { 1u, 2u, 3u })
    {
        expectLoopMatchesSerialLadder<4, false, false> (seed);
        expectLoopMatchesSerialLadder<4, false, true> (seed);
        expectLoopMatchesSerialLadder<4, true, false> (seed);
        expectLoopMatchesSerialLadder<4, true, true> (seed);
        expectLoopMatchesSerialLadder<8, false, false> (seed);
        expectLoopMatchesSerialLadder<8, true, false> (seed);
    }
}

namespace
{
// Two ladders with their own inputs, states and coefficients, once through
// the paired loop and once each through the single loop: bit for bit alike.
template <int Stages, bool Drive, bool Smoothing>
void expectPairMatchesTwoSingleLoops (uint64_t seed)
{
    SCOPED_TRACE (testing::Message() << Stages << " stages, drive " << Drive << ", smoothing " << Smoothing);

    struct State
    {
        double ys[Stages] = {}, lastInput = 0.0, colour = 0.0, colourIn = 0.0;
        LowCutoffSmoother smoother;
    };
    State single[2], paired[2];

    VoiceRandom rng (seed);
    const auto uniform = [&rng] (double lo, double hi) { return lo + (hi - lo) * rng.nextUnit(); };

    constexpr int kSamples = 3000;
    std::vector<double> expected[2], actual[2];
    for (int side = 0; side < 2; ++side)
    {
        expected[side].resize (kSamples);
        for (int i = 0; i < kSamples; ++i)
            expected[side][(size_t) i] = uniform (-1.5, 1.5) * (side == 0 ? 1.0 : 0.3);
        actual[side] = expected[side];
    }

    for (int start = 0; start < kSamples;)
    {
        const int n = std::min (kSamples - start, 1 + (int) (rng.nextUnit() * 8.0) % 8);
        LadderLoopCoefficients c[2];
        for (auto& ci : c)
        {
            const double resonance = uniform (0.0, 1.0);
            ci = { std::clamp (uniform (-0.05, 1.05), 0.002, kMaxCutoff), resonance * uniform (1.4, 3.2), resonance,
                   uniform (0.0, 0.3), uniform (0.0, 2.0) };
        }
        if (rng.nextUnit() < 0.5)   // as in a voice: the same filter settings, each side's own drive
        {
            c[1].g = c[0].g;
            c[1].feedback = c[0].feedback;
            c[1].resonance = c[0].resonance;
        }
        LadderLoopSide<Stages> sides[2];
        for (int s = 0; s < 2; ++s)
        {
            runLadderLoop<Stages, Drive, Smoothing> (expected[s].data() + start, n, single[s].ys, single[s].lastInput,
                                                     single[s].colour, single[s].colourIn, c[s],
                                                     Smoothing ? &single[s].smoother : nullptr);
            sides[s] = { actual[s].data() + start, paired[s].ys, &paired[s].lastInput, &paired[s].colour,
                         &paired[s].colourIn, &paired[s].smoother, c[s] };
        }
        runLadderLoopPair<Stages, Drive, Smoothing> (sides[0], sides[1], n);
        start += n;
    }

    for (int s = 0; s < 2; ++s)
    {
        for (int i = 0; i < kSamples; ++i)
            ASSERT_EQ (actual[s][(size_t) i], expected[s][(size_t) i]) << "side " << s << ", sample " << i;
        for (int k = 0; k < Stages; ++k)
            EXPECT_EQ (paired[s].ys[k], single[s].ys[k]) << "side " << s << ", stage " << k;
        EXPECT_EQ (paired[s].lastInput, single[s].lastInput);
        EXPECT_EQ (paired[s].colour, single[s].colour);
        EXPECT_EQ (paired[s].colourIn, single[s].colourIn);
        EXPECT_EQ (paired[s].smoother.output, single[s].smoother.output);
    }
}
} // namespace

TEST (LadderLoop, PairedLoopEqualsTwoSingleLoops)
{
    for (uint64_t seed : { 4u, 5u })
    {
        expectPairMatchesTwoSingleLoops<4, false, false> (seed);
        expectPairMatchesTwoSingleLoops<4, false, true> (seed);
        expectPairMatchesTwoSingleLoops<4, true, false> (seed);
        expectPairMatchesTwoSingleLoops<4, true, true> (seed);
        expectPairMatchesTwoSingleLoops<8, false, false> (seed);
        expectPairMatchesTwoSingleLoops<8, true, false> (seed);
    }
}

// A voice's two sides through Filter::processBlockPair and through
// processBlock each: the same samples for every type, with drive and
// modulated resonance, and a side that goes non-finite is silenced and
// restarted alone while the other plays on.
TEST (LadderLoop, FilterPairEqualsEachSideAlone)
{
    constexpr int kBlock = 203;   // a partial last group
    for (int type = 0; type < Filter::numTypes; ++type)
        for (double overdrive : { 0.0, 0.7 })
        {
            SCOPED_TRACE (testing::Message() << "type " << type << ", overdrive " << overdrive);
            Filter single[2], paired[2];
            for (Filter* f : { &single[0], &single[1], &paired[0], &paired[1] })
            {
                f->setType (type);
                f->setOverdrive (overdrive);
            }

            VoiceRandom rng (17);
            std::vector<double> cutoff (kBlock / 8 + 1), resonanceMod (kBlock / 8 + 1);
            for (int block = 0; block < 6; ++block)
            {
                for (size_t g = 0; g < cutoff.size(); ++g)
                {
                    cutoff[g] = 0.05 + 0.9 * rng.nextUnit();
                    resonanceMod[g] = 0.5 + rng.nextUnit();
                }
                std::vector<double> expected[2], actual[2];
                for (int s = 0; s < 2; ++s)
                {
                    expected[s].resize (kBlock);
                    for (auto& x : expected[s])
                        x = (rng.nextUnit() - 0.5) * (s == 0 ? 2.0 : 0.2);
                }
                if (block == 3)
                    expected[1][50] = std::numeric_limits<double>::infinity();
                actual[0] = expected[0];
                actual[1] = expected[1];

                const bool modulated = block % 2 == 1;
                for (int s = 0; s < 2; ++s)
                    single[s].processBlock (cutoff.data(), resonanceMod.data(), expected[s].data(), kBlock, modulated, 0.8);
                Filter::processBlockPair (paired[0], paired[1], cutoff.data(), resonanceMod.data(), actual[0].data(),
                                          actual[1].data(), kBlock, modulated, 0.8);

                for (int s = 0; s < 2; ++s)
                    for (int i = 0; i < kBlock; ++i)
                        ASSERT_EQ (actual[s][(size_t) i], expected[s][(size_t) i])
                            << "block " << block << ", side " << s << ", sample " << i;
                if (block == 3 && (type == Filter::ladderLowPass24 || type == Filter::doubleLadderLowPass))
                {
                    EXPECT_EQ (actual[1][48], 0.0);   // the group with the Inf is silenced
                    EXPECT_NE (actual[0][48], 0.0);   // the other side is not
                }
            }
        }
}

#if TALVORA_WIDE_PATH
namespace
{
// Bit for bit, a NaN matching any NaN.
bool sameValue (double a, double b)
{
    return (std::isnan (a) && std::isnan (b)) || std::memcmp (&a, &b, sizeof (double)) == 0;
}

// Puts the vector path back to the one chosen at start.
struct ForcedWide
{
    ForcedWide() { vectorpath::force (1); }
    ~ForcedWide() { vectorpath::force (-1); }
};

// Four ladders (two voices' two sides) with their own inputs, states and
// coefficients, once through the four-lane loop and once each through the
// single loop. A voice's sides share all but the drive half the time, as in
// a voice; lane `broken` (if any) is fed an infinity part way.
template <int Stages, bool Drive, bool Smoothing>
void expectQuadMatchesFourSingleLoops (uint64_t seed, int broken)
{
    SCOPED_TRACE (testing::Message() << Stages << " stages, drive " << Drive << ", smoothing " << Smoothing
                                     << ", broken lane " << broken);

    struct State
    {
        double ys[Stages] = {}, lastInput = 0.0, colour = 0.0, colourIn = 0.0;
        LowCutoffSmoother smoother;
    };
    State single[4], quad[4];

    VoiceRandom rng (seed);
    const auto uniform = [&rng] (double lo, double hi) { return lo + (hi - lo) * rng.nextUnit(); };

    constexpr int kSamples = 2000;
    std::vector<double> expected[4], actual[4];
    for (int lane = 0; lane < 4; ++lane)
    {
        expected[lane].resize (kSamples);
        for (int i = 0; i < kSamples; ++i)
            expected[lane][(size_t) i] = uniform (-1.5, 1.5) * (1.0 - 0.3 * lane);
        if (lane == broken)
            expected[lane][kSamples / 2] = std::numeric_limits<double>::infinity();
        actual[lane] = expected[lane];
    }

    for (int start = 0; start < kSamples;)
    {
        const int n = std::min (kSamples - start, 1 + (int) (rng.nextUnit() * 8.0) % 8);
        LadderLoopCoefficients c[4];
        for (auto& ci : c)
        {
            const double resonance = uniform (0.0, 1.0);
            ci = { std::clamp (uniform (-0.05, 1.05), 0.002, kMaxCutoff), resonance * uniform (1.4, 3.2), resonance,
                   uniform (0.0, 0.3), uniform (0.0, 2.0) };
        }
        for (int voice = 0; voice < 2; ++voice)
            if (rng.nextUnit() < 0.5)
            {
                c[2 * voice + 1].g = c[2 * voice].g;
                c[2 * voice + 1].feedback = c[2 * voice].feedback;
                c[2 * voice + 1].resonance = c[2 * voice].resonance;
            }
        LadderLoopSide<Stages> sides[4];
        for (int l = 0; l < 4; ++l)
        {
            runLadderLoop<Stages, Drive, Smoothing> (expected[l].data() + start, n, single[l].ys, single[l].lastInput,
                                                     single[l].colour, single[l].colourIn, c[l],
                                                     Smoothing ? &single[l].smoother : nullptr);
            sides[l] = { actual[l].data() + start, quad[l].ys, &quad[l].lastInput, &quad[l].colour,
                         &quad[l].colourIn, &quad[l].smoother, c[l] };
        }
        const LadderLoopSide<Stages>* const lanes[4] = { &sides[0], &sides[1], &sides[2], &sides[3] };
        runLadderLoopQuad<Stages, Drive, Smoothing> (lanes, n);
        start += n;
    }

    for (int l = 0; l < 4; ++l)
    {
        // Not trivially alike: the healthy lanes play, the broken one does not.
        EXPECT_EQ (std::isfinite (actual[l].back()), l != broken) << "lane " << l;
        for (int i = 0; i < kSamples; ++i)
            ASSERT_TRUE (sameValue (actual[l][(size_t) i], expected[l][(size_t) i]))
                << "lane " << l << ", sample " << i << ": " << actual[l][(size_t) i] << " vs " << expected[l][(size_t) i];
        for (int k = 0; k < Stages; ++k)
            EXPECT_TRUE (sameValue (quad[l].ys[k], single[l].ys[k])) << "lane " << l << ", stage " << k;
        EXPECT_TRUE (sameValue (quad[l].lastInput, single[l].lastInput)) << "lane " << l;
        EXPECT_TRUE (sameValue (quad[l].colour, single[l].colour)) << "lane " << l;
        EXPECT_TRUE (sameValue (quad[l].colourIn, single[l].colourIn)) << "lane " << l;
        EXPECT_TRUE (sameValue (quad[l].smoother.input, single[l].smoother.input)) << "lane " << l;
        EXPECT_TRUE (sameValue (quad[l].smoother.output, single[l].smoother.output)) << "lane " << l;
    }
}
} // namespace

TEST (LadderLoop, FourLaneLoopEqualsFourSingleLoops)
{
    if (! vectorpath::wideAvailable())
        GTEST_SKIP() << "no wide path on this processor";
    for (int broken : { -1, 0, 3 })
    {
        const uint64_t seed = 40u + (uint64_t) (broken + 1);
        expectQuadMatchesFourSingleLoops<4, false, false> (seed, broken);
        expectQuadMatchesFourSingleLoops<4, false, true> (seed, broken);
        expectQuadMatchesFourSingleLoops<4, true, false> (seed, broken);
        expectQuadMatchesFourSingleLoops<4, true, true> (seed, broken);
        expectQuadMatchesFourSingleLoops<8, false, false> (seed, broken);
        expectQuadMatchesFourSingleLoops<8, true, false> (seed, broken);
    }
}

// Two voices through Filter::processBlockQuad and each through
// processBlockPair: the same samples for every type and pair of types, with
// and without drive, each voice with its own cutoffs (so the single ladder's
// low-cutoff smoothing differs between them at times) and modulation, and a
// side that goes non-finite silenced and restarted alone.
TEST (LadderLoop, FilterQuadEqualsEachVoiceAlone)
{
    if (! vectorpath::wideAvailable())
        GTEST_SKIP() << "no wide path on this processor";
    const ForcedWide wide;

    constexpr int kBlock = 203;   // a partial last group
    constexpr int kGroups = kBlock / 8 + 1;
    const std::pair<int, int> typePairs[] = {
        { Filter::ladderLowPass24, Filter::ladderLowPass24 }, { Filter::doubleLadderLowPass, Filter::doubleLadderLowPass },
        { Filter::ladderLowPass24, Filter::doubleLadderLowPass }, { Filter::lowPass12, Filter::lowPass12 },
        { Filter::bandPass, Filter::ladderLowPass24 }, { Filter::zeroDelayLadder, Filter::zeroDelayLadder },
    };
    for (const auto& types : typePairs)
        for (double overdrive : { 0.0, 0.7 })
        {
            SCOPED_TRACE (testing::Message() << "types " << types.first << "/" << types.second << ", overdrive "
                                             << overdrive);
            Filter alone[4], together[4];
            for (int l = 0; l < 4; ++l)
                for (Filter* f : { &alone[l], &together[l] })
                {
                    f->setType (l < 2 ? types.first : types.second);
                    f->setOverdrive (overdrive);
                }

            VoiceRandom rng (23);
            std::vector<double> cutoff[2], resonanceMod[2];
            for (int block = 0; block < 8; ++block)
            {
                // The last blocks are silent at a high cutoff: the states
                // decay until they are flushed to zero.
                const bool silent = block >= 6;
                for (int v = 0; v < 2; ++v)
                {
                    cutoff[v].resize (kGroups);
                    resonanceMod[v].resize (kGroups);
                    for (int g = 0; g < kGroups; ++g)
                    {
                        // Low cutoffs now and then: the smoothing comes and goes.
                        cutoff[v][(size_t) g] = silent ? 0.9
                                                : rng.nextUnit() < 0.3 ? 0.01 * rng.nextUnit() : 0.05 + 0.9 * rng.nextUnit();
                        resonanceMod[v][(size_t) g] = silent ? 0.0 : 0.5 + rng.nextUnit();
                    }
                }
                std::vector<double> expected[4], actual[4];
                for (int l = 0; l < 4; ++l)
                {
                    expected[l].resize (kBlock);
                    for (auto& x : expected[l])
                        x = silent ? 0.0 : (rng.nextUnit() - 0.5) * (l % 2 == 0 ? 2.0 : 0.2);
                }
                // Infinities at the end of a four and in the last, partial group.
                if (block == 3)
                    expected[2][51] = std::numeric_limits<double>::infinity();
                if (block == 5)
                    expected[1][kBlock - 1] = std::numeric_limits<double>::infinity();
                for (int l = 0; l < 4; ++l)
                    actual[l] = expected[l];

                const bool modulated[2] = { silent || block % 2 == 1, silent || block % 3 == 1 };
                for (int v = 0; v < 2; ++v)
                    Filter::processBlockPair (alone[2 * v], alone[2 * v + 1], cutoff[v].data(), resonanceMod[v].data(),
                                              expected[2 * v].data(), expected[2 * v + 1].data(), kBlock, modulated[v],
                                              0.8 - 0.3 * v);
                Filter::VoiceSides sides[2];
                for (int v = 0; v < 2; ++v)
                    sides[v] = { { &together[2 * v], &together[2 * v + 1] },
                                 { actual[2 * v].data(), actual[2 * v + 1].data() },
                                 cutoff[v].data(), resonanceMod[v].data(), modulated[v], 0.8 - 0.3 * v };
                Filter::processBlockQuad (sides[0], sides[1], kBlock);

                for (int l = 0; l < 4; ++l)
                    for (int i = 0; i < kBlock; ++i)
                        ASSERT_EQ (actual[l][(size_t) i], expected[l][(size_t) i])
                            << "block " << block << ", lane " << l << ", sample " << i;
                if (block == 7 && types.first == types.second
                    && (types.first == Filter::ladderLowPass24 || types.first == Filter::doubleLadderLowPass))
                    for (int l = 0; l < 4; ++l)
                        EXPECT_EQ (actual[l].back(), 0.0) << "lane " << l << " not flushed";
                if (block == 3 && types.second != Filter::lowPass12 && types.second != Filter::zeroDelayLadder)
                {
                    EXPECT_EQ (actual[2][48], 0.0);   // the group with the Inf is silenced
                    EXPECT_NE (actual[3][48], 0.0);   // the others are not
                    EXPECT_NE (actual[0][48], 0.0);
                }
            }
        }
}
#endif
