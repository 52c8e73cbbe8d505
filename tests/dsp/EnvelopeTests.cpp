#include "dsp/Envelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace
{
// Stage values as the engine would hold them, bound to one envelope.
struct Stages
{
    double attack = 0.5, decay = 0.5, sustain = 0.5, release = 0.5;

    void bindTo (Envelope& e) { e.bind (&attack, &decay, &sustain, &release); }
};

// Control steps from a stage's start until the envelope leaves that stage or
// the predicate holds, as seconds.
template <typename Done>
double timeUntil (Envelope& e, double sampleRate, Done done, int maxSteps = 10'000'000)
{
    for (int k = 1; k <= maxSteps; ++k)
    {
        e.updateSparse();
        const double level = e.level();
        if (done (level))
            return k * Envelope::kControlInterval / sampleRate;
    }
    return -1.0;
}

// Smoothed sustain settled at the bound sustain value.
void settleSustain (Envelope& e)
{
    for (int i = 0; i < 20000; ++i)
        e.updateSparse();
}

void runToSustain (Envelope& e)
{
    e.start();
    for (int i = 0; i < 10'000'000 && e.getState() != Envelope::sustain; ++i)
    {
        e.updateSparse();
        e.level();
    }
}
} // namespace

TEST (Envelope, FreshEnvelopeIsOffAndSilent)
{
    Envelope e ("amplitude");
    EXPECT_EQ (e.getState(), Envelope::off);
    EXPECT_EQ (e.level(), 0.0);
    EXPECT_FALSE (e.isBound());
    EXPECT_EQ (e.getName(), "amplitude");

    // Unbound: nothing moves even when started.
    e.start();
    for (int i = 0; i < 100; ++i)
        e.updateSparse();
    EXPECT_EQ (e.getState(), Envelope::attack);
    EXPECT_EQ (e.getPhase(), 0.0);
}

TEST (Envelope, StageTimesAtBothSampleRates)
{
    for (double sr : { 44100.0, 96000.0 })
    {
        SCOPED_TRACE (sr);
        // One control step, plus rounding of the summed phase steps.
        const double oneStep = Envelope::kControlInterval / sr * 1.001;

        for (double value : { 0.0, 1.0 })
        {
            SCOPED_TRACE (value);
            Stages s;
            s.attack = s.decay = s.release = value;
            s.sustain = 0.0;

            Envelope e;
            e.prepare (sr, 512);
            s.bindTo (e);
            e.setShapesFromControls (0.0, 1.0, 0.5);   // linear attack and decay
            settleSustain (e);
            ASSERT_EQ (e.getSmoothedSustain(), 0.0);

            // Attack: from start until the level reaches full scale.
            e.start();
            const double attackTime = timeUntil (e, sr, [] (double l) { return l >= 1.0; });
            const double attackExpected = value == 1.0 ? 5.0 : 1.0 / 300.0;
            EXPECT_NEAR (attackTime, attackExpected, oneStep);

            // The call after the attack ends only switches stage.
            e.updateSparse();
            ASSERT_EQ (e.getState(), Envelope::decay);

            // Decay towards a sustain of 0: ends when the level reaches 0.
            const double decayTime = timeUntil (e, sr, [] (double l) { return l == 0.0; });
            const double decayExpected = value == 1.0 ? 5.0 : 1.0 / 150.0;
            EXPECT_NEAR (decayTime, decayExpected, oneStep);
            EXPECT_TRUE (e.isOff());

            // Release from a held level.
            s.sustain = 1.0;
            settleSustain (e);
            runToSustain (e);
            e.startRelease();
            EXPECT_EQ (e.getState(), Envelope::release);
            const double releaseTime = timeUntil (e, sr, [] (double l) { return l == 0.0; });
            EXPECT_NEAR (releaseTime, value == 1.0 ? 5.0 : 1.0 / 150.0, oneStep);
            EXPECT_TRUE (e.isOff());
        }
    }
}

