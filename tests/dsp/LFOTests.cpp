#include "core/globalStuff.h"
#include "dsp/LFO.h"
#include "dsp/LFOHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <string>
#include <vector>

namespace
{
class LFOTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        initGlobalTables();
        LFOHelper::instance().setTempo (120.0);
    }

    void TearDown() override { LFOHelper::instance().setTempo (120.0); }
};

// Runs a looping LFO for the given number of samples in blocks.
std::vector<double> render (LFO& lfo, int totalSamples, int blockSize = 512)
{
    std::vector<double> out;
    out.reserve ((size_t) totalSamples);
    for (int done = 0; done < totalSamples; done += blockSize)
    {
        const int n = std::min (blockSize, totalSamples - done);
        lfo.calculateBlock (n);
        out.insert (out.end(), lfo.getBuffer(), lfo.getBuffer() + n);
    }
    return out;
}

// Frequency from upward zero crossings, interpolated between samples.
double measureFrequency (const std::vector<double>& x, double sampleRate)
{
    std::vector<double> crossings;
    for (size_t i = 1; i < x.size(); ++i)
        if (x[i - 1] < 0.0 && x[i] >= 0.0)
            crossings.push_back ((double) (i - 1) + x[i - 1] / (x[i - 1] - x[i]));

    if (crossings.size() < 2)
        return 0.0;
    return (double) (crossings.size() - 1) * sampleRate / (crossings.back() - crossings.front());
}

// Lengths from which an LFO at rate hz gives at least `cycles` full cycles.
int samplesFor (double hz, double sampleRate, double cycles = 3.0)
{
    return (int) std::ceil (cycles * sampleRate / hz) + 64;
}

// A 4096-sample table holding `cycles` cycles of a sine.
std::vector<double> multiSineTable (int cycles)
{
    std::vector<double> t (LFO::kPhaseRange);
    for (int i = 0; i < LFO::kPhaseRange; ++i)
        t[(size_t) i] = std::sin (2.0 * M_PI * cycles * i / LFO::kPhaseRange);
    return t;
}
} // namespace

//==============================================================================
TEST_F (LFOTest, RateFollowsTheControlCurve)
{
    for (double sr : { 44100.0, 96000.0 })
        for (double v : { 0.0, 0.25, 0.5, 1.0 })
        {
            SCOPED_TRACE (sr);
            SCOPED_TRACE (v);
            LFO lfo;
            lfo.prepare (sr, 512);
            lfo.setSpeed (v);

            const double expected = v * v * v * 30.0 + 0.05;
            const auto out = render (lfo, samplesFor (expected, sr));
            EXPECT_NEAR (measureFrequency (out, sr), expected, expected * 0.002);
        }
}

TEST_F (LFOTest, SpeedControlIsClampedAndNeverNaN)
{
    LFO lfo;
    lfo.prepare (44100.0, 256);

    lfo.setSpeed (std::nan (""));
    EXPECT_DOUBLE_EQ (lfo.getRate(), 0.05);
    lfo.setSpeed (7.0);
    EXPECT_DOUBLE_EQ (lfo.getRate(), 30.05);
    lfo.setRateHz (-3.0);   // ignored
    EXPECT_DOUBLE_EQ (lfo.getRate(), 30.05);
    lfo.prepare (0.0, 256);  // ignored
    EXPECT_GT (lfo.getSampleRate(), 0.0);

    EXPECT_EQ (lfo.getSpeedControl(), 1.0);
    for (double v : render (lfo, 2000))
        ASSERT_TRUE (std::isfinite (v));
}

//==============================================================================
TEST_F (LFOTest, SyncTableRunsFromSlowestToFastest)
{
    auto& helper = LFOHelper::instance();
    ASSERT_EQ (helper.size(), 53);
    EXPECT_STREQ (helper.getEntry (0).name, "64/1");
    EXPECT_STREQ (helper.getEntry (52).name, "3/256");

    int equalPairs = 0;
    for (int i = 0; i < helper.size(); ++i)
    {
        const auto e = helper.getEntry (i);

        // The name is the ratio written as whole numbers.
        char expectedName[32];
        std::snprintf (expectedName, sizeof (expectedName), "%d/%d", (int) e.numerator, (int) e.denominator);
        EXPECT_STREQ (e.name, expectedName);

        if (i > 0)
        {
            const auto prev = helper.getEntry (i - 1);
            EXPECT_GE (prev.beats(), e.beats());
            if (prev.beats() == e.beats())
            {
                ++equalPairs;
                EXPECT_STREQ (prev.name, "3/2");
                EXPECT_STREQ (e.name, "6/4");
            }
        }
    }
    EXPECT_EQ (equalPairs, 1);

    // At 120 bpm: from 1/32 Hz up to about 170.67 Hz.
    EXPECT_NEAR (helper.getEntry (0).rateHz(), 0.03125, 1e-12);
    EXPECT_NEAR (helper.getEntry (52).rateHz(), 170.67, 0.01);
}

