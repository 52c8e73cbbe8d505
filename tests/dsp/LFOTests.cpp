#include "core/globalStuff.h"
#include "dsp/LFO.h"
#include "dsp/LFOHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>
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

constexpr double kRate = 44100.0;
constexpr double kSixteenSteps = 16.0 * kRate / 4096.0; // 16 table samples per sample

void setUp (LFO& lfo, int shape, double hz, int blockSize = 512)
{
    lfo.prepare (kRate, blockSize);
    lfo.setShape (shape);
    lfo.setRateHz (hz);
}

// Runs a looping LFO for the given number of samples in blocks.
std::vector<double> render (LFO& lfo, int totalSamples, int blockSize = 512)
{
    std::vector<double> out;
    for (int done = 0; done < totalSamples; done += blockSize)
    {
        const int n = std::min (blockSize, totalSamples - done);
        lfo.calculateBlock (n);
        out.insert (out.end(), lfo.getBuffer(), lfo.getBuffer() + n);
    }
    return out;
}

bool silent (const double* x, int from, int to)
{
    return std::all_of (x + from, x + to, [] (double v) { return v == 0.0; });
}

bool silent (const std::vector<double>& x) { return silent (x.data(), 0, (int) x.size()); }

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

TEST_F (LFOTest, RateFollowsTheControlCurveWithinItsLimits)
{
    for (double sr : { 44100.0, 96000.0 })
        for (double v : { 0.0, 0.25, 0.5, 1.0 })
        {
            SCOPED_TRACE (testing::Message() << sr << " Hz, control " << v);
            LFO lfo;
            lfo.prepare (sr, 512);
            lfo.setSpeed (v);
            const double expected = v * v * v * 30.0 + 0.05;
            EXPECT_NEAR (measureFrequency (render (lfo, samplesFor (expected, sr)), sr), expected, expected * 0.002);
        }

    // Controls outside [0, 1] are clamped; negative rates and sample rates ignored.
    LFO lfo;
    lfo.prepare (kRate, 256);
    lfo.setSpeed (std::nan (""));
    EXPECT_DOUBLE_EQ (lfo.getRate(), 0.05);
    lfo.setSpeed (7.0);
    lfo.setRateHz (-3.0);
    EXPECT_DOUBLE_EQ (lfo.getRate(), 30.05);
    EXPECT_EQ (lfo.getSpeedControl(), 1.0);
    lfo.prepare (0.0, 256);
    EXPECT_GT (lfo.getSampleRate(), 0.0);
    for (double v : render (lfo, 2000))
        ASSERT_TRUE (std::isfinite (v));
}

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
        char ratio[32]; // the name is the ratio written as whole numbers
        std::snprintf (ratio, sizeof (ratio), "%d/%d", (int) e.numerator, (int) e.denominator);
        EXPECT_STREQ (e.name, ratio);

        if (i == 0)
            continue;
        const auto prev = helper.getEntry (i - 1);
        EXPECT_GE (prev.beats(), e.beats());
        if (prev.beats() == e.beats())
        {
            ++equalPairs;
            EXPECT_STREQ (prev.name, "3/2");
            EXPECT_STREQ (e.name, "6/4");
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
                EXPECT_GE (e.rateHz(), hz) << hz;
            else
                EXPECT_STREQ (e.name, "3/256") << hz; // nothing fast enough
            if (index > 0)
                EXPECT_LT (helper.getEntry (index - 1).rateHz(), hz) << hz;
        }
    }

    helper.setTempo (120.0);
    for (auto [hz, name] : { std::pair { 3.8, "1/2" }, { 30.05, "1/16" }, { 1.5, "4/3" }, { 1.3, "3/2" }, { 1.0e6, "3/256" } })
        EXPECT_STREQ (helper.getSyncSpeedFromHz (hz).name, name) << hz;

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
    LFO lfo;
    lfo.prepare (kRate, 256);
    lfo.setTempoSync (true);
    lfo.setSpeed (0.3);
    lfo.setSyncPhaseFromOffset (0.25); // a quarter cycle: the sine's peak
    EXPECT_EQ (lfo.getSyncPhase(), 1024.0);

    // Away from the peak, then a countdown that runs across a block boundary:
    // the sample after the one on which it ran out starts at the sync phase.
    render (lfo, 1000, 256);
    lfo.setSyncCountdown (300);
    const auto out = render (lfo, 1024, 256);
    EXPECT_DOUBLE_EQ (out[300], 1.0);
    EXPECT_LT (out[299], 0.99);

    // No second jump: truncated table reads move by whole table steps only.
    const double maxStep = 2.0 * M_PI * (std::ceil (lfo.getIncrement()) + 1.0) / 4096.0;
    for (size_t i = 1; i < out.size(); ++i)
        if (i != 300)
            ASSERT_LE (std::abs (out[i] - out[i - 1]), maxStep) << i;
    EXPECT_LT (lfo.getSyncCountdown(), 0);

    // Switching sync off cancels a pending re-phase; without sync a countdown does nothing.
    lfo.setTempoSync (false);
    EXPECT_EQ (lfo.getSyncCountdown(), -1);
    lfo.setSyncCountdown (10);
    const double before = lfo.getPhase();
    lfo.calculateBlock (64);
    EXPECT_NEAR (lfo.getPhase(), std::fmod (before + 64 * lfo.getIncrement(), 4096.0), 1e-6);

    lfo.setSyncPhaseFromOffset (1.0); // the offset control's top wraps to 0
    EXPECT_EQ (lfo.getSyncPhase(), 0.0);
}

