#include "dsp/SplineOscillatorMisc.h"

#include "core/parameters.h"

#include <cmath>
#include <cstring>

namespace
{
inline double finiteOrZero (double v) noexcept { return std::isfinite (v) ? v : 0.0; }

inline double& at (double* values, int point, int field) noexcept
{
    return values[params::osc4PointIndex (point, field)];
}

inline double at (const double* values, int point, int field) noexcept
{
    return values[params::osc4PointIndex (point, field)];
}
} // namespace

Osc4Data makeEndMarkerPoint() noexcept
{
    Osc4Data p {};
    p.type = splineEndMarker;
    return p;
}

//==============================================================================
int Osc4Codec::readInt (double value) noexcept
{
    const float f = (float) (value * 100.0);
    // Out-of-range or NaN values would make lroundf undefined.
    if (! (f > -1.0e6f && f < 1.0e6f))
        return 0;
    return (int) std::lroundf (f);
}

bool Osc4Codec::encodePoints (SplineOscillatorPoint* points, int count, double* values) noexcept
{
    using namespace osc4field;

    if (points == nullptr || values == nullptr || count <= 0)
        return false;

    const int written = count < params::kOsc4MaxPoints ? count : params::kOsc4MaxPoints;

    for (int k = 0; k < written; ++k)
    {
        auto& p = points[k];
        p.index = k;

        if (p.slots[1].speed == 0.0)
            p.slots[1].speed = osc4mod::kDefaultControlSpeed;

        const double w = p.width;
        const double h = p.height;

        at (values, k, presence) = 1.0;
        for (int pair = 0; pair < 3; ++pair)
        {
            at (values, k, coordinateX (pair)) = p.x[pair] / w;
            at (values, k, coordinateY (pair)) = p.y[pair] / h;
        }
        at (values, k, type) = writeInt (p.type);

        for (int s = 0; s < 3; ++s)
        {
            const auto& slot = p.slots[s];
            at (values, k, slotField (s, slotDirection)) = writeInt (slot.direction);
            at (values, k, slotField (s, slotDepth)) = slot.depth * 0.5;
            at (values, k, slotField (s, slotSource)) = writeInt (slot.source);
            at (values, k, slotField (s, slotSpeed)) = slot.speed;
            at (values, k, slotField (s, slotShape)) = writeInt (slot.shape);
        }
    }

    // A chain longer than the block stops at the block's end, unmarked.
    if (count > params::kOsc4MaxPoints)
        return false;

    for (int k = count; k < params::kOsc4MaxPoints; ++k)
        at (values, k, type) = writeInt (splineEndMarker);

    return true;
}

int Osc4Codec::decodePoints (const double* values, double width, double height,
                             SplineOscillatorPoint* out, int maxPoints) noexcept
{
    using namespace osc4field;

    if (values == nullptr || out == nullptr || maxPoints <= 0)
        return 0;

    const int limit = maxPoints < params::kOsc4MaxPoints ? maxPoints : params::kOsc4MaxPoints;
    int read = 0;

    for (int k = 0; k < limit; ++k)
    {
        auto& p = out[k];
        p = SplineOscillatorPoint {};
        p.width = width;
        p.height = height;
        p.index = k;

        for (int pair = 0; pair < 3; ++pair)
        {
            p.x[pair] = finiteOrZero (at (values, k, coordinateX (pair))) * width;
            p.y[pair] = finiteOrZero (at (values, k, coordinateY (pair))) * height;
        }
        p.type = (SplinePointType) readInt (at (values, k, type));

        for (int s = 0; s < 3; ++s)
        {
            auto& slot = p.slots[s];
            slot.direction = readInt (at (values, k, slotField (s, slotDirection)));
            slot.depth = 2.0 * finiteOrZero (at (values, k, slotField (s, slotDepth)));
            slot.source = readInt (at (values, k, slotField (s, slotSource)));
            slot.speed = finiteOrZero (at (values, k, slotField (s, slotSpeed)));
            slot.shape = readInt (at (values, k, slotField (s, slotShape)));
        }

        ++read;

        // The chain's last point sits at the right edge.
        if (! (p.x[0] / width < 1.0))
            break;
    }

    // Walks stop before the first end marker; the first point always counts.
    int chain = 1;
    while (chain < read && out[chain].type != splineEndMarker)
        ++chain;

    return chain;
}

