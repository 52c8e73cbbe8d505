// The point list's operations one by one: the limits each keeps, what it
// refuses, the repairs validation makes. The chain is mixedChain(): start
// (0, 40), linear (100, 20), quadratic (250, 90) with control 1 (170, 5),
// cubic (420, 60) with controls (290, 120) and (360, 10), linear (575, 40).

#include "SplinePointListRig.h"

#include <limits>

using namespace splinelist;
using Node = SplinePointList::Node;

namespace
{
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> written (SplinePointList& list)
{
    std::vector<double> values ((size_t) params::kNumValues, 0.0);
    list.updateParamsValues (values.data());
    return values;
}

/** mixedChain with one horizontal range: point, slot and depth (0 for none). */
std::vector<SplineOscillatorPoint> rangedChain (int point, int slot, double depth)
{
    auto c = mixedChain();
    if (depth > 0.0)
        c[(size_t) point] = withSlot (c[(size_t) point], slot, osc4mod::horizontal, depth);
    return c;
}

double& field (std::vector<double>& v, int point, int f) { return v[(size_t) params::osc4PointIndex (point, f)]; }
} // namespace

TEST (SplinePointList, DefaultCurveAndSeeds)
{
    for (uint64_t seed : { 1u, 2u, 99u })
    {
        SplinePointList list (kW, kH, seed);
        ASSERT_EQ (list.size(), 4);
        EXPECT_TRUE (holdsInvariants (list));
        EXPECT_EQ (list.getFirst()->point.x[0], 0.0);
        EXPECT_DOUBLE_EQ (list.getFirst()->point.y[0], kH / 3.0);
        for (int k = 1; k < 4; ++k)
            EXPECT_EQ (list.at (k)->getType(), splineQuadratic);

        SplinePointList again (kW, kH, seed), other (kW, kH, seed + 1000);
        EXPECT_TRUE (sameChain (list, again, 0.0));
        EXPECT_FALSE (sameChain (list, other, 1e-9));

        // randomValues replays with the seed; first and last keep their x.
        ASSERT_TRUE (load (list, mixedChain()));
        ASSERT_TRUE (load (again, mixedChain()));
        list.setSeed (seed);
        again.setSeed (seed);
        list.randomizeCurrentPoints();
        again.randomizeCurrentPoints();
        EXPECT_TRUE (sameChain (list, again, 0.0));
        EXPECT_EQ (list.getFirst()->point.x[0], 0.0);
        EXPECT_EQ (list.getLast()->point.x[0], kW);
    }
}

TEST (SplinePointList, LinkedYMovesFirstAndLastTogetherAndRefusesOutside)
{
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, mixedChain()));
    Node* first = list.getFirst();
    Node* last = list.getLast();
    Node* inner = list.at (2);

    EXPECT_TRUE (list.setY (first, 77.0));
    EXPECT_EQ (last->point.y[0], 77.0);
    EXPECT_TRUE (list.setY (last, 3.0));
    EXPECT_EQ (first->point.y[0], 3.0);
    for (double bad : { -0.5, kH + 0.5, kNaN })
        EXPECT_FALSE (list.setY (first, bad) || list.setY (inner, bad));
    EXPECT_EQ (last->point.y[0], 3.0);
    EXPECT_EQ (inner->point.y[0], 90.0);
    EXPECT_TRUE (list.setY (inner, 0.0));   // an inner height is its own
    EXPECT_EQ (first->point.y[0], 3.0);
}

