// A cycle drawn whole with every curve replayed from a kept scan is taken
// down as a plan (where each segment writes), and the next cycle with the
// same segment counts is drawn from it with no lookups while the scans
// stand. Cycles drawn so must be exactly what walking every curve in turn
// draws: chains of lines, curves and segments of no width, curves running
// past their stretch or past the slot, cycles where some curves are walked
// and others replayed, and copies whose shared store loses scans between
// their cycles.

#include "SplineTestRig.h"

#include "dsp/VectorPath.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

using namespace splinetest;

namespace
{
// Every sub-point moved up and down by an LFO or an envelope, so each cycle
// has new heights on the same shapes.
void moveHeights (std::vector<SplineOscillatorPoint>& chain, std::mt19937& rng)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    const int sources[] = { osc4mod::lfo1, osc4mod::lfo2, osc4mod::ampEnvelope, osc4mod::filterEnvelopeInverted };
    for (size_t k = 1; k < chain.size(); ++k)
        for (int s = 0; s < 3; ++s)
        {
            auto& slot = chain[k].slots[s];
            slot.direction = osc4mod::vertical;
            slot.source = sources[rng() % 4];
            slot.depth = 0.05 + 0.3 * unit (rng);
            slot.speed = 0.3;
        }
}

// Lines, quadratics and cubics; x positions repeat (segments of no width);
// controls inside their stretch or anywhere (curves that run backwards or
// far past their own end).
std::vector<SplineOscillatorPoint> chainFor (std::mt19937& rng, int segments, bool wild)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    std::vector<double> xs ((size_t) segments);
    for (auto& x : xs)
        x = rng() % 6 == 0 ? 0.5 : unit (rng);
    std::sort (xs.begin(), xs.end());
    xs.back() = 1.0;

    std::vector<SplineOscillatorPoint> chain { point (splineStart, 0.0, unit (rng)) };
    double x0 = 0.0;
    for (double x : xs)
    {
        const int kind = (int) (rng() % 5);
        auto p = point (kind == 0 ? splineLinear : (kind <= 2 ? splineQuadratic : splineCubic), x, unit (rng));
        const double dx = x - x0;
        const double first = wild ? unit (rng) : x0 + 0.5 * unit (rng) * dx;
        p.x[1] = first;
        p.x[2] = wild ? unit (rng) : first + (x - first) * unit (rng);
        p.y[1] = unit (rng);
        p.y[2] = unit (rng);
        chain.push_back (p);
        x0 = x;
    }
    moveHeights (chain, rng);
    return chain;
}

struct Drawn
{
    std::vector<double> cycle;
    std::vector<double> expected;
};

// One cycle of exactly `size` (no carried samples), its points read where
// `at` falls in the LFOs' block.
Drawn drawAt (Rig& rig, int size, int at)
{
    rig.osc.reset();
    const int length = rig.osc.makeNewEnvelopeOfSize (size, at);
    return { std::vector<double> (rig.osc.getCycle(), rig.osc.getCycle() + length),
             walkedCycle (rig.osc.getWorkingPoints(), size) };
}

void prepareSources (Rig& rig)
{
    rig.lfo1.setRateHz (37.0);
    rig.lfo2.setRateHz (23.0);
    rig.lfo1.calculateBlock (512);
    rig.lfo2.calculateBlock (512);
    for (size_t i = 0; i < rig.ampLevels.size(); ++i)
    {
        rig.ampLevels[i] = 0.5 + 0.4 * std::sin (0.3 * (double) i);
        rig.filterLevels[std::min (i, rig.filterLevels.size() - 1)] = 0.5 + 0.4 * std::cos (0.2 * (double) i);
    }
}

// Entries a whole walk leaves unwritten keep what the slot held: not compared.
void expectSameCycle (const Drawn& d, const std::string& where)
{
    ASSERT_EQ (d.cycle.size(), d.expected.size()) << where;
    for (size_t i = 0; i < d.cycle.size(); ++i)
        if (! std::isnan (d.expected[i]))
            ASSERT_EQ (d.cycle[i], d.expected[i]) << where << " at " << i;
}
} // namespace

TEST (SplineCyclePlan, CyclesDrawnFromPlansAreWhatWholeWalksDraw)
{
    // On both vector paths: the wide one writes a replay's heights four at a time.
    std::mt19937 rng (180501);
    uint64_t planned = 0, drawn = 0;
    for (int trial = 0; trial < 80; ++trial)
    {
        vectorpath::force (trial % 4 < 2 ? 1 : 0);
        const bool wild = trial % 2 == 1;
        Rig rig;
        prepareSources (rig);
        rig.setPoints (chainFor (rng, 1 + (int) (rng() % 15), wild));

        // A few lengths in turn, some with the same counts as others: the
        // first of each is walked, the next replayed and taken down, the
        // rest drawn from the plan, each time with new heights. Long ones
        // share the table with fewer, larger slots.
        const int base = 30 + (int) (rng() % 1500);
        const int sizes[] = { base, base + 1, base + 2 + (int) (rng() % 40), base };
        for (int round = 0; round < 6; ++round)
            for (int size : sizes)
            {
                const int at = (int) (rng() % 500);
                expectSameCycle (drawAt (rig, size, at), "trial " + std::to_string (trial) + " size "
                                                             + std::to_string (size) + " round " + std::to_string (round));
            }
        planned += rig.osc.getCyclesDrawnFromPlans();
        drawn += rig.osc.getCyclesDrawn();
    }
    vectorpath::force (-1);
    EXPECT_GT (planned, drawn / 3);   // most cycles did come from plans
}

