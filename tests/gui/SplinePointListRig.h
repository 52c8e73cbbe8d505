#pragma once

// Chains, blocks and the checks every point-list test shares.

#include "core/parameters.h"
#include "dsp/SplineOscillatorMisc.h"
#include "gui/synth/SplinePointList.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace splinelist
{
// The point editor's size on the synth page.
constexpr double kW = 575.0;
constexpr double kH = 130.0;

inline SplineOscillatorPoint pt (SplinePointType type, double x, double y)
{
    SplineOscillatorPoint p;
    p.type = type;
    p.width = kW;
    p.height = kH;
    for (int pair = 0; pair < 3; ++pair)
    {
        p.x[pair] = x;
        p.y[pair] = y;
    }
    return p;
}

inline SplineOscillatorPoint withControls (SplineOscillatorPoint p, double c1x, double c1y, double c2x = -1.0,
                                           double c2y = -1.0)
{
    p.x[1] = c1x;
    p.y[1] = c1y;
    if (c2x >= 0.0)
    {
        p.x[2] = c2x;
        p.y[2] = c2y;
    }
    return p;
}

inline SplineOscillatorPoint withSlot (SplineOscillatorPoint p, int slot, int direction, double depth)
{
    p.slots[slot].direction = direction;
    p.slots[slot].depth = depth;
    return p;
}

inline std::vector<double> blockOf (std::vector<SplineOscillatorPoint> chain)
{
    std::vector<double> values ((size_t) params::kNumValues, 0.0);
    Osc4Codec::encodePoints (chain.data(), (int) chain.size(), values.data());
    return values;
}

/** start, linear, quadratic, cubic, linear end: a chain with every kind of pair. */
inline std::vector<SplineOscillatorPoint> mixedChain()
{
    return { pt (splineStart, 0.0, 40.0),
             pt (splineLinear, 100.0, 20.0),
             withControls (pt (splineQuadratic, 250.0, 90.0), 170.0, 5.0),
             withControls (pt (splineCubic, 420.0, 60.0), 290.0, 120.0, 360.0, 10.0),
             pt (splineLinear, kW, 40.0) };
}

inline ::testing::AssertionResult load (SplinePointList& list, std::vector<SplineOscillatorPoint> chain)
{
    const auto values = blockOf (std::move (chain));
    if (! list.updateValuesFromParams (values.data()))
        return ::testing::AssertionFailure() << "block refused";
    return ::testing::AssertionSuccess();
}

/** Whatever the list holds, the rules that keep it drawable and storable. */
inline ::testing::AssertionResult holdsInvariants (const SplinePointList& list)
{
    std::ostringstream why;
    const int n = list.size();
    if (n < 1 || n > SplinePointList::kMaxPoints)
        why << "size " << n << "; ";

    const auto* first = list.getFirst();
    const auto* last = list.getLast();
    if (first == nullptr || last == nullptr)
        return ::testing::AssertionFailure() << "no first or last point";

    int k = 0;
    double previousX = 0.0;
    const SplinePointList::Node* tail = nullptr;
    for (const auto* node = first; node != nullptr; node = node->getNext(), ++k)
    {
        const auto& p = node->point;
        if (p.index != k)
            why << "point " << k << " has index " << p.index << "; ";
        if (k > 0 && node->getPrevious() == nullptr)
            why << "point " << k << " lost its back link; ";
        if ((k == 0) != (p.type == splineStart))
            why << "point " << k << " has type " << (int) p.type << "; ";
        if (k > 0 && p.type != splineLinear && p.type != splineQuadratic && p.type != splineCubic)
            why << "point " << k << " has type " << (int) p.type << "; ";
        if (k > 0 && p.x[0] < previousX)
            why << "point " << k << " x " << p.x[0] << " left of " << previousX << "; ";

        for (int pair = 0; pair < 3; ++pair)
            if (! (p.x[pair] >= 0.0 && p.x[pair] <= kW && p.y[pair] >= 0.0 && p.y[pair] <= kH))
                why << "point " << k << " pair " << pair << " at (" << p.x[pair] << ", " << p.y[pair] << "); ";

        const int pairs = SplinePointList::pairsInUse (p.type);
        if (pairs >= 2 && ! (p.x[1] >= previousX && p.x[1] <= p.x[0]))
            why << "point " << k << " control 1 out of order; ";
        if (pairs == 3 && ! (p.x[2] >= p.x[1] && p.x[2] <= p.x[0]))
            why << "point " << k << " control 2 out of order; ";

        previousX = p.x[0];
        tail = node;
    }

    if (tail != last)
        why << "recorded last point is not the tail; ";
    if (last->point.x[0] != kW)
        why << "last x " << last->point.x[0] << "; ";
    if (first->point.y[0] != last->point.y[0])
        why << "first y " << first->point.y[0] << " last y " << last->point.y[0] << "; ";
    if (k != n)
        why << "size() " << n << " but " << k << " nodes; ";

    const auto text = why.str();
    if (text.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << text;
}

/** Same chain within tol pixels: types, coordinates and every slot field. */
inline ::testing::AssertionResult sameChain (const SplinePointList& a, const SplinePointList& b, double tol)
{
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();

    const auto* p = a.getFirst();
    const auto* q = b.getFirst();
    for (int k = 0; p != nullptr && q != nullptr; p = p->getNext(), q = q->getNext(), ++k)
    {
        const auto& u = p->point;
        const auto& v = q->point;
        if (u.type != v.type || u.index != v.index)
            return ::testing::AssertionFailure() << "point " << k << " type or index differs";
        for (int pair = 0; pair < 3; ++pair)
            if (std::abs (u.x[pair] - v.x[pair]) > tol || std::abs (u.y[pair] - v.y[pair]) > tol)
                return ::testing::AssertionFailure() << "point " << k << " pair " << pair << " differs: ("
                                                     << u.x[pair] << ", " << u.y[pair] << ") vs (" << v.x[pair]
                                                     << ", " << v.y[pair] << ")";
        for (int s = 0; s < 3; ++s)
        {
            const auto& g = u.slots[s];
            const auto& h = v.slots[s];
            if (g.direction != h.direction || g.source != h.source || g.shape != h.shape
                || std::abs (g.depth - h.depth) > 1e-12 || g.speed != h.speed)
                return ::testing::AssertionFailure() << "point " << k << " slot " << s << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

/** Block values 90 to 569 inside [0, 1]. */
inline ::testing::AssertionResult blockInRange (const std::vector<double>& values)
{
    for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
        if (! (values[(size_t) i] >= 0.0 && values[(size_t) i] <= 1.0))
            return ::testing::AssertionFailure() << "parameter " << i << " = " << values[(size_t) i];
    return ::testing::AssertionSuccess();
}
} // namespace splinelist