TEST (SplinePointList, SetXRefusesEveryMoveThatBreaksTheOrder)
{
    struct Case
    {
        const char* what;
        int point;
        double x;
        bool taken;
        int rangePoint, rangeSlot;   // one horizontal range of 0.1 (28.75 px), or none
    };
    const Case cases[] = {
        { "inside its neighbours", 2, 260.0, true, 0, 0 },
        { "the first point", 0, 10.0, false, 0, 0 },
        { "the last point", 4, 500.0, false, 0, 0 },
        { "left of zero with its range", 1, 20.0, false, 1, 0 },
        { "onto the previous point", 1, 0.0, false, 0, 0 },
        { "onto its control 1", 2, 170.0, false, 0, 0 },
        { "its range over control 1", 2, 190.0, false, 2, 0 },
        { "clear of control 1 with its range", 2, 200.0, true, 2, 0 },
        { "onto control 1's range", 2, 195.0, false, 2, 1 },
        { "onto control 1 plus slot 2's range", 2, 195.0, false, 2, 2 },
        { "onto its control 2", 3, 360.0, false, 0, 0 },
        { "onto control 2's range", 3, 380.0, false, 3, 2 },
        { "clear of control 2's range", 3, 400.0, true, 3, 2 },
        { "onto the next first abscissa", 2, 290.0, false, 0, 0 },
        { "onto the next abscissa's range", 2, 290.0 - 28.75 + 5.0, false, 3, 1 },
        { "clear of the next abscissa's range", 2, 290.0 - 28.75 - 5.0, true, 3, 1 },
        { "not a number", 2, kNaN, false, 0, 0 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        SplinePointList list (kW, kH);
        ASSERT_TRUE (load (list, rangedChain (c.rangePoint, c.rangeSlot, c.rangePoint > 0 ? 0.1 : 0.0)));
        Node* node = list.at (c.point);
        const double before = node->point.x[0];
        EXPECT_EQ (list.setX (node, c.x), c.taken);
        EXPECT_EQ (node->point.x[0], c.taken ? c.x : before);
    }

    // A linear point after a ranged one (100 +- 28.75) and the right edge.
    auto chain = rangedChain (1, 0, 0.1);
    chain[2] = pt (splineLinear, 250.0, 90.0);
    chain[3] = withSlot (chain[3], 0, osc4mod::horizontal, 0.1);
    chain[4] = withControls (pt (splineQuadratic, kW, 40.0), kW, 40.0);
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, chain));
    EXPECT_FALSE (list.setX (list.at (2), 120.0));
    EXPECT_TRUE (list.setX (list.at (2), 130.0));
    EXPECT_FALSE (list.setX (list.at (3), 560.0));
}

TEST (SplinePointList, HorizontalRangesShrinkToFitAndLimitsFollowTheNeighbours)
{
    // Point 1 has 70 px of room on its right (control 1 of point 2 at 170).
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, rangedChain (1, 0, 0.6)));
    const auto& slot = list.at (1)->point.slots[0];
    EXPECT_EQ (slot.direction, osc4mod::horizontal);
    double expected = 0.6;
    while (kW * expected / 2.0 > 70.0)
        expected *= 0.8;
    EXPECT_NEAR (slot.depth, expected, 1e-12);

    // No room at all: switched off below 0.001. Start and last point: off.
    auto squeezed = rangedChain (2, 1, 0.2);
    squeezed[2].x[1] = 100.0;
    squeezed[0] = withSlot (squeezed[0], 0, osc4mod::horizontal, 0.2);
    squeezed[4] = withSlot (squeezed[4], 0, osc4mod::horizontal, 0.2);
    squeezed[1] = withSlot (squeezed[1], 0, osc4mod::vertical, 1.5);
    ASSERT_TRUE (load (list, squeezed));
    EXPECT_EQ (list.at (2)->point.slots[1].direction, osc4mod::off);
    EXPECT_LT (list.at (2)->point.slots[1].depth, 0.001);
    EXPECT_EQ (list.getFirst()->point.slots[0].direction, osc4mod::off);
    EXPECT_EQ (list.getLast()->point.slots[0].direction, osc4mod::off);
    EXPECT_EQ (list.at (1)->point.slots[0].depth, 1.5);   // vertical ranges untouched

    // Ranges of 5.75 px on point 1 and cubic control 1 and 2, 11.5 px on the cubic.
    auto chain = rangedChain (1, 0, 0.02);
    chain[3] = withSlot (withSlot (withSlot (chain[3], 1, 1, 0.02), 0, 1, 0.04), 2, 1, 0.02);
    ASSERT_TRUE (load (list, chain));
    struct Case
    {
        int point, slot;
        double low, high;
    };
    const Case cases[] = {
        { 0, 0, 0.0, 0.0 },                 // the start point
        { 1, 0, 0.0, 170.0 },               // linear: previous point to next abscissa
        { 2, 0, 170.0, 290.0 - 5.75 },      // quadratic: own control 1 to next abscissa less its range
        { 2, 1, 100.0 + 5.75, 250.0 },      // previous point plus its range to the point
        { 3, 1, 250.0, 360.0 - 5.75 },      // to control 2 less its range
        { 3, 2, 290.0, 420.0 - 11.5 },      // control 1 to the point less its range
    };
    for (const auto& c : cases)
    {
        double low = -1.0, high = -1.0;
        list.getHorizontalModulationLimits (list.at (c.point), c.slot, &low, &high);
        EXPECT_DOUBLE_EQ (low, c.low) << c.point << "/" << c.slot;
        EXPECT_DOUBLE_EQ (high, c.high) << c.point << "/" << c.slot;
    }
}