TEST_F (LFOTest, LoopingShapesArePeriodicAndBounded)
{
    const auto custom = multiSineTable (1);
    for (int shape = LFO::sine; shape <= LFO::capturedWave; ++shape)
    {
        SCOPED_TRACE (shape);
        LFO lfo;
        setUp (lfo, shape, kSixteenSteps); // period 256
        lfo.setCapturedTable (custom.data());
        const auto out = render (lfo, 2048);

        double mean = 0.0;
        for (size_t i = 0; i < out.size(); ++i)
        {
            ASSERT_TRUE (std::isfinite (out[i]));
            ASSERT_LE (std::abs (out[i]), 1.25);
            if (i + 256 < out.size())
                ASSERT_EQ (out[i], out[i + 256]);
            mean += out[i];
        }
        EXPECT_NEAR (mean / out.size(), 0.0, 0.02);
        const auto [lo, hi] = std::minmax_element (out.begin(), out.begin() + 256);
        EXPECT_GT (*hi - *lo, 1.9); // a cycle spans the full swing
    }

    // The looping reverse saw falls from 1 to -1 across one cycle.
    LFO ramp;
    setUp (ramp, LFO::reverseSaw, kSixteenSteps);
    const auto out = render (ramp, 256);
    EXPECT_EQ (out.front(), 1.0);
    for (size_t i = 1; i < out.size(); ++i)
        ASSERT_LT (out[i], out[i - 1]);
    EXPECT_NEAR (out.back(), -1.0, 0.01);
}

TEST_F (LFOTest, CapturedWaveIsReadFromTheCustomTable)
{
    const auto twoCycles = multiSineTable (2);
    LFO lfo;
    setUp (lfo, LFO::capturedWave, 5.0);
    lfo.setCapturedTable (twoCycles.data());

    // A table with two cycles plays at twice the LFO rate.
    EXPECT_NEAR (measureFrequency (render (lfo, samplesFor (5.0, kRate)), kRate), 10.0, 0.02);

    // No table, or a shape past the list: silence rather than a stale block.
    lfo.setCapturedTable (nullptr);
    EXPECT_TRUE (silent (render (lfo, 1024)));
    lfo.setCapturedTable (twoCycles.data());
    render (lfo, 100);
    lfo.setShape (9);
    EXPECT_TRUE (silent (render (lfo, 1024)));
}

