#include "SplineTestRig.h"

#include "dsp/VectorPath.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace splinetest;

namespace
{
class SplineSoundTest : public ::testing::TestWithParam<double>
{
};

// Enough whole cycles of a note for a stable pitch reading.
int lengthFor (int note, double rate)
{
    const double cycles = 24.0;
    return std::max ((int) (rate * 0.5), (int) (cycles * rate / freqtab[note]));
}
} // namespace

TEST_P (SplineSoundTest, RampPlaysSawAtTheNotePitchAcrossTheKeyboard)
{
    const double rate = GetParam();
    Rig rig (rate);
    rig.setPoints (ramp());

    for (int note : { 0, 5, 12, 24, 36, 45, 50, 51, 60, 72, 84, 96, 108 })
    {
        const int total = lengthFor (note, rate);
        const auto out = rig.playNote (note, total);
        const size_t settle = (size_t) (total / 8);

        ASSERT_TRUE (allFinite (out)) << note;
        const double f = frequencyByZeroCrossings (out, rate, settle);
        EXPECT_NEAR (f / freqtab[note], 1.0, 0.001) << "note " << note << " at " << rate;

        // 0.1 .. 0.9 of the cycle around the middle: 0.8 of the full swing.
        EXPECT_NEAR (peak (out), 0.4, 0.05) << note;
    }

    // A mid note: the harmonics fall like a sawtooth's (1/k).
    const int note = 45;
    const auto out = rig.playNote (note, (int) rate);
    const double h1 = magnitudeAt (out, freqtab[note], rate, 2000);
    EXPECT_NEAR (magnitudeAt (out, 2 * freqtab[note], rate, 2000) / h1, 0.5, 0.05);
    EXPECT_NEAR (magnitudeAt (out, 3 * freqtab[note], rate, 2000) / h1, 1.0 / 3.0, 0.05);
}

TEST_P (SplineSoundTest, TwoLevelChainPlaysASquare)
{
    const double rate = GetParam();
    Rig rig (rate);
    rig.setPoints (square());

    for (int note : { 20, 45, 70 })
    {
        const auto out = rig.playNote (note, (int) rate);
        const size_t from = 4000;

        EXPECT_NEAR (frequencyByZeroCrossings (out, rate, from) / freqtab[note], 1.0, 0.002) << note;

        // Half of the time high, half low, at +-0.8 of the volume.
        const size_t high = (size_t) std::count_if (out.begin() + (long) from, out.end(), [] (double v) { return v > 0.0; });
        EXPECT_NEAR ((double) high / (double) (out.size() - from), 0.5, 0.03) << note;
        EXPECT_NEAR (peak (out), 0.4, 0.01) << note;

        // Odd harmonics only.
        const double h1 = magnitudeAt (out, freqtab[note], rate, from);
        EXPECT_LT (magnitudeAt (out, 2 * freqtab[note], rate, from) / h1, 0.03) << note;
        EXPECT_NEAR (magnitudeAt (out, 3 * freqtab[note], rate, from) / h1, 1.0 / 3.0, 0.05) << note;
    }
}

TEST_P (SplineSoundTest, TuningRatioMovesThePitchAndTooLongCyclesAreSilent)
{
    const double rate = GetParam();
    Rig rig (rate);
    rig.setPoints (ramp());

    // Parameter 81 one octave up, 82 centred.
    const double up = SplineOscillator::pitchRatioFromParameters (params::semitoneValue (12), 0.5);
    EXPECT_NEAR (up, 2.0, 1e-12);
    rig.osc.setPitchRatio (up);
    auto out = rig.playNote (40, (int) rate / 2);
    EXPECT_NEAR (frequencyByZeroCrossings (out, rate, 2000) / (2.0 * freqtab[40]), 1.0, 0.002);

    // Two octaves down from the lowest note does not fit the table at any rate.
    rig.osc.setPitchRatio (SplineOscillator::pitchRatioFromParameters (params::semitoneValue (-24), 0.5));
    out = rig.playNote (0, (int) rate / 4);
    EXPECT_EQ (peak (out), 0.0);
}

INSTANTIATE_TEST_SUITE_P (Rates, SplineSoundTest, ::testing::Values (44100.0, 96000.0));

//==============================================================================
TEST (SplineOscillator, TableLimitScalesWithTheSampleRate)
{
    initGlobalTables();
    SplineOscillator osc;
    for (double rate : { 22050.0, 44100.0, 48000.0 })
    {
        osc.prepare (rate, 512);
        EXPECT_EQ (osc.getCycleLimit(), 8192) << rate;
    }
    osc.prepare (96000.0, 512);
    EXPECT_EQ (osc.getCycleLimit(), 16384);
    osc.prepare (192000.0, 512);
    EXPECT_EQ (osc.getCycleLimit(), 32768);

    // The lowest note fills the same share of the table at 48 and 96 kHz.
    const double lowestCycle48 = 48000.0 / freqtab[0];
    const double lowestCycle96 = 96000.0 / freqtab[0];
    EXPECT_LT (lowestCycle48, 8192.0);
    EXPECT_GT (lowestCycle96, 8192.0);
    EXPECT_LT (lowestCycle96, 16384.0);
}

