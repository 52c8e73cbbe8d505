// The point list's operations one by one: the limits each one keeps, what it
// refuses, and the repairs validation makes.

#include "SplinePointListRig.h"

#include <cmath>
#include <limits>

using namespace splinelist;
using Node = SplinePointList::Node;

namespace
{
std::vector<double> written (SplinePointList& list)
{
    std::vector<double> values ((size_t) params::kNumValues, 0.0);
    list.updateParamsValues (values.data());
    return values;
}
} // namespace

TEST (SplinePointList, DefaultCurveStartsAtAThirdAndEndsAtTheRightEdge)
{
    for (uint64_t seed : { 1u, 2u, 99u })
    {
        SplinePointList list (kW, kH, seed);
        ASSERT_EQ (list.size(), 4);
        EXPECT_TRUE (holdsInvariants (list));
        EXPECT_DOUBLE_EQ (list.getFirst()->point.x[0], 0.0);
        EXPECT_DOUBLE_EQ (list.getFirst()->point.y[0], kH / 3.0);
        for (int k = 1; k < 4; ++k)
            EXPECT_EQ (list.at (k)->getType(), splineQuadratic);

        // Same seed, same curve; another seed, another curve.
        SplinePointList again (kW, kH, seed);
        EXPECT_TRUE (sameChain (list, again, 0.0));
        SplinePointList other (kW, kH, seed + 1000);
        EXPECT_FALSE (sameChain (list, other, 1e-9));
    }
}

TEST (SplinePointList, LinkedYMovesFirstAndLastTogetherAndRefusesOutside)
{
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, mixedChain()));
    Node* first = list.getFirst();
    Node* last = list.getLast();

    EXPECT_TRUE (list.setY (first, 77.0));
    EXPECT_EQ (last->point.y[0], 77.0);
    EXPECT_TRUE (list.setY (last, 3.0));
    EXPECT_EQ (first->point.y[0], 3.0);

    Node* inner = list.at (2);
    const double innerY = inner->point.y[0];
    for (double bad : { -0.5, kH + 0.5, std::numeric_limits<double>::quiet_NaN() })
    {
        EXPECT_FALSE (list.setY (first, bad));
        EXPECT_FALSE (list.setY (inner, bad));
    }
    EXPECT_EQ (first->point.y[0], 3.0);
    EXPECT_EQ (last->point.y[0], 3.0);
    EXPECT_EQ (inner->point.y[0], innerY);

    // An inner point's height is its own.
    EXPECT_TRUE (list.setY (inner, 0.0));
    EXPECT_EQ (first->point.y[0], 3.0);
}