TEST_F (LFOTest, RateModulationScalesTheRateFromTheModulatorsBlock)
{
    const std::vector<double> ones (LFO::kPhaseRange, 1.0);
    LFO modulator;
    setUp (modulator, LFO::capturedWave, 1.0);
    modulator.setCapturedTable (ones.data());

    for (auto [depthValue, factor] : { std::pair { 0.5, 1.5 }, { 1.0, 3.0 }, { 0.005, 1.0 } })
    {
        SCOPED_TRACE (depthValue);
        ParameterValue depth = depthValue;
        LFO lfo;
        setUp (lfo, LFO::sine, 2.0);
        EXPECT_TRUE (lfo.setModulator (&modulator, &depth));

        std::vector<double> out;
        for (int done = 0; done < samplesFor (2.0 * factor, kRate); done += 512)
        {
            modulator.calculateBlock (512); // the modulator runs first
            lfo.calculateBlock (512);
            out.insert (out.end(), lfo.getBuffer(), lfo.getBuffer() + 512);
        }
        EXPECT_NEAR (measureFrequency (out, kRate), 2.0 * factor, 2.0 * factor * 0.002);
    }

    // Only as many modulator values as its own block holds are read.
    ParameterValue depth = 0.5;
    modulator.calculateBlock (64);
    LFO lfo;
    setUp (lfo, LFO::sine, 1.0);
    lfo.setModulator (&modulator, &depth);
    lfo.calculateBlock (256);
    EXPECT_NEAR (lfo.getPhase(), (64 * 1.5 + 192) * lfo.getIncrement(), 1e-9);
}

TEST_F (LFOTest, VoiceLfoNeverModulatesASharedLfo)
{
    ParameterValue depth = 0.5;
    LFO master1, master2, voiceLfo1, voiceLfo2;
    voiceLfo1.setOneShot (true);
    voiceLfo2.setVoiceOwned (true);

    EXPECT_TRUE (master2.setModulator (&master1, &depth));
    EXPECT_EQ (master2.getModulator(), &master1);
    EXPECT_FALSE (master2.setModulator (&voiceLfo1, &depth));
    EXPECT_EQ (master2.getModulator(), nullptr); // a refusal detaches
    EXPECT_FALSE (master2.setModulator (&voiceLfo2, &depth));

    // A voice's LFO may follow a shared one or another voice LFO.
    EXPECT_TRUE (voiceLfo2.setModulator (&master1, &depth));
    EXPECT_TRUE (voiceLfo2.setModulator (&voiceLfo1, &depth));
    EXPECT_TRUE (master2.setModulator (nullptr, nullptr));
}

TEST_F (LFOTest, OneShotReverseSawFallsFromTwoToZeroOnce)
{
    LFO master, shot;
    setUp (master, LFO::reverseSaw, kSixteenSteps, 1024);
    shot.prepare (kRate, 1024);
    shot.setOneShot (true);
    shot.setMaster (&master);
    EXPECT_TRUE (shot.isFinishedOneShot()); // finished until a note starts it
    shot.startOneShot();
    shot.calculateOneShotFromFrame (1024);
    const double* b = shot.getBuffer();

    // Twice the phase range of the other shapes: 8192 / 16 = 512 samples.
    EXPECT_EQ (b[0], 2.0);
    for (int i = 1; i < 512; ++i)
        ASSERT_LT (b[i], b[i - 1]);
    EXPECT_NEAR (b[511], 0.0, 16.0 / 4096.0 + 1e-12);
    EXPECT_TRUE (silent (b, 512, 1024));
    EXPECT_TRUE (shot.isFinishedOneShot());
    EXPECT_EQ (shot.getShape(), LFO::reverseSaw);

    // A finished one-shot LFO is left alone.
    shot.calculateOneShotFromFrame (1024);
    EXPECT_EQ (shot.getBuffer()[0], 2.0);
}

