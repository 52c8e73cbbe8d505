#include "core/globalStuff.h"
#include "core/parameters.h"
#include "dsp/Envelope.h"
#include "dsp/LFO.h"
#include "dsp/ModMatrix.h"
#include "dsp/VoiceModulation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace
{
// A voice's worth of modulation sources around one matrix.
class VoiceModulationTest : public ::testing::Test
{
protected:
    static constexpr int kBlock = 256;
    static constexpr int kEntries = kBlock / 8;

    void SetUp() override
    {
        initGlobalTables();
        mod.prepare (44100.0, kBlock);
        mod.setParameters (parameters.data());
        mod.setEnvelopes (&ampEnv, &filterEnv);
        mod.setEnvelopeTables (ampLevels.data(), (int) ampLevels.size(), filterLevels.data(), (int) filterLevels.size());
        mod.setLfoSources (&lfo1, &lfo2);

        for (auto* l : { &lfo1, &lfo2 })
            l->prepare (44100.0, kBlock);
        lfo1.setRateHz (40.0);
        lfo2.setShape (LFO::triangle);
        lfo2.setRateHz (25.0);
        lfo1.calculateBlock (kBlock);
        lfo2.calculateBlock (kBlock);

        // Distinct, known envelope levels per entry.
        for (size_t j = 0; j < ampLevels.size(); ++j)
            ampLevels[j] = 0.5 + 0.01 * (double) j;
        for (size_t j = 0; j < filterLevels.size(); ++j)
            filterLevels[j] = 0.9 - 0.02 * (double) j;
    }

    void setAmount (int source, int destination, double a)
    {
        parameters[(size_t) params::modAmountIndex (source, destination)] = a;
    }

    // Starts a block of n samples; destination d's table, or null when inactive.
    const double* tableFor (int d, int n = kBlock)
    {
        mod.beginBlock (n);
        return mod.requestDestination (d) ? mod.getTable (d) : nullptr;
    }

    // Both LFOs put out the given table's (constant) value.
    void constantLfos (const std::vector<double>& table)
    {
        for (auto* l : { &lfo1, &lfo2 })
        {
            l->setShape (LFO::capturedWave);
            l->setCapturedTable (table.data());
            l->calculateBlock (kBlock);
        }
    }

    std::vector<ParameterValue> parameters = std::vector<ParameterValue> (params::kNumValues, 0.0);
    std::vector<double> ampLevels = std::vector<double> (kEntries, 0.0);
    std::vector<double> filterLevels = std::vector<double> (kBlock / 16, 0.0);
    Envelope ampEnv { "amplitude" }, filterEnv { "filter" };
    LFO lfo1, lfo2;
    VoiceModulation mod;
};
} // namespace

TEST_F (VoiceModulationTest, OnlyDestinationsWithAnAmountGetATableStartingFromTheirBase)
{
    mod.beginBlock (kBlock);
    for (int d = -1; d <= ModMatrix::kNumDestinations; ++d)
    {
        EXPECT_FALSE (mod.requestDestination (d)) << d;
        EXPECT_FALSE (mod.isActive (d)) << d;
    }
    EXPECT_EQ (mod.getTable (20), nullptr);

    // An amount on a source without a signal activates the base table only.
    for (int d = 0; d < ModMatrix::kNumDestinations; ++d)
        setAmount (7, d, 1.0);
    mod.beginBlock (kBlock);
    for (int d = 0; d < ModMatrix::kNumDestinations; ++d)
    {
        SCOPED_TRACE (d);
        ASSERT_TRUE (mod.requestDestination (d));
        const bool additive = d >= 2 && d <= 5;
        EXPECT_EQ (mod.isMultiplicative (d), ! additive);
        // Pulse-width destinations map the base 1 to no offset.
        const double expected = ModMatrix::isPulseWidth (d) || additive ? 0.0 : 1.0;
        for (int j = 0; j < kEntries; ++j)
            ASSERT_EQ (mod.getTable (d)[j], expected);
    }
}

