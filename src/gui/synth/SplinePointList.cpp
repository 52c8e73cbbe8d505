#include "gui/synth/SplinePointList.h"

#include "core/parameters.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{
constexpr int kPresence0 = params::osc4PointIndex (0, osc4field::presence);
constexpr int kPresence1 = params::osc4PointIndex (1, osc4field::presence);
constexpr int kX0 = params::osc4PointIndex (0, osc4field::x);
constexpr int kX1 = params::osc4PointIndex (1, osc4field::x);

// Pixels kept between the start point and point 1, and between an inner
// point and the right edge.
constexpr double kMinGap = 0.01;

/** Clamps into [lo, hi]; NaN becomes lo. Returns whether v changed. */
bool clampInto (double& v, double lo, double hi) noexcept
{
    const double c = v >= lo ? (v <= hi ? v : hi) : lo;
    const bool changed = ! (c == v);
    v = c;
    return changed;
}

bool clampInto (int32_t& v, int32_t lo, int32_t hi) noexcept
{
    const int32_t c = std::clamp (v, lo, hi);
    const bool changed = c != v;
    v = c;
    return changed;
}

/**
    The chain as the engine plays it: the first point starts it, and it ends
    before an end marker, an unknown type or a second start point.
*/
int decodeChain (const double* values, double width, double height, SplineOscillatorPoint* out) noexcept
{
    int n = Osc4Codec::decodePoints (values, width, height, out, SplinePointList::kMaxPoints);
    if (n <= 0)
        return 0;

    out[0].type = splineStart;
    for (int k = 1; k < n; ++k)
    {
        const int t = sanitisedSplinePointType (out[k].type);
        if (t == splineEndMarker || t == splineStart)
            return k;
    }
    return n;
}
} // namespace

//==============================================================================
SplinePointList::SplinePointList (double w, double h, uint64_t seed)
    : width (std::isfinite (w) && w >= 1.0 ? w : 1.0),
      height (std::isfinite (h) && h >= 1.0 ? h : 1.0),
      random (seed)
{
    buildDefaultCurve();
}

SplinePointList::~SplinePointList()
{
    freeAll();
}

void SplinePointList::freeAll() noexcept
{
    for (Node* n = first; n != nullptr;)
    {
        Node* following = n->next;
        delete n;
        n = following;
    }
    first = last = nullptr;
}

SplinePointList::Node* SplinePointList::newNode (SplinePointType type)
{
    auto* n = new Node();
    n->id = nextId++;
    n->point.type = type;
    n->point.width = width;
    n->point.height = height;
    return n;
}

void SplinePointList::linkAfter (Node* after, Node* n) noexcept
{
    n->previous = after;
    n->next = after->next;
    if (after->next != nullptr)
        after->next->previous = n;
    after->next = n;
}

//==============================================================================
SplinePointList::Node* SplinePointList::walkNext (Node* n) noexcept
{
    if (n == nullptr)
        return nullptr;

    Node* following = n->next;
    if (following == nullptr || following->point.type == splineEndMarker)
        return nullptr;

    // The recorded last point moves on when something real follows it.
    if (n == last)
        last = following;
    return following;
}

int SplinePointList::size() const noexcept
{
    int count = 0;
    for (const Node* n = first; n != nullptr; n = n->next)
    {
        if (n != first && n->point.type == splineEndMarker)
            break;
        ++count;
    }
    return count;
}

SplinePointList::Node* SplinePointList::at (int index) const noexcept
{
    int k = 0;
    for (Node* n = first; n != nullptr; n = n->next, ++k)
        if (k == index)
            return n;
    return nullptr;
}

int SplinePointList::indexOf (const Node* target) const noexcept
{
    if (target == nullptr)
        return -1;

    int k = 0;
    for (const Node* n = first; n != nullptr; n = n->next, ++k)
        if (n == target)
            return k;
    return -1;
}

SplinePointList::Node* SplinePointList::findById (uint64_t id) const noexcept
{
    for (Node* n = first; n != nullptr; n = n->next)
        if (n->id == id)
            return n;
    return nullptr;
}