TEST (SplineCyclePlan, LongCyclesThatOnlyReplayAreTakenDownToo)
{
    // Cycles longer than those drawn whole at their start (low notes at high
    // rates): one whose curves all have kept scans is drawn whole all the same
    // and taken down, so the next of its counts comes from the plan; one that
    // must walk is left to be drawn as it is read.
    std::mt19937 rng (4242);
    uint64_t planned = 0;
    for (int trial = 0; trial < 16; ++trial)
    {
        vectorpath::force (trial % 2);
        Rig rig (96000.0);
        prepareSources (rig);
        rig.setPoints (chainFor (rng, 2 + (int) (rng() % 14), trial % 4 >= 2));
        const int base = 2100 + (int) (rng() % 12000);
        const int sizes[] = { base, base + 1, base, base + 3 };
        for (int round = 0; round < 4; ++round)
            for (int size : sizes)
                expectSameCycle (drawAt (rig, size, (int) (rng() % 500)),
                                 "trial " + std::to_string (trial) + " size " + std::to_string (size) + " round "
                                     + std::to_string (round));
        planned += rig.osc.getCyclesDrawnFromPlans();
    }
    vectorpath::force (-1);
    EXPECT_GT (planned, 100u);
}

TEST (SplineCyclePlan, CurvesRunningPastTheSlotAndCyclesChangingTheirSlotsDrawLikeWalks)
{
    // The last curve is a sliver whose second control lies far on: its run
    // goes hundreds of entries past the cycle's end, past the slot when the
    // table holds several cycles. Lengths that re-divide the table move the
    // cycles to slots of other sizes.
    std::mt19937 rng (99);
    for (int trial = 0; trial < 12; ++trial)
    {
        auto chain = chainFor (rng, 4 + (int) (rng() % 8), false);
        auto last = point (splineCubic, 1.0, 0.3);
        const double sliver = 0.002 + 0.002 * (trial % 4);
        chain.back().x[0] = 1.0 - sliver;
        last.x[1] = 0.0;
        last.x[2] = 1.0;
        chain.push_back (last);
        moveHeights (chain, rng);

        Rig rig;
        prepareSources (rig);
        rig.setPoints (chain);
        const int sizes[] = { 1800, 1800, 1799, 400, 400, 1800, 900, 900, 401, 1800 };
        for (int round = 0; round < 3; ++round)
            for (int size : sizes)
                expectSameCycle (drawAt (rig, size, (int) (rng() % 500)),
                                 "trial " + std::to_string (trial) + " size " + std::to_string (size));
        EXPECT_GT (rig.osc.getCyclesDrawnFromPlans(), 0u) << trial;
    }
}

TEST (SplineCyclePlan, CopiesWhoseSharedStoreLosesScansDrawLikeCopiesWithTheirOwn)
{
    // Four copies share a store with room for a few cycles' scans; pairs
    // play the same chain at neighbouring pitches, so one replays the
    // other's scans, and every new length walks and crowds older scans out
    // while the others hold plans made with them.
    std::mt19937 rng (2718);
    SplineScanStore shared;
    shared.prepare (2000, 128);

    constexpr int kCopies = 4;
    std::vector<std::unique_ptr<Rig>> together, alone;
    std::vector<std::vector<SplineOscillatorPoint>> chains;
    for (int c = 0; c < kCopies; ++c)
    {
        together.push_back (std::make_unique<Rig>());
        alone.push_back (std::make_unique<Rig>());
        together.back()->osc.setScanStore (&shared);
        chains.push_back (c % 2 == 1 ? chains.back() : chainFor (rng, 6 + 4 * c, false));
        for (auto* rig : { together.back().get(), alone.back().get() })
        {
            prepareSources (*rig);
            rig->setPoints (chains.back());
        }
    }

    uint64_t planned = 0;
    for (int round = 0; round < 40; ++round)
        for (int c = 0; c < kCopies; ++c)
        {
            // Two lengths a copy comes back to, now and then a new one.
            const int size = round % 7 == 6 ? 100 + (int) (rng() % 300) : 180 + 40 * c + (round % 2) * 23;
            const int at = (int) (rng() % 500);
            const auto mine = drawAt (*together[(size_t) c], size, at);
            const auto own = drawAt (*alone[(size_t) c], size, at);
            ASSERT_EQ (mine.cycle, own.cycle) << "round " << round << " copy " << c;
            expectSameCycle (mine, "round " + std::to_string (round) + " copy " + std::to_string (c));
        }
    for (auto& rig : together)
        planned += rig->osc.getCyclesDrawnFromPlans();
    EXPECT_GT (planned, 40u);
}