TEST (SplinePointList, SetXRefusesEveryMoveThatBreaksTheOrder)
{
    // Point 2 is a quadratic at 250 (control 1 at 170) between a linear point
    // at 100 and a cubic at 420 whose control 1 sits at 290.
    struct Case
    {
        const char* what;
        int point;
        double x;
        bool taken;
        std::vector<SplineOscillatorPoint> (*chain)();
    };
    auto plain = [] { return mixedChain(); };
    auto pointRange = [] {
        auto c = mixedChain();
        c[2] = withSlot (c[2], 0, osc4mod::horizontal, 0.1);   // half range 28.75 px
        return c;
    };
    auto control1Range = [] {
        auto c = mixedChain();
        c[2] = withSlot (c[2], 1, osc4mod::horizontal, 0.1);
        return c;
    };
    auto slot2Range = [] {
        auto c = mixedChain();
        c[2] = withSlot (c[2], 2, osc4mod::horizontal, 0.1);
        return c;
    };
    auto control2Range = [] {
        auto c = mixedChain();
        c[3] = withSlot (c[3], 2, osc4mod::horizontal, 0.1);
        return c;
    };
    auto nextRange = [] {
        auto c = mixedChain();
        c[3] = withSlot (c[3], 1, osc4mod::horizontal, 0.04);   // 11.5 px around 290
        return c;
    };
    auto previousRange = [] {
        auto c = mixedChain();
        c[2] = pt (splineLinear, 250.0, 90.0);
        c[1] = withSlot (c[1], 0, osc4mod::horizontal, 0.1);   // 100 +- 28.75
        return c;
    };

    const Case cases[] = {
        { "inside its neighbours", 2, 260.0, true, plain },
        { "the first point", 0, 10.0, false, plain },
        { "the last point", 4, 500.0, false, plain },
        { "left of zero with its range", 1, 20.0, false, [] {
              auto c = mixedChain();
              c[1] = withSlot (c[1], 0, osc4mod::horizontal, 0.1);
              return c;
          } },
        { "right of the width with its range", 3, 560.0, false, [] {
              auto c = mixedChain();
              c[3] = withSlot (c[3], 0, osc4mod::horizontal, 0.1);
              c[4] = pt (splineQuadratic, kW, 40.0);
              c[4].x[1] = kW;
              return c;
          } },
        { "onto the previous point", 1, 0.0, false, plain },
        { "onto its control 1", 2, 170.0, false, plain },
        { "left of its control 1", 2, 150.0, false, plain },
        { "its range over control 1", 2, 190.0, false, pointRange },
        { "clear of control 1 with its range", 2, 200.0, true, pointRange },
        { "onto control 1's range", 2, 195.0, false, control1Range },
        { "onto control 1 plus slot 2's range", 2, 195.0, false, slot2Range },
        { "onto its control 2", 3, 360.0, false, plain },
        { "onto control 2's range", 3, 380.0, false, control2Range },
        { "clear of control 2's range", 3, 400.0, true, control2Range },
        { "onto the next first abscissa", 2, 290.0, false, plain },
        { "onto the next abscissa's range", 2, 280.0, false, nextRange },
        { "clear of the next abscissa's range", 2, 275.0, true, nextRange },
        { "close to the previous point", 2, 245.0, true, plain },
        { "onto the previous point's range", 2, 120.0, false, previousRange },
        { "clear of the previous point's range", 2, 130.0, true, previousRange },
        { "not a number", 2, std::numeric_limits<double>::quiet_NaN(), false, plain },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        SplinePointList list (kW, kH);
        ASSERT_TRUE (load (list, c.chain()));
        Node* node = list.at (c.point);
        const double before = node->point.x[0];

        EXPECT_EQ (list.setX (node, c.x), c.taken);
        EXPECT_EQ (node->point.x[0], c.taken ? c.x : before);
        EXPECT_TRUE (holdsInvariants (list));
    }
}

TEST (SplinePointList, HorizontalRangesShrinkByAFifthUntilTheyFitOrSwitchOff)
{
    // A linear point at 100 between the start point and a quadratic whose
    // control 1 sits at 170: 70 px of room on the right, 100 on the left.
    auto chain = mixedChain();
    chain[1] = withSlot (chain[1], 0, osc4mod::horizontal, 0.6);   // +-172.5 px
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, chain));

    const auto& slot = list.at (1)->point.slots[0];
    EXPECT_EQ (slot.direction, osc4mod::horizontal);
    const double room = 70.0;
    double expected = 0.6;
    while (kW * expected / 2.0 > room)
        expected *= 0.8;
    EXPECT_NEAR (slot.depth, expected, 1e-12);
    EXPECT_GT (kW * slot.depth / 0.8 / 2.0, room);   // one step less would not fit

    // A point on its neighbour's x has no room at all.
    auto squeezed = mixedChain();
    squeezed[2] = withControls (squeezed[2], 100.0, 5.0);
    squeezed[2] = withSlot (squeezed[2], 1, osc4mod::horizontal, 0.2);
    ASSERT_TRUE (load (list, squeezed));
    EXPECT_EQ (list.at (2)->point.slots[1].direction, osc4mod::off);
    EXPECT_LT (list.at (2)->point.slots[1].depth, 0.001);

    // The start and the last point cannot move sideways.
    auto edges = mixedChain();
    edges[0] = withSlot (edges[0], 0, osc4mod::horizontal, 0.2);
    edges[4] = withSlot (edges[4], 0, osc4mod::horizontal, 0.2);
    ASSERT_TRUE (load (list, edges));
    EXPECT_EQ (list.getFirst()->point.slots[0].direction, osc4mod::off);
    EXPECT_EQ (list.getLast()->point.slots[0].direction, osc4mod::off);

    // Vertical ranges are not touched.
    auto vertical = mixedChain();
    vertical[1] = withSlot (vertical[1], 0, osc4mod::vertical, 1.5);
    ASSERT_TRUE (load (list, vertical));
    EXPECT_EQ (list.at (1)->point.slots[0].depth, 1.5);
}