void SplinePointList::clearHover() noexcept
{
    for (Node* n = first; n != nullptr; n = n->next)
        std::fill (n->hover, n->hover + 3, false);
}

void SplinePointList::clearSelected() noexcept
{
    for (Node* n = first; n != nullptr; n = n->next)
        std::fill (n->selected, n->selected + 3, false);
}

void SplinePointList::clearHandleDrag() noexcept
{
    for (Node* n = first; n != nullptr; n = n->next)
        std::fill (n->handleDrag, n->handleDrag + 3, false);
}

bool SplinePointList::anyHandleDrag() const noexcept
{
    for (const Node* n = first; n != nullptr; n = n->next)
        if (n->handleDrag[0] || n->handleDrag[1] || n->handleDrag[2])
            return true;
    return false;
}

//==============================================================================
void SplinePointList::setEndPoint (Node* from, Node* lastPoint) noexcept
{
    if (indexOf (lastPoint) < 0)
    {
        lastPoint = first;
        while (lastPoint != nullptr && lastPoint->next != nullptr)
            lastPoint = lastPoint->next;
    }
    last = lastPoint;

    for (Node* n = from != nullptr ? from : first; n != nullptr; n = walkNext (n))
    {
    }
}

void SplinePointList::renumber() noexcept
{
    int k = 0;
    for (Node* n = first; n != nullptr; n = walkNext (n))
        n->point.index = k++;
}

void SplinePointList::buildDefaultCurve()
{
    freeAll();
    first = last = newNode (splineStart);
    first->point.x[0] = 0.0;
    first->point.y[0] = height / 3.0;
    renumber();

    Node* n = first;
    for (int i = 0; i < 3; ++i)
        n = addRandomPointAfterThis (n, splineQuadratic);

    setEndPoint (first, n);
    n->point.x[0] = width;
    n->point.y[0] = first->point.y[0];
    sanityCheckAndFixPoints (first);
}

SplinePointList::Node* SplinePointList::addRandomPointAfterThis (Node* after, SplinePointType type)
{
    if (type != splineLinear && type != splineQuadratic && type != splineCubic)
        return nullptr;
    // A 17th point could never be stored: refuse before anything changes.
    if (indexOf (after) < 0 || size() >= kMaxPoints)
        return nullptr;

    Node* n = newNode (type);
    linkAfter (after, n);
    randomValues (n);
    setEndPoint (first, last);
    renumber();

    for (Node* p = first; p != nullptr; p = walkNext (p))
        makeSureModulationWithinLimits (p);
    return n;
}

SplinePointList::Node* SplinePointList::AddSplinePointAfterPoint (Node* after, SplinePointType type)
{
    if (after == nullptr || after == last)
        return nullptr;

    Node* n = addRandomPointAfterThis (after, type);
    if (n == nullptr)
        return nullptr;

    setEndPoint (first, last);
    sanityCheckAndFixPoints (first);
    return n;
}

SplinePointList::Node* SplinePointList::insertPointAfter (Node* after, const SplineOscillatorPoint& point)
{
    const auto type = point.type;
    if (type != splineLinear && type != splineQuadratic && type != splineCubic)
        return nullptr;
    if (after == nullptr || after == last || indexOf (after) < 0 || size() >= kMaxPoints)
        return nullptr;

    Node* n = newNode (type);
    n->point.slots[0] = point.slots[0];
    n->point.slots[1] = point.slots[1];
    n->point.slots[2] = point.slots[2];

    const double lo = after->point.x[0];
    const double hi = std::max (lo, firstAbscissa (after->next));
    auto& p = n->point;
    for (int pair = 0; pair < 3; ++pair)
    {
        p.x[pair] = point.x[pair];
        p.y[pair] = point.y[pair];
        clampInto (p.y[pair], 0.0, height);
    }
    clampInto (p.x[0], lo, hi);
    clampInto (p.x[1], lo, p.x[0]);
    clampInto (p.x[2], p.x[1], p.x[0]);

    linkAfter (after, n);
    setEndPoint (first, last);
    renumber();
    sanityCheckAndFixPoints (first);
    return n;
}