TEST_F (LFOTest, SyncLookupReturnsFirstEntryAtOrAboveTheRate)
{
    auto& helper = LFOHelper::instance();

    for (double tempo : { 120.0, 87.5 })
    {
        helper.setTempo (tempo);
        for (double hz = 0.001; hz < 2000.0; hz *= 1.07)
        {
            const int index = helper.getSyncIndexFromHz (hz);
            const auto e = helper.getSyncSpeedFromHz (hz);
            EXPECT_EQ (e.tempo, tempo);
            EXPECT_STRNE (e.name, "6/4");

            if (index < helper.size() - 1 || e.rateHz() >= hz)
            {
                EXPECT_GE (e.rateHz(), hz) << hz;
            }
            else
            {
                EXPECT_STREQ (e.name, "3/256");   // nothing fast enough
            }

            if (index > 0)
            {
                EXPECT_LT (helper.getEntry (index - 1).rateHz(), hz) << hz;
            }
        }
    }

    helper.setTempo (120.0);
    EXPECT_STREQ (helper.getSyncSpeedFromHz (3.8).name, "1/2");
    EXPECT_STREQ (helper.getSyncSpeedFromHz (30.05).name, "1/16");
    EXPECT_STREQ (helper.getSyncSpeedFromHz (1.5).name, "4/3");
    EXPECT_STREQ (helper.getSyncSpeedFromHz (1.3).name, "3/2");
    EXPECT_STREQ (helper.getSyncSpeedFromHz (1.0e6).name, "3/256");

    // Unusable host tempos are ignored.
    helper.setTempo (0.0);
    helper.setTempo (std::nan (""));
    EXPECT_EQ (helper.getTempo(), 120.0);
}

TEST_F (LFOTest, TempoSyncSnapsTheMeasuredRate)
{
    const double sr = 48000.0;
    for (auto [control, bpm, expected] : { std::tuple { 0.5, 120.0, 4.0 },   // 3.8 Hz -> "1/2"
                                          std::tuple { 1.0, 120.0, 32.0 },   // 30.05 Hz -> "1/16"
                                          std::tuple { 0.5, 60.0, 4.0 } })   // "1/4" at 60 bpm
    {
        LFOHelper::instance().setTempo (bpm);
        LFO lfo;
        lfo.prepare (sr, 256);
        lfo.setTempoSync (true);
        lfo.setSpeed (control);
        EXPECT_NEAR (measureFrequency (render (lfo, samplesFor (expected, sr, 6)), sr), expected, expected * 0.002);
    }
}

TEST_F (LFOTest, SyncCountdownRephases)
{
    const double sr = 44100.0;
    LFO lfo;
    lfo.prepare (sr, 256);
    lfo.setTempoSync (true);
    lfo.setSpeed (0.3);
    lfo.setSyncPhaseFromOffset (0.25);   // a quarter cycle: the sine's peak
    EXPECT_EQ (lfo.getSyncPhase(), 1024.0);

    // Advance to a phase far from the peak, then arm the countdown across a
    // block boundary.
    render (lfo, 1000, 256);
    lfo.setSyncCountdown (300);
    const auto out = render (lfo, 1024, 256);

    // The sample after the one on which the countdown ran out starts at the
    // sync phase.
    EXPECT_DOUBLE_EQ (out[300], 1.0);
    EXPECT_LT (out[299], 0.99);

    // The phase moves smoothly everywhere else: no second jump.
    // Truncated table reads move by whole table steps.
    const double maxStep = 2.0 * M_PI * (std::ceil (lfo.getIncrement()) + 1.0) / 4096.0;
    for (size_t i = 1; i < out.size(); ++i)
    {
        if (i != 300)
        {
            ASSERT_LE (std::abs (out[i] - out[i - 1]), maxStep) << i;
        }
    }
    EXPECT_LT (lfo.getSyncCountdown(), 0);

    // Without tempo sync the countdown has no effect, and switching sync off
    // cancels a pending re-phase.
    lfo.setTempoSync (false);
    EXPECT_EQ (lfo.getSyncCountdown(), -1);
    lfo.setSyncCountdown (10);
    const double before = lfo.getPhase();
    lfo.calculateBlock (64);
    EXPECT_NEAR (lfo.getPhase(), std::fmod (before + 64 * lfo.getIncrement(), 4096.0), 1e-6);

    // The offset control's top value wraps to 0.
    lfo.setSyncPhaseFromOffset (1.0);
    EXPECT_EQ (lfo.getSyncPhase(), 0.0);
}

