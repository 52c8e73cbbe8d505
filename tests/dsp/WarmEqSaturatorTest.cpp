#include "dsp/Saturator.h"
#include "dsp/WarmEq.h"

#include "MasterEffectsTestUtil.h"

#include <gtest/gtest.h>

using namespace fxtest;

namespace
{
constexpr double kRate = 44100.0;

struct EqFixture
{
    Parameters p;
    WarmEq eq;

    explicit EqFixture (double low = 0.5, double mid = 0.5, double high = 0.5, bool prepared = true)
    {
        p[params::kEqLow] = low;
        p[params::kEqMid] = mid;
        p[params::kEqHigh] = high;
        eq.setParameters (p.data());
        if (prepared)
            eq.prepare (kRate, 512);
    }

    std::vector<float> run (std::vector<float> x, int blockSize = 512) { return processMono (eq, std::move (x), blockSize); }
};

// Level change in dB that the equaliser applies to a sine, measured after the
// filters have settled.
double eqGainDb (double low, double mid, double high, double hz, float amplitude = 0.25f)
{
    EqFixture f (low, mid, high);
    const auto in = sine (44100, hz, kRate, amplitude);
    return decibels (rms (f.run (in), 22050, 44100) / rms (in, 22050, 44100));
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

    std::vector<float> run (std::vector<float> x, int blockSize = 512) { return processMono (sat, std::move (x), blockSize); }
};

double maxDifference (const std::vector<float>& a, const std::vector<float>& b, size_t from = 0)
{
    double worst = 0.0;
    for (size_t i = from; i < a.size(); ++i)
        worst = std::max (worst, (double) std::abs (a[i] - b[i]));
    return worst;
}
} // namespace

TEST (WarmEq, NeutralSettingsAreABitExactBypassThatLeavesNoState)
{
    EqFixture engaged, bypassed;
    const auto in = noise (8192, 11, 3.0f);
    EXPECT_EQ (engaged.run (in, 8192), in);

    // A hair off neutral engages the filters, with a near-unity result.
    engaged.p[params::kEqMid] = 0.5000001;
    EXPECT_LT (maxDifference (engaged.run (in, 8192), in), 1.0e-5);
    bypassed.run (in, 8192);

    // Engaged means the filters now carry state into a cut that follows; the
    // bypass left none, so it starts like a fresh equaliser.
    engaged.p[params::kEqMid] = 0.5;
    engaged.p[params::kEqLow] = bypassed.p[params::kEqLow] = 0.0;
    EqFixture fresh (0.0, 0.5, 0.5, false);
    const auto next = noise (256, 16);
    const auto afterBypass = bypassed.run (next);
    EXPECT_NE (engaged.run (next), afterBypass);
    EXPECT_EQ (afterBypass, fresh.run (next));
}

TEST (WarmEq, CutsRemoveTheirBandAndBoostsAddASoftClippedCopy)
{
    // Low at 0 removes the lows and leaves the highs; high at 0 the reverse.
    EXPECT_LT (eqGainDb (0.0, 0.5, 0.5, 20.0), -15.0);
    EXPECT_NEAR (eqGainDb (0.0, 0.5, 0.5, 8000.0), 0.0, 1.0);
    EXPECT_LT (eqGainDb (0.5, 0.5, 0.0, 15000.0), -12.0);
    EXPECT_NEAR (eqGainDb (0.5, 0.5, 0.0, 30.0), 0.0, 1.0);
    EXPECT_NEAR (eqGainDb (0.25, 0.5, 0.5, 20.0), decibels (0.5), 1.0); // halfway down: half the band

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
    EXPECT_EQ (SaturatorFixture (0.02, 0).run (in), in); // D = 0.008: bypassed bit for bit
    EXPECT_NE (SaturatorFixture (0.03, 0).run (in), in); // D = 0.018: active

    // Type 6 and above: no saturation although the drive is on.
    for (int type : { 6, 7, 50, 100 })
        EXPECT_EQ (SaturatorFixture (1.0, type).run (in), in) << type;
}

TEST (Saturator, ClassicCurvesAtFullDrive)
{
    // Type 0 at D = 20: full scale gives atan(20) / (sqrt(19) + 1), about 0.2838.
    const auto y = SaturatorFixture (1.0, 0).run ({ 1.0f, -1.0f, 0.0f });
    EXPECT_NEAR (y[0], 0.2838, 1.0e-4);
    EXPECT_NEAR (y[1], -0.2838, 1.0e-4);
    EXPECT_EQ (y[2], 0.0f);

    // Both classic curves are odd, monotonic and flat-topped.
    std::vector<float> ramp (2001);
    for (int i = 0; i <= 2000; ++i)
        ramp[(size_t) i] = (float) ((i - 1000) / 100.0); // -10 .. 10
    for (int type : { 0, 1 })
    {
        const auto out = SaturatorFixture (1.0, type).run (ramp);
        for (size_t i = 1; i <= 2000; ++i)
            EXPECT_GE (out[i], out[i - 1]) << type << " at " << i;
        for (size_t i = 0; i <= 1000; ++i)
            EXPECT_NEAR (out[1000 + i], -out[1000 - i], 1.0e-6);
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
            const auto out = SaturatorFixture (drive, type).run (in);
            EXPECT_TRUE (allFinite (out)) << type << " " << drive;
            EXPECT_LT (maxAbs (out), 4.0) << type << " " << drive;
            EXPECT_GT (rms (out), 0.01) << type << " " << drive;
        }
}

TEST (Saturator, BolvoTubeEnvelopeStaysBelowOne)
{
    // A step far above full scale could push the envelope past 1, where the
    // gain 1 - e turns negative and the loop runs away to Inf. Afterwards a
    // normal signal comes out as from a fresh saturator.
    const auto tone = sine (4 * 44100, 220.0, kRate, 0.8f);
    const auto reference = SaturatorFixture (1.0, 5).run (tone);
    for (float level : { 50.0f, 1.0e5f })
    {
        SaturatorFixture f (1.0, 5);
        std::vector<float> step (4410, 0.0f);
        std::fill (step.begin() + 100, step.end(), level);
        const auto out = f.run (step);
        EXPECT_TRUE (allFinite (out)) << level;
        EXPECT_LE (maxAbs (out), 2.0) << level;
        EXPECT_LE (f.sat.getEnvelope(), 1.0) << level;
        EXPECT_LT (maxDifference (f.run (tone), reference, 3 * 44100), 1.0e-3) << level;
    }

    // A full-scale square at every drive keeps the envelope clearly below 1,
    // so the clamp does not alter ordinary material.
    std::vector<float> square (44100);
    for (size_t i = 0; i < square.size(); ++i)
        square[i] = (i / 100) % 2 ? 1.0f : -1.0f;
    for (double drive : { 0.2, 0.6, 1.0 })
    {
        SaturatorFixture g (drive, 5);
        double highest = 0.0;
        processMono (g.sat, square, 64, [&] { highest = std::max (highest, g.sat.getEnvelope()); });
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