TEST_F (LFOTest, OneShotCycleEndingInsideAFrame)
{
    LFO master, shot;
    setUp (master, LFO::triangle, 100.0);
    shot.prepare (kRate, 512);
    shot.setOneShot (true);
    shot.setMaster (&master);
    shot.startOneShot();

    // One cycle lasts sr / rate samples, across several frames.
    int lastNonZero = -1, total = 0;
    for (; ! shot.isFinishedOneShot() && total < 100000; total += 128)
    {
        shot.calculateOneShotFromFrame (128);
        for (int i = 0; i < 128; ++i)
            if (shot.getBuffer()[i] != 0.0)
                lastNonZero = total + i;
    }
    EXPECT_NEAR (lastNonZero + 1, kRate / 100.0, 2.0);
    EXPECT_EQ (shot.getOneShotState(), LFO::oneShotFinished);

    // A new note runs it again from phase 0.
    shot.startOneShot();
    EXPECT_FALSE (shot.isFinishedOneShot());
    shot.calculateOneShotFromFrame (16);
    EXPECT_EQ (shot.getBuffer()[0], bandLimitedTriangle[3][0]);
}

TEST_F (LFOTest, OneShotEndsAtTheTableEndAndIsSilentWithoutASource)
{
    LFO shot;
    setUp (shot, LFO::sine, kRate / 4.0, 256); // a quarter of the table per sample
    shot.setOneShot (true);
    ASSERT_EQ (shot.getIncrement(), 1024.0);
    shot.startOneShot();
    shot.calculateOneShotFromFrame (16);
    const double* b = shot.getBuffer();
    EXPECT_EQ (b[0], 0.0);
    EXPECT_EQ (b[1], 1.0);
    EXPECT_NEAR (b[2], 0.0, 1e-12);
    EXPECT_EQ (b[3], -1.0);
    EXPECT_TRUE (silent (b, 4, 16)); // phase 4096 ends the cycle instead of being read
    EXPECT_TRUE (shot.isFinishedOneShot());

    // Switched from the long ramp to a table half-way (phase beyond the
    // table): the cycle ends at once.
    LFO master;
    master.setShape (LFO::reverseSaw);
    master.setRateHz (kRate / 4.0);
    shot.setMaster (&master);
    shot.startOneShot();
    shot.calculateOneShotFromFrame (6); // phase 6144 after the frame
    EXPECT_FALSE (shot.isFinishedOneShot());
    master.setShape (LFO::square);
    shot.calculateOneShotFromFrame (16);
    EXPECT_TRUE (silent (shot.getBuffer(), 0, 16));
    EXPECT_TRUE (shot.isFinishedOneShot());

    // Without a source: an unsupported shape is silent and keeps running; the
    // captured shape with no table is silent and still ends.
    LFO lone;
    setUp (lone, 7, 441.0, 256); // 100 samples per cycle
    lone.setOneShot (true);
    lone.startOneShot();
    lone.calculateOneShotFromFrame (256);
    EXPECT_TRUE (silent (lone.getBuffer(), 0, 256));
    EXPECT_FALSE (lone.isFinishedOneShot());
    lone.setShape (LFO::capturedWave);
    lone.startOneShot();
    lone.calculateOneShotFromFrame (256);
    EXPECT_TRUE (silent (lone.getBuffer(), 0, 256));
    EXPECT_TRUE (lone.isFinishedOneShot());
}

TEST_F (LFOTest, PrepareSizesTheBufferForTheBlock)
{
    LFO lfo;
    EXPECT_EQ (lfo.getCapacity(), 256);
    lfo.prepare (48000.0, 1000);
    EXPECT_GE (lfo.getCapacity(), 1000);

    const double* before = lfo.getBuffer();
    lfo.calculateBlock (1000);
    EXPECT_EQ (lfo.getBuffer(), before); // no allocation while processing
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