double SplinePointList::r (double a, double b) noexcept
{
    // rand()'s formula: a + rand() / (RAND_MAX / (b - a)).
    const double value = random.next();
    if (! (b > a))
        return a;
    return a + value / ((double) VoiceRandom::kMax / (b - a));
}

void SplinePointList::randomValues (Node* n) noexcept
{
    if (n == nullptr)
        return;

    auto& p = n->point;
    const Node* prev = n->previous;
    const Node* following = n->next != nullptr && n->next->point.type != splineEndMarker ? n->next : nullptr;
    const double a = prev != nullptr ? prev->point.x[0] : 0.0;

    if (n != first && n != last)
    {
        double b = following != nullptr ? firstAbscissa (following) - firstAbscissaRange (following) : width;
        b = std::min (b, width);
        p.x[0] = r (a, b);
    }

    const double lo = std::min (a, p.x[0]);
    if (p.type == splineCubic)
    {
        p.x[2] = r (lo, p.x[0]);
        p.x[1] = r (lo, p.x[2]);
    }
    else if (p.type == splineQuadratic)
    {
        p.x[1] = r (lo, p.x[0]);
    }

    setY (n, r (0.0, height));
    p.y[2] = r (0.0, height);
    p.y[1] = r (0.0, height);
}

bool SplinePointList::setY (Node* n, double y) noexcept
{
    if (n == nullptr || ! (y >= 0.0 && y <= height))
        return false;

    n->point.y[0] = y;
    // The cycle is continuous: first and last point share their height.
    if (n == first && last != nullptr)
        last->point.y[0] = y;
    if (n == last && first != nullptr)
        first->point.y[0] = y;
    return true;
}

bool SplinePointList::setX (Node* n, double x) noexcept
{
    if (n == nullptr || ! std::isfinite (x))
        return false;

    const auto& p = n->point;
    if (n == first || n == last || p.type == splineStart)
        return false;

    const double half = halfRange (n, 0);
    const double left = x - half;
    if (left < 0.0 || x + half > width)
        return false;

    if (const Node* prev = n->previous)
        if (prev->point.x[0] >= left || prev->point.x[0] + halfRange (prev, 0) >= left)
            return false;

    if (p.type == splineQuadratic || p.type == splineCubic)
    {
        if (p.x[1] >= left || p.x[1] + halfRange (n, 1) >= left || p.x[1] + halfRange (n, 2) >= left)
            return false;
    }

    if (p.type == splineCubic)
    {
        // Control 2's own range must stay left of the point's as well.
        if (p.x[2] >= left || p.x[2] + halfRange (n, 2) >= left)
            return false;
    }

    if (const Node* following = n->next)
        if (x + half >= firstAbscissa (following) - firstAbscissaRange (following))
            return false;

    n->point.x[0] = x;
    return true;
}

void SplinePointList::moveYValues (Node* n, double dy) noexcept
{
    if (n == nullptr || ! std::isfinite (dy))
        return;

    for (Node* p = n; p != nullptr; p = walkNext (p))
        for (auto& y : p->point.y)
            y += dy;

    sanityCheckAndFixPoints (n);
}

double SplinePointList::getHighestPoint (Node* n) noexcept
{
    double top = std::numeric_limits<double>::infinity();

    for (Node* p = n; p != nullptr; p = walkNext (p))
    {
        const int pairs = pairsInUse (p->point.type);
        if (pairs == 0)
            top = std::min (top, 0.0);

        for (int s = 0; s < pairs; ++s)
        {
            const auto& slot = p->point.slots[s];
            const double reach = isVertical (slot) ? height * slot.depth / 2.0 : 0.0;
            top = std::min (top, p->point.y[s] - reach);
        }
    }
    return std::isfinite (top) ? top : 0.0;
}