TEST (SplineOscillator, OversamplingFollowsTheNoteAndThePitchMovement)
{
    Rig rig;
    struct Case { int note, factor; };
    for (auto c : { Case { 0, 1 }, Case { 50, 1 }, Case { 51, 2 }, Case { 64, 2 }, Case { 65, 3 }, Case { 127, 7 } })
    {
        rig.startNote (c.note);
        EXPECT_EQ (rig.osc.getOversampling(), c.factor) << c.note;
        EXPECT_FALSE (rig.osc.isOnModulatedPath());
    }

    // A positive amount on the oscillator-4 pitch destination adds one.
    rig.parameters[(size_t) params::modAmountIndex (ModMatrix::lfo1, ModMatrix::osc4Pitch)] = 0.3;
    rig.startNote (50);
    EXPECT_EQ (rig.osc.getOversampling(), 2);
    EXPECT_TRUE (rig.osc.isOnModulatedPath());
    rig.startNote (127);
    EXPECT_EQ (rig.osc.getOversampling(), 8);
    rig.startNote (600);
    EXPECT_EQ (rig.osc.getOversampling(), 10);

    // So does vibrato, once the wheel moves.
    rig.parameters[(size_t) params::modAmountIndex (ModMatrix::lfo1, ModMatrix::osc4Pitch)] = 0.0;
    rig.osc.setVibratoDepth (0.5);
    rig.startNote (50);
    EXPECT_EQ (rig.osc.getOversampling(), 2);
}

TEST (SplineOscillator, SteadyNoteDoesNotRedrawItsCycle)
{
    Rig rig;
    // Three segments of a third: their rounding and the carried fraction make
    // the cycle lengths run in a short repeating pattern.
    rig.setPoints ({ point (splineStart, 0.0, 0.2), quadratic (1.0 / 3.0, 0.8, 0.1, 0.9),
                     point (splineLinear, 2.0 / 3.0, 0.4), point (splineCubic, 1.0, 0.2) });

    for (int note : { 30, 57, 80 })
    {
        rig.startNote (note);
        rig.render (rig.incrementFor (note), 22050, 256);
        const auto startedBefore = rig.osc.getCyclesStarted();
        const auto drawnBefore = rig.osc.getCyclesDrawn();

        const auto out = rig.render (rig.incrementFor (note), 44100, 256);
        EXPECT_GT (rig.osc.getCyclesStarted() - startedBefore, 20u) << note;
        EXPECT_EQ (rig.osc.getCyclesDrawn(), drawnBefore) << note;
        EXPECT_NEAR (frequencyByZeroCrossings (out, 44100.0) / freqtab[note], 1.0, 0.002) << note;
    }

    // A point change is drawn at the next cycle and then cached again.
    rig.setPoints (square());
    const auto drawn = rig.osc.getCyclesDrawn();
    rig.render (rig.incrementFor (80), 4410, 256);
    EXPECT_GT (rig.osc.getCyclesDrawn(), drawn);
    const auto after = rig.osc.getCyclesDrawn();
    rig.render (rig.incrementFor (80), 44100, 256);
    EXPECT_EQ (rig.osc.getCyclesDrawn(), after);
}

TEST (SplineOscillator, NewPointsReplaceTheCycleAtTheNextBoundary)
{
    Rig rig;
    rig.setPoints (ramp());
    rig.startNote (45);
    auto out = rig.render (rig.incrementFor (45), 8192, 256);
    const double h1 = magnitudeAt (out, freqtab[45], 44100.0, 1000);
    EXPECT_GT (magnitudeAt (out, 2 * freqtab[45], 44100.0, 1000) / h1, 0.4);

    rig.setPoints (square());
    rig.render (rig.incrementFor (45), 1024, 256);   // at most one old cycle
    const double* cycle = rig.osc.getCycle();
    const int length = rig.osc.getCycleLength();
    ASSERT_GT (length, 0);
    EXPECT_NEAR (cycle[0], 0.9, 1e-12);
    EXPECT_NEAR (cycle[length - 1], 0.1, 1e-12);

    out = rig.render (rig.incrementFor (45), 8192, 256);
    EXPECT_LT (magnitudeAt (out, 2 * freqtab[45], 44100.0) / magnitudeAt (out, freqtab[45], 44100.0), 0.03);
}

