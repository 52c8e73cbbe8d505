// Thousands of edits as a user makes them, from the default curve and from
// random stored blocks: after every one the chain must still be drawable and
// storable, and what it writes must read back as the same chain.

#include "SplinePointListRig.h"

#include <functional>
#include <random>

using namespace splinelist;
using Node = SplinePointList::Node;

namespace
{
struct Edits
{
    std::mt19937 rng;
    SplinePointList& list;

    double uniform (double a, double b) { return std::uniform_real_distribution<double> (a, b) (rng); }
    int pick (int a, int b) { return std::uniform_int_distribution<int> (a, b) (rng); }

    Node* anyNode() { return list.at (pick (0, list.size() - 1)); }

    int usedSlot (const Node* n) { return pick (0, std::max (0, SplinePointList::pairsInUse (n->getType()) - 1)); }

    SplinePointType curveType() { return (SplinePointType) pick (splineLinear, splineCubic); }

    /** One edit; returns what it was, for the failure message. */
    std::string apply()
    {
        Node* n = anyNode();
        const int k = list.indexOf (n);
        const std::string at = " at " + std::to_string (k);

        switch (pick (0, 13))
        {
            case 0:
            {
                const auto type = curveType();
                const int before = list.size();
                Node* added = pick (0, 1) == 0
                                ? list.AddSplinePointAfterPoint (n, type)
                                : list.insertPointAfter (n, withControls (pt (type, uniform (-10.0, kW + 10.0), uniform (-10.0, kH + 10.0)),
                                                                          uniform (0.0, kW), uniform (0.0, kH), uniform (0.0, kW), uniform (0.0, kH)));
                // Refused exactly when the list is full or n is the last point.
                EXPECT_EQ (added == nullptr, before >= SplinePointList::kMaxPoints || k == before - 1);
                return "insert" + at;
            }
            case 1:
            {
                const int pair = pick (0, 2);
                list.deletePoint (n, pair);
                return "delete pair " + std::to_string (pair) + at;
            }
            case 2:
            {
                // Mostly small drags, sometimes a jump anywhere or outside.
                const double x = pick (0, 3) == 0 ? uniform (-20.0, kW + 20.0) : n->point.x[0] + uniform (-25.0, 25.0);
                list.setX (n, x);
                return "setX" + at;
            }
            case 3:
            {
                list.setY (n, uniform (-10.0, kH + 10.0));
                return "setY" + at;
            }
            case 4:
            {
                // A drag of the point as the editor makes it: height, then place, then a check.
                const double y = n->point.y[0] + uniform (-30.0, 30.0);
                if (y >= 0.0)
                    list.setY (n, y);
                list.setX (n, n->point.x[0] + uniform (-15.0, 15.0));
                list.sanityCheckAndFixPoints (list.getFirst());
                return "drag" + at;
            }
            case 5:
            {
                list.moveYValues (n, uniform (-60.0, 60.0));
                return "moveYValues" + at;
            }
            case 6:
            {
                list.randomValues (n);
                return "randomValues" + at;
            }
            case 7:
            {
                list.randomizeCurrentPoints();
                return "randomize";
            }
            case 8:
            {
                // Modulation menu on a pair in use.
                const int s = usedSlot (n);
                auto& slot = n->point.slots[s];
                switch (pick (1, 6))
                {
                    case 1: slot.direction = osc4mod::off; slot.depth = 0.0; break;
                    case 2: slot.direction = osc4mod::horizontal; slot.depth = 0.2; list.makeSureModulationWithinLimits (n); break;
                    case 3: slot.direction = osc4mod::vertical; slot.depth = 0.2; break;
                    case 4: slot.source = pick (0, 8); break;
                    case 5: slot.shape = pick (0, 8); break;
                    default: slot.speed = uniform (0.0, 1.0); break;
                }
                return "modulation menu slot " + std::to_string (s) + at;
            }
            case 9:
            {
                // A range handle dragged as the editor checks it.
                const int s = usedSlot (n);
                auto& slot = n->point.slots[s];
                if (SplinePointList::isHorizontal (slot))
                {
                    const double depth = 2.0 * std::abs (uniform (-80.0, 80.0)) / kW;
                    double low = 0.0, high = 0.0;
                    list.getHorizontalModulationLimits (n, s, &low, &high);
                    const double half = depth * kW / 2.0;
                    if (n->point.x[s] - half >= low && n->point.x[s] + half <= high)
                        slot.depth = depth;
                }
                else if (SplinePointList::isVertical (slot))
                {
                    double depth = 2.0 * std::abs (uniform (-80.0, 80.0)) / kH;
                    const double half = depth * kH / 2.0;
                    if (n->point.y[s] - half >= 0.0 && n->point.y[s] + half <= kH)
                        slot.depth = std::max (depth, 0.05);
                    else if (slot.depth < 0.05)
                        slot.depth = 0.05;
                }
                list.sanityCheckAndFixPoints (list.getFirst());
                return "range drag slot " + std::to_string (s) + at;
            }
            case 10:
            {
                list.normalize();
                return "normalize";
            }
            case 11:
            {
                list.sanityCheckAndFixPoints (n);
                return "sanity check" + at;
            }
            case 12:
            {
                // Something outside the rules wrote into a node; validation must mend it.
                const double junk[] = { std::numeric_limits<double>::quiet_NaN(), -1e6, 1e6, -0.5, kW + 0.5 };
                const double v = junk[pick (0, 4)];
                const int pair = pick (0, 2);
                switch (pick (0, 4))
                {
                    case 0: n->point.x[pair] = v; break;
                    case 1: n->point.y[pair] = v; break;
                    case 2: n->point.slots[pair].depth = v; break;
                    case 3: n->point.slots[pair].speed = v; break;
                    default: n->point.index = pick (-3, 40); break;
                }
                list.sanityCheckAndFixPoints (list.getFirst());
                return "junk then validation" + at;
            }
            default:
            {
                // A restore of what was last written.
                return "restore";
            }
        }
    }
};

/** A usable block: a chain of 2 to 16 points, anything in [0, 1] after it. */
std::vector<double> randomBlock (std::mt19937& rng)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    auto pick = [&] (int a, int b) { return std::uniform_int_distribution<int> (a, b) (rng); };
    std::vector<double> values ((size_t) params::kNumValues, 0.0);
    auto at = [&] (int k, int field) -> double& { return values[(size_t) params::osc4PointIndex (k, field)]; };