TEST (Envelope, ShapesBendTheCurves)
{
    const double sr = 44100.0;

    // Level halfway through a slow stage, for a given shape control.
    auto attackAtHalf = [&] (double shapeControl) {
        Stages s;
        s.attack = 0.99;
        Envelope e;
        e.prepare (sr);
        s.bindTo (e);
        e.setShapesFromControls (shapeControl, 0.5, 0.5);
        e.start();
        std::vector<double> levels;
        while (e.getState() == Envelope::attack)
        {
            e.updateSparse();
            levels.push_back (e.level());
        }
        // The last entry is the stage switch; the one before reached 1.
        const size_t steps = levels.size() - 1;
        return levels[steps / 2 - 1];
    };

    // Linear at 0, exponent 0.65 in the middle, 0.3 at full bend: the half-way
    // level is 0.5^exponent.
    EXPECT_NEAR (attackAtHalf (0.0), 0.5, 0.01);
    EXPECT_NEAR (attackAtHalf (0.5), std::pow (0.5, 0.65), 0.01);
    EXPECT_NEAR (attackAtHalf (1.0), std::pow (0.5, 0.3), 0.01);

    auto decayAtHalf = [&] (double shapeControl) {
        Stages s;
        s.attack = 0.0;
        s.decay = 0.99;
        s.sustain = 0.0;
        Envelope e;
        e.prepare (sr);
        s.bindTo (e);
        settleSustain (e);
        e.setShapesFromControls (0.0, shapeControl, 0.5);
        e.start();
        while (e.getState() != Envelope::decay)
        {
            e.updateSparse();
            e.level();
        }
        std::vector<double> levels;
        while (! e.isOff())
        {
            e.updateSparse();
            levels.push_back (e.level());
        }
        return levels[levels.size() / 2 - 1];
    };

    // Exponent 4.5 at control 0 (a fast initial drop), linear at control 1.
    EXPECT_NEAR (decayAtHalf (0.0), std::pow (0.5, 4.5), 0.01);
    EXPECT_NEAR (decayAtHalf (1.0), 0.5, 0.01);

    auto releaseAtHalf = [&] (double releaseValue, double shapeControl) {
        Stages s;
        s.attack = 0.0;
        s.decay = 0.0;
        s.sustain = 1.0;
        s.release = releaseValue;
        Envelope e;
        e.prepare (sr);
        s.bindTo (e);
        settleSustain (e);
        e.setShapesFromControls (0.0, 0.5, shapeControl);
        runToSustain (e);
        e.level();
        e.startRelease();
        const double start = e.getReleaseStartLevel();
        std::vector<double> levels;
        while (! e.isOff())
        {
            e.updateSparse();
            levels.push_back (e.level());
        }
        return levels[levels.size() / 2 - 1] / start;
    };

    // A slow release bends up to exponent 3, a fast one only up to 1.4; a
    // shape control of 1 makes both linear.
    const double slow = releaseAtHalf (1.0, 0.0);
    const double fast = releaseAtHalf (0.0, 0.0);
    EXPECT_NEAR (slow, std::pow (0.5, 3.0), 0.01);
    EXPECT_NEAR (fast, std::pow (0.5, 1.4), 0.05);   // only ~150 samples long
    EXPECT_LT (slow, fast);
    EXPECT_NEAR (releaseAtHalf (1.0, 1.0), 0.5, 0.01);
}

TEST (Envelope, ZeroLevelOutsideAttackSwitchesOff)
{
    Stages s;
    s.sustain = 0.0;
    Envelope e;
    e.prepare (48000.0);
    s.bindTo (e);

    // Attack at phase 0 yields 0 but stays in attack.
    e.start();
    EXPECT_EQ (e.level(), 0.0);
    EXPECT_EQ (e.getState(), Envelope::attack);

    // A sustain that falls to 0 while held ends the note, and on the way the
    // smoothed sustain never turns denormal.
    s.sustain = 1.0;
    settleSustain (e);
    runToSustain (e);
    s.sustain = 0.0;
    int steps = 0;
    while (! e.isOff() && steps < 1'000'000)
    {
        e.updateSparse();
        const double l = e.level();
        ASSERT_NE (std::fpclassify (l), FP_SUBNORMAL);
        ASSERT_NE (std::fpclassify (e.getSmoothedSustain()), FP_SUBNORMAL);
        ++steps;
    }
    EXPECT_TRUE (e.isOff());
    EXPECT_EQ (e.getLastLevel(), 0.0);
    EXPECT_LT (steps * 8 / 48000.0, 2.0);   // well before the level could matter

    // Once off it stays off and yields 0.
    e.updateSparse();
    EXPECT_EQ (e.level(), 0.0);
    EXPECT_TRUE (e.isOff());
}