TEST (SplineOscillator, ShortfallIsCarriedIntoTheNextCycle)
{
    Rig rig;
    // The chain stops halfway: each cycle renders half its size, the rest is carried.
    rig.setPoints ({ point (splineStart, 0.0, 0.5), point (splineLinear, 0.5, 0.7) });
    rig.startNote (40);
    EXPECT_EQ (rig.osc.makeNewEnvelopeOfSize (100, 0), 50);
    EXPECT_EQ (rig.osc.makeNewEnvelopeOfSize (100, 0), 75);

    // A full chain whose segments round down by one sample makes up for it next time.
    rig.setPoints ({ point (splineStart, 0.0, 0.5), point (splineLinear, 1.0 / 3.0, 0.7),
                     point (splineLinear, 2.0 / 3.0, 0.3), point (splineLinear, 1.0, 0.5) });
    rig.startNote (40);
    EXPECT_EQ (rig.osc.makeNewEnvelopeOfSize (100, 0), 99);
    EXPECT_EQ (rig.osc.makeNewEnvelopeOfSize (100, 0), 99);   // 101 asked, thirds of 33
    EXPECT_EQ (rig.osc.makeNewEnvelopeOfSize (100, 0), 102);  // 102 asked, thirds of 34
}

TEST (SplineOscillator, UnknownPointTypeWithModulationEndsTheChain)
{
    Rig rig;
    auto chain = ramp();
    chain[2].type = (SplinePointType) 5;
    chain[2].slots[0].direction = osc4mod::vertical;
    chain[2].slots[0].depth = 0.4;
    chain[2].slots[0].speed = 0.1;
    rig.setPoints (chain);

    const auto out = rig.playNote (45, 44100);
    ASSERT_TRUE (allFinite (out));
    EXPECT_EQ (rig.osc.getWorkingPoints()[2].type, splineEndMarker);

    // The cycle is the first segment only (y 0.1 to 0.3), stretched by the
    // carried shortfall to the note's full period.
    const std::vector<double> settled (out.begin() + 8000, out.end());
    EXPECT_GT (rms (settled), 0.03);
    for (double v : settled)
        ASSERT_TRUE (v >= -0.4 - 1e-9 && v <= -0.2 + 1e-9) << v;
    EXPECT_NEAR (frequencyByZeroCrossings (settled, 44100.0) / freqtab[45], 1.0, 0.01);
}

TEST (SplineOscillator, ChainWithoutLengthIsMutedLocally)
{
    Rig rig;
    rig.parameters[params::kOsc4Volume] = 0.5;
    rig.setPoints ({ point (splineStart, 0.0, 0.9), point (splineStart, 1.0, 0.9) });

    auto out = rig.playNote (45, 4096);
    EXPECT_EQ (peak (out), 0.0);
    EXPECT_EQ (rig.parameters[params::kOsc4Volume], 0.5);

    // The next points are heard in the next block.
    rig.setPoints (ramp());
    out = rig.render (rig.incrementFor (45), 4096, 256);
    EXPECT_GT (rms (out, 1024), 0.1);
}

TEST (SplineOscillator, PitchMovesOnTheModulatedPath)
{
    const double rate = 44100.0;
    Rig rig (rate);
    rig.setPoints (ramp());

    // Bend one octave up: the smoothed factor arrives within a few thousand samples.
    rig.startNote (40);
    rig.osc.setTargetPitchFactor (2.0);
    auto out = rig.render (rig.incrementFor (40), (int) rate, 128);
    EXPECT_TRUE (rig.osc.isOnModulatedPath());
    EXPECT_NEAR (frequencyByZeroCrossings (out, rate, (size_t) rate / 2) / (2.0 * freqtab[40]), 1.0, 0.003);

    // Glide from an octave below ends on the note.
    rig.startNote (40);
    rig.osc.setGlide (true, 0.5, 0.5 / 8000.0);
    out = rig.render (rig.incrementFor (40), (int) rate, 128);
    std::vector<double> start (out.begin(), out.begin() + 4000);
    EXPECT_NEAR (frequencyByZeroCrossings (start, rate) / freqtab[40], 0.6, 0.15);
    EXPECT_NEAR (frequencyByZeroCrossings (out, rate, 20000) / freqtab[40], 1.0, 0.002);

    // The oscillator-4 pitch destination: velocity 1 at amount 1 gives 1 + 1.5.
    rig.parameters[(size_t) params::modAmountIndex (ModMatrix::velocity, ModMatrix::osc4Pitch)] = 1.0;
    out = rig.playNote (30, (int) rate / 2, 128);
    EXPECT_NEAR (frequencyByZeroCrossings (out, rate, 2000) / (2.5 * freqtab[30]), 1.0, 0.003);
}