TEST (SplinePointList, HeightsCountUsedPairsAndVerticalRangesWhenNormalizing)
{
    auto chain = mixedChain();
    chain[1].y[1] = 1.0;      // unused pairs do not count
    chain[1].y[2] = 129.0;
    chain[2] = withSlot (chain[2], 0, osc4mod::vertical, 0.2);   // 90 +- 13
    chain[3] = withSlot (chain[3], 2, 7, 0.1);                    // any direction above 1 is vertical: 10 +- 6.5
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, chain));
    EXPECT_DOUBLE_EQ (list.getHighestPoint (list.getFirst()), 10.0 - 6.5);
    EXPECT_DOUBLE_EQ (list.getLowestPoint (list.getFirst()), 120.0);
    EXPECT_DOUBLE_EQ (list.getHighestPoint (list.at (4)), 40.0);

    // Squeezed into 50 ... 62 with unused pairs at the edges: normalized to
    // the full height, unused pairs clamped inside.
    for (auto& p : chain)
        for (auto& y : p.y)
            y = 50.0 + y / 10.0;
    chain[1].y[1] = 0.0;
    chain[1].y[2] = kH;
    ASSERT_TRUE (load (list, chain));
    ASSERT_TRUE (list.normalize());
    EXPECT_NEAR (list.getHighestPoint (list.getFirst()), 0.0, 1e-9);
    EXPECT_NEAR (list.getLowestPoint (list.getFirst()), kH, 1e-9);
    EXPECT_TRUE (holdsInvariants (list));
    EXPECT_TRUE (blockInRange (written (list)));

    // Moving y from an inner point clamps at the edges; the ends stay linked.
    ASSERT_TRUE (load (list, mixedChain()));
    list.moveYValues (list.getFirst(), 10.0);
    EXPECT_EQ (list.at (3)->point.y[1], kH);
    list.moveYValues (list.at (2), -500.0);
    EXPECT_EQ (list.at (1)->point.y[0], 30.0);
    EXPECT_EQ (list.at (2)->point.y[0], 0.0);
    EXPECT_EQ (list.getLast()->point.y[0], 50.0);

    chain = mixedChain();
    for (auto& p : chain)
        for (auto& y : p.y)
            y = 65.0;
    ASSERT_TRUE (load (list, chain));
    EXPECT_FALSE (list.normalize());   // flat: nothing to stretch
    EXPECT_EQ (list.at (2)->point.y[0], 65.0);
}

