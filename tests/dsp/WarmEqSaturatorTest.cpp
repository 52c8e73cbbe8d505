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

namespace
{
// Types 2 to 5 written out from their definitions, sample by sample, with
// the state carried over blocks the same way.
struct SaturatorModel
{
    double e = 0.0;
    float q = 0.0f, r = 1.0f;
    float s = 1.0f, g = 1.0f, s2 = 1.0f, g2 = 1.0f;
    const float c = 1.0f - (float) std::exp (-2.0 * 3.141592653589793 * 200.0 / 44100.0);

    static float shape (float u) { const float r = (std::abs (u) - 2.0f) * u; return (std::abs (r) - 2.0f) * r; }

    void run (std::vector<float>& x, int begin, int end, double drive, int type)
    {
        const float D = (float) (drive * drive * 20.0);
        const float P = (float) drive;
        if (type == 2)
        {
            const float G = D * 0.0625f + 1.0f;
            for (int i = begin; i < end; ++i)
            {
                const float v = G * x[(size_t) i];
                float k = 0.1f * P * P;
                if (! (std::abs (v) > q))
                    k *= 0.2f;
                e = std::clamp ((1.0 - k) * e + k * std::abs (v), 0.0, 0.99);
                q = v;
                x[(size_t) i] = (float) ((1.0 - e) * v);
            }
        }
        else if (type == 3)
        {
            const float G = D * 0.25f + 1.0f;
            for (int i = begin; i < end; ++i)
            {
                const float a = 0.2f * P;
                e = e * (0.9f - a) + a * std::atan (std::abs (q * G));
                const float w = (float) (1.0 - P * e);
                const float in = x[(size_t) i];
                const float x1 = in + shape (std::clamp (G * in * w, -4.0f, 4.0f) * 0.25f);
                const float y = x1 + P * shape (std::clamp (2.0f * w * x1, -4.0f, 4.0f) * 0.25f);
                q = y;
                if (std::abs (y) > 0.5f)
                    r -= 0.003f;
                r = std::clamp (r + 0.001f, 0.5f, 1.0f);
                x[(size_t) i] = y * r;
            }
        }
        else if (type == 4)
        {
            const float G = 0.6f * P + 1.0f, alpha = 0.998f - 0.09f * P * P, beta = 0.9998f - 0.001f * P * P;
            const float tau = 0.8f * std::sqrt (P) + 0.2f;
            for (int i = begin; i < end; ++i)
            {
                float v = G * x[(size_t) i];
                const float mu = std::abs (v) + 0.0001f;
                const float t1 = std::clamp (0.7f * tau / mu + (1.0f - tau), 0.0f, 1.0f);
                const float k = (mu > 0.7f && g >= t1) ? alpha : beta;
                s = k * s + (1.0f - k) * t1;
                g = k * g + (1.0f - k) * s;
                x[(size_t) i] = v * g;
            }
            if (P >= 0.001f)
            {
                const float tau2 = 0.8f * P * P + 0.2f;
                for (int i = begin; i < end; ++i)
                {
                    const float v = x[(size_t) i];
                    const float mu = std::abs (v) + 0.0001f;
                    const float t2 = std::clamp (tau2 / mu + (1.0f - tau2), 0.0f, 1.0f);
                    if (mu > 1.0f && g2 >= t2)
                        s2 = g2 = t2;
                    else
                    {
                        // The recovery share is 1 - 0.9995 formed in float.
                        s2 = 0.9995f * s2 + (1.0f - 0.9995f) * t2;
                        g2 = (1.0f - 0.9995f) * s2 + 0.9995f * g2;
                    }
                    x[(size_t) i] = v * g2;
                }
            }
        }
        else if (type == 5)
        {
            const float p = P;
            for (int i = begin; i < end; ++i)
            {
                const double theta = 0.9 - 0.5 * p;
                const double kappa = 1.0 - e;
                const double v = x[(size_t) i] * ((float) (0.6 * p + 1.0) * kappa);
                if (std::abs (v) > theta)
                    e += c * (std::abs (v) - theta) * kappa * kappa;
                else
                    e -= ((theta - std::abs (v)) * c) * (0.6 * p + e);
                double y = v * (float) (0.2 * p * p + 1.0);
                const double lambda = 0.9 - 0.2 * p;
                if (y > lambda)
                    y = (y - lambda) / (std::abs (y - lambda) + 1.0) + lambda;
                else if (y < -lambda)
                    y = (y + lambda) / (std::abs (y + lambda) + 1.0) - lambda;
                x[(size_t) i] = (float) (y * (1.0 - 0.1 * p));
            }
        }
    }
};
} // namespace

TEST (Saturator, TubeCompressorAndBolvoCurvesFollowTheirDefinitions)
{
    // A loud, changing input: a swelling sine with noise, so every envelope,
    // level and gain stage moves both ways.
    const int n = 44100;
    auto in = noise (n, 21, 0.2f);
    const auto tone = sine (n, 110.0, kRate, 1.0f);
    for (int i = 0; i < n; ++i)
        in[(size_t) i] += tone[(size_t) i] * (float) (1.5 * std::sin (3.141592653589793 * i / n));

    for (int type = 2; type <= 5; ++type)
        for (double drive : { 0.3, 0.8 })
        {
            SCOPED_TRACE (testing::Message() << "type " << type << " drive " << drive);
            const auto out = SaturatorFixture (drive, type).run (in, 512);
            auto expected = in;
            SaturatorModel model;
            for (int start = 0; start < n; start += 512)
                model.run (expected, start, std::min (n, start + 512), drive, type);
            EXPECT_LT (maxDifference (out, expected), 1.0e-3);
            EXPECT_GT (maxDifference (out, in), 0.01);   // it does something
        }
}