//==============================================================================
TEST_F (LFOTest, LoopingShapesArePeriodicAndBounded)
{
    const double sr = 44100.0;
    const auto custom = multiSineTable (1);

    for (int shape = LFO::sine; shape <= LFO::capturedWave; ++shape)
    {
        SCOPED_TRACE (shape);
        LFO lfo;
        lfo.prepare (sr, 512);
        lfo.setCapturedTable (custom.data());
        lfo.setShape (shape);
        lfo.setRateHz (16.0 * sr / 4096.0);   // 16 table samples per sample: period 256
        const auto out = render (lfo, 2048);

        double mean = 0.0;
        for (size_t i = 0; i < out.size(); ++i)
        {
            ASSERT_TRUE (std::isfinite (out[i]));
            ASSERT_LE (std::abs (out[i]), 1.25);
            if (i + 256 < out.size())
            {
                ASSERT_EQ (out[i], out[i + 256]);
            }
            mean += out[i];
        }
        EXPECT_NEAR (mean / out.size(), 0.0, 0.02);

        // A cycle spans the full swing.
        const auto [lo, hi] = std::minmax_element (out.begin(), out.begin() + 256);
        EXPECT_GT (*hi - *lo, 1.9);
    }

    // The looping reverse saw falls from 1 to -1 across one cycle.
    LFO ramp;
    ramp.prepare (sr, 512);
    ramp.setShape (LFO::reverseSaw);
    ramp.setRateHz (16.0 * sr / 4096.0);
    const auto out = render (ramp, 256);
    EXPECT_EQ (out.front(), 1.0);
    for (size_t i = 1; i < out.size(); ++i)
        ASSERT_LT (out[i], out[i - 1]);
    EXPECT_NEAR (out.back(), -1.0, 0.01);
}

TEST_F (LFOTest, CapturedWaveIsReadFromTheCustomTable)
{
    const double sr = 44100.0;
    const auto twoCycles = multiSineTable (2);

    LFO lfo;
    lfo.prepare (sr, 512);
    lfo.setShape (LFO::capturedWave);
    lfo.setCapturedTable (twoCycles.data());
    lfo.setRateHz (5.0);

    // A table with two cycles plays at twice the LFO rate.
    EXPECT_NEAR (measureFrequency (render (lfo, samplesFor (5.0, sr)), sr), 10.0, 0.02);

    // No table, or a shape past the list: silence rather than a stale block.
    lfo.setCapturedTable (nullptr);
    for (double v : render (lfo, 1024))
        ASSERT_EQ (v, 0.0);
    lfo.setCapturedTable (twoCycles.data());
    render (lfo, 100);
    lfo.setShape (9);
    for (double v : render (lfo, 1024))
        ASSERT_EQ (v, 0.0);
}

//==============================================================================
TEST_F (LFOTest, RateModulationScalesTheRate)
{
    const double sr = 44100.0;
    const std::vector<double> ones (LFO::kPhaseRange, 1.0);

    LFO modulator;
    modulator.prepare (sr, 512);
    modulator.setShape (LFO::capturedWave);
    modulator.setCapturedTable (ones.data());

    for (auto [depth, factor] : { std::pair { 0.5, 1.5 }, std::pair { 1.0, 3.0 }, std::pair { 0.005, 1.0 } })
    {
        SCOPED_TRACE (depth);
        LFO lfo;
        lfo.prepare (sr, 512);
        lfo.setRateHz (2.0);
        EXPECT_TRUE (lfo.setModulator (&modulator, &depth));

        std::vector<double> out;
        const int total = samplesFor (2.0 * factor, sr);
        for (int done = 0; done < total; done += 512)
        {
            modulator.calculateBlock (512);   // the modulator runs first
            lfo.calculateBlock (512);
            out.insert (out.end(), lfo.getBuffer(), lfo.getBuffer() + 512);
        }
        EXPECT_NEAR (measureFrequency (out, sr), 2.0 * factor, 2.0 * factor * 0.002);
    }
}