TEST (Envelope, TransitionsKeepTheLevelContinuous)
{
    Stages s;
    s.attack = 0.9;
    s.sustain = 1.0;
    Envelope e;
    e.prepare (44100.0);
    s.bindTo (e);
    settleSustain (e);

    // A stop during the attack releases from the level reached, not from 1.
    e.start();
    for (int i = 0; i < 100; ++i)
    {
        e.updateSparse();
        e.level();
    }
    const double reached = e.getLastLevel();
    ASSERT_GT (reached, 0.05);
    ASSERT_LT (reached, 0.9);
    e.startRelease();
    EXPECT_EQ (e.getReleaseStartLevel(), reached);
    e.updateSparse();
    EXPECT_LE (e.level(), reached);

    // Releasing again changes nothing.
    const double phase = e.getPhase();
    e.startRelease();
    EXPECT_EQ (e.getPhase(), phase);
    EXPECT_EQ (e.getState(), Envelope::release);

    // A restart during the release continues from the mirrored phase instead
    // of dropping to 0.
    for (int i = 0; i < 50; ++i)
    {
        e.updateSparse();
        e.level();
    }
    const double releasePhase = e.getPhase();
    e.restartFromRelease();
    EXPECT_EQ (e.getState(), Envelope::attack);
    EXPECT_DOUBLE_EQ (e.getPhase(), 1.0 - releasePhase);
    EXPECT_GT (e.level(), 0.0);

    // An envelope that is off stays off on a stop.
    Envelope idle;
    s.bindTo (idle);
    idle.startRelease();
    EXPECT_TRUE (idle.isOff());
}

TEST (Envelope, SustainFollowsSmoothly)
{
    Stages s;
    s.sustain = 0.0;
    Envelope e;
    s.bindTo (e);
    settleSustain (e);

    // From 0 to 1 the smoothed sustain is half way after about 69 steps.
    s.sustain = 1.0;
    int steps = 0;
    while (e.getSmoothedSustain() < 0.5)
    {
        e.updateSparse();
        ++steps;
    }
    EXPECT_GE (steps, 68);
    EXPECT_LE (steps, 70);

    // With the sustain at 1 the decay holds full level throughout.
    settleSustain (e);
    e.start();
    while (e.getState() != Envelope::sustain)
    {
        e.updateSparse();
        if (e.getState() == Envelope::decay)
            EXPECT_NEAR (e.level(), 1.0, 1e-9);
        else
            e.level();
    }
}

TEST (Envelope, OutOfRangeControlsStayFinite)
{
    for (double bad : { -1.0, 2.0, std::nan ("") })
    {
        SCOPED_TRACE (bad);
        Stages s;
        s.attack = s.decay = s.release = s.sustain = bad;
        Envelope e;
        e.prepare (0.0);   // ignored
        EXPECT_GT (e.getSampleRate(), 0.0);
        s.bindTo (e);
        e.setShapesFromControls (bad, bad, bad);
        EXPECT_GT (e.getAttackShape(), 0.0);
        EXPECT_GT (e.getDecayShape(), 0.0);
        EXPECT_GT (e.getReleaseShape(), 0.0);

        e.start();
        for (int i = 0; i < 2000000 && ! e.isOff(); ++i)
        {
            e.updateSparse();
            const double l = e.level();
            ASSERT_TRUE (std::isfinite (l));
            ASSERT_GE (l, 0.0);
            ASSERT_LE (l, 1.1);
            if (e.getState() == Envelope::sustain)
                e.startRelease();
        }
        EXPECT_TRUE (e.isOff());
    }
}