TEST (SplinePointList, HorizontalLimitsFollowTheNeighbours)
{
    auto chain = mixedChain();
    chain[1] = withSlot (chain[1], 0, osc4mod::horizontal, 0.02);    // 5.75 px
    chain[3] = withSlot (chain[3], 1, osc4mod::horizontal, 0.02);
    chain[3] = withSlot (chain[3], 0, osc4mod::horizontal, 0.04);    // 11.5 px
    chain[3] = withSlot (chain[3], 2, osc4mod::horizontal, 0.02);
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, chain));
    const double r1 = 5.75, r3 = 11.5;

    double low = -1.0, high = -1.0;
    list.getHorizontalModulationLimits (list.getFirst(), 0, &low, &high);
    EXPECT_EQ (low, 0.0);
    EXPECT_EQ (high, 0.0);

    list.getHorizontalModulationLimits (list.at (2), 0, &low, &high);   // quadratic, next is the cubic
    EXPECT_EQ (low, 170.0);
    EXPECT_DOUBLE_EQ (high, 290.0 - 5.75);

    list.getHorizontalModulationLimits (list.at (3), 1, &low, &high);   // cubic control 1
    EXPECT_EQ (low, 250.0);
    EXPECT_DOUBLE_EQ (high, 360.0 - 5.75);

    list.getHorizontalModulationLimits (list.at (3), 2, &low, &high);   // cubic control 2
    EXPECT_EQ (low, 290.0);
    EXPECT_DOUBLE_EQ (high, 420.0 - r3);

    list.getHorizontalModulationLimits (list.at (2), 1, &low, &high);   // previous point's range on the left
    EXPECT_DOUBLE_EQ (low, 100.0 + r1);
    EXPECT_EQ (high, 250.0);

    list.getHorizontalModulationLimits (list.at (1), 0, &low, &high);   // linear: previous point on the left
    EXPECT_EQ (low, 0.0);
    EXPECT_EQ (high, 170.0);
}

TEST (SplinePointList, HighestAndLowestCountPairsInUseAndVerticalRanges)
{
    auto chain = mixedChain();   // heights 40, 20, 90 (control 5), 60 (controls 120, 10), 40
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, chain));
    EXPECT_EQ (list.getHighestPoint (list.getFirst()), 5.0);
    EXPECT_EQ (list.getLowestPoint (list.getFirst()), 120.0);
    EXPECT_EQ (list.getHighestPoint (list.at (3)), 10.0);   // from the cubic on
    EXPECT_EQ (list.getLowestPoint (list.at (4)), 40.0);

    // Unused pairs do not count; vertical ranges (any direction above 1) do.
    chain[1].y[1] = 1.0;
    chain[1].y[2] = 129.0;
    chain[2] = withSlot (chain[2], 0, osc4mod::vertical, 0.2);   // 90 +- 13
    chain[3] = withSlot (chain[3], 2, 7, 0.1);                    // 10 +- 6.5
    chain[4] = withSlot (chain[4], 0, osc4mod::horizontal, 0.9);
    ASSERT_TRUE (load (list, chain));
    EXPECT_DOUBLE_EQ (list.getHighestPoint (list.getFirst()), 10.0 - 6.5);
    EXPECT_DOUBLE_EQ (list.getLowestPoint (list.getFirst()), 120.0);
    EXPECT_DOUBLE_EQ (list.getLowestPoint (list.at (2)), 120.0);
    EXPECT_DOUBLE_EQ (list.getLowestPoint (list.at (4)), 40.0);
}

