// The spline oscillator avoids drawing cycles in two ways: a length whose
// segments get the same sample counts as a kept cycle is copied from it, and
// points that only moved up or down are drawn from the kept places of the
// curve scans. Both must give exactly the cycle a fresh oscillator draws,
// also when long cycles crowd older scans out of their store and when the
// modulation moves points sideways.

#include "SplineTestRig.h"

#include <gtest/gtest.h>

#include <random>

using namespace splinetest;

namespace
{
// A start point and up to fifteen segments of every kind. The controls keep
// x rising through each curve, so every sample of the cycle is drawn: a
// curve that runs backwards can leave a sample to what the table held
// before, which a fresh oscillator does not share.
std::vector<SplineOscillatorPoint> randomChain (std::mt19937& rng, int segments)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    std::vector<double> xs ((size_t) segments);
    for (auto& x : xs)
        x = unit (rng);
    std::sort (xs.begin(), xs.end());
    xs.back() = 1.0;

    std::vector<SplineOscillatorPoint> chain { point (splineStart, 0.0, unit (rng)) };
    double x0 = 0.0;
    for (double x : xs)
    {
        const int kind = (int) (rng() % 3);
        auto p = point (kind == 0 ? splineLinear : (kind == 1 ? splineQuadratic : splineCubic), x, unit (rng));
        const double dx = x - x0;
        // Quadratic: the control inside the segment. Cubic: the first control
        // in its first half, the second measured from the first.
        const double first = kind == 1 ? unit (rng) : 0.5 * unit (rng);
        p.x[1] = x0 + first * dx;
        p.x[2] = p.x[1] + (first + (1.0 - first) * unit (rng)) * dx;
        p.y[1] = unit (rng);
        p.y[2] = unit (rng);
        chain.push_back (p);
        x0 = x;
    }
    return chain;
}

// Controls anywhere: curves whose x runs backwards or far past their own
// stretch (their runs reach into the segments after them, or fall short),
// and segments of no width.
std::vector<SplineOscillatorPoint> wildChain (std::mt19937& rng, int segments)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    std::vector<double> xs ((size_t) segments);
    for (auto& x : xs)
        x = rng() % 5 == 0 ? 0.5 : unit (rng);
    std::sort (xs.begin(), xs.end());
    xs.back() = 1.0;

    std::vector<SplineOscillatorPoint> chain { point (splineStart, 0.0, unit (rng)) };
    for (double x : xs)
    {
        const int kind = (int) (rng() % 5);
        auto p = point (kind == 0 ? splineLinear : (kind <= 2 ? splineQuadratic : splineCubic), x, unit (rng));
        for (int pair = 1; pair < 3; ++pair)
        {
            p.x[pair] = unit (rng);
            p.y[pair] = unit (rng);
        }
        chain.push_back (p);
    }
    return chain;
}

// The same chain with new heights only.
std::vector<SplineOscillatorPoint> newHeights (std::vector<SplineOscillatorPoint> chain, std::mt19937& rng)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    for (auto& p : chain)
        for (double& y : p.y)
            y = unit (rng);
    return chain;
}

std::vector<double> drawCycle (Rig& rig, int size)
{
    rig.osc.reset();   // no carried samples: the cycle is exactly `size` long
    const int length = rig.osc.makeNewEnvelopeOfSize (size, 0);
    return std::vector<double> (rig.osc.getCycle(), rig.osc.getCycle() + length);
}

std::vector<double> freshCycle (const std::vector<SplineOscillatorPoint>& chain, int size)
{
    Rig rig;
    rig.setPoints (chain);
    return drawCycle (rig, size);
}

// The oscillator's points as its modulation left them, as a still chain.
std::vector<SplineOscillatorPoint> workingChain (const SplineOscillator& osc)
{
    std::vector<SplineOscillatorPoint> chain;
    const Osc4Data* w = osc.getWorkingPoints();
    for (int k = 0; k < SplineOscillator::kNumPoints && w[k].type != splineEndMarker; ++k)
    {
        auto p = point ((SplinePointType) w[k].type, w[k].x[0], w[k].y[0]);
        for (int pair = 1; pair < 3; ++pair)
        {
            p.x[pair] = w[k].x[pair];
            p.y[pair] = w[k].y[pair];
        }
        chain.push_back (p);
    }
    return chain;
}
} // namespace

TEST (SplineCycleReuse, HeightChangesDrawTheSameCyclesAsAFreshOscillator)
{
    std::mt19937 rng (20261206);
    for (int trial = 0; trial < 40; ++trial)
    {
        const auto chain = randomChain (rng, 1 + (int) (rng() % 15));
        const int sizes[] = { 40 + (int) (rng() % 60), 150 + (int) (rng() % 200), 700 + (int) (rng() % 1200) };

        Rig rig;
        rig.setPoints (chain);
        for (int size : sizes)
            drawCycle (rig, size);

        // Twice over: the first pass replays the scans of the drawings above.
        for (int pass = 0; pass < 2; ++pass)
        {
            const auto moved = newHeights (chain, rng);
            rig.setPoints (moved);
            for (int size : sizes)
            {
                const auto drawnBefore = rig.osc.getCyclesDrawn();
                const auto cycle = drawCycle (rig, size);
                EXPECT_EQ (rig.osc.getCyclesDrawn(), drawnBefore + 1);

                const auto expected = freshCycle (moved, size);
                ASSERT_EQ (cycle.size(), expected.size()) << trial << " size " << size;
                for (size_t i = 0; i < cycle.size(); ++i)
                    ASSERT_EQ (cycle[i], expected[i]) << trial << " size " << size << " at " << i;
            }
        }
    }
}