TEST_F (VoiceModulationTest, AmountsAndVelocityActSquared)
{
    // Velocity 1 with full amount on the cutoff multiplies it by 2.5.
    mod.setVelocity (1.0);
    setAmount (ModMatrix::velocity, ModMatrix::cutoff, 1.0);
    setAmount (ModMatrix::velocity, ModMatrix::noiseLevel, 1.0);
    mod.beginBlock (kBlock);
    ASSERT_TRUE (mod.requestDestination (ModMatrix::cutoff));
    ASSERT_TRUE (mod.requestDestination (ModMatrix::noiseLevel));
    EXPECT_DOUBLE_EQ (mod.getTable (ModMatrix::cutoff)[0], 2.5);
    EXPECT_DOUBLE_EQ (mod.getTable (ModMatrix::noiseLevel)[0], 1.5); // additive

    // Doubling the amount quadruples the contribution.
    auto contribution = [&] (double a) {
        setAmount (ModMatrix::velocity, ModMatrix::cutoff, a);
        return tableFor (ModMatrix::cutoff)[5] - 1.0;
    };
    const double quarter = contribution (0.25), half = contribution (0.5), full = contribution (1.0);
    EXPECT_NEAR (full / half, 4.0, 1e-12);
    EXPECT_NEAR (half / quarter, 4.0, 1e-12);

    mod.setVelocity (0.5);
    EXPECT_NEAR (contribution (1.0), 1.5 * 0.25, 1e-12);
}

TEST_F (VoiceModulationTest, SourcesAreSampledPerEightSamples)
{
    const double a = 0.7, w = a * a;
    setAmount (ModMatrix::lfo1, ModMatrix::osc1Pitch, a);
    setAmount (ModMatrix::lfo2, ModMatrix::osc2Pitch, a);
    setAmount (ModMatrix::ampEnvelope, ModMatrix::osc3Level, a);
    setAmount (ModMatrix::filterEnvelope, ModMatrix::resonance, a);
    mod.beginBlock (kBlock);
    for (int d : { ModMatrix::osc1Pitch, ModMatrix::osc2Pitch, ModMatrix::osc3Level, ModMatrix::resonance })
        ASSERT_TRUE (mod.requestDestination (d)) << d;

    for (int j = 0; j < kEntries; ++j)
    {
        SCOPED_TRACE (j);
        EXPECT_DOUBLE_EQ (mod.getTable (ModMatrix::osc1Pitch)[j], 1.0 + w * lfo1.getBuffer()[8 * j]);
        EXPECT_DOUBLE_EQ (mod.getTable (ModMatrix::osc2Pitch)[j], 1.0 + w * lfo2.getBuffer()[8 * j]);
        EXPECT_DOUBLE_EQ (mod.getTable (ModMatrix::osc3Level)[j], w * ampLevels[(size_t) j]);
        // One filter level per 16 samples serves two entries.
        EXPECT_DOUBLE_EQ (mod.getTable (ModMatrix::resonance)[j], 1.0 + w * filterLevels[(size_t) j / 2]);
    }

    // The LFO signal really moves the table over the block.
    const double* t = mod.getTable (ModMatrix::osc1Pitch);
    const auto [lo, hi] = std::minmax_element (t, t + kEntries);
    EXPECT_GT (*hi - *lo, 0.5 * w);
}