// The modulated read-out is compiled once per vector path; both must play
// the same samples: notes over the keyboard (short and long cycles, every
// oversampling), a bend, a glide and blocks that end inside a group of eight.
TEST (SplineOscillator, ModulatedReadOutIsTheSameOnBothVectorPaths)
{
    struct ForcedPath
    {
        ~ForcedPath() { vectorpath::force (-1); }
    } restore;

    auto play = [] (int mode, int note, bool glide) {
        vectorpath::force (mode);
        Rig rig (96000.0);
        rig.setPoints (square());
        rig.startNote (note);
        rig.osc.setTargetPitchFactor (1.37);
        if (glide)
            rig.osc.setGlide (true, 0.7, 0.3 / 5000.0);
        auto out = rig.render (rig.incrementFor (note), 12000, 100);
        auto more = rig.render (rig.incrementFor (note), 6000, 512);
        out.insert (out.end(), more.begin(), more.end());
        EXPECT_TRUE (rig.osc.isOnModulatedPath());
        return out;
    };
    for (int note : { 20, 47, 62, 77, 93, 108 })
        for (bool glide : { false, true })
        {
            const auto plain = play (0, note, glide);
            const auto wide = play (1, note, glide);
            ASSERT_EQ (plain.size(), wide.size());
            EXPECT_GT (rms (plain), 0.01);
            for (size_t i = 0; i < plain.size(); ++i)
                ASSERT_EQ (std::memcmp (&plain[i], &wide[i], sizeof (double)), 0)
                    << "note " << note << " glide " << glide << " sample " << i << ": " << plain[i] << " vs " << wide[i];
        }
}

TEST (SplineOscillator, LevelDestinationScalesTheOutput)
{
    Rig rig;
    rig.setPoints (ramp());
    const double plain = rms (rig.playNote (45, 22050), 2000);

    // Velocity 1 at amount 0.5: 1 + 1.5 * 0.25.
    rig.parameters[(size_t) params::modAmountIndex (ModMatrix::velocity, ModMatrix::osc4Level)] = 0.5;
    const double driven = rms (rig.playNote (45, 22050), 2000);
    EXPECT_NEAR (20.0 * std::log10 (driven / plain), 20.0 * std::log10 (1.375), 0.05);
}

TEST (SplineOscillator, PointModulationShapes)
{
    Rig rig;
    auto chain = ramp();
    auto& slot = chain[2].slots[0];
    slot.direction = osc4mod::vertical;
    slot.depth = 0.4;   // the editor's full range: half range 0.2 on the audio side

    // Speed 0.5 on the note source alternates between base + depth and base - depth.
    slot.source = osc4mod::ownShapeNote;
    slot.speed = 0.5;
    slot.shape = osc4mod::sine;
    rig.setPoints (chain);
    rig.startNote (45);
    std::vector<double> ys;
    for (int c = 0; c < 4; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (400, 0);
        ys.push_back (rig.osc.getWorkingPoints()[2].y[0]);
    }
    EXPECT_NEAR (ys[0], 0.7, 1e-12);
    EXPECT_NEAR (ys[1], 0.3, 1e-12);
    EXPECT_NEAR (ys[2], 0.7, 1e-12);
    EXPECT_NEAR (ys[3], 0.3, 1e-12);
    // The drawn cycle passes through the moved point.
    EXPECT_NEAR (rig.osc.getCycle()[200], 0.3, 1e-12);

    // Triangle leaves the point at its base.
    slot.speed = 0.1;
    slot.shape = osc4mod::triangle;
    rig.setPoints (chain);
    rig.startNote (45);
    for (int c = 0; c < 5; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (400, 0);
        EXPECT_NEAR (rig.osc.getWorkingPoints()[2].y[0], 0.5, 1e-12);
    }

    // The captured wave places the point at captured value * half range, around 0.
    slot.shape = osc4mod::capturedWave;
    rig.setPoints (chain);
    rig.startNote (45);
    rig.osc.makeNewEnvelopeOfSize (400, 0);
    EXPECT_NEAR (rig.osc.getWorkingPoints()[2].y[0], 0.7 * 0.2, 1e-12);

    // A sine at 0.25 of a period per cycle visits base + depth, base, base - depth.
    slot.speed = 0.25;
    slot.shape = osc4mod::sine;
    rig.setPoints (chain);
    rig.startNote (45);
    ys.clear();
    for (int c = 0; c < 4; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (400, 0);
        ys.push_back (rig.osc.getWorkingPoints()[2].y[0]);
    }
    EXPECT_NEAR (ys[0], 0.7, 1e-9);
    EXPECT_NEAR (ys[1], 0.5, 1e-9);
    EXPECT_NEAR (ys[2], 0.3, 1e-9);
    EXPECT_NEAR (ys[3], 0.5, 1e-9);

    // The amplitude envelope source (level 0.8): base + 0.3 * 2 * 0.2.
    slot.source = osc4mod::ampEnvelope;
    rig.setPoints (chain);
    rig.startNote (45);
    rig.osc.makeNewEnvelopeOfSize (400, 0);
    EXPECT_NEAR (rig.osc.getWorkingPoints()[2].y[0], 0.5 + 0.3 * 2.0 * 0.2, 1e-12);

    // Horizontal modulation never leaves the cycle, whatever the depth.
    slot.direction = osc4mod::horizontal;
    slot.source = osc4mod::ownShapeNote;
    slot.shape = osc4mod::saw;
    slot.depth = 2.0;
    slot.speed = 0.3;
    rig.setPoints (chain);
    rig.startNote (45);
    for (int c = 0; c < 10; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (400, 0);
        const double x = rig.osc.getWorkingPoints()[2].x[0];
        EXPECT_GE (x, 0.0);
        EXPECT_LE (x, 1.0);
    }
}