TEST (SplinePointList, ValidationRepairsAndReportsOnce)
{
    struct Case
    {
        const char* what;
        int point;
        void (*breakIt) (SplineOscillatorPoint&);
        bool (*repaired) (const SplinePointList&);
    };
    using L = const SplinePointList&;
    using P = SplineOscillatorPoint&;
    const Case cases[] = {
        { "last point one pixel short", 4, [] (P p) { p.x[0] = kW - 1.0; }, [] (L l) { return l.at (4)->point.x[0] == kW; } },
        { "control 1 above the top", 2, [] (P p) { p.y[1] = -3.0; }, [] (L l) { return l.at (2)->point.y[1] == 0.0; } },
        { "control 1 below the bottom", 2, [] (P p) { p.y[1] = kH + 7.0; }, [] (L l) { return l.at (2)->point.y[1] == kH; } },
        { "control 1 right of its point", 2, [] (P p) { p.x[1] = 300.0; }, [] (L l) { return l.at (2)->point.x[1] == 250.0; } },
        { "control 1 left of the previous point", 2, [] (P p) { p.x[1] = 50.0; }, [] (L l) { return l.at (2)->point.x[1] == 100.0; } },
        { "control 2 right of its point", 3, [] (P p) { p.x[2] = 500.0; }, [] (L l) { return l.at (3)->point.x[2] == 420.0; } },
        { "a point left of its predecessor", 3, [] (P p) { p.x[0] = 200.0; }, [] (L l) { return l.at (3)->point.x[2] == 250.0; } },
        { "an inner point on the right edge", 3, [] (P p) { p.x[0] = 1e6; }, [] (L l) { return l.at (3)->point.x[0] < kW; } },
        { "point 1 on the start point's x", 1, [] (P p) { p.x[0] = 0.0; }, [] (L l) { return l.at (1)->point.x[0] > 0.0; } },
        { "an unused pair far outside", 1, [] (P p) { p.y[2] = -400.0; }, [] (L l) { return l.at (1)->point.y[2] == 0.0; } },
        { "a coordinate not a number", 1, [] (P p) { p.y[0] = kNaN; }, [] (L l) { return l.at (1)->point.y[0] == 0.0; } },
        { "an index out of step", 3, [] (P p) { p.index = 9; }, [] (L l) { return l.at (3)->point.index == 3; } },
        { "last height apart from the first", 4, [] (P p) { p.y[0] = 100.0; }, [] (L l) { return l.at (4)->point.y[0] == 40.0; } },
        { "a depth the block cannot hold", 1, [] (P p) { p.slots[2].depth = 5.0; }, [] (L l) { return l.at (1)->point.slots[2].depth == 2.0; } },
        { "a speed the block cannot hold", 1, [] (P p) { p.slots[0].speed = -1.0; }, [] (L l) { return l.at (1)->point.slots[0].speed == 0.0; } },
    };
    SplinePointList list (kW, kH);
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        ASSERT_TRUE (load (list, mixedChain()));
        ASSERT_TRUE (list.sanityCheckAndFixPoints (list.getFirst()));
        c.breakIt (list.at (c.point)->point);
        EXPECT_FALSE (list.sanityCheckAndFixPoints (list.getFirst()));
        EXPECT_TRUE (c.repaired (list));
        EXPECT_TRUE (holdsInvariants (list));
        EXPECT_TRUE (list.sanityCheckAndFixPoints (list.getFirst()));

        // What is written reads back as the same whole chain.
        auto values = written (list);
        EXPECT_TRUE (blockInRange (values));
        SplinePointList reread (kW, kH);
        ASSERT_TRUE (reread.updateValuesFromParams (values.data()));
        EXPECT_TRUE (sameChain (list, reread, 1e-6));
    }
}

TEST (SplinePointList, DeletingSimplifiesThenRemovesAndRenumbersBeforeWriting)
{
    struct Case
    {
        int point, pair;
        SplinePointType type;
        double x, y, c1x, c1y;   // afterwards
    };
    const Case cases[] = {
        { 3, 0, splineQuadratic, 360.0, 10.0, 290.0, 120.0 },   // cubic pair 0: the point moves to control 2
        { 3, 1, splineQuadratic, 420.0, 60.0, 360.0, 10.0 },    // cubic pair 1: control 2 moves into control 1
        { 3, 2, splineQuadratic, 420.0, 60.0, 290.0, 120.0 },
        { 2, 0, splineLinear, 170.0, 5.0, 170.0, 5.0 },         // quadratic pair 0: the point moves to control 1
        { 2, 1, splineLinear, 250.0, 90.0, 170.0, 5.0 },
    };
    for (const auto& c : cases)
    {
        auto chain = mixedChain();
        for (int s = 0; s < 3; ++s)
            chain[(size_t) c.point] = withSlot (chain[(size_t) c.point], s, osc4mod::vertical, 0.1);
        SplinePointList list (kW, kH);
        ASSERT_TRUE (load (list, chain));
        Node* n = list.at (c.point);
        EXPECT_EQ (list.deletePoint (n, c.pair), SplinePointList::DeleteResult::changed);
        const auto& p = n->point;
        EXPECT_EQ (p.type, c.type);
        EXPECT_EQ (p.x[0], c.x);
        EXPECT_EQ (p.y[0], c.y);
        EXPECT_EQ (p.x[1], c.c1x);
        EXPECT_EQ (p.y[1], c.c1y);
        EXPECT_EQ (p.slots[0].direction, osc4mod::vertical);
        EXPECT_EQ (p.slots[1].direction, c.type == splineLinear ? osc4mod::off : osc4mod::vertical);
        EXPECT_EQ (p.slots[2].direction, osc4mod::off);
    }

    // Cubic, quadratic, linear, gone: the rest renumbered when written.
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, mixedChain()));
    Node* cubic = list.at (3);
    const uint64_t id = cubic->getId();
    EXPECT_EQ (list.deletePoint (cubic, 0), SplinePointList::DeleteResult::changed);
    EXPECT_EQ (list.deletePoint (cubic, 0), SplinePointList::DeleteResult::changed);
    EXPECT_EQ (list.deletePoint (cubic, 0), SplinePointList::DeleteResult::removed);
    EXPECT_EQ (list.findById (id), nullptr);
    EXPECT_EQ (list.size(), 4);
    EXPECT_TRUE (holdsInvariants (list));
    auto values = written (list);
    EXPECT_EQ (field (values, 3, osc4field::x), 1.0);
    EXPECT_EQ (Osc4Codec::readInt (field (values, 4, osc4field::type)), splineEndMarker);

    for (Node* keep : { list.getFirst(), list.getLast(), (Node*) nullptr })
        EXPECT_EQ (list.deletePoint (keep, 0), SplinePointList::DeleteResult::nothing);
    EXPECT_EQ (list.deletePoint (list.at (1), 3), SplinePointList::DeleteResult::nothing);
    EXPECT_EQ (list.size(), 4);
}