TEST_F (VoiceModulationTest, PulseWidthIsMappedAndClamped)
{
    // A full signal of 1 moves the pulse width by 0.49.
    std::fill (ampLevels.begin(), ampLevels.end(), 1.0);
    setAmount (ModMatrix::ampEnvelope, ModMatrix::osc1PulseWidth, 1.0);
    const double* t = tableFor (ModMatrix::osc1PulseWidth);
    ASSERT_NE (t, nullptr);
    EXPECT_NEAR (t[3], 0.49, 1e-12);

    // Every source at once saturates at +1, and strongly negative at -1.
    for (int s = 0; s < ModMatrix::kNumLiveSources; ++s)
        setAmount (s, ModMatrix::osc2PulseWidth, 1.0);
    for (double sign : { 1.0, -1.0 })
    {
        std::fill (ampLevels.begin(), ampLevels.end(), sign);
        std::fill (filterLevels.begin(), filterLevels.end(), sign);
        mod.setVelocity (sign > 0.0 ? 1.0 : 0.0);
        const std::vector<double> level (LFO::kPhaseRange, sign);
        constantLfos (level);
        t = tableFor (ModMatrix::osc2PulseWidth);
        ASSERT_NE (t, nullptr);
        for (int j = 0; j < kEntries; ++j)
            ASSERT_EQ (t[j], sign) << j;
    }
}

TEST_F (VoiceModulationTest, FinishedOrMissingLfoStopsContributing)
{
    LFO shot;
    shot.prepare (44100.0, kBlock);
    shot.setOneShot (true);
    shot.setShape (LFO::reverseSaw); // starts at 2
    shot.setRateHz (2000.0);         // one cycle of about 44 samples
    shot.startOneShot();
    mod.setLfoSources (&shot, &lfo2);
    setAmount (ModMatrix::lfo1, ModMatrix::pitch, 1.0);

    shot.calculateOneShotFromFrame (64);
    ASSERT_TRUE (shot.isFinishedOneShot()); // the cycle ended in this frame
    const double* t = tableFor (ModMatrix::pitch, 64);
    ASSERT_NE (t, nullptr);
    for (int j = 0; j < 8; ++j)
        EXPECT_EQ (t[j], 1.0);

    // While running it does contribute.
    shot.startOneShot();
    shot.setRateHz (10.0);
    shot.calculateOneShotFromFrame (64);
    EXPECT_NEAR (tableFor (ModMatrix::pitch, 64)[0], 3.0, 1e-12);

    mod.setLfoSources (nullptr, nullptr);
    EXPECT_EQ (tableFor (ModMatrix::pitch, 64)[0], 1.0);
}

TEST_F (VoiceModulationTest, ShortAndOddBlocksFillOnlyTheirEntries)
{
    mod.setVelocity (1.0);
    setAmount (ModMatrix::velocity, ModMatrix::osc4Level, 1.0);

    // 13 samples: entries 0 and 1 (the last partial group included).
    const double* t = tableFor (ModMatrix::osc4Level, 13);
    ASSERT_NE (t, nullptr);
    EXPECT_EQ (t[0], 2.5);
    EXPECT_EQ (t[1], 2.5);
    EXPECT_EQ (t[2], 1.0);

    // An LFO that computed fewer samples than the block is read only that far.
    setAmount (ModMatrix::lfo1, ModMatrix::osc4Pitch, 1.0);
    lfo1.calculateBlock (16);
    t = tableFor (ModMatrix::osc4Pitch, 64);
    ASSERT_NE (t, nullptr);
    EXPECT_EQ (t[1], 1.0 + lfo1.getBuffer()[8]);
    for (int j = 2; j < 8; ++j)
        EXPECT_EQ (t[j], 1.0);
}

TEST_F (VoiceModulationTest, TablesAlwaysHoldTheWholeBlock)
{
    // Every length, including those just past a multiple of 8 times the
    // capacity, gets ceil(n / 8) + 1 entries.
    VoiceModulation fresh;
    fresh.setParameters (parameters.data());
    fresh.setEnvelopes (&ampEnv, &filterEnv);
    fresh.setVelocity (1.0);
    setAmount (ModMatrix::velocity, ModMatrix::cutoff, 1.0);
    for (int n = 1; n <= 4100; ++n)
    {
        fresh.beginBlock (n);
        ASSERT_GE (fresh.getTableCapacity(), (n + 7) / 8 + 1) << n;
        fresh.requestDestination (ModMatrix::cutoff);
        ASSERT_EQ (fresh.getTable (ModMatrix::cutoff)[(n + 7) / 8 - 1], 2.5) << n;
    }

    // After prepare, blocks up to the prepared size do not reallocate.
    VoiceModulation prepared;
    prepared.prepare (48000.0, 2048);
    const double* before = prepared.getTable (0);
    for (int n = 1; n <= 2048; ++n)
        prepared.beginBlock (n);
    EXPECT_EQ (prepared.getTable (0), before);
}