TEST (SplineOscillator, ShapeRatesFollowTheirSourceTheOversamplingAndNewPoints)
{
    // A cycle of `size` oversampled samples lasts size / f output samples, so
    // the own shapes advance by that much time per cycle: 100 speed^2 Hz for
    // the hertz source, 32 speed periods per beat for the beat source. 440
    // samples split evenly over the ramp's four segments: nothing is carried.
    Rig rig;
    auto chain = ramp();
    auto& slot = chain[2].slots[0];
    slot.direction = osc4mod::vertical;
    slot.depth = 0.4;
    slot.shape = osc4mod::saw;
    slot.source = osc4mod::ownShapeHz;
    slot.speed = 0.1;
    rig.setPoints (chain);

    auto heightAfterOneCycle = [&rig] (int note) {
        rig.startNote (note);
        rig.osc.makeNewEnvelopeOfSize (440, 0);
        return rig.osc.getWorkingPoints()[2].y[0];
    };
    auto sawAt = [] (double phase) { return 0.5 + (1.0 - 2.0 * phase) * 0.2; };

    EXPECT_NEAR (heightAfterOneCycle (40), sawAt (440.0 / 44100.0), 1e-9);   // f = 1, 1 Hz
    ASSERT_EQ (rig.osc.getOversampling(), 1);
    EXPECT_NEAR (heightAfterOneCycle (70), sawAt (440.0 / 3.0 / 44100.0), 1e-9);   // f = 3
    ASSERT_EQ (rig.osc.getOversampling(), 3);

    // New points during the note: the next cycle moves at the new speed (4 Hz).
    slot.speed = 0.2;
    rig.setPoints (chain);
    rig.osc.makeNewEnvelopeOfSize (440, 0);
    EXPECT_NEAR (rig.osc.getWorkingPoints()[2].y[0], sawAt ((1.0 + 4.0) * 440.0 / 3.0 / 44100.0), 1e-9);

    slot.source = osc4mod::ownShapeBeat;
    slot.speed = 0.3;   // 9.6 periods per beat of 22050 samples
    rig.setPoints (chain);
    rig.osc.setSamplesPerBeat (22050);
    EXPECT_NEAR (heightAfterOneCycle (70), sawAt (9.6 * 440.0 / 3.0 / 22050.0), 1e-9);
    EXPECT_NEAR (heightAfterOneCycle (40), sawAt (9.6 * 440.0 / 22050.0), 1e-9);

    // A broken tempo (0 samples per beat) stays finite.
    rig.osc.setSamplesPerBeat (0);
    EXPECT_EQ (rig.osc.getSamplesPerBeat(), 1);
    rig.startNote (40);
    for (int c = 0; c < 10; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (441, 0);
        const double y = rig.osc.getWorkingPoints()[2].y[0];
        EXPECT_TRUE (std::isfinite (y));
        EXPECT_LE (std::abs (y - 0.5), 0.2 + 1e-12);
    }
}