TEST (SplinePointList, ValidationRepairsAndReportsOnce)
{
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, mixedChain()));
    ASSERT_TRUE (list.sanityCheckAndFixPoints (list.getFirst()));

    struct Case
    {
        const char* what;
        void (*breakIt) (SplinePointList&);
        bool (*repaired) (SplinePointList&);
    };
    const Case cases[] = {
        { "last point one pixel short", [] (SplinePointList& l) { l.getLast()->point.x[0] = kW - 1.0; },
          [] (SplinePointList& l) { return l.getLast()->point.x[0] == kW; } },
        { "control 1 above the top", [] (SplinePointList& l) { l.at (2)->point.y[1] = -3.0; },
          [] (SplinePointList& l) { return l.at (2)->point.y[1] == 0.0; } },
        { "control 1 below the bottom", [] (SplinePointList& l) { l.at (2)->point.y[1] = kH + 7.0; },
          [] (SplinePointList& l) { return l.at (2)->point.y[1] == kH; } },
        { "control 1 right of its point", [] (SplinePointList& l) { l.at (2)->point.x[1] = 300.0; },
          [] (SplinePointList& l) { return l.at (2)->point.x[1] == 250.0; } },
        { "control 1 left of the previous point", [] (SplinePointList& l) { l.at (2)->point.x[1] = 50.0; },
          [] (SplinePointList& l) { return l.at (2)->point.x[1] == 100.0; } },
        { "control 2 right of its point", [] (SplinePointList& l) { l.at (3)->point.x[2] = 500.0; },
          [] (SplinePointList& l) { return l.at (3)->point.x[2] == 420.0; } },
        { "control 2 below the bottom", [] (SplinePointList& l) { l.at (3)->point.y[2] = 1e9; },
          [] (SplinePointList& l) { return l.at (3)->point.y[2] == kH; } },
        { "a point left of its predecessor", [] (SplinePointList& l) { l.at (3)->point.x[0] = 200.0; },
          [] (SplinePointList& l) { return l.at (3)->point.x[0] == 250.0 && l.at (3)->point.x[2] == 250.0; } },
        { "an unused pair far outside", [] (SplinePointList& l) { l.at (1)->point.y[2] = -400.0; },
          [] (SplinePointList& l) { return l.at (1)->point.y[2] == 0.0; } },
        { "a coordinate not a number",
          [] (SplinePointList& l) { l.at (1)->point.y[0] = std::numeric_limits<double>::quiet_NaN(); },
          [] (SplinePointList& l) { return l.at (1)->point.y[0] == 0.0; } },
        { "an index out of step", [] (SplinePointList& l) { l.at (3)->point.index = 9; },
          [] (SplinePointList& l) { return l.at (3)->point.index == 3; } },
        { "last height apart from the first", [] (SplinePointList& l) { l.getLast()->point.y[0] = 100.0; },
          [] (SplinePointList& l) { return l.getLast()->point.y[0] == l.getFirst()->point.y[0]; } },
        { "a depth the block cannot hold", [] (SplinePointList& l) { l.at (1)->point.slots[2].depth = 5.0; },
          [] (SplinePointList& l) { return l.at (1)->point.slots[2].depth == 2.0; } },
        { "a speed the block cannot hold", [] (SplinePointList& l) { l.at (1)->point.slots[0].speed = -1.0; },
          [] (SplinePointList& l) { return l.at (1)->point.slots[0].speed == 0.0; } },
        { "point 1 on the start point's x", [] (SplinePointList& l) { l.at (1)->point.x[0] = 0.0; },
          [] (SplinePointList& l) { return l.at (1)->point.x[0] > l.getFirst()->point.x[0]; } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        ASSERT_TRUE (load (list, mixedChain()));
        c.breakIt (list);
        EXPECT_FALSE (list.sanityCheckAndFixPoints (list.getFirst()));
        EXPECT_TRUE (c.repaired (list));
        EXPECT_TRUE (holdsInvariants (list));
        EXPECT_TRUE (list.sanityCheckAndFixPoints (list.getFirst()));
        EXPECT_TRUE (blockInRange (written (list)));
    }
}