double SplinePointList::getLowestPoint (Node* n) noexcept
{
    double bottom = -std::numeric_limits<double>::infinity();

    for (Node* p = n; p != nullptr; p = walkNext (p))
    {
        const int pairs = pairsInUse (p->point.type);
        if (pairs == 0)
            bottom = std::max (bottom, 0.0);

        for (int s = 0; s < pairs; ++s)
        {
            const auto& slot = p->point.slots[s];
            const double reach = isVertical (slot) ? height * slot.depth / 2.0 : 0.0;
            bottom = std::max (bottom, p->point.y[s] + reach);
        }
    }
    return std::isfinite (bottom) ? bottom : 0.0;
}

//==============================================================================
int SplinePointList::pairsInUse (int type) noexcept
{
    switch (type)
    {
        case splineStart:
        case splineLinear: return 1;
        case splineQuadratic: return 2;
        case splineCubic: return 3;
        default: return 0;
    }
}

double SplinePointList::halfRange (const Node* n, int slot) const noexcept
{
    const auto& s = n->point.slots[slot];
    return isHorizontal (s) ? width * s.depth / 2.0 : 0.0;
}

double SplinePointList::firstAbscissa (const Node* n) const noexcept
{
    const auto type = n->point.type;
    return type == splineQuadratic || type == splineCubic ? n->point.x[1] : n->point.x[0];
}

double SplinePointList::firstAbscissaRange (const Node* n) const noexcept
{
    const auto type = n->point.type;
    return halfRange (n, type == splineQuadratic || type == splineCubic ? 1 : 0);
}

void SplinePointList::getHorizontalModulationLimits (Node* n, int slot, double* low, double* high) noexcept
{
    double lo = 0.0, hi = width;

    if (n != nullptr && slot >= 0 && slot < 3)
    {
        const auto& p = n->point;
        const Node* prev = n->previous;
        const Node* following = n->next != nullptr && n->next->point.type != splineEndMarker ? n->next : nullptr;

        if (p.type == splineStart)
        {
            lo = hi = 0.0;
        }
        else if (slot == 0)
        {
            lo = p.type == splineQuadratic ? p.x[1]
               : p.type == splineCubic     ? p.x[2]
               : prev != nullptr           ? prev->point.x[0]
                                           : 0.0;
            hi = following != nullptr ? firstAbscissa (following) - firstAbscissaRange (following) : width;
        }
        else if (slot == 1)
        {
            lo = prev != nullptr ? prev->point.x[0] + halfRange (prev, 0) : 0.0;
            hi = p.type == splineCubic ? p.x[2] - halfRange (n, 2) : p.x[0] - halfRange (n, 0);
        }
        else
        {
            lo = p.x[1];
            hi = p.x[0] - halfRange (n, 0);
        }
    }

    if (low != nullptr)
        *low = std::clamp (lo, 0.0, width);
    if (high != nullptr)
        *high = std::clamp (hi, 0.0, width);
}

bool SplinePointList::fits (const Node* n, int s) const noexcept
{
    const auto& p = n->point;
    const Node* prev = n->previous;
    const Node* following = n->next != nullptr && n->next->point.type != splineEndMarker ? n->next : nullptr;

    double left = prev != nullptr ? prev->point.x[0] + halfRange (prev, 0) : 0.0;
    double right = following != nullptr ? firstAbscissa (following) - firstAbscissaRange (following) : width;

    if (s == 0)
    {
        // The point's range stays right of its own nearest control.
        if (p.type == splineQuadratic)
            left = std::max (left, p.x[1] + halfRange (n, 1));
        else if (p.type == splineCubic)
            left = std::max (left, p.x[2] + halfRange (n, 2));
    }
    else if (s == 1)
    {
        right = std::min (right, p.type == splineCubic ? p.x[2] : p.x[0]);
    }
    else
    {
        left = std::max (left, p.x[1] + halfRange (n, 1));
        right = std::min (right, p.x[0]);
    }

    left = std::max (left, 0.0);
    right = std::min (right, width);

    const double half = width * p.slots[s].depth / 2.0;
    return p.x[s] - half >= left && p.x[s] + half <= right;
}