TEST_F (VoiceModulationTest, ComputedOncePerBlockAndOnlyWithEnvelopes)
{
    mod.setVelocity (1.0);
    setAmount (ModMatrix::velocity, ModMatrix::cutoff, 1.0);
    ASSERT_NE (tableFor (ModMatrix::cutoff), nullptr);

    // A change inside the block shows from the next block on.
    setAmount (ModMatrix::velocity, ModMatrix::cutoff, 0.5);
    mod.requestDestination (ModMatrix::cutoff);
    EXPECT_EQ (mod.getTable (ModMatrix::cutoff)[0], 2.5);
    EXPECT_EQ (tableFor (ModMatrix::cutoff)[0], 1.375);

    mod.setEnvelopes (&ampEnv, nullptr);
    EXPECT_EQ (tableFor (ModMatrix::cutoff), nullptr);
}

TEST_F (VoiceModulationTest, BadAmountsAndVelocitiesStayFinite)
{
    setAmount (ModMatrix::lfo1, ModMatrix::cutoff, std::nan (""));
    setAmount (ModMatrix::ampEnvelope, ModMatrix::cutoff, 0.5);
    setAmount (ModMatrix::velocity, ModMatrix::cutoff, 1.0);
    mod.setVelocity (std::nan (""));
    const double* t = tableFor (ModMatrix::cutoff);
    ASSERT_NE (t, nullptr);
    for (int j = 0; j < kEntries; ++j)
        ASSERT_TRUE (std::isfinite (t[j]));
    EXPECT_EQ (mod.getVelocity(), 0.0);
    mod.setVelocity (3.0);
    EXPECT_EQ (mod.getVelocity(), 1.0);
}

TEST (ModMatrix, AmountBlockCoversExactly570To769)
{
    std::vector<ParameterValue> p (params::kNumValues, 0.0);
    p[569] = p[770] = 1.0; // neighbours of the block
    for (int s = 0; s < ModMatrix::kNumSources; ++s)
        for (int d = 0; d < ModMatrix::kNumDestinations; ++d)
            EXPECT_EQ (ModMatrix::amount (p.data(), s, d), 0.0);

    p[570] = 0.2;
    p[769] = 0.3;
    EXPECT_EQ (ModMatrix::amount (p.data(), ModMatrix::lfo1, ModMatrix::voiceLevel), 0.2);
    EXPECT_EQ (ModMatrix::amount (p.data(), 9, 19), 0.3);
    EXPECT_EQ (ModMatrix::amount (nullptr, 0, 0), 0.0);
}

TEST_F (VoiceModulationTest, FilterLevelsServeTwoEntriesAndSharedLfosReadFromTheVoicesOffset)
{
    // Three filter levels (an odd count short of the block) serve entries 0..5.
    mod.setEnvelopeTables (ampLevels.data(), (int) ampLevels.size(), filterLevels.data(), 3);
    setAmount (ModMatrix::filterEnvelope, ModMatrix::osc4Pitch, 1.0);
    const double* t = tableFor (ModMatrix::osc4Pitch);
    ASSERT_NE (t, nullptr);
    for (int j = 0; j < 6; ++j)
        EXPECT_EQ (t[j], 1.0 + filterLevels[(size_t) (j / 2)]) << j;
    for (int j = 6; j < kEntries; ++j)
        EXPECT_EQ (t[j], 1.0) << j;

    // A shared LFO computed for 100 samples, the voice starting 36 samples in:
    // entry j reads sample 36 + 8 j while that is below 100.
    setAmount (ModMatrix::filterEnvelope, ModMatrix::osc4Pitch, 0.0);
    setAmount (ModMatrix::lfo1, ModMatrix::osc4Pitch, 1.0);
    lfo1.setVoiceOwned (false);
    lfo1.calculateBlock (100);
    mod.setSharedLfoOffset (36);
    t = tableFor (ModMatrix::osc4Pitch, 128);
    ASSERT_NE (t, nullptr);
    for (int j = 0; j < 16; ++j)
        EXPECT_EQ (t[j], 36 + 8 * j < 100 ? 1.0 + lfo1.getBuffer()[36 + 8 * j] : 1.0) << j;
}