TEST (SplinePointList, DeletingSimplifiesThenRemovesAndRenumbers)
{
    SplinePointList list (kW, kH);
    auto chain = mixedChain();
    chain[3] = withSlot (chain[3], 2, osc4mod::vertical, 0.3);
    ASSERT_TRUE (load (list, chain));
    Node* cubic = list.at (3);
    const uint64_t id = cubic->getId();

    // Pair 0 of a cubic: quadratic at control 2, slot 2 off.
    EXPECT_EQ (list.deletePoint (cubic, 0), SplinePointList::DeleteResult::changed);
    EXPECT_EQ (cubic->getType(), splineQuadratic);
    EXPECT_EQ (cubic->point.x[0], 360.0);
    EXPECT_EQ (cubic->point.y[0], 10.0);
    EXPECT_EQ (cubic->point.slots[2].direction, osc4mod::off);

    // Pair 0 of a quadratic: linear at control 1.
    EXPECT_EQ (list.deletePoint (cubic, 0), SplinePointList::DeleteResult::changed);
    EXPECT_EQ (cubic->getType(), splineLinear);
    EXPECT_EQ (cubic->point.x[0], 290.0);
    EXPECT_EQ (cubic->point.y[0], 120.0);

    // Pair 0 of an inner linear point: gone, the rest renumbered.
    EXPECT_EQ (list.deletePoint (cubic, 0), SplinePointList::DeleteResult::removed);
    EXPECT_EQ (list.findById (id), nullptr);
    EXPECT_EQ (list.size(), 4);
    EXPECT_TRUE (holdsInvariants (list));

    // The written block has the point gone and the last point at the edge.
    auto values = written (list);
    SplinePointList reread (kW, kH);
    ASSERT_TRUE (reread.updateValuesFromParams (values.data()));
    EXPECT_TRUE (sameChain (list, reread, 1e-9));
    EXPECT_EQ (Osc4Codec::readInt (values[(size_t) params::osc4PointIndex (4, osc4field::type)]), splineEndMarker);

    // The first and the last point stay; so does a lone inner point's place.
    EXPECT_EQ (list.deletePoint (list.getFirst(), 0), SplinePointList::DeleteResult::nothing);
    EXPECT_EQ (list.deletePoint (list.getLast(), 0), SplinePointList::DeleteResult::nothing);
    EXPECT_EQ (list.deletePoint (nullptr, 0), SplinePointList::DeleteResult::nothing);
    EXPECT_EQ (list.deletePoint (list.at (1), 3), SplinePointList::DeleteResult::nothing);
    EXPECT_EQ (list.size(), 4);
}