//==============================================================================
// Random parameter blocks, modulation amounts and pitches played at several
// block sizes: every run must end, stay finite and stay within the level bound.
TEST (SplineOscillatorFuzz, RandomPointBlocksPlayFinite)
{
    std::mt19937 gen (0x5eed);
    std::uniform_real_distribution<double> unit (0.0, 1.0);

    for (double rate : { 44100.0, 96000.0 })
    {
        Rig rig (rate, 1024);
        int sounding = 0;
        for (int run = 0; run < 160; ++run)
        {
            for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
                rig.parameters[(size_t) i] = unit (gen);

            // Plain random blocks mostly decode to unknown codes and end the
            // chain at once; every other run keeps the codes small so that all
            // point types, directions, sources and shapes are played.
            if (run % 2 == 1)
            {
                for (int k = 0; k < params::kOsc4MaxPoints; ++k)
                {
                    auto& type = rig.parameters[(size_t) params::osc4PointIndex (k, osc4field::type)];
                    type = k == 0 ? 0.0 : (unit (gen) < 0.9 ? 0.01 + 0.02 * unit (gen) : unit (gen) * 0.11);
                    for (int sl = 0; sl < 3; ++sl)
                        for (int f : { osc4field::slotDirection, osc4field::slotSource, osc4field::slotShape })
                            rig.parameters[(size_t) params::osc4PointIndex (k, osc4field::slotField (sl, f))] = unit (gen) * 0.1;
                }
            }

            // Some runs with the pitch destinations driven (modulated path);
            // the level destination stays off to keep the bound simple.
            for (int s = 0; s < ModMatrix::kNumSources; ++s)
                for (int d : { (int) ModMatrix::pitch, (int) ModMatrix::osc4Pitch })
                    rig.parameters[(size_t) params::modAmountIndex (s, d)] = (run % 3 == 0 && unit (gen) < 0.3) ? unit (gen) : 0.0;

            rig.points.publishFromParameters (rig.parameters.data());
            rig.osc.setSamplesPerBeat ((int) (unit (gen) * 30000.0));
            rig.osc.setPitchRatio (SplineOscillator::pitchRatioFromParameters (unit (gen), unit (gen)));
            rig.osc.setVibratoDepth (run % 4 == 1 ? unit (gen) : 0.0);

            const int note = (int) (unit (gen) * 127.0);
            rig.startNote (note);
            if (run % 5 == 2)
                rig.osc.setGlide (true, 0.25 + 3.0 * unit (gen), 0.001 * unit (gen));
            rig.osc.setTargetPitchFactor (run % 6 == 3 ? 0.5 + unit (gen) : 1.0);

            static constexpr int kBlocks[] = { 1, 3, 64, 250, 1024 };
            const int block = kBlocks[run % 5];
            const double volume = unit (gen);
            const auto out = rig.render (rig.incrementFor (note), 3000, block, volume);

            ASSERT_TRUE (allFinite (out)) << "run " << run << " at " << rate;
            // Table values stay within [-2, 2] and sums within [-4, 4]: |out| <= 2 v 4.5.
            ASSERT_LE (peak (out), 9.0 * volume + 1e-9) << "run " << run;
            ASSERT_GE (rig.osc.getCycleLength(), 0);
            ASSERT_LE (rig.osc.getCycleLength(), rig.osc.getCycleLimit() + 1);
            sounding += (run % 2 == 1 && peak (out) > 0.0) ? 1 : 0;
        }
        // The structured runs really render something.
        EXPECT_GT (sounding, 40) << rate;
    }
}

TEST (SplineOscillator, PointSourcesAreReadWhereEachCycleStarts)
{
    Rig rig (44100.0, 1024);
    auto chain = ramp();
    const int sources[] = { osc4mod::ampEnvelope, osc4mod::filterEnvelopeInverted, osc4mod::lfo1 };
    for (int k = 0; k < 3; ++k)
    {
        auto& slot = chain[(size_t) k + 1].slots[0];
        slot.direction = osc4mod::vertical;
        slot.depth = 0.4;   // half range 0.2
        slot.source = sources[k];
        slot.speed = 0.3;
        slot.shape = osc4mod::sine;
    }
    // The third point moves sideways by LFO 1 instead, the last one up and down by LFO 2.
    chain[3].slots[0].direction = osc4mod::horizontal;
    chain[4].slots[0] = chain[3].slots[0];
    chain[4].slots[0].direction = osc4mod::vertical;
    chain[4].slots[0].source = osc4mod::lfo2;
    rig.setPoints (chain);
    for (size_t e = 0; e < rig.ampLevels.size(); ++e)
        rig.ampLevels[e] = 0.001 * (double) e;
    for (size_t e = 0; e < rig.filterLevels.size(); ++e)
        rig.filterLevels[e] = 0.9 - 0.002 * (double) e;
    rig.lfo1.calculateBlock (1024);
    rig.lfo2.calculateBlock (1024);
    const double* lfo = rig.lfo1.getBuffer();
    const double* lfoTwo = rig.lfo2.getBuffer();

    rig.startNote (45);
    // Out of order, and past the last envelope entries (the last one holds).
    for (int at : { 0, 9, 1000, 17, 1023, 511, 3 })
    {
        rig.osc.makeNewEnvelopeOfSize (400, at);
        const auto* w = rig.osc.getWorkingPoints();
        const double amp = rig.ampLevels[std::min ((size_t) at / 8, rig.ampLevels.size() - 1)];
        const double filter = rig.filterLevels[std::min ((size_t) at / 16, rig.filterLevels.size() - 1)];
        EXPECT_DOUBLE_EQ (w[1].y[0], 0.3 + (amp - 0.5) * 2.0 * 0.2) << at;
        EXPECT_DOUBLE_EQ (w[2].y[0], 0.5 + (0.5 - filter) * 2.0 * 0.2) << at;
        EXPECT_DOUBLE_EQ (w[3].x[0], 0.75 + 0.2 * lfo[at]) << at;
        EXPECT_EQ (w[3].y[0], 0.7) << at;
        EXPECT_DOUBLE_EQ (w[4].y[0], 0.9 + 0.2 * lfoTwo[at]) << at;
    }

    // Without envelope tables the envelope-driven points keep their last place.
    rig.osc.setEnvelopeBuffers (nullptr, 0, nullptr, 0);
    const double heldAmp = rig.osc.getWorkingPoints()[1].y[0];
    const double heldFilter = rig.osc.getWorkingPoints()[2].y[0];
    rig.osc.makeNewEnvelopeOfSize (400, 40);
    EXPECT_EQ (rig.osc.getWorkingPoints()[1].y[0], heldAmp);
    EXPECT_EQ (rig.osc.getWorkingPoints()[2].y[0], heldFilter);
    EXPECT_DOUBLE_EQ (rig.osc.getWorkingPoints()[3].x[0], 0.75 + 0.2 * lfo[40]);
}