TEST (SplineCycleReuse, LengthsWithTheSameSegmentCountsAreCopiedNotDrawn)
{
    // Three segments of a third: 172 and 173 samples both give 57 per segment.
    const std::vector<SplineOscillatorPoint> chain { point (splineStart, 0.0, 0.2), quadratic (1.0 / 3.0, 0.8, 0.1, 0.9),
                                                     point (splineLinear, 2.0 / 3.0, 0.4), point (splineCubic, 1.0, 0.2) };
    Rig rig;
    rig.setPoints (chain);
    const auto first = drawCycle (rig, 172);
    const auto drawn = rig.osc.getCyclesDrawn();

    const auto copied = drawCycle (rig, 173);
    EXPECT_EQ (rig.osc.getCyclesDrawn(), drawn);
    EXPECT_EQ (copied, first);
    EXPECT_EQ (copied, freshCycle (chain, 173));

    // A length that changes a count is drawn.
    const auto longer = drawCycle (rig, 180);
    EXPECT_EQ (rig.osc.getCyclesDrawn(), drawn + 1);
    EXPECT_EQ (longer, freshCycle (chain, 180));
    EXPECT_NE (longer.size(), first.size());
}

TEST (SplineCycleReuse, LongCyclesCrowdingOutOlderScansStillDrawTheirOwnCycles)
{
    // Cycles near the longest length: a few of them fill the store of kept
    // scans, so newer scans overwrite older ones over and over.
    std::mt19937 rng (777);
    auto chain = randomChain (rng, 15);
    Rig rig;
    const int sizes[] = { 8000, 7100, 6300, 8000, 5200, 7100, 8150, 6300, 4100, 8000, 7100, 5200 };
    for (int round = 0; round < 3; ++round)
        for (int size : sizes)
        {
            chain = newHeights (chain, rng);
            rig.setPoints (chain);
            const auto cycle = drawCycle (rig, size);
            const auto expected = freshCycle (chain, size);
            ASSERT_EQ (cycle.size(), expected.size()) << "size " << size;
            for (size_t i = 0; i < cycle.size(); ++i)
                ASSERT_EQ (cycle[i], expected[i]) << "round " << round << " size " << size << " at " << i;
        }
}

TEST (SplineCycleReuse, ControlsMovedSidewaysAreDrawnWhereTheyMoved)
{
    // LFO 1 moves the first control of every curve point sideways: the
    // segment counts stay, only the curves' shapes change from cycle to
    // cycle, and come back to earlier shapes.
    std::mt19937 rng (31337);
    auto chain = randomChain (rng, 12);
    for (auto& p : chain)
        if (p.type == splineQuadratic || p.type == splineCubic)
        {
            auto& slot = p.slots[1];
            slot.direction = osc4mod::horizontal;
            slot.source = osc4mod::lfo1;
            slot.depth = 0.04;
            slot.speed = 0.3;
        }

    Rig rig;
    rig.setPoints (chain);
    rig.lfo1.setRateHz (40.0);
    rig.lfo1.calculateBlock (512);

    int sideways = 0;
    std::vector<double> lastControl;
    for (int round = 0; round < 24; ++round)
    {
        rig.osc.reset();
        const int at = (round * 7) % 4 * 160;   // four places in the LFO's block, revisited
        const int length = rig.osc.makeNewEnvelopeOfSize (900, at);
        const std::vector<double> cycle (rig.osc.getCycle(), rig.osc.getCycle() + length);

        const auto moved = workingChain (rig.osc);
        std::vector<double> control;
        for (const auto& p : moved)
            control.push_back (p.x[1]);
        if (! lastControl.empty() && control != lastControl)
            ++sideways;
        lastControl = control;

        const auto expected = freshCycle (moved, 900);
        ASSERT_EQ (cycle.size(), expected.size()) << "round " << round;
        for (size_t i = 0; i < cycle.size(); ++i)
            ASSERT_EQ (cycle[i], expected[i]) << "round " << round << " at " << i;
    }
    EXPECT_GT (sideways, 10);   // the controls did move between cycles
}

