#include "dsp/Saturator.h"
#include "dsp/WarmEq.h"

#include "MasterEffectsTestUtil.h"

#include <gtest/gtest.h>

using namespace fxtest;

namespace
{
constexpr double kRate = 44100.0;

// Level change in dB that the equaliser applies to a sine, measured after the
// filters have settled.
double eqGainDb (double low, double mid, double high, double hz, float amplitude = 0.25f)
{
    Parameters p;
    p[params::kEqLow] = low;
    p[params::kEqMid] = mid;
    p[params::kEqHigh] = high;
    WarmEq eq;
    eq.setParameters (p.data());
    eq.prepare (kRate, 512);

    const auto in = sine (44100, hz, kRate, amplitude);
    auto out = in;
    for (int start = 0; start < 44100; start += 512)
        eq.process (out.data() + start, std::min (512, 44100 - start));

    return decibels (rms (out, 22050, 44100) / rms (in, 22050, 44100));
}

struct SaturatorFixture
{
    Parameters p;
    Saturator sat;

    SaturatorFixture (double drive, int type)
    {
        p[params::kSaturation] = drive;
        p[params::kSaturationType] = params::choiceValue (type);
        sat.setParameters (p.data());
        sat.prepare (kRate, 512);
    }

    std::vector<float> run (std::vector<float> x, int blockSize = 512)
    {
        for (size_t start = 0; start < x.size(); start += (size_t) blockSize)
            sat.process (x.data() + start, (int) std::min ((size_t) blockSize, x.size() - start));
        return x;
    }
};
} // namespace

TEST (WarmEq, NeutralSettingsAreBitExactBypass)
{
    Parameters p;
    WarmEq eq;
    eq.setParameters (p.data());
    eq.prepare (kRate, 512);

    const auto in = noise (8192, 11, 3.0f);
    auto out = in;
    eq.process (out.data(), (int) out.size());
    EXPECT_EQ (out, in);

    // A hair off neutral engages the filters, with a near-unity result.
    p[params::kEqMid] = 0.5000001;
    eq.process (out.data(), (int) out.size());
    double worst = 0.0;
    for (size_t i = 0; i < in.size(); ++i)
        worst = std::max (worst, (double) std::abs (out[i] - in[i]));
    EXPECT_LT (worst, 1.0e-5);

    // Engaged means the filters now carry state: a cut that follows starts
    // differently from one after the neutral bypass, which left none.
    Parameters q;
    WarmEq untouched;
    untouched.setParameters (q.data());
    untouched.prepare (kRate, 512);
    auto bypassed = in;
    untouched.process (bypassed.data(), (int) bypassed.size());

    p[params::kEqMid] = 0.5;
    p[params::kEqLow] = 0.0;
    q[params::kEqLow] = 0.0;
    auto afterEngaged = noise (256, 16), afterBypass = afterEngaged;
    eq.process (afterEngaged.data(), 256);
    untouched.process (afterBypass.data(), 256);
    EXPECT_NE (afterEngaged, afterBypass);

    WarmEq fresh;
    fresh.setParameters (q.data());
    auto fromFresh = noise (256, 16);
    fresh.process (fromFresh.data(), 256);
    EXPECT_EQ (afterBypass, fromFresh);
}

TEST (WarmEq, CutsRemoveTheirBandOnly)
{
    // Low at 0 removes the lows and leaves the highs; high at 0 the reverse.
    EXPECT_LT (eqGainDb (0.0, 0.5, 0.5, 20.0), -15.0);
    EXPECT_NEAR (eqGainDb (0.0, 0.5, 0.5, 8000.0), 0.0, 1.0);
    EXPECT_LT (eqGainDb (0.5, 0.5, 0.0, 15000.0), -12.0);
    EXPECT_NEAR (eqGainDb (0.5, 0.5, 0.0, 30.0), 0.0, 1.0);

    // Halfway down is half the band's amplitude.
    EXPECT_NEAR (eqGainDb (0.25, 0.5, 0.5, 20.0), decibels (0.5), 1.0);
}

TEST (WarmEq, BoostAddsASoftClippedCopyOfTheBand)
{
    // Low at 1, small signal: l + 0.6 * 2 * 6l = 8.2 l. Large signal: the
    // added copy is capped at 0.6, so the boost shrinks.
    EXPECT_NEAR (eqGainDb (1.0, 0.5, 0.5, 20.0, 0.001f), decibels (8.2), 0.5);
    EXPECT_LT (eqGainDb (1.0, 0.5, 0.5, 20.0, 4.0f), 2.0);

    // A small boost (0.75 remaps to 0.625) is gentler than full.
    const double gentle = eqGainDb (0.75, 0.5, 0.5, 20.0, 0.001f);
    EXPECT_GT (gentle, 1.0);
    EXPECT_LT (gentle, decibels (8.2) - 3.0);
}