void Osc4Codec::decodeParameters (const double* values, Osc4Data* dest) noexcept
{
    using namespace osc4field;

    if (values == nullptr || dest == nullptr)
        return;

    for (int k = 0; k < params::kOsc4MaxPoints; ++k)
    {
        Osc4Data& p = dest[k];
        p = Osc4Data {};

        for (int pair = 0; pair < 3; ++pair)
        {
            p.x[pair] = finiteOrZero (at (values, k, coordinateX (pair)));
            p.y[pair] = finiteOrZero (at (values, k, coordinateY (pair)));
        }
        p.type = readInt (at (values, k, type));

        for (int s = 0; s < 3; ++s)
        {
            auto& slot = p.slots[s];
            slot.direction = readInt (at (values, k, slotField (s, slotDirection)));
            slot.depth = finiteOrZero (at (values, k, slotField (s, slotDepth)));
            slot.speed = finiteOrZero (at (values, k, slotField (s, slotSpeed)));
            slot.shape = readInt (at (values, k, slotField (s, slotShape)));
            slot.source = readInt (at (values, k, slotField (s, slotSource)));
        }
    }
}

void Osc4Codec::writePresenceMarks (double* values) noexcept
{
    if (values == nullptr)
        return;

    for (int k = 0; k < params::kOsc4MaxPoints; ++k)
        at (values, k, osc4field::presence) = 1.0;
}

//==============================================================================
Osc4PointSet::Osc4PointSet() noexcept
{
    Osc4Data initial[kNumPoints];
    for (auto& p : initial)
        p = makeEndMarkerPoint();

    uint64_t raw[kWords];
    std::memcpy (raw, initial, sizeof (raw));

    for (int b = 0; b < 2; ++b)
        for (int i = 0; i < kWords; ++i)
            words[b][i].store (raw[i], std::memory_order_relaxed);
}

bool Osc4PointSet::publishFromParameters (const double* values) noexcept
{
    if (values == nullptr)
        return false;

    Osc4Data decoded[kNumPoints];
    Osc4Codec::decodeParameters (values, decoded);
    return publish (decoded);
}

bool Osc4PointSet::publish (const Osc4Data* points) noexcept
{
    if (points == nullptr)
        return false;

    if (publishing.exchange (true, std::memory_order_acquire))
        return false;

    uint64_t raw[kWords];
    std::memcpy (raw, points, sizeof (raw));

    const uint32_t s = sequence.load (std::memory_order_relaxed);
    const uint32_t target = ((s >> 1) + 1) & 1u;

    // Odd: a write is under way. The fence keeps the data stores after it, so a
    // reader that sees any of them also sees the odd count.
    sequence.store (s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence (std::memory_order_release);

    for (int i = 0; i < kWords; ++i)
        words[target][i].store (raw[i], std::memory_order_relaxed);

    sequence.store (s + 2, std::memory_order_release);
    publishing.store (false, std::memory_order_release);
    return true;
}

bool Osc4PointSet::read (Osc4Data* dest, uint32_t* version) const noexcept
{
    if (dest == nullptr)
        return false;

    uint64_t raw[kWords];

    for (int attempt = 0; attempt < 4; ++attempt)
    {
        const uint32_t s1 = sequence.load (std::memory_order_acquire);
        const uint32_t buffer = (s1 >> 1) & 1u;

        for (int i = 0; i < kWords; ++i)
            raw[i] = words[buffer][i].load (std::memory_order_relaxed);

        std::atomic_thread_fence (std::memory_order_acquire);
        const uint32_t s2 = sequence.load (std::memory_order_relaxed);

        // The next publish writes the other buffer; only the one after it
        // (which makes the count reach 2 * (s1 >> 1) + 3) writes this one.
        if (s2 - (s1 & ~1u) <= 2u)
        {
            std::memcpy (dest, raw, sizeof (raw));
            if (version != nullptr)
                *version = s1 >> 1;
            return true;
        }
    }

    return false;
}