TEST (SplinePointList, InsertionsRefusedWholeAtSixteenPointsAndAfterTheLast)
{
    SplinePointList list (kW, kH, 7);
    while (list.size() < SplinePointList::kMaxPoints)
        ASSERT_NE (list.AddSplinePointAfterPoint (list.getFirst(), splineCubic), nullptr);
    ASSERT_TRUE (holdsInvariants (list));

    const auto before = written (list);
    EXPECT_EQ (list.AddSplinePointAfterPoint (list.at (3), splineLinear), nullptr);
    EXPECT_EQ (list.addRandomPointAfterThis (list.at (3), splineLinear), nullptr);
    EXPECT_EQ (written (list), before);
    SplinePointList reread (kW, kH);
    ASSERT_TRUE (reread.updateValuesFromParams (before.data()));
    EXPECT_TRUE (sameChain (list, reread, 1e-6));   // all 16 stored

    SplinePointList small (kW, kH, 3);
    EXPECT_EQ (small.AddSplinePointAfterPoint (small.getLast(), splineLinear), nullptr);
    EXPECT_EQ (small.AddSplinePointAfterPoint (small.getFirst(), splineStart), nullptr);
    EXPECT_EQ (small.AddSplinePointAfterPoint (small.getFirst(), splineEndMarker), nullptr);
    Node* added = small.AddSplinePointAfterPoint (small.at (1), splineCubic);
    ASSERT_NE (added, nullptr);
    EXPECT_EQ (added->getIndex(), 2);
    EXPECT_EQ (small.at (3)->getPrevious(), added);
    EXPECT_TRUE (holdsInvariants (small));

    // A point put where the user clicked stays between its neighbours; no other point moves.
    ASSERT_TRUE (load (small, mixedChain()));
    Node* clicked = small.insertPointAfter (small.at (2), withControls (pt (splineQuadratic, 260.0, 50.0), 240.0, -9.0));
    ASSERT_NE (clicked, nullptr);
    EXPECT_EQ (clicked->point.x[0], 260.0);
    EXPECT_EQ (clicked->point.x[1], 250.0);
    EXPECT_EQ (clicked->point.y[1], 0.0);
    Node* beyond = small.insertPointAfter (clicked, pt (splineLinear, 400.0, 50.0));
    ASSERT_NE (beyond, nullptr);
    EXPECT_EQ (beyond->point.x[0], 290.0);   // the cubic's control 1
    EXPECT_EQ (small.at (5)->point.x[0], 420.0);
    EXPECT_TRUE (holdsInvariants (small));
    EXPECT_EQ (small.insertPointAfter (small.getLast(), pt (splineLinear, 500.0, 5.0)), nullptr);
    EXPECT_EQ (list.insertPointAfter (list.at (2), pt (splineLinear, 100.0, 5.0)), nullptr);   // full
}