TEST_F (LFOTest, ModulatorIsReadOnlyWithinItsBlock)
{
    const double sr = 44100.0;
    const std::vector<double> ones (LFO::kPhaseRange, 1.0);
    double depth = 0.5;

    LFO modulator;
    modulator.prepare (sr, 512);
    modulator.setShape (LFO::capturedWave);
    modulator.setCapturedTable (ones.data());
    modulator.calculateBlock (64);

    LFO lfo;
    lfo.prepare (sr, 512);
    lfo.setRateHz (1.0);
    lfo.setModulator (&modulator, &depth);
    lfo.calculateBlock (256);

    // 64 samples at 1.5 times the increment, the rest unmodulated.
    EXPECT_NEAR (lfo.getPhase(), (64 * 1.5 + 192) * lfo.getIncrement(), 1e-9);
}

TEST_F (LFOTest, VoiceLfoNeverModulatesASharedLfo)
{
    double depth = 0.5;
    LFO master1, master2, voiceLfo1, voiceLfo2;
    voiceLfo1.setOneShot (true);
    voiceLfo2.setVoiceOwned (true);

    EXPECT_TRUE (master2.setModulator (&master1, &depth));
    EXPECT_EQ (master2.getModulator(), &master1);

    EXPECT_FALSE (master2.setModulator (&voiceLfo1, &depth));
    EXPECT_EQ (master2.getModulator(), nullptr);
    EXPECT_FALSE (master2.setModulator (&voiceLfo2, &depth));

    // A voice's LFO may follow a shared one or another voice LFO.
    EXPECT_TRUE (voiceLfo2.setModulator (&master1, &depth));
    EXPECT_TRUE (voiceLfo2.setModulator (&voiceLfo1, &depth));
    EXPECT_TRUE (master2.setModulator (nullptr, nullptr));
}

//==============================================================================
TEST_F (LFOTest, OneShotReverseSawFallsFromTwoToZeroOnce)
{
    LFO master;
    master.prepare (44100.0, 1024);
    master.setShape (LFO::reverseSaw);
    master.setRateHz (16.0 * 44100.0 / 4096.0);   // 16 table samples per sample

    LFO shot;
    shot.prepare (44100.0, 1024);
    shot.setOneShot (true);
    shot.setMaster (&master);
    EXPECT_TRUE (shot.isFinishedOneShot());   // finished until a note starts it
    shot.startOneShot();
    shot.calculateOneShotFromFrame (1024);
    const double* b = shot.getBuffer();

    // Twice the phase range of the other shapes: 8192 / 16 = 512 samples.
    EXPECT_EQ (b[0], 2.0);
    for (int i = 1; i < 512; ++i)
        ASSERT_LT (b[i], b[i - 1]);
    EXPECT_NEAR (b[511], 0.0, 16.0 / 4096.0 + 1e-12);
    for (int i = 512; i < 1024; ++i)
        ASSERT_EQ (b[i], 0.0);
    EXPECT_TRUE (shot.isFinishedOneShot());
    EXPECT_EQ (shot.getShape(), LFO::reverseSaw);

    // A finished one-shot LFO is left alone.
    shot.calculateOneShotFromFrame (1024);
    EXPECT_EQ (shot.getBuffer()[0], 2.0);
}