void SplinePointList::makeSureModulationWithinLimits (Node* n) noexcept
{
    if (n == nullptr)
        return;

    const int pairs = pairsInUse (n->point.type);

    // Each pass shrinks at least one range by a fifth or switches it off, so
    // this ends after a few dozen passes at most.
    for (bool allFit = false; ! allFit;)
    {
        allFit = true;
        for (int s = 0; s < pairs; ++s)
        {
            auto& slot = n->point.slots[s];
            if (! isHorizontal (slot) || fits (n, s))
                continue;

            allFit = false;
            slot.depth *= 0.8;
            if (! (slot.depth >= 0.001 && std::isfinite (slot.depth)))
                slot.direction = osc4mod::off;
        }
    }
}

bool SplinePointList::sanityCheckAndFixPoints (Node* from) noexcept
{
    if (from == nullptr || first == nullptr || indexOf (from) < 0)
        return false;

    bool ok = true;

    if (first->point.type != splineStart)
    {
        first->point.type = splineStart;
        ok = false;
    }

    setEndPoint (first, last);
    if (last->point.x[0] != width)
    {
        last->point.x[0] = width;
        ok = false;
    }

    for (Node* n = from; n != nullptr; n = walkNext (n))
    {
        auto& p = n->point;
        const Node* prev = n->previous;

        p.width = width;
        p.height = height;

        const int expected = prev != nullptr ? prev->point.index + 1 : 0;
        if (p.index != expected)
        {
            p.index = expected;
            ok = false;
        }

        // Every pair inside the editor, used or not: the block holds fractions.
        for (int pair = 0; pair < 3; ++pair)
        {
            ok &= ! clampInto (p.x[pair], 0.0, width);
            ok &= ! clampInto (p.y[pair], 0.0, height);
        }

        // In order: previous point, control 1, control 2, the point.
        const double lo = prev != nullptr ? prev->point.x[0] : 0.0;
        ok &= ! clampInto (p.x[0], lo, width);

        // A block whose points 0 and 1 share their x reads as unusable and
        // would be replaced by a random curve: keep them apart. A reader
        // ends the chain at the first point on the right edge: only the last
        // point may sit there.
        if (n == first)
            ok &= ! clampInto (p.x[0], 0.0, width - 2.0 * kMinGap);
        else if (prev == first && p.x[0] <= lo)
        {
            p.x[0] = std::min (lo + kMinGap, width);
            ok = false;
        }
        if (n != first && n != last)
            ok &= ! clampInto (p.x[0], std::min (lo, width - kMinGap), width - kMinGap);
        ok &= ! clampInto (p.x[1], lo, p.x[0]);
        ok &= ! clampInto (p.x[2], p.x[1], p.x[0]);

        // Slot values the block can hold: integers as n / 100 in [0, 1],
        // the stored half range and the speed in [0, 1].
        for (auto& slot : p.slots)
        {
            ok &= ! clampInto (slot.direction, 0, 100);
            ok &= ! clampInto (slot.source, 0, 100);
            ok &= ! clampInto (slot.shape, 0, 100);
            ok &= ! clampInto (slot.depth, 0.0, 2.0);
            ok &= ! clampInto (slot.speed, 0.0, 1.0);
        }
    }

    if (last->point.y[0] != first->point.y[0])
    {
        last->point.y[0] = first->point.y[0];
        ok = false;
    }

    for (Node* n = from; n != nullptr; n = walkNext (n))
        makeSureModulationWithinLimits (n);

    return ok;
}