TEST (SplineCycleReuse, LongCyclesDrawnAsTheyPlayGiveTheSameSoundWhateverTheBlocksAndRestarts)
{
    // At 192 kHz a low note's cycle runs to thousands of entries, drawn only
    // as far as the read-out has come. Played in small blocks, or restarted
    // in the middle of a cycle it had half drawn, the oscillator must sound
    // exactly as one that played the note in large blocks from the start.
    std::mt19937 rng (192000);
    for (int trial = 0; trial < 4; ++trial)
    {
        const auto chain = randomChain (rng, 4 + 3 * trial);
        const int note = 24 + 3 * trial;
        const int total = 30000;

        Rig reference (192000.0, 4096);
        reference.setPoints (chain);
        reference.startNote (note);
        ASSERT_GT (4096.0 / reference.incrementFor (note), 3000.0) << "the cycle must be long";
        const auto expected = reference.render (reference.incrementFor (note), total, 4096);

        Rig restarted (192000.0, 4096);
        restarted.setPoints (chain);
        restarted.playNote (note, 1500 + 700 * trial, 61);   // stops inside the first cycle
        restarted.startNote (note);
        const auto played = restarted.render (restarted.incrementFor (note), total, 61 + trial * 130);

        for (int i = 0; i < total; ++i)
            ASSERT_EQ (played[(size_t) i], expected[(size_t) i]) << "trial " << trial << " sample " << i;
    }
}

TEST (SplineCycleReuse, ALongCycleIsDrawnNoFurtherThanItsBlockReads)
{
    // The block that starts a low note must not also draw ahead for the
    // blocks after it: with many notes starting at once that block is the
    // slowest one. Curves only (each one walked), heights well clear of 0,
    // so an entry still 0 was not drawn.
    for (double rate : { 96000.0, 192000.0 })
    {
        std::vector<SplineOscillatorPoint> chain { point (splineStart, 0.0, 0.5) };
        for (int k = 1; k <= 6; ++k)
        {
            const double x0 = (k - 1) / 6.0, x = k / 6.0;
            auto p = point (splineCubic, x, 0.5 + 0.3 * std::sin (k));
            p.x[1] = x0 + 0.3 * (x - x0);
            p.x[2] = x0 + 0.7 * (x - x0);
            p.y[1] = 0.2 + 0.1 * k;
            p.y[2] = 0.8 - 0.1 * k;
            chain.push_back (p);
        }
        Rig rig (rate, 512);
        rig.setPoints (chain);
        const int note = 24;
        rig.startNote (note);
        const int block = 256;
        rig.render (rig.incrementFor (note), block, block);

        const int f = rig.osc.getOversampling();
        const int length = rig.osc.getCycleLength();
        const int read = block * f;
        ASSERT_GT (length, 4 * read) << rate;
        const double* cycle = rig.osc.getCycle();
        for (int i = 0; i < read; ++i)
            ASSERT_NE (cycle[i], 0.0) << rate << " at " << i;
        // What one output sample may still read past the block, and a curve's
        // walk running on to the entry it was asked for.
        const int slack = 16 * f + 64;
        int drawn = 0;
        for (int i = read; i < length; ++i)
            drawn += cycle[i] != 0.0 ? 1 : 0;
        EXPECT_LE (drawn, slack) << rate;
    }
}

TEST (SplineCycleReuse, OvershootingCurvesDrawWhatWholeWalksInTurnDraw)
{
    // A curve's run past its own stretch is walked only where the segments
    // after it leave entries unwritten; the cycle must be the one that
    // walking every curve to its end, in turn, draws. Heights are redrawn
    // from kept scans in between, and lengths repeat.
    std::mt19937 rng (4242);
    int gaps = 0, overshoots = 0;
    for (int trial = 0; trial < 60; ++trial)
    {
        auto chain = wildChain (rng, 2 + (int) (rng() % 14));
        Rig rig;
        const int sizes[] = { 300 + (int) (rng() % 400), 2500 + (int) (rng() % 4000), 300 + (int) (rng() % 400) };
        for (int round = 0; round < 2; ++round)
        {
            chain = newHeights (chain, rng);
            rig.setPoints (chain);
            for (int size : sizes)
            {
                const auto cycle = drawCycle (rig, size);
                const auto expected = walkedCycle (rig.osc.getWorkingPoints(), size);
                ASSERT_EQ (cycle.size(), expected.size()) << "trial " << trial;
                for (size_t i = 0; i < cycle.size(); ++i)
                {
                    if (std::isnan (expected[i]))
                    {
                        ++gaps;
                        continue;
                    }
                    ASSERT_EQ (cycle[i], expected[i]) << "trial " << trial << " round " << round << " size " << size << " at " << i;
                }
            }
        }

        // How far the longest run reaches past its stretch, for the count below.
        const Osc4Data* w = rig.osc.getWorkingPoints();
        for (int k = 1; k < SplineOscillator::kNumPoints && w[k].type != splineEndMarker; ++k)
            if ((w[k].type == splineQuadratic || w[k].type == splineCubic) && (w[k].x[1] < w[k - 1].x[0] || w[k].x[1] > w[k].x[0]))
                ++overshoots;
    }
    EXPECT_GT (overshoots, 100);   // the chains did overshoot
    EXPECT_GT (gaps, 0);           // and some left entries unwritten
}