TEST (Saturator, DriveThresholdAndUnknownTypesBypass)
{
    const auto in = noise (4096, 12);

    // Drive 0.02 gives D = 0.008: bypassed bit for bit.
    SaturatorFixture weak (0.02, 0);
    EXPECT_EQ (weak.run (in), in);

    // Drive 0.03 gives D = 0.018: active.
    SaturatorFixture active (0.03, 0);
    EXPECT_NE (active.run (in), in);

    // Type 6 and above: no saturation although the drive is on.
    for (int type : { 6, 7, 50, 100 })
    {
        SaturatorFixture off (1.0, type);
        EXPECT_EQ (off.run (in), in) << type;
    }
}

TEST (Saturator, ClassicCurvesAtFullDrive)
{
    // Type 0 at D = 20: full scale gives atan(20) / (sqrt(19) + 1), about 0.2838.
    SaturatorFixture classic1 (1.0, 0);
    const auto y = classic1.run ({ 1.0f, -1.0f, 0.0f });
    EXPECT_NEAR (y[0], 0.2838, 1.0e-4);
    EXPECT_NEAR (y[1], -0.2838, 1.0e-4);
    EXPECT_EQ (y[2], 0.0f);

    // Both classic curves are odd, monotonic and flat-topped.
    for (int type : { 0, 1 })
    {
        SaturatorFixture f (1.0, type);
        std::vector<float> ramp (2001);
        for (int i = 0; i <= 2000; ++i)
            ramp[(size_t) i] = (float) ((i - 1000) / 100.0); // -10 .. 10
        const auto out = f.run (ramp);
        for (int i = 1; i <= 2000; ++i)
            EXPECT_GE (out[(size_t) i], out[(size_t) i - 1]) << type << " at " << i;
        for (int i = 0; i <= 1000; ++i)
            EXPECT_NEAR (out[(size_t) (1000 + i)], -out[(size_t) (1000 - i)], 1.0e-6);
        EXPECT_LT (maxAbs (out), 1.0) << type;
    }
}

TEST (Saturator, EveryTypeStaysFiniteAndBoundedOnFullScale)
{
    // A full-scale mix of tones and noise at several drives: each curve keeps
    // it within a small multiple of full scale.
    auto in = noise (44100, 13, 0.5f);
    const auto tone = sine (44100, 110.0, kRate, 0.5f);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] += tone[i];

    for (int type = 0; type < Saturator::kNumTypes; ++type)
        for (double drive : { 0.1, 0.5, 1.0 })
        {
            SaturatorFixture f (drive, type);
            const auto out = f.run (in);
            EXPECT_TRUE (allFinite (out)) << type << " " << drive;
            EXPECT_LT (maxAbs (out), 4.0) << type << " " << drive;
            EXPECT_GT (rms (out), 0.01) << type << " " << drive;
        }
}

TEST (Saturator, BolvoTubeSurvivesALoudStep)
{
    // A step far above full scale pushed the envelope past 1, where the gain
    // 1 - e turns negative and the loop ran away to Inf.
    SaturatorFixture f (1.0, 5);
    std::vector<float> step (4410, 0.0f);
    std::fill (step.begin() + 100, step.end(), 50.0f);
    const auto out = f.run (step);

    EXPECT_TRUE (allFinite (out));
    EXPECT_LE (maxAbs (out), 2.0);
    EXPECT_LE (f.sat.getEnvelope(), 1.0);

    // Afterwards a normal signal comes out as from a fresh saturator.
    SaturatorFixture fresh (1.0, 5);
    const auto tone = sine (4 * 44100, 220.0, kRate, 0.8f);
    const auto recovered = f.run (tone);
    const auto reference = fresh.run (tone);
    double worst = 0.0;
    for (size_t i = 3 * 44100; i < tone.size(); ++i)
        worst = std::max (worst, (double) std::abs (recovered[i] - reference[i]));
    EXPECT_LT (worst, 1.0e-3);
}

TEST (Saturator, BolvoTubeEnvelopeClampNeverTouchesNormalLevels)
{
    // Full-scale square and noise at every drive: the envelope stays clearly
    // below 1, so the clamp does not alter ordinary material.
    for (double drive : { 0.2, 0.6, 1.0 })
    {
        SaturatorFixture f (drive, 5);
        std::vector<float> square (44100);
        for (size_t i = 0; i < square.size(); ++i)
            square[i] = (i / 100) % 2 ? 1.0f : -1.0f;
        double highest = 0.0;
        for (size_t start = 0; start < square.size(); start += 64)
        {
            f.sat.process (square.data() + start, (int) std::min ((size_t) 64, square.size() - start));
            highest = std::max (highest, f.sat.getEnvelope());
        }
        EXPECT_LT (highest, 0.9) << drive;
    }
}

TEST (Saturator, ResetRestoresTheStartingState)
{
    for (int type = 2; type < Saturator::kNumTypes; ++type)
    {
        SaturatorFixture used (0.8, type), fresh (0.8, type);
        used.run (noise (10000, 14, 2.0f));
        used.sat.reset();

        const auto in = noise (2000, 15);
        EXPECT_EQ (used.run (in), fresh.run (in)) << type;
    }
}