//==============================================================================
SplinePointList::DeleteResult SplinePointList::deletePoint (Node* n, int pair)
{
    if (pair < 0 || pair > 2 || indexOf (n) < 0)
        return DeleteResult::nothing;
    if (pair == 0 && n == last)
        return DeleteResult::nothing;

    auto& p = n->point;
    auto result = DeleteResult::changed;

    switch (p.type)
    {
        case splineCubic:
            if (pair == 0)
            {
                p.x[0] = p.x[2];
                p.y[0] = p.y[2];
            }
            else if (pair == 1)
            {
                p.x[1] = p.x[2];
                p.y[1] = p.y[2];
            }
            p.type = splineQuadratic;
            p.slots[2].direction = osc4mod::off;
            break;

        case splineQuadratic:
            if (pair == 0)
            {
                p.x[0] = p.x[1];
                p.y[0] = p.y[1];
            }
            if (pair != 2)
                p.type = splineLinear;
            p.slots[1].direction = osc4mod::off;
            p.slots[2].direction = osc4mod::off;
            break;

        case splineLinear:
            if (pair != 0)
            {
                p.slots[1].direction = osc4mod::off;
                p.slots[2].direction = osc4mod::off;
                break;
            }
            if (n == first || n->previous == nullptr || n->next == nullptr)
                return DeleteResult::nothing;

            n->previous->next = n->next;
            n->next->previous = n->previous;
            delete n;
            // Numbered by position before anyone can write the block.
            renumber();
            result = DeleteResult::removed;
            break;

        case splineStart:
        case splineEndMarker:
        default:
            return DeleteResult::nothing;
    }

    setEndPoint (first, last);
    sanityCheckAndFixPoints (first);
    return result;
}

bool SplinePointList::normalize() noexcept
{
    const double top = getHighestPoint (first);
    const double bottom = getLowestPoint (first);
    if (! (bottom > top))
        return false;

    const double k = height / (bottom - top);
    for (Node* n = first; n != nullptr; n = walkNext (n))
    {
        for (auto& y : n->point.y)
            y *= k;
        for (auto& slot : n->point.slots)
            if (isVertical (slot))
                slot.depth *= k;
    }

    // Unused pairs were scaled too; the validation clamps them back inside.
    moveYValues (first, -top * k);
    return true;
}

void SplinePointList::randomizeCurrentPoints() noexcept
{
    for (Node* n = first; n != nullptr; n = walkNext (n))
        randomValues (n);

    normalize();

    for (Node* n = first; n != nullptr; n = walkNext (n))
        makeSureModulationWithinLimits (n);
    sanityCheckAndFixPoints (first);
}

//==============================================================================
bool SplinePointList::updateParamsValues (double* values) noexcept
{
    if (values == nullptr || first == nullptr)
        return false;

    sanityCheckAndFixPoints (first);
    if (size() > kMaxPoints)
        return false;

    SplineOscillatorPoint points[kMaxPoints];
    Node* nodes[kMaxPoints];
    int count = 0;
    for (Node* n = first; n != nullptr && count < kMaxPoints; n = walkNext (n))
    {
        nodes[count] = n;
        points[count++] = n->point;
    }

    const bool whole = Osc4Codec::encodePoints (points, count, values);

    // The codec numbers the points and fills in slot 1's default speed.
    for (int k = 0; k < count; ++k)
    {
        nodes[k]->point.index = points[k].index;
        nodes[k]->point.slots[1].speed = points[k].slots[1].speed;
    }
    return whole;
}

bool SplinePointList::updateValuesFromParams (const double* values)
{
    if (! isUsableBlock (values))
        return false;

    SplineOscillatorPoint points[kMaxPoints];
    const int count = decodeChain (values, width, height, points);
    if (count < 2)
        return false;

    freeAll();
    Node* previous = nullptr;
    for (int k = 0; k < count; ++k)
    {
        Node* n = newNode (points[k].type);
        n->point = points[k];
        if (previous == nullptr)
            first = n;
        else
            linkAfter (previous, n);
        previous = n;
    }

    setEndPoint (first, previous);
    renumber();
    sanityCheckAndFixPoints (first);
    return true;
}

bool SplinePointList::isUsableBlock (const double* values) noexcept
{
    if (values == nullptr)
        return false;

    if (values[kPresence0] == 0.0 || values[kPresence1] == 0.0 || values[kX0] == values[kX1])
        return false;

    for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
        if (! (values[i] >= 0.0 && values[i] <= 1.0))
            return false;

    // A chain of the start point alone could neither be played nor edited.
    SplineOscillatorPoint points[kMaxPoints];
    return decodeChain (values, 1.0, 1.0, points) >= 2;
}
