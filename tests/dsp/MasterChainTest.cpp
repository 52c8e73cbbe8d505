#include "dsp/ColorEcho.h"
#include "dsp/KevoChorus.h"
#include "dsp/KevoReverb.h"
#include "dsp/KevoReverb2.h"
#include "dsp/Limiter.h"
#include "dsp/Saturator.h"
#include "dsp/WarmEq.h"

#include "MasterEffectsTestUtil.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

using namespace fxtest;

namespace
{
// The master chain in the block driver's order, on the heap (the lines are
// large): chorus, equaliser, saturator, echo, reverb, limiter.
struct Chain
{
    Parameters p;
    KevoChorus chorus;
    WarmEq eqLeft, eqRight;
    Saturator satLeft, satRight;
    ColorEcho echo;
    KevoReverb reverb1;
    KevoReverb2 reverb2;
    Limiter limitLeft, limitRight;
    bool useReverb2 = false;

    void prepare (double sampleRate, int blockSize)
    {
        chorus.setParameters (p.data());
        for (auto* eq : { &eqLeft, &eqRight })
            eq->setParameters (p.data());
        for (auto* sat : { &satLeft, &satRight })
            sat->setParameters (p.data());
        reverb1.setParameters (p.data());
        reverb2.setParameters (p.data());

        chorus.prepare (sampleRate, blockSize);
        eqLeft.prepare (sampleRate, blockSize);
        eqRight.prepare (sampleRate, blockSize);
        satLeft.prepare (sampleRate, blockSize);
        satRight.prepare (sampleRate, blockSize);
        echo.prepare (sampleRate, blockSize);
        reverb1.prepare (sampleRate, blockSize);
        reverb2.prepare (sampleRate, blockSize);
        limitLeft.prepare (sampleRate, blockSize);
        limitRight.prepare (sampleRate, blockSize);

        echo.updateEchoValues (p[params::kEchoMix], p[params::kEchoFeedback], p[params::kEchoTime],
                               p[params::kEchoStereo], p[params::kEchoColor], 2.0);
    }

    // Everything up to the reverb; the limiter runs separately.
    void effects (float* l, float* r, int n)
    {
        chorus.processStereo (l, r, n);
        eqLeft.process (l, n);
        eqRight.process (r, n);
        satLeft.process (l, n);
        satRight.process (r, n);
        echo.process (l, r, n);
        if (useReverb2)
            reverb2.process (l, r, n);
        else
            reverb1.process (l, r, n);
    }
};
} // namespace

TEST (MasterChain, LoudInputAtFullMixStaysFiniteAndBounded)
{
    // 48 voices of full-scale squares and noise (peaks far above 1) through
    // every effect at mix 1 and its most extreme settings.
    for (double rate : { 44100.0, 96000.0 })
        for (int satType = 0; satType < Saturator::kNumTypes; ++satType)
        {
            auto chain = std::make_unique<Chain>();
            auto& p = *chain;
            for (int index : { params::kChorusMix, params::kChorusDepth, params::kChorusRate, params::kChorusTime,
                               params::kEqLow, params::kEqMid, params::kEqHigh, params::kSaturation,
                               params::kEchoMix, params::kEchoFeedback, params::kEchoColor, params::kEchoStereo,
                               params::kReverbMix, params::kReverbSize })
                p.p[index] = 1.0;
            p.p[params::kEchoTime] = 0.05;
            p.p[params::kReverbColor] = satType % 2 ? 1.0 : 0.0;
            p.p[params::kSaturationType] = params::choiceValue (satType);
            p.useReverb2 = satType >= 3;
            p.prepare (rate, 512);

            const int n = (int) (3 * rate);
            auto left = loudVoices (n, rate, 50 + (uint64_t) satType);
            auto right = loudVoices (n, rate, 60 + (uint64_t) satType);
            ASSERT_GT (maxAbs (left), 20.0);

            inBlocks (left, right, 512, [&] (float* l, float* r, int len) { p.effects (l, r, len); });

            SCOPED_TRACE (testing::Message() << "rate " << rate << " saturator " << satType);
            EXPECT_TRUE (allFinite (left) && allFinite (right));
            // Bounded: the echo may build up to 1 / (1 - 0.99) of its input,
            // nothing runs away beyond that. The limiters then hold full scale.
            EXPECT_LT (std::max (maxAbs (left), maxAbs (right)), 1.0e4);
            p.limitLeft.process (left.data(), n);
            p.limitRight.process (right.data(), n);
            EXPECT_LE (std::max (maxAbs (left), maxAbs (right)), 1.0);
        }
}

TEST (Limiter, ScalesPeaksToFullScaleAndRecovers)
{
    Limiter limiter;
    limiter.prepare (44100.0, 512);

    std::vector<float> x { 0.5f, 2.0f, 0.5f, 0.5f };
    EXPECT_EQ (limiter.process (x.data(), 4), 1);
    EXPECT_EQ (x[0], 0.5f);
    EXPECT_EQ (x[1], 1.0f);

    // The gain recovers from 0.5 towards 1 by 0.9999 per sample.
    const double g1 = 0.5 * 0.9999 + 0.0001;
    EXPECT_NEAR (x[2], 0.5 * g1, 1.0e-7);
    EXPECT_NEAR (x[3], 0.5 * (g1 * 0.9999 + 0.0001), 1.0e-7);

    // Ten thousand samples later about 63 % of the way back.
    std::vector<float> quiet (10000, 0.1f);
    limiter.process (quiet.data(), 10000);
    EXPECT_NEAR (limiter.getGain(), 1.0 - 0.5 * std::exp (-1.0), 0.01);

    // Non-finite samples never pass.
    std::vector<float> bad { std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), -3.0f };
    EXPECT_EQ (limiter.process (bad.data(), 3), 3);
    EXPECT_TRUE (allFinite (bad));
    EXPECT_EQ (bad[2], -1.0f);
}