TEST (SplineOscillator, NewPointsChangeWhichPointsTheCyclesMove)
{
    Rig rig;
    auto moving = [] (SplineOscillatorPoint& p, int slot, int source)
    {
        auto& s = p.slots[slot];
        s.direction = osc4mod::vertical;
        s.depth = 0.4;   // half range 0.2
        s.source = source;
        s.speed = 0.3;
        s.shape = osc4mod::sine;
    };
    const double ampMove = (0.8 - 0.5) * 2.0 * 0.2;
    const double filterInvertedMove = (0.5 - 0.3) * 2.0 * 0.2;

    auto chain = ramp();
    moving (chain[2], 0, osc4mod::ampEnvelope);
    rig.setPoints (chain);
    rig.startNote (45);
    for (int c = 0; c < 3; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (400, 0);
        EXPECT_NEAR (rig.osc.getWorkingPoints()[2].y[0], 0.5 + ampMove, 1e-12);
        EXPECT_EQ (rig.osc.getWorkingPoints()[3].y[0], 0.7);
    }

    // Another point moves instead, mid-note: the next cycle follows.
    chain = ramp();
    moving (chain[3], 0, osc4mod::filterEnvelopeInverted);
    rig.setPoints (chain);
    for (int c = 0; c < 3; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (400, 0);
        EXPECT_EQ (rig.osc.getWorkingPoints()[2].y[0], 0.5);
        EXPECT_NEAR (rig.osc.getWorkingPoints()[3].y[0], 0.7 + filterInvertedMove, 1e-12);
    }

    // A point that becomes quadratic moves its control point by its second slot too.
    chain[3] = quadratic (0.75, 0.7, 0.6, 0.2);
    moving (chain[3], 0, osc4mod::filterEnvelopeInverted);
    moving (chain[3], 1, osc4mod::ampEnvelope);
    rig.setPoints (chain);
    for (int c = 0; c < 3; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (400, 0);
        EXPECT_NEAR (rig.osc.getWorkingPoints()[3].y[0], 0.7 + filterInvertedMove, 1e-12);
        EXPECT_NEAR (rig.osc.getWorkingPoints()[3].y[1], 0.2 + ampMove, 1e-12);
    }

    // Nothing moves any more: every point stays at its place.
    rig.setPoints (ramp());
    for (int c = 0; c < 2; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (400, 0);
        for (int k = 0; k < 5; ++k)
            EXPECT_EQ (rig.osc.getWorkingPoints()[k].y[0], ramp()[(size_t) k].y[0]) << k;
    }
}