TEST_F (VoiceModulationTest, EverySourceMixMatchesTheSumTakenSourceBySource)
{
    // The table in one go (every source reaching the block) and one source at
    // a time (some source stopping short) against the sum written out: the
    // base, then each source with an amount in source order.
    const int destinations[] = { ModMatrix::cutoff, ModMatrix::osc1PulseWidth, ModMatrix::noiseLevel };
    mod.setVelocity (0.7);
    lfo2.setVoiceOwned (true);
    lfo2.calculateBlock (kBlock);
    for (int shortLfo = 0; shortLfo < 3; ++shortLfo)
        for (int n : { kBlock, 77, 8 })
            for (int d : destinations)
                for (int mask = 0; mask < 32; ++mask)
                {
                    for (int s = 0; s < ModMatrix::kNumSources; ++s)
                        setAmount (s, d, 0.0);
                    setAmount (7, d, 0.4);   // a source without a signal keeps it active
                    for (int s = 0; s < ModMatrix::kNumLiveSources; ++s)
                        if ((mask >> s) & 1)
                            setAmount (s, d, 0.3 + 0.1 * s + 0.01 * mask);

                    // The third round: levels that are not finite.
                    ampLevels[3] = shortLfo == 2 ? std::nan ("") : 0.53;
                    ampLevels[6] = shortLfo == 2 ? -INFINITY : 0.56;
                    lfo1.setVoiceOwned (shortLfo != 1);
                    lfo1.calculateBlock (shortLfo == 1 ? 100 : kBlock);
                    mod.setSharedLfoOffset (shortLfo == 1 ? 36 : 0);

                    const double* t = tableFor (d, n);
                    ASSERT_NE (t, nullptr);
                    const int entries = (n + 7) / 8;
                    const int offset1 = shortLfo == 1 ? 36 : 0;
                    const int valid1 = lfo1.getValidLength();
                    for (int j = 0; j < mod.getTableCapacity(); ++j)
                    {
                        double e = ModMatrix::isMultiplicative (d) ? 1.0 : 0.0;
                        for (int s = 0; s < ModMatrix::kNumLiveSources && j < entries; ++s)
                        {
                            const double a = ModMatrix::amount (parameters.data(), s, d);
                            if (a == 0.0)
                                continue;
                            const double w = a * a;
                            if (s == ModMatrix::lfo1 && offset1 + 8 * j < valid1)
                                e += lfo1.getBuffer()[offset1 + 8 * j] * w;
                            else if (s == ModMatrix::lfo2)
                                e += lfo2.getBuffer()[8 * j] * w;
                            else if (s == ModMatrix::ampEnvelope)
                                e += ampLevels[(size_t) j] * w;
                            else if (s == ModMatrix::filterEnvelope)
                                e += filterLevels[(size_t) (j / 2)] * w;
                            else if (s == ModMatrix::velocity)
                                e += 0.7 * 1.5 * 0.7 * w;
                        }
                        if (ModMatrix::isPulseWidth (d))
                            e = std::isnan (e) ? -1.0 : std::clamp (e * 0.49 - 0.49, -1.0, 1.0);
                        if (std::isnan (e))
                            ASSERT_TRUE (std::isnan (t[j])) << "entry " << j;
                        else
                            ASSERT_EQ (t[j], e) << "entry " << j << " destination " << d << " sources " << mask
                                            << " block " << n << " short lfo " << shortLfo;
                    }
                }
}