TEST (SplinePointList, ReadingEndsTheChainWhereTheEnginePlaysIt)
{
    struct Case
    {
        const char* what;
        int point, f;
        double value;
        int points;   // 0: refused as unusable
    };
    const Case cases[] = {
        { "as written", 0, osc4field::presence, 1.0, 5 },
        { "an unknown type at point 3", 3, osc4field::type, 0.07, 3 },
        { "a start type at point 2", 2, osc4field::type, 0.0, 2 },
        { "an end marker at point 4", 4, osc4field::type, 0.1, 4 },
        { "point 0 stored as linear", 0, osc4field::type, 0.01, 5 },
        { "the right edge at point 2", 2, osc4field::x, 1.0, 3 },
        { "point 1 not marked", 1, osc4field::presence, 0.0, 0 },
        { "points 0 and 1 at one x", 1, osc4field::x, 0.0, 0 },
        { "a value above 1", 15, 29, 1.0001, 0 },
        { "a negative value", 7, 3, -1e-9, 0 },
        { "not a number", 0, 5, kNaN, 0 },
        { "only the start point", 1, osc4field::type, 0.05, 0 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto values = blockOf (mixedChain());
        field (values, c.point, c.f) = c.value;
        SplinePointList list (kW, kH, 4), reference (kW, kH, 4);
        EXPECT_EQ (SplinePointList::isUsableBlock (values.data()), c.points > 0);
        EXPECT_EQ (list.updateValuesFromParams (values.data()), c.points > 0);
        EXPECT_EQ (list.size(), c.points > 0 ? c.points : 4);
        EXPECT_TRUE (holdsInvariants (list));
        if (c.points == 0)
            EXPECT_TRUE (sameChain (list, reference, 0.0));   // the list is kept
    }
    EXPECT_FALSE (SplinePointList::isUsableBlock (nullptr));

    // No point at the edge: all 16 read, the last one moved there.
    std::vector<SplineOscillatorPoint> chain { pt (splineStart, 0.0, 60.0) };
    for (int k = 1; k < 16; ++k)
        chain.push_back (pt (splineLinear, 30.0 * k, 10.0 + 5.0 * k));
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, chain));
    EXPECT_EQ (list.size(), 16);
    EXPECT_EQ (list.getLast()->point.x[0], kW);
}

TEST (SplinePointList, WritingStoresFractionsAndTheDefaultControlSpeed)
{
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, mixedChain()));
    list.at (2)->point.slots[1].speed = 0.0;
    list.at (2)->point.slots[0].speed = 0.0;

    auto values = written (list);
    EXPECT_EQ (list.at (2)->point.slots[1].speed, osc4mod::kDefaultControlSpeed);
    EXPECT_EQ (field (values, 2, osc4field::slotField (1, osc4field::slotSpeed)), osc4mod::kDefaultControlSpeed);
    EXPECT_EQ (field (values, 2, osc4field::slotField (0, osc4field::slotSpeed)), 0.0);
    EXPECT_EQ (field (values, 3, osc4field::coordinateY (2)), 10.0 / kH);
    for (int k = 5; k < 16; ++k)
        EXPECT_EQ (Osc4Codec::readInt (field (values, k, osc4field::type)), splineEndMarker);
    EXPECT_FALSE (list.updateParamsValues (nullptr));
}

TEST (SplinePointList, WalksCarryTheRecordedLastPointToTheChainsEnd)
{
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, mixedChain()));
    Node* tail = list.at (4);
    for (Node* recorded : { list.at (1), list.getFirst(), (Node*) nullptr })
    {
        list.setEndPoint (list.getFirst(), recorded);
        EXPECT_EQ (list.getLast(), tail);
    }

    // A walk that passes the recorded last point moves it on.
    list.setEndPoint (list.at (4), list.at (2));
    EXPECT_EQ (list.getLast(), list.at (2));
    EXPECT_EQ (list.walkNext (list.at (2)), list.at (3));
    EXPECT_EQ (list.getLast(), list.at (3));
    list.at (2)->point.index = 7;
    list.renumber();
    EXPECT_EQ (list.getLast(), tail);
    EXPECT_EQ (list.at (2)->getIndex(), 2);
    EXPECT_EQ (list.walkNext (tail), nullptr);
}