// Every LFO and envelope source on the three sub-points of cubic points, up
// and down and sideways, some far enough to be held at the edges, between
// own-shape slots (sample and hold draws from the voice's random sequence):
// each cycle, once the pass's plan is replayed too, puts each sub-point
// exactly where its source says.
TEST (SplineOscillator, EverySourceMovesItsSubPointsExactlyAmongOwnShapes)
{
    Rig rig (44100.0, 1024);
    const int sources[] = { osc4mod::lfo1, osc4mod::lfo2, osc4mod::ampEnvelope, osc4mod::ampEnvelopeInverted,
                            osc4mod::filterEnvelope, osc4mod::filterEnvelopeInverted };
    std::vector<SplineOscillatorPoint> chain { point (splineStart, 0.0, 0.5) };
    for (int k = 1; k <= 4; ++k)
    {
        auto p = point (splineCubic, 0.25 * k, 0.2 + 0.1 * k);
        p.x[1] = 0.25 * k - 0.2;
        p.x[2] = 0.25 * k - 0.1;
        p.y[1] = 0.9 - 0.1 * k;
        p.y[2] = 0.1 * k;
        for (int s = 0; s < 3; ++s)
        {
            auto& slot = p.slots[s];
            const int n = 3 * (k - 1) + s;
            slot.direction = n % 4 == 1 ? osc4mod::horizontal : osc4mod::vertical;
            slot.depth = n % 5 == 2 ? 9.0 : 0.3 + 0.05 * n;   // half range; 4.5 leaves the edges
            slot.source = n % 3 == 0 ? osc4mod::ownShapeNote : sources[(n - n / 3 - 1) % 6];
            slot.speed = 0.13 + 0.01 * n;
            slot.shape = n % 2 == 0 ? osc4mod::sampleAndHold : osc4mod::saw;
        }
        chain.push_back (p);
    }
    rig.setPoints (chain);
    for (size_t e = 0; e < rig.ampLevels.size(); ++e)
        rig.ampLevels[e] = 0.03 + 0.007 * (double) e;
    for (size_t e = 0; e < rig.filterLevels.size(); ++e)
        rig.filterLevels[e] = 0.95 - 0.01 * (double) e;
    rig.lfo1.calculateBlock (1024);
    rig.lfo2.calculateBlock (1024);

    Osc4Data base[16];
    Osc4Codec::decodeParameters (rig.parameters.data(), base);
    rig.startNote (45);
    int checked = 0;
    for (int at : { 0, 300, 17, 1000, 64, 512, 5 })
    {
        rig.osc.makeNewEnvelopeOfSize (400, at);
        const double amp = rig.ampLevels[std::min ((size_t) at / 8, rig.ampLevels.size() - 1)];
        const double filter = rig.filterLevels[std::min ((size_t) at / 16, rig.filterLevels.size() - 1)];
        const double terms[] = { rig.lfo1.getBuffer()[at], rig.lfo2.getBuffer()[at], (amp - 0.5) * 2.0,
                                 (0.5 - amp) * 2.0, (filter - 0.5) * 2.0, (0.5 - filter) * 2.0 };
        const auto* w = rig.osc.getWorkingPoints();
        for (int k = 1; k <= 4; ++k)
            for (int s = 0; s < 3; ++s)
            {
                const auto& slot = base[k].slots[s];
                const int term = slot.source == osc4mod::lfo1 ? 0 : slot.source == osc4mod::lfo2 ? 1
                               : slot.source == osc4mod::ampEnvelope ? 2 : slot.source == osc4mod::ampEnvelopeInverted ? 3
                               : slot.source == osc4mod::filterEnvelope ? 4 : slot.source == osc4mod::filterEnvelopeInverted ? 5 : -1;
                if (term < 0)
                    continue;
                if (slot.direction == osc4mod::horizontal)
                {
                    EXPECT_EQ (w[k].x[s], std::clamp (base[k].x[s] + terms[term] * slot.depth, 0.0, 1.0)) << k << s << at;
                    EXPECT_EQ (w[k].y[s], base[k].y[s]);
                }
                else
                {
                    EXPECT_EQ (w[k].y[s], std::clamp (base[k].y[s] + terms[term] * slot.depth, -2.0, 2.0)) << k << s << at;
                    EXPECT_EQ (w[k].x[s], base[k].x[s]);
                }
                ++checked;
            }
    }
    EXPECT_EQ (checked, 7 * 8);

    // The own shapes between them draw the same random values as an
    // oscillator given only the own-shape slots.
    Rig alone (44100.0, 1024);
    for (auto& p : chain)
        for (auto& slot : p.slots)
            if (slot.source != osc4mod::ownShapeNote)
                slot.direction = osc4mod::off;
    alone.setPoints (chain);
    rig.osc.setRandomSeed (99);
    alone.osc.setRandomSeed (99);
    rig.startNote (45);
    alone.startNote (45);
    for (int c = 0; c < 40; ++c)
    {
        rig.osc.makeNewEnvelopeOfSize (400, 0);
        alone.osc.makeNewEnvelopeOfSize (400, 0);
        for (int k = 1; k <= 4; ++k)
            for (int s = 0; s < 3; ++s)
                if (base[k].slots[s].source == osc4mod::ownShapeNote)
                {
                    EXPECT_EQ (rig.osc.getWorkingPoints()[k].y[s], alone.osc.getWorkingPoints()[k].y[s]) << c;
                    EXPECT_EQ (rig.osc.getWorkingPoints()[k].x[s], alone.osc.getWorkingPoints()[k].x[s]) << c;
                }
    }
}