TEST_F (LFOTest, OneShotCycleEndingInsideAFrame)
{
    const double sr = 44100.0;
    LFO master;
    master.prepare (sr, 512);
    master.setShape (LFO::triangle);
    master.setRateHz (100.0);

    LFO shot;
    shot.prepare (sr, 512);
    shot.setOneShot (true);
    shot.setMaster (&master);
    shot.startOneShot();

    // One cycle lasts sr / rate samples, across several frames.
    int lastNonZero = -1, total = 0;
    while (! shot.isFinishedOneShot() && total < 100000)
    {
        shot.calculateOneShotFromFrame (128);
        for (int i = 0; i < 128; ++i)
            if (shot.getBuffer()[i] != 0.0)
                lastNonZero = total + i;
        total += 128;
    }
    EXPECT_NEAR (lastNonZero + 1, sr / 100.0, 2.0);
    EXPECT_EQ (shot.getOneShotState(), LFO::oneShotFinished);

    // A new note runs it again from phase 0.
    shot.startOneShot();
    EXPECT_FALSE (shot.isFinishedOneShot());
    shot.calculateOneShotFromFrame (16);
    EXPECT_EQ (shot.getBuffer()[0], bandLimitedTriangle[3][0]);
}

TEST_F (LFOTest, OneShotEndsBeforeReadingPastTheTable)
{
    LFO shot;
    shot.prepare (44100.0, 256);
    shot.setOneShot (true);
    shot.setShape (LFO::sine);
    shot.setRateHz (44100.0 / 4.0);   // exactly a quarter of the table per sample
    ASSERT_EQ (shot.getIncrement(), 1024.0);
    shot.startOneShot();
    shot.calculateOneShotFromFrame (16);

    const double* b = shot.getBuffer();
    EXPECT_EQ (b[0], 0.0);
    EXPECT_EQ (b[1], 1.0);
    EXPECT_NEAR (b[2], 0.0, 1e-12);
    EXPECT_EQ (b[3], -1.0);
    // Phase 4096 ends the cycle instead of being read.
    for (int i = 4; i < 16; ++i)
        EXPECT_EQ (b[i], 0.0);
    EXPECT_TRUE (shot.isFinishedOneShot());

    // A shape switched from the long ramp to a table half-way (phase beyond
    // the table) ends the cycle at once.
    LFO master;
    master.setShape (LFO::reverseSaw);
    master.setRateHz (44100.0 / 4.0);
    shot.setMaster (&master);
    shot.startOneShot();
    shot.calculateOneShotFromFrame (6);   // phase 6144 after the frame
    EXPECT_FALSE (shot.isFinishedOneShot());
    master.setShape (LFO::square);
    shot.calculateOneShotFromFrame (16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ (shot.getBuffer()[i], 0.0);
    EXPECT_TRUE (shot.isFinishedOneShot());
}

TEST_F (LFOTest, OneShotWithoutASourceIsSilent)
{
    LFO shot;
    shot.prepare (44100.0, 256);
    shot.setOneShot (true);
    shot.setRateHz (441.0);   // 100 samples per cycle

    // An unsupported shape gives a silent frame and keeps running.
    shot.setShape (7);
    shot.startOneShot();
    shot.calculateOneShotFromFrame (256);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ (shot.getBuffer()[i], 0.0);
    EXPECT_FALSE (shot.isFinishedOneShot());

    // The captured shape with no table: silent, and the cycle still ends.
    shot.setShape (LFO::capturedWave);
    shot.startOneShot();
    shot.calculateOneShotFromFrame (256);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ (shot.getBuffer()[i], 0.0);
    EXPECT_TRUE (shot.isFinishedOneShot());
}

//==============================================================================
TEST_F (LFOTest, PrepareSizesTheBufferForTheBlock)
{
    LFO lfo;
    EXPECT_EQ (lfo.getCapacity(), 256);
    lfo.prepare (48000.0, 1000);
    EXPECT_GE (lfo.getCapacity(), 1000);

    const double* before = lfo.getBuffer();
    lfo.calculateBlock (1000);
    EXPECT_EQ (lfo.getBuffer(), before);   // no allocation while processing
    EXPECT_EQ (lfo.getValidLength(), 1000);

    // A longer block than prepared still works (fallback growth).
    lfo.calculateBlock (5000);
    EXPECT_GE (lfo.getCapacity(), 5000);
    EXPECT_EQ (lfo.getValidLength(), 5000);
    for (int i = 0; i < 5000; ++i)
        ASSERT_TRUE (std::isfinite (lfo.getBuffer()[i]));

    lfo.reset();
    EXPECT_EQ (lfo.getPhase(), 0.0);
    EXPECT_EQ (lfo.getBuffer()[10], 0.0);
}