    for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
        values[(size_t) i] = unit (rng);

    const int count = pick (2, 16);
    std::vector<double> xs { pick (0, 2) == 0 ? 0.0 : unit (rng) * 0.2 };
    for (int k = 1; k < count; ++k)
        xs.push_back (unit (rng));
    std::sort (xs.begin() + 1, xs.end());
    if (count < 16 || pick (0, 1) == 0)
        xs.back() = 1.0;
    if (xs[1] <= xs[0])
        xs[1] = xs[0] + 0.01;

    for (int k = 0; k < count; ++k)
    {
        using namespace osc4field;
        const int kind = k == 0 ? splineStart : pick (splineLinear, splineCubic);
        const double left = k == 0 ? 0.0 : xs[(size_t) k - 1];
        const double x = std::max (xs[(size_t) k], left);
        double c[2] = { left + unit (rng) * (x - left), left + unit (rng) * (x - left) };
        if (c[0] > c[1])
            std::swap (c[0], c[1]);

        at (k, presence) = 1.0;
        at (k, coordinateX (0)) = x;
        at (k, coordinateX (1)) = c[0];
        at (k, coordinateX (2)) = c[1];
        at (k, type) = Osc4Codec::writeInt (kind);
        for (int s = 0; s < 3; ++s)
        {
            at (k, slotField (s, slotDirection)) = Osc4Codec::writeInt (pick (0, 5) == 0 ? pick (3, 9) : pick (0, 2));
            at (k, slotField (s, slotDepth)) = unit (rng) * 0.5;
            at (k, slotField (s, slotSource)) = Osc4Codec::writeInt (pick (0, 8));
            at (k, slotField (s, slotShape)) = Osc4Codec::writeInt (pick (0, 8));
        }
    }
    if (count < 16)
        at (count, osc4field::type) = Osc4Codec::writeInt (splineEndMarker);

    // Now and then a code the engine does not know cuts the chain short.
    if (count > 3 && pick (0, 4) == 0)
        at (pick (2, count - 1), osc4field::type) = Osc4Codec::writeInt (pick (4, 9));
    return values;
}

::testing::AssertionResult writesAndReadsBack (SplinePointList& list, std::vector<double>& values)
{
    const auto before = values;
    if (! list.updateParamsValues (values.data()))
        return ::testing::AssertionFailure() << "the codec did not take the whole chain";

    for (size_t i = 0; i < values.size(); ++i)
        if ((int) i < params::kOsc4PointsFirst || (int) i > params::kOsc4PointsLast)
            if (! (values[i] == before[i]))
                return ::testing::AssertionFailure() << "parameter " << i << " written";

    auto range = blockInRange (values);
    if (! range)
        return range;

    // Writing an unchanged list again changes nothing.
    auto again = values;
    list.updateParamsValues (again.data());
    if (again != values)
        return ::testing::AssertionFailure() << "a second write differs";

    SplinePointList reread (kW, kH, 999);
    if (! reread.updateValuesFromParams (values.data()))
        return ::testing::AssertionFailure() << "the written block reads as unusable";
    return sameChain (list, reread, 1e-6);
}

void run (uint64_t seed, bool fromBlock, int edits)
{
    SCOPED_TRACE ("seed " + std::to_string (seed) + (fromBlock ? " from a random block" : " from the default curve"));
    std::mt19937 rng ((uint32_t) (seed * 7919 + (fromBlock ? 1 : 0)));
    SplinePointList list (kW, kH, seed);
    std::vector<double> values ((size_t) params::kNumValues, 0.0);

    if (fromBlock)
    {
        values = randomBlock (rng);
        ASSERT_TRUE (SplinePointList::isUsableBlock (values.data()));
        ASSERT_TRUE (list.updateValuesFromParams (values.data()));
    }
    ASSERT_TRUE (holdsInvariants (list));
    ASSERT_TRUE (writesAndReadsBack (list, values));

    Edits user { std::mt19937 ((uint32_t) seed), list };
    for (int i = 0; i < edits; ++i)
    {
        const auto what = user.apply();
        if (what == "restore")
        {
            // Half of the restores bring another stored curve.
            if (user.pick (0, 1) == 0)
                values = randomBlock (rng);
            ASSERT_TRUE (list.updateValuesFromParams (values.data())) << "edit " << i;
        }
        ASSERT_TRUE (holdsInvariants (list)) << "edit " << i << ": " << what;
        ASSERT_TRUE (writesAndReadsBack (list, values)) << "edit " << i << ": " << what;
    }
}
} // namespace

TEST (SplinePointListProperty, EditsFromTheDefaultCurveKeepTheChainStorable)
{
    for (uint64_t seed = 1; seed <= 5; ++seed)
        run (seed, false, 1000);
}

TEST (SplinePointListProperty, EditsFromRandomStoredBlocksKeepTheChainStorable)
{
    for (uint64_t seed = 101; seed <= 105; ++seed)
        run (seed, true, 1000);
}