TEST (SplinePointList, DeletingControlPairs)
{
    struct Case
    {
        const char* what;
        int point, pair;
        SplinePointType type;
        double c1x, c1y;   // control 1 afterwards
    };
    const Case cases[] = {
        { "cubic pair 1: control 2 moves into control 1", 3, 1, splineQuadratic, 360.0, 10.0 },
        { "cubic pair 2: control 1 stays", 3, 2, splineQuadratic, 290.0, 120.0 },
        { "quadratic pair 1: linear", 2, 1, splineLinear, 170.0, 5.0 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto chain = mixedChain();
        for (int s = 0; s < 3; ++s)
            chain[(size_t) c.point] = withSlot (chain[(size_t) c.point], s, osc4mod::vertical, 0.1);
        SplinePointList list (kW, kH);
        ASSERT_TRUE (load (list, chain));
        Node* n = list.at (c.point);
        const double x = n->point.x[0];

        EXPECT_EQ (list.deletePoint (n, c.pair), SplinePointList::DeleteResult::changed);
        EXPECT_EQ (n->getType(), c.type);
        EXPECT_EQ (n->point.x[0], x);
        EXPECT_EQ (n->point.x[1], c.c1x);
        EXPECT_EQ (n->point.y[1], c.c1y);
        EXPECT_EQ (n->point.slots[0].direction, osc4mod::vertical);
        EXPECT_EQ (n->point.slots[2].direction, osc4mod::off);
        EXPECT_EQ (n->point.slots[1].direction, c.type == splineLinear ? osc4mod::off : osc4mod::vertical);
        EXPECT_TRUE (holdsInvariants (list));
    }
}

TEST (SplinePointList, InsertionsRefusedWholeAtSixteenPointsAndAfterTheLast)
{
    SplinePointList list (kW, kH, 7);
    while (list.size() < SplinePointList::kMaxPoints)
        ASSERT_NE (list.AddSplinePointAfterPoint (list.getFirst(), splineCubic), nullptr);
    ASSERT_TRUE (holdsInvariants (list));
    EXPECT_TRUE (list.isFull());

    const auto before = written (list);
    EXPECT_EQ (list.AddSplinePointAfterPoint (list.at (3), splineLinear), nullptr);
    EXPECT_EQ (list.addRandomPointAfterThis (list.at (3), splineLinear), nullptr);
    EXPECT_EQ (list.size(), SplinePointList::kMaxPoints);
    EXPECT_EQ (written (list), before);

    // Every one of the 16 points is stored and read back.
    SplinePointList reread (kW, kH);
    ASSERT_TRUE (reread.updateValuesFromParams (before.data()));
    EXPECT_TRUE (sameChain (list, reread, 1e-6));

    SplinePointList small (kW, kH, 3);
    EXPECT_EQ (small.AddSplinePointAfterPoint (small.getLast(), splineLinear), nullptr);
    EXPECT_EQ (small.AddSplinePointAfterPoint (small.getFirst(), splineStart), nullptr);
    EXPECT_EQ (small.AddSplinePointAfterPoint (small.getFirst(), splineEndMarker), nullptr);
    EXPECT_EQ (small.size(), 4);

    // An accepted insertion lands between its neighbours with its controls.
    Node* added = small.AddSplinePointAfterPoint (small.at (1), splineCubic);
    ASSERT_NE (added, nullptr);
    EXPECT_EQ (small.indexOf (added), 2);
    EXPECT_EQ (added->getIndex(), 2);
    EXPECT_EQ (small.at (3)->getPrevious(), added);
    EXPECT_TRUE (holdsInvariants (small));
}

TEST (SplinePointList, RandomValuesStayBetweenTheNeighbours)
{
    SplinePointList list (kW, kH, 11);
    ASSERT_TRUE (load (list, mixedChain()));
    for (int round = 0; round < 200; ++round)
    {
        Node* cubic = list.at (3);
        list.randomValues (cubic);
        const auto& p = cubic->point;
        // Right bound: the last point's x (it is linear).
        EXPECT_GE (p.x[0], list.at (2)->point.x[0]);
        EXPECT_LE (p.x[0], kW);
        EXPECT_GE (p.x[1], list.at (2)->point.x[0]);
        EXPECT_LE (p.x[1], p.x[2]);
        EXPECT_LE (p.x[2], p.x[0]);
        for (double y : p.y)
        {
            EXPECT_GE (y, 0.0);
            EXPECT_LE (y, kH);
        }
        list.randomValues (list.getFirst());
        EXPECT_EQ (list.getFirst()->point.x[0], 0.0);
        EXPECT_EQ (list.getLast()->point.y[0], list.getFirst()->point.y[0]);
        list.randomValues (list.getLast());
        EXPECT_EQ (list.getLast()->point.x[0], kW);
        ASSERT_TRUE (holdsInvariants (list));
    }

    // The same seed replays the same values.
    SplinePointList a (kW, kH), b (kW, kH);
    ASSERT_TRUE (load (a, mixedChain()));
    ASSERT_TRUE (load (b, mixedChain()));
    a.setSeed (5);
    b.setSeed (5);
    a.randomizeCurrentPoints();
    b.randomizeCurrentPoints();
    EXPECT_TRUE (sameChain (a, b, 0.0));
}

TEST (SplinePointList, NormalizingSpansTheHeightAndKeepsUnusedPairsInside)
{
    auto chain = mixedChain();
    for (auto& p : chain)
        for (auto& y : p.y)
            y = 50.0 + y / 10.0;   // squeezed into 50 ... 62
    chain[1].y[1] = 0.0;           // unused pairs at the edges
    chain[1].y[2] = kH;
    chain[2] = withSlot (chain[2], 0, osc4mod::vertical, 0.02);
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, chain));

    ASSERT_TRUE (list.normalize());
    EXPECT_NEAR (list.getHighestPoint (list.getFirst()), 0.0, 1e-9);
    EXPECT_NEAR (list.getLowestPoint (list.getFirst()), kH, 1e-9);
    EXPECT_TRUE (holdsInvariants (list));
    EXPECT_TRUE (blockInRange (written (list)));

    // A flat curve stays as it is.
    auto flat = mixedChain();
    for (auto& p : flat)
        for (auto& y : p.y)
            y = 65.0;
    ASSERT_TRUE (load (list, flat));
    EXPECT_FALSE (list.normalize());
    for (const Node* n = list.getFirst(); n != nullptr; n = n->getNext())
        EXPECT_EQ (n->point.y[0], 65.0);
}

