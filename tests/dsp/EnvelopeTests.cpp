#include "dsp/Envelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace
{
// Stage values as the engine would hold them, bound to one envelope.
struct Stages
{
    ParameterValue attack = 0.5, decay = 0.5, sustain = 0.5, release = 0.5;

    void bindTo (Envelope& e) { e.bind (&attack, &decay, &sustain, &release); }
};

// Control steps (each followed by a level read) while the condition holds;
// returns the levels read.
template <typename Condition>
std::vector<double> levelsWhile (Envelope& e, Condition keepGoing, int maxSteps = 10'000'000)
{
    std::vector<double> levels;
    while (keepGoing() && (int) levels.size() < maxSteps)
    {
        e.updateSparse();
        levels.push_back (e.level());
    }
    return levels;
}

// Seconds from a stage's start until the level meets the predicate.
template <typename Done>
double timeUntil (Envelope& e, double sampleRate, Done done)
{
    for (int k = 1; k <= 10'000'000; ++k)
    {
        e.updateSparse();
        if (done (e.level()))
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
    levelsWhile (e, [&] { return e.getState() != Envelope::sustain; });
}

// Level halfway through a slow stage (relative to its start) for one shape control.
double halfway (Envelope::State stage, double stageValue, double shapeControl)
{
    Stages s;
    s.attack = stage == Envelope::attack ? stageValue : 0.0;
    s.decay = stage == Envelope::decay ? stageValue : 0.0;
    s.sustain = stage == Envelope::release ? 1.0 : 0.0;
    s.release = stageValue;
    Envelope e;
    e.prepare (44100.0);
    s.bindTo (e);
    settleSustain (e);
    e.setShapesFromControls (stage == Envelope::attack ? shapeControl : 0.0,
                             stage == Envelope::decay ? shapeControl : 0.5,
                             stage == Envelope::release ? shapeControl : 0.5);
    auto notOff = [&] { return ! e.isOff(); };

    if (stage == Envelope::attack)
    {
        e.start();
        // The last entry is the stage switch; the one before reached 1.
        const auto levels = levelsWhile (e, [&] { return e.getState() == Envelope::attack; });
        return levels[(levels.size() - 1) / 2 - 1];
    }
    if (stage == Envelope::decay)
    {
        e.start();
        levelsWhile (e, [&] { return e.getState() != Envelope::decay; });
        const auto levels = levelsWhile (e, notOff);
        return levels[levels.size() / 2 - 1];
    }
    runToSustain (e);
    e.level();
    e.startRelease();
    const double start = e.getReleaseStartLevel();
    const auto levels = levelsWhile (e, notOff);
    return levels[levels.size() / 2 - 1] / start;
}
} // namespace

TEST (Envelope, FreshOrUnboundEnvelopeStaysSilent)
{
    Envelope e ("amplitude");
    EXPECT_EQ (e.getState(), Envelope::off);
    EXPECT_EQ (e.level(), 0.0);
    EXPECT_FALSE (e.isBound());

    e.start();
    for (int i = 0; i < 100; ++i)
        e.updateSparse();
    EXPECT_EQ (e.getState(), Envelope::attack);
    EXPECT_EQ (e.getPhase(), 0.0);
}

TEST (Envelope, StageTimesAtBothSampleRates)
{
    for (double sr : { 44100.0, 96000.0 })
        for (double value : { 0.0, 1.0 })
        {
            SCOPED_TRACE (testing::Message() << sr << " Hz, stage value " << value);
            // One control step, plus rounding of the summed phase steps.
            const double oneStep = Envelope::kControlInterval / sr * 1.001;
            const double slow = value == 1.0;
            Stages s;
            s.attack = s.decay = s.release = value;
            s.sustain = 0.0;

            Envelope e;
            e.prepare (sr, 512);
            s.bindTo (e);
            e.setShapesFromControls (0.0, 1.0, 0.5); // linear attack and decay
            settleSustain (e);
            ASSERT_EQ (e.getSmoothedSustain(), 0.0);

            e.start();
            EXPECT_NEAR (timeUntil (e, sr, [] (double l) { return l >= 1.0; }), slow ? 5.0 : 1.0 / 300.0, oneStep);
            e.updateSparse(); // the call after the attack ends only switches stage
            ASSERT_EQ (e.getState(), Envelope::decay);

            // Decay towards a sustain of 0 ends when the level reaches 0.
            EXPECT_NEAR (timeUntil (e, sr, [] (double l) { return l == 0.0; }), slow ? 5.0 : 1.0 / 150.0, oneStep);
            EXPECT_TRUE (e.isOff());

            // Release from a held level.
            s.sustain = 1.0;
            settleSustain (e);
            runToSustain (e);
            e.startRelease();
            EXPECT_EQ (e.getState(), Envelope::release);
            EXPECT_NEAR (timeUntil (e, sr, [] (double l) { return l == 0.0; }), slow ? 5.0 : 1.0 / 150.0, oneStep);
            EXPECT_TRUE (e.isOff());
        }
}

TEST (Envelope, ShapesBendTheCurves)
{
    // Attack: linear at 0, exponent 0.65 in the middle, 0.3 at full bend; the
    // half-way level is 0.5^exponent.
    EXPECT_NEAR (halfway (Envelope::attack, 0.99, 0.0), 0.5, 0.01);
    EXPECT_NEAR (halfway (Envelope::attack, 0.99, 0.5), std::pow (0.5, 0.65), 0.01);
    EXPECT_NEAR (halfway (Envelope::attack, 0.99, 1.0), std::pow (0.5, 0.3), 0.01);

    // Decay: exponent 4.5 at control 0 (a fast initial drop), linear at 1.
    EXPECT_NEAR (halfway (Envelope::decay, 0.99, 0.0), std::pow (0.5, 4.5), 0.01);
    EXPECT_NEAR (halfway (Envelope::decay, 0.99, 1.0), 0.5, 0.01);

    // Release: a slow one bends up to exponent 3, a fast one only up to 1.4;
    // a shape control of 1 makes both linear.
    const double slow = halfway (Envelope::release, 1.0, 0.0);
    const double fast = halfway (Envelope::release, 0.0, 0.0);
    EXPECT_NEAR (slow, std::pow (0.5, 3.0), 0.01);
    EXPECT_NEAR (fast, std::pow (0.5, 1.4), 0.05); // only ~150 samples long
    EXPECT_LT (slow, fast);
    EXPECT_NEAR (halfway (Envelope::release, 1.0, 1.0), 0.5, 0.01);
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

    // A sustain that falls to 0 while held ends the note, and on the way
    // neither the level nor the smoothed sustain turns denormal.
    s.sustain = 1.0;
    settleSustain (e);
    runToSustain (e);
    s.sustain = 0.0;
    const auto levels = levelsWhile (e, [&] {
        EXPECT_NE (std::fpclassify (e.getSmoothedSustain()), FP_SUBNORMAL);
        return ! e.isOff();
    }, 1'000'000);
    for (double l : levels)
        ASSERT_NE (std::fpclassify (l), FP_SUBNORMAL);
    EXPECT_TRUE (e.isOff());
    EXPECT_EQ (e.getLastLevel(), 0.0);
    EXPECT_LT (levels.size() * 8 / 48000.0, 2.0); // well before the level could matter

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
    auto step = [&] (int n) {
        for (int i = 0; i < n; ++i)
        {
            e.updateSparse();
            e.level();
        }
    };

    // A stop during the attack releases from the level reached, not from 1.
    e.start();
    step (100);
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
    step (50);
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
    for (; e.getSmoothedSustain() < 0.5; ++steps)
        e.updateSparse();
    EXPECT_GE (steps, 68);
    EXPECT_LE (steps, 70);

    // With the sustain at 1 the decay holds full level throughout.
    settleSustain (e);
    e.start();
    while (e.getState() != Envelope::sustain)
    {
        e.updateSparse();
        const bool decaying = e.getState() == Envelope::decay;
        const double l = e.level();
        if (decaying)
            EXPECT_NEAR (l, 1.0, 1e-9);
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
        e.prepare (0.0); // ignored
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

TEST (Envelope, RunInBlocksMatchesStepByStep)
{
    // Through every stage, with the stage values moving between blocks and
    // odd block lengths: the same levels and state as updateSparse + level.
    Stages sa, sb;
    Envelope a ("a"), b ("b");
    for (Envelope* e : { &a, &b })
        e->prepare (48000.0);
    sa.bindTo (a);
    sb.bindTo (b);
    for (Stages* s : { &sa, &sb })
    {
        s->attack = 0.9;
        s->decay = 0.8;
        s->sustain = 0.3;
        s->release = 0.85;
    }
    a.setShapesFromControls (0.3, 0.6, 0.4);
    b.setShapesFromControls (0.3, 0.6, 0.4);
    a.start();
    b.start();

    std::vector<double> levels (64);
    for (int block = 0; block < 400; ++block)
    {
        const int len = 1 + (block * 7) % 63;
        if (block == 150)
        {
            a.startRelease();
            b.startRelease();
        }
        if (block == 250)
        {
            a.restartFromRelease();
            b.restartFromRelease();
        }
        if (block == 300)
        {
            a.startRelease();
            b.startRelease();
        }
        const double v = 0.5 + 0.4 * std::sin (block * 0.3);
        for (Stages* s : { &sa, &sb })
            s->sustain = v;

        a.run (levels.data(), len);
        if (block % 5 == 0)
            b.run (nullptr, 0);
        for (int k = 0; k < len; ++k)
        {
            b.updateSparse();
            ASSERT_EQ (levels[(size_t) k], b.level()) << "block " << block << " step " << k;
        }
        ASSERT_EQ (a.getState(), b.getState());
        ASSERT_EQ (a.getPhase(), b.getPhase());
        ASSERT_EQ (a.getLastLevel(), b.getLastLevel());
    }
    // Every stage was passed through, and it ended off.
    EXPECT_TRUE (a.isOff());

    // Levels read and dropped still move the envelope.
    a.start();
    b.start();
    a.run (nullptr, 100);
    for (int k = 0; k < 100; ++k)
    {
        b.updateSparse();
        b.level();
    }
    EXPECT_EQ (a.getPhase(), b.getPhase());
    EXPECT_EQ (a.getState(), b.getState());
}