TEST (SplinePointList, MovingYShiftsTheRestOfTheChainAndClampsAtTheEdges)
{
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, mixedChain()));
    list.moveYValues (list.getFirst(), 10.0);
    EXPECT_EQ (list.at (1)->point.y[0], 30.0);
    EXPECT_EQ (list.at (3)->point.y[1], kH);   // 120 + 10, clamped
    EXPECT_EQ (list.getFirst()->point.y[0], 50.0);
    EXPECT_EQ (list.getLast()->point.y[0], 50.0);

    list.moveYValues (list.at (2), -500.0);
    EXPECT_EQ (list.at (1)->point.y[0], 30.0);
    EXPECT_EQ (list.at (2)->point.y[0], 0.0);
    EXPECT_TRUE (holdsInvariants (list));
}

TEST (SplinePointList, ReadingEndsTheChainWhereTheEnginePlaysIt)
{
    struct Case
    {
        const char* what;
        void (*edit) (std::vector<double>&);
        int points;
    };
    const Case cases[] = {
        { "as written", [] (std::vector<double>&) {}, 5 },
        { "an unknown type at point 3",
          [] (std::vector<double>& v) { v[(size_t) params::osc4PointIndex (3, osc4field::type)] = 0.07; }, 3 },
        { "a start type at point 2",
          [] (std::vector<double>& v) { v[(size_t) params::osc4PointIndex (2, osc4field::type)] = 0.0; }, 2 },
        { "an end marker at point 4",
          [] (std::vector<double>& v) { v[(size_t) params::osc4PointIndex (4, osc4field::type)] = 0.1; }, 4 },
        { "point 0 stored as linear",
          [] (std::vector<double>& v) { v[(size_t) params::osc4PointIndex (0, osc4field::type)] = 0.01; }, 5 },
        { "the right edge reached at point 2",
          [] (std::vector<double>& v) { v[(size_t) params::osc4PointIndex (2, osc4field::x)] = 1.0; }, 3 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto values = blockOf (mixedChain());
        c.edit (values);
        SplinePointList list (kW, kH);
        ASSERT_TRUE (list.updateValuesFromParams (values.data()));
        EXPECT_EQ (list.size(), c.points);
        EXPECT_TRUE (holdsInvariants (list));
    }

    // No point at the edge: all 16 read, the last one moved there.
    std::vector<SplineOscillatorPoint> long16 { pt (splineStart, 0.0, 60.0) };
    for (int k = 1; k < 16; ++k)
        long16.push_back (pt (splineLinear, 30.0 * k, 10.0 + 5.0 * k));
    auto values = blockOf (long16);
    for (int k = 0; k < 16; ++k)
        values[(size_t) params::osc4PointIndex (k, osc4field::type)] = k == 0 ? 0.0 : 0.01;
    SplinePointList list (kW, kH);
    ASSERT_TRUE (list.updateValuesFromParams (values.data()));
    EXPECT_EQ (list.size(), 16);
    EXPECT_EQ (list.getLast()->point.x[0], kW);
    EXPECT_TRUE (holdsInvariants (list));
}

TEST (SplinePointList, UnusableBlocksAreRefusedAndTheListKept)
{
    struct Case
    {
        const char* what;
        void (*edit) (std::vector<double>&);
    };
    const Case cases[] = {
        { "all zero", [] (std::vector<double>& v) { std::fill (v.begin(), v.end(), 0.0); } },
        { "point 1 not marked", [] (std::vector<double>& v) { v[120] = 0.0; } },
        { "points 0 and 1 at one x", [] (std::vector<double>& v) { v[121] = v[91]; } },
        { "a value above 1", [] (std::vector<double>& v) { v[569] = 1.0001; } },
        { "a negative value", [] (std::vector<double>& v) { v[300] = -1e-9; } },
        { "not a number", [] (std::vector<double>& v) { v[95] = std::numeric_limits<double>::quiet_NaN(); } },
        { "only the start point in the chain",
          [] (std::vector<double>& v) { v[(size_t) params::osc4PointIndex (1, osc4field::type)] = 0.05; } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        SplinePointList list (kW, kH, 4);
        SplinePointList reference (kW, kH, 4);
        auto values = blockOf (mixedChain());
        ASSERT_TRUE (SplinePointList::isUsableBlock (values.data()));
        c.edit (values);
        EXPECT_FALSE (SplinePointList::isUsableBlock (values.data()));
        EXPECT_FALSE (list.updateValuesFromParams (values.data()));
        EXPECT_TRUE (sameChain (list, reference, 0.0));
    }
    EXPECT_FALSE (SplinePointList::isUsableBlock (nullptr));
}

TEST (SplinePointList, WritingStoresFractionsAndTheDefaultControlSpeed)
{
    auto chain = mixedChain();
    chain[2].slots[1].speed = 0.0;
    chain[2].slots[0].speed = 0.0;
    chain[2].slots[2].speed = 0.0;
    SplinePointList list (kW, kH);
    ASSERT_TRUE (load (list, chain));
    // Written through blockOf, read back: slot 1 carries the default speed.
    EXPECT_EQ (list.at (2)->point.slots[1].speed, osc4mod::kDefaultControlSpeed);
    list.at (2)->point.slots[1].speed = 0.0;

    auto values = written (list);
    EXPECT_EQ (list.at (2)->point.slots[1].speed, osc4mod::kDefaultControlSpeed);
    EXPECT_EQ (values[(size_t) params::osc4PointIndex (2, osc4field::slotField (1, osc4field::slotSpeed))],
               osc4mod::kDefaultControlSpeed);
    EXPECT_EQ (values[(size_t) params::osc4PointIndex (2, osc4field::slotField (0, osc4field::slotSpeed))], 0.0);
    EXPECT_EQ (values[(size_t) params::osc4PointIndex (2, osc4field::x)], 250.0 / kW);
    EXPECT_EQ (values[(size_t) params::osc4PointIndex (3, osc4field::coordinateY (2))], 10.0 / kH);
    for (int k = 5; k < 16; ++k)
        EXPECT_EQ (Osc4Codec::readInt (values[(size_t) params::osc4PointIndex (k, osc4field::type)]), splineEndMarker);

    // Values the block cannot hold are clamped in the list before writing.
    list.at (1)->point.slots[0].depth = 9.0;
    list.at (1)->point.slots[0].direction = 250;
    list.at (1)->point.x[2] = -1e6;
    list.at (3)->point.slots[2].speed = std::numeric_limits<double>::infinity();
    values = written (list);
    EXPECT_TRUE (blockInRange (values));
    SplinePointList reread (kW, kH);
    ASSERT_TRUE (reread.updateValuesFromParams (values.data()));
    EXPECT_TRUE (sameChain (list, reread, 1e-6));
    EXPECT_FALSE (list.updateParamsValues (nullptr));
}
