#include "dsp/SplineOscillatorMisc.h"

#include "core/parameters.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The curve walk's helpers must melt into its loops: called, they keep the
// walk's state in memory and it runs several times slower.
#if defined(__GNUC__)
#define TALVORA_INLINE __attribute__ ((always_inline))
#else
#define TALVORA_INLINE
#endif

namespace
{
inline double finiteOrZero (double v) noexcept { return std::isfinite (v) ? v : 0.0; }

// Values are plain doubles (the editor's copies) or the engine's array.
template <typename Value>
inline Value& at (Value* values, int point, int field) noexcept
{
    return values[params::osc4PointIndex (point, field)];
}

template <typename Value>
inline double at (const Value* values, int point, int field) noexcept
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

namespace Osc4Codec
{
namespace
{
template <typename Value>
bool encodeInto (SplineOscillatorPoint* points, int count, Value* values) noexcept
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

template <typename Value>
int decodeFrom (const Value* values, double width, double height, SplineOscillatorPoint* out, int maxPoints) noexcept
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

template <typename Value>
void decodeRecords (const Value* values, Osc4Data* dest) noexcept
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

template <typename Value>
void markPresence (Value* values) noexcept
{
    if (values == nullptr)
        return;

    for (int k = 0; k < params::kOsc4MaxPoints; ++k)
        at (values, k, osc4field::presence) = 1.0;
}
} // namespace

bool encodePoints (SplineOscillatorPoint* points, int count, double* values) noexcept { return encodeInto (points, count, values); }
bool encodePoints (SplineOscillatorPoint* points, int count, ParameterValue* values) noexcept { return encodeInto (points, count, values); }

int decodePoints (const double* values, double width, double height, SplineOscillatorPoint* out, int maxPoints) noexcept
{
    return decodeFrom (values, width, height, out, maxPoints);
}

int decodePoints (const ParameterValue* values, double width, double height, SplineOscillatorPoint* out, int maxPoints) noexcept
{
    return decodeFrom (values, width, height, out, maxPoints);
}

void decodeParameters (const double* values, Osc4Data* dest16) noexcept { decodeRecords (values, dest16); }
void decodeParameters (const ParameterValue* values, Osc4Data* dest16) noexcept { decodeRecords (values, dest16); }
void writePresenceMarks (double* values) noexcept { markPresence (values); }
void writePresenceMarks (ParameterValue* values) noexcept { markPresence (values); }
} // namespace Osc4Codec

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
    return publishDecoded (values);
}

bool Osc4PointSet::publishFromParameters (const ParameterValue* values) noexcept
{
    return publishDecoded (values);
}

template <typename Value>
bool Osc4PointSet::publishDecoded (const Value* values) noexcept
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

//==============================================================================
namespace
{
using splinecurve::Cubic;
using splinecurve::Quadratic;
using splinecurve::ScanRecord;

using splinecurve::PowerForm;
using splinecurve::Run;
using splinecurve::detail::powerForm;


// How fast x can move: |x'(w)| on [0, 1] is at most its largest Bernstein
// coefficient, and one evaluation of X rounds by far less than `slack`.
struct Reach
{
    double slope;
    double slack;
};

Reach reachOf (const Quadratic& s) noexcept
{
    const double slope = 2.0 * std::max (std::abs (s.a), std::abs (1.0 - s.a));
    return { slope * (1.0 + 1.0e-12), 1.0e-13 * (2.0 * std::abs (s.a) + 1.0) };
}

Reach reachOf (const Cubic& s) noexcept
{
    const double slope = 3.0 * std::max ({ std::abs (s.a1), std::abs (s.a2 - s.a1), std::abs (1.0 - s.a2) });
    return { slope * (1.0 + 1.0e-12), 1.0e-13 * (3.0 * std::abs (s.a1) + 3.0 * std::abs (s.a2) + 1.0) };
}

// x'(w), for the local bound after a sample.
double slopeAt (const Quadratic& s, double w) noexcept { return 2.0 * s.a + w * (2.0 - 4.0 * s.a); }

double slopeAt (const Cubic& s, double w) noexcept
{
    const double v = 1.0 - w;
    return 3.0 * (s.a1 * v * v + 2.0 * (s.a2 - s.a1) * w * v + (1.0 - s.a2) * w * w);
}

// Where x' turns (a cubic's x' is quadratic in w), or NaN.
double turnOfSlope (const Quadratic&) noexcept { return std::numeric_limits<double>::quiet_NaN(); }

double turnOfSlope (const Cubic& s) noexcept
{
    const double c = 3.0 * s.a1 - 3.0 * s.a2 + 1.0;
    return c != 0.0 ? (2.0 * s.a1 - s.a2) / c : std::numeric_limits<double>::quiet_NaN();
}

// The largest |x'(w)| on [from, to] (before the caller's allowance for
// rounding): x' is linear or quadratic in w, so it is largest at an end or
// at its one turn (worked out once per walk).
template <typename Segment>
inline double steepest (const Segment& s, double turn, double from, double to) noexcept
{
    double most = std::max (std::abs (slopeAt (s, from)), std::abs (slopeAt (s, to)));
    if (turn > from && turn < to)
        most = std::max (most, std::abs (slopeAt (s, turn)));
    return most;
}

// The smallest x'(w) on [from, to], before the caller's allowance for
// rounding: at an end or at the turn of x'.
template <typename Segment>
inline double flattest (const Segment& s, double turn, double from, double to) noexcept
{
    double least = std::min (slopeAt (s, from), slopeAt (s, to));
    if (turn > from && turn < to)
        least = std::min (least, slopeAt (s, turn));
    return least;
}

#if defined(__SSE2__)
// X of two places at once, operation for operation as the scalar X.
inline __m128d xOfTwo (const Quadratic& s, __m128d w) noexcept
{
    const __m128d a2 = _mm_set1_pd (2.0 * s.a);
    const __m128d v = _mm_sub_pd (_mm_set1_pd (1.0), w);
    return _mm_add_pd (_mm_mul_pd (_mm_mul_pd (a2, w), v), _mm_mul_pd (w, w));
}

inline __m128d xOfTwo (const Cubic& s, __m128d w) noexcept
{
    const __m128d a1 = _mm_set1_pd (3.0 * s.a1);
    const __m128d a2 = _mm_set1_pd (3.0 * s.a2);
    const __m128d v = _mm_sub_pd (_mm_set1_pd (1.0), w);
    const __m128d t1 = _mm_mul_pd (_mm_mul_pd (_mm_mul_pd (a1, w), v), v);
    const __m128d t2 = _mm_mul_pd (_mm_mul_pd (_mm_mul_pd (a2, w), w), v);
    const __m128d t3 = _mm_mul_pd (_mm_mul_pd (w, w), w);
    return _mm_add_pd (_mm_add_pd (t1, t2), t3);
}
#endif

// The walk counts u down by repeated subtraction of step. Inside one binade
// [lo, 2 lo) every subtraction whose exact result stays in it rounds step to
// the same multiple D of the binade's spacing g, so the j-th value after
// `start` is exactly start - j D: a run of steps needs no chain of
// subtractions. When step lies exactly halfway between two multiples, ties go
// to the even multiple of g: from an even u every step then takes the even
// one of the two candidates.
// False when no run starts at u; no run is worth trying again until u is
// below `foot`.
bool findRun (double u, double step, Run& run, double& foot) noexcept
{
    uint64_t bits;
    std::memcpy (&bits, &u, sizeof (bits));
    uint64_t exponent = bits & 0x7ff0000000000000ull;
    if (exponent == 0 || exponent == 0x7ff0000000000000ull || (bits >> 63) != 0)
    {
        foot = -1.0;
        return false;
    }
    double lo;
    std::memcpy (&lo, &exponent, sizeof (lo));
    foot = lo;

    // Spacing is a power of two: q and above are exact, and so are their
    // products with its inverse. A q of 2^52 or more (or not a number)
    // would need at least 2^52 units.
    const double perSpacing = 0x1p52 / lo;
    const double q = step * perSpacing;
    if (! (q < 0x1p52))
        return false;
    const double spacing = lo * 0x1p-52;
    const double whole = (double) (int64_t) q;
    const double part = q - whole;
    const auto above = (int64_t) ((u - lo) * perSpacing);   // exact: u is a multiple of spacing

    double units = part < 0.5 ? whole : whole + 1.0;
    if (part == 0.5)
    {
        if ((above & 1) != 0)
        {
            foot = 2.0 * lo;   // one plain step makes u even: try again then
            return false;
        }
        units = ((int64_t) whole & 1) == 0 ? whole : whole + 1.0;
    }
    if (! (units >= 1.0 && units < 0x1p52))
        return false;

    const auto d = (int64_t) units;
    // Each step's exact result u - step must stay at or above lo; with
    // step < (D + 1/2) g that holds while j D <= above - 1.
    if (above < 1)
        return false;
    run.start = u;
    run.distance = units * spacing;
    run.last = (above - 1) / d;
    return true;
}



constexpr double divisorOf (const Quadratic&) noexcept { return splinecurve::kQuadraticDivisor; }
constexpr double divisorOf (const Cubic&) noexcept { return splinecurve::kCubicDivisor; }
} // namespace

template <typename Segment>
void splinecurve::Walk<Segment>::start (const Segment& segment, int sampleCount, double* destination, int at,
                                        int entries, ScanRecord* recordTo) noexcept
{
    seg = segment;
    height = powerForm (segment);
    m = sampleCount;
    dest = destination;
    pos = at;
    capacity = entries;
    writeFloor = 0;
    record = recordTo;
    h = 1.0 / (m + 1);
    step = h / divisorOf (segment);

    const Reach reach = reachOf (segment);
    slope = reach.slope;
    margin = 3.0 * reach.slack + reach.slope * 0x1p-52;

    error = 0.000001;
    lastX = 0.0;
    lastValue = segment.y0;
    lastW = -1.0;
    prevW = -1.0;
    e = -1;
    u = 1.0;
    retryBelow = 2.0;
    run = {};
    j = 0;
    phase = Phase::stepping;
    result = 0;
    guide = nullptr;
    guideCount = 0;
    samples = 0;
}

template <typename Segment>
bool splinecurve::Walk<Segment>::advance (int until) noexcept
{
    if (phase == Phase::ended)
        return true;

    // The walk runs on copies: writes through dest could otherwise alias the
    // members and force a reload after every sample.
    const Segment seg = this->seg;
    const PowerForm height = this->height;
    const int m = this->m;
    double* const dest = this->dest;
    const int pos = this->pos;
    const int capacity = this->capacity;
    ScanRecord* const record = this->record;
    const double h = this->h;
    const double step = this->step;
    const double slope = this->slope;
    const double margin = this->margin;
    double error = this->error;
    double lastX = this->lastX;
    double lastValue = this->lastValue;
    double lastW = this->lastW;
    double prevW = this->prevW;
    int e = this->e;
    // The record's cursor too: a write to its byte marks may alias anything
    // reached through a pointer.
    double* const places = record != nullptr ? record->places : nullptr;
    uint8_t* const twiceMarks = record != nullptr ? record->twice : nullptr;
    const int recordCapacity = record != nullptr ? record->capacity : 0;
    int recorded = record != nullptr ? record->count : 0;
    bool overflow = false;
    [[maybe_unused]] const double* const guide = this->guide;
    [[maybe_unused]] const int guideCount = this->guideCount;
    int samples = this->samples;

    const int floor = writeFloor;
    auto put = [dest, floor, capacity] (int index, double v) TALVORA_INLINE
    {
        if (index >= floor && index < capacity)
            dest[index] = v;
    };

    // A sample at w, x whose height v is worked out.
    auto takeValue = [&] (double w, double x, double v) TALVORA_INLINE
    {
        ++samples;
        ++e;
        lastValue = v;
        prevW = lastW;
        lastW = w;
        put (pos + e, lastValue);

        const double before = lastX;
        lastX = x;
        error += (x - before) - h;

        const bool twice = error >= h;
        if (twice)
        {
            error -= h;
            ++e;
            put (pos + e, lastValue);
        }

        if (places != nullptr)
        {
            if (recorded < recordCapacity)
            {
                places[recorded] = w;
                twiceMarks[recorded] = twice ? 1 : 0;
                ++recorded;
            }
            else
                overflow = true;
        }
    };

    auto take = [&] (double w, double x) TALVORA_INLINE { takeValue (w, x, height (w)); };

#if defined(__SSE2__)
    // Two samples (places, x and heights in the lanes), as two takes.
    auto takeTwo = [&] (__m128d w2, __m128d x2, __m128d v2) TALVORA_INLINE
    {
        const int first = pos + e + 1;
        if (! (first >= floor && first + 3 < capacity && (places == nullptr || recorded + 2 <= recordCapacity)))
        {
            takeValue (_mm_cvtsd_f64 (w2), _mm_cvtsd_f64 (x2), _mm_cvtsd_f64 (v2));
            takeValue (_mm_cvtsd_f64 (_mm_unpackhi_pd (w2, w2)), _mm_cvtsd_f64 (_mm_unpackhi_pd (x2, x2)),
                       _mm_cvtsd_f64 (_mm_unpackhi_pd (v2, v2)));
            return;
        }
        const double x0 = _mm_cvtsd_f64 (x2);
        const double x1 = _mm_cvtsd_f64 (_mm_unpackhi_pd (x2, x2));
        const double v0 = _mm_cvtsd_f64 (v2);
        const double v1 = _mm_cvtsd_f64 (_mm_unpackhi_pd (v2, v2));
        error += (x0 - lastX) - h;
        const bool twice0 = error >= h;
        if (twice0)
            error -= h;
        error += (x1 - x0) - h;
        const bool twice1 = error >= h;
        if (twice1)
            error -= h;
        // The second write of the first sample stays only when it is
        // written twice; otherwise the second sample writes over it.
        const int second = first + (twice0 ? 2 : 1);
        dest[first] = v0;
        dest[first + 1] = v0;
        dest[second] = v1;
        if (twice1)
            dest[second + 1] = v1;
        e = second - pos + (twice1 ? 1 : 0);
        samples += 2;
        lastX = x1;
        lastValue = v1;
        prevW = _mm_cvtsd_f64 (w2);
        lastW = _mm_cvtsd_f64 (_mm_unpackhi_pd (w2, w2));
        if (places != nullptr)
        {
            _mm_storeu_pd (places + recorded, w2);
            twiceMarks[recorded] = twice0 ? 1 : 0;
            twiceMarks[recorded + 1] = twice1 ? 1 : 0;
            recorded += 2;
        }
    };
#endif

    auto reached = [&] () TALVORA_INLINE { return pos + e >= until; };

    // Walks the current run from step j on; false when it stopped at `until`.
    // x moves by at most |x'| per unit of w, and w by the run's distance per
    // step (plus the rounding of 1 - u), so a step whose x lies `deficit`
    // short of taking a sample proves the next deficit / (|x'| distance)
    // steps short too, less what X's rounding could hide (the margin). Right
    // after a sample the deficit is h, and |x'| is bounded near the sample
    // (its largest value over the stretch around it), which lands the walk
    // close to the next sample where x moves slowly. Where x
    // runs back below the last sample the deficit grows, and the global
    // bound on |x'| crosses the stretch in a few evaluations.
    // For every run of this call.
    const bool bounded = std::isfinite (slope) && slope > 0.0 && std::isfinite (margin);
    const double perSlope = bounded ? 1.0 / slope : 0.0;
    const double room = h - margin;
    const double span = bounded && room > 0.0 ? 8.0 * room * perSlope : 0.0;
    const double turn = turnOfSlope (seg);

    auto walkRun = [&] () TALVORA_INLINE
    {
        const Run r = run;
        // One division per run: the bounds below allow for far more than
        // the rounding of multiplying by the inverses.
        const double perDistance = 1.0 / r.distance;
        const double perStep = bounded ? (1.0 - 1.0e-9) * perDistance * perSlope : 0.0;
        const double most = (double) r.last;
        int64_t i = j;

        // A guide is followed where x rises over the whole run by more
        // than X's rounding per step (see follow below).
        bool rising = false;
        if (bounded && r.last >= 1)
        {
            const double wFrom = 1.0 - r.start;
            const double wTo = 1.0 - (r.start - most * r.distance);
            const double least = flattest (seg, turn, wFrom - 1.0e-12, wTo + 1.0e-12) * (1.0 - 1.0e-9) - 1.0e-12 * slope;
            rising = least * r.distance > margin;
        }

        // Steps after one `deficit` short that cannot take a sample either.
        auto provenShort = [&] (double deficit) TALVORA_INLINE -> int64_t
        {
            const double steps = (deficit - margin) * perStep;
            return steps >= 1.0 ? (int64_t) (steps < most ? steps : most) : 0;
        };

        // Steps after a sample that cannot take the next one. The run is
        // cut into stretches of kStretch steps; a sample taken in one skips
        // as far as the largest |x'| from the stretch's start to `span`
        // (eight global gaps) past its end allows. Where x slows down the
        // gap then lands close to the next sample. Each stretch's gap is
        // worked out when the walk enters the one before, so that its
        // divisions are not on the walk's critical path.
        constexpr int64_t kStretch = 64;
        const double spanRatio = span * perDistance * (1.0 - 1.0e-12);
        const double spanSteps = spanRatio < most ? (double) (int64_t) spanRatio : std::min (spanRatio, most);
        const double roomPerStep = room * (1.0 - 1.0e-9) * perDistance;
        const double radius = (double) kStretch * r.distance + span;
        auto gapOfStretch = [&] (int64_t q) TALVORA_INLINE -> int64_t
        {
            const double first = (double) (q * kStretch);
            if (! (spanSteps >= 1.0) || first > most)
                return 0;
            const double from = 1.0 - (r.start - first * r.distance);
            const double local = steepest (seg, turn, from, from + radius) * (1.0 + 1.0e-9) + 1.0e-12 * slope;
            const double steps = std::min (roomPerStep / std::min (local, slope), spanSteps);
            return steps >= 1.0 ? (int64_t) steps : 0;
        };
        int64_t stretch = -2;
        int64_t stretchGap = 0;
        int64_t nextGap = 0;
        auto gapAfter = [&] (int64_t taken) TALVORA_INLINE -> int64_t
        {
            const int64_t q = taken / kStretch;
            if (q != stretch)
            {
                // A guided walk asks rarely: no gap worked out ahead.
                stretchGap = q == stretch + 1 && ! rising ? nextGap : gapOfStretch (q);
                if (! rising)
                    nextGap = gapOfStretch (q + 1);
                stretch = q;
            }
            return stretchGap;
        };
#if defined(__SSE2__)
        const __m128d start = _mm_set1_pd (r.start);
        const __m128d distance = _mm_set1_pd (r.distance);
        const __m128d one = _mm_set1_pd (1.0);
        const __m128d hh = _mm_set1_pd (h);
        const __m128d zero = _mm_setzero_pd();

        // A guide (the places of a walk of a curve with nearly the same x
        // and the same steps) says where the next sample will most likely
        // be: as far from the last one as its own next sample is from its
        // last. The guess is checked with X itself: the step before it takes
        // no sample and it does. Where x rises over the whole run by more
        // than X's rounding per step, the steps between the last sample and
        // the guess lie below the step before it, so none of them takes a
        // sample either. A wrong guess hands back to the stepping above.
        // The guesses do not wait on one another, and the branches of
        // stepping up to each sample go.

        // Without a guide, the walk's own last gap: where x' changes slowly
        // the gap in steps stays the same over many samples, and a guess one
        // off is moved by one and checked again.
        auto followSelf = [&] (int64_t k, bool& stop) TALVORA_INLINE -> int64_t
        {
            if (samples < 2 || ! (k >= j))
                return k;
            double at = (double) k;
            double gap = ((lastW - prevW) * perDistance + 0x1.8p52) - 0x1.8p52;
            if (! (gap >= 1.0))
                return k;
            const __m128d minusOne = _mm_set_pd (0.0, -1.0);
            int misses = 0;
            for (;;)
            {
                const double g = at + gap;
                if (! (g <= most))
                    break;
                const __m128d w = _mm_sub_pd (one, _mm_sub_pd (start, _mm_mul_pd (_mm_add_pd (_mm_set1_pd (g), minusOne), distance)));
                const __m128d x = xOfTwo (seg, w);
                const int mask = _mm_movemask_pd (_mm_cmpgt_pd (_mm_sub_pd (x, _mm_set1_pd (lastX)), hh));
                if (mask == 2)
                {
                    take (_mm_cvtsd_f64 (_mm_unpackhi_pd (w, w)), _mm_cvtsd_f64 (_mm_unpackhi_pd (x, x)));
                    at = g;
                    misses = 0;
                    if (reached())
                    {
                        stop = true;
                        break;
                    }
                    continue;
                }
                if (++misses > 2)
                    break;
                if (mask == 0)
                    gap += 1.0;
                else if (mask == 3 && gap > 1.0)
                    gap -= 1.0;
                else
                    break;
            }
            return (int64_t) at;
        };
        // Takes the samples after the one at step k while the guesses hold;
        // returns the step of the last sample taken, stop set when the walk
        // has reached `until`.
        auto follow = [&] (int64_t k, bool& stop) TALVORA_INLINE -> int64_t
        {
            if (samples >= guideCount)
                return followSelf (k, stop);
            // Steps are whole numbers in double (exact below 2^53); the
            // guide's gaps are rounded to whole steps by the 1.5 * 2^52 trick.
            constexpr double kRound = 0x1.8p52;
            auto gapAt = [&] (int n) TALVORA_INLINE
            {
                const double steps = (guide[n] - guide[n - 1]) * perDistance;
                return (steps + kRound) - kRound;
            };
            auto xPair = [&] (double g, __m128d& w) TALVORA_INLINE
            {
                w = _mm_sub_pd (one, _mm_sub_pd (start, _mm_mul_pd (_mm_set_pd (g, g - 1.0), distance)));
                return xOfTwo (seg, w);
            };
            // After a sample of this run, as far on as the guide's gap; at
            // the run's start, where the guide's sample lies on this run.
            double at = (double) k;
            double g = k >= j && samples > 0 ? at + gapAt (samples)
                                              : ((guide[samples] - (1.0 - r.start)) * perDistance + kRound) - kRound;

            // Two samples at a time while the guide lasts: their steps and
            // the steps before them side by side, the second checked against
            // the first; the next two worked out ahead.
            const int samplesBefore = samples;
            if (samples + 1 < guideCount)
            {
                const __m128d c0 = _mm_set1_pd (height.c0);
                const __m128d c1 = _mm_set1_pd (height.c1);
                const __m128d c2 = _mm_set1_pd (height.c2);
                const __m128d c3 = _mm_set1_pd (height.c3);
                const __m128d minusOne = _mm_set1_pd (-1.0);
                auto xTwo = [&] (__m128d gg, __m128d& wBefore, __m128d& wAt, __m128d& xBefore) TALVORA_INLINE
                {
                    wBefore = _mm_sub_pd (one, _mm_sub_pd (start, _mm_mul_pd (_mm_add_pd (gg, minusOne), distance)));
                    wAt = _mm_sub_pd (one, _mm_sub_pd (start, _mm_mul_pd (gg, distance)));
                    xBefore = xOfTwo (seg, wBefore);
                    return xOfTwo (seg, wAt);
                };
                double g1 = g + gapAt (samples + 1);
                __m128d wa, wb, xa;
                __m128d xb = xTwo (_mm_set_pd (g1, g), wa, wb, xa);
                for (;;)
                {
                    if (! (g > at && g1 > g && g1 <= most))
                        break;
                    const bool more = samples + 3 < guideCount;
                    const double n0 = more ? g1 + gapAt (samples + 2) : 0.0;
                    const double n1 = more ? n0 + gapAt (samples + 3) : 0.0;
                    __m128d nwa, nwb, nxa;
                    const __m128d nxb = xTwo (_mm_set_pd (n1, n0), nwa, nwb, nxa);

                    // Against the last sample, then the first of the two.
                    const __m128d last = _mm_unpacklo_pd (_mm_set_sd (lastX), xb);
                    const int before = _mm_movemask_pd (_mm_cmpgt_pd (_mm_sub_pd (xa, last), hh));
                    const int after = _mm_movemask_pd (_mm_cmpgt_pd (_mm_sub_pd (xb, last), hh));
                    if ((before | (after ^ 3)) != 0)
                        break;
                    const __m128d inner = _mm_add_pd (c2, _mm_mul_pd (wb, c3));
                    const __m128d v = _mm_add_pd (c0, _mm_mul_pd (wb, _mm_add_pd (c1, _mm_mul_pd (wb, inner))));
                    takeTwo (wb, xb, v);
                    at = g1;
                    if (reached())
                    {
                        stop = true;
                        return (int64_t) at;
                    }
                    if (! more)
                        break;
                    g = n0;
                    g1 = n1;
                    wa = nwa;
                    wb = nwb;
                    xa = nxa;
                    xb = nxb;
                }
                if (samples >= guideCount)
                    return (int64_t) at;
                // Past the samples the pairs took; with none taken the first
                // guess stands (a gap needs a sample before it).
                if (samples > samplesBefore)
                    g = at + gapAt (samples);
            }

            __m128d w;
            __m128d x = xPair (g, w);
            for (;;)
            {
                if (! (g > at && g <= most))
                    break;
                // The next guess and its X, worked out a sample ahead.
                const bool more = samples + 1 < guideCount;
                const double next = more ? g + gapAt (samples + 1) : 0.0;
                __m128d nextW;
                const __m128d nextX = xPair (next, nextW);

                // The check: step g - 1 (or the sample itself) takes none, g takes one.
                if (_mm_movemask_pd (_mm_cmpgt_pd (_mm_sub_pd (x, _mm_set1_pd (lastX)), hh)) != 2)
                    break;
                take (_mm_cvtsd_f64 (_mm_unpackhi_pd (w, w)), _mm_cvtsd_f64 (_mm_unpackhi_pd (x, x)));
                at = g;
                if (reached())
                {
                    stop = true;
                    break;
                }
                if (! more)
                    break;
                g = next;
                w = nextW;
                x = nextX;
            }
            return (int64_t) at;
        };
        if (rising && j == i && i < r.last)
        {
            // The run's first samples.
            bool stop = false;
            const int64_t taken = follow (i - 1, stop);
            if (stop)
            {
                j = taken + 1;
                return false;
            }
            if (taken >= i)
                i = std::max (i + 1, taken + 1 + gapAfter (taken));
        }
        while (i < r.last)
        {
            const double id = (double) i;
            const __m128d uu = _mm_sub_pd (start, _mm_mul_pd (_mm_set_pd (id + 1.0, id), distance));
            const __m128d w = _mm_sub_pd (one, uu);
            const __m128d x = xOfTwo (seg, w);
            const __m128d climb = _mm_sub_pd (x, _mm_set1_pd (lastX));
            const int mask = _mm_movemask_pd (_mm_cmpgt_pd (climb, hh));
            if (mask == 0)
            {
                // Rising, the gap has done what a proof can; the skip pays
                // where x has fallen back below the last sample.
                if (_mm_movemask_pd (_mm_cmplt_pd (climb, zero)) == 0)
                {
                    i += 2;
                    continue;
                }
                const __m128d deficit = _mm_sub_pd (hh, climb);
                const int64_t first = provenShort (_mm_cvtsd_f64 (deficit));
                const int64_t second = provenShort (_mm_cvtsd_f64 (_mm_unpackhi_pd (deficit, deficit)));
                i = std::max (i + 2 + second, i + 1 + first);
                continue;
            }

            // The second step is tested against what the first one took.
            const double x1 = _mm_cvtsd_f64 (_mm_unpackhi_pd (x, x));
            const double w1 = _mm_cvtsd_f64 (_mm_unpackhi_pd (w, w));
            int64_t taken = i + 1;
            if ((mask & 1) != 0)
            {
                take (_mm_cvtsd_f64 (w), _mm_cvtsd_f64 (x));
                taken = i;
                if (x1 - lastX > h)
                {
                    take (w1, x1);
                    taken = i + 1;
                }
            }
            else
                take (w1, x1);

            if (rising && ! reached())
            {
                bool stop = false;
                taken = follow (taken, stop);
                if (stop)
                {
                    j = taken + 1;
                    return false;
                }
            }
            i = std::max (i + 2, taken + 1 + gapAfter (taken));
            if (reached())
            {
                j = i;
                return false;
            }
        }
#endif
        while (i <= r.last)
        {
            const double w = 1.0 - (r.start - (double) i * r.distance);
            const double x = seg.X (w);
            if (x - lastX > h)
            {
                take (w, x);
                i += 1 + gapAfter (i);
                if (reached())
                {
                    j = i;
                    return false;
                }
            }
            else
                i += x < lastX ? 1 + provenShort (h - (x - lastX)) : 1;
        }
        return true;
    };

    auto plainStep = [&] (double at) TALVORA_INLINE
    {
        const double w = 1.0 - at;
        const double x = seg.X (w);
        if (x - lastX > h)
            take (w, x);
    };

    bool stopped = false;

    // A short walk is not worth the runs, nor stopping.
    if (m < 16)
    {
        for (double at = 1.0; at >= 0.0; at -= step)
            plainStep (at);
    }
    else
    {
        // Runs are tried once per binade, and only well above the walk's end.
        const double runFloor = 16.0 * step;
        double at = u;
        double tryBelow = retryBelow;

        // One place walks runs, so that the run loop stays inlined here.
        for (;;)
        {
            if (phase == Phase::inRun)
            {
                if (! walkRun())
                {
                    stopped = true;
                    break;
                }
                phase = Phase::stepping;
                at = run.start - (double) run.last * run.distance;
                at -= step;
                continue;
            }
            if (! (at >= 0.0))
                break;

            if (at < tryBelow && at > runFloor)
            {
                Run found;
                double foot = -1.0;
                const bool isRun = findRun (at, step, found, foot);
                tryBelow = foot;
                if (isRun && found.last >= 8)
                {
                    run = found;
                    j = 0;
                    phase = Phase::inRun;
                    continue;
                }
            }
            plainStep (at);
            at -= step;
            if (reached())
            {
                stopped = true;
                break;
            }
        }

        u = at;
        retryBelow = tryBelow;
    }

    if (! stopped)
    {
        if (e + 1 < m)
        {
            put (pos + e + 1, lastValue);
            result = e + 2;
        }
        else
            result = e + 1;
        phase = Phase::ended;
    }

    this->error = error;
    this->samples = samples;
    this->lastX = lastX;
    this->lastValue = lastValue;
    this->lastW = lastW;
    this->prevW = prevW;
    this->e = e;
    if (record != nullptr)
    {
        record->count = recorded;
        record->overflow = record->overflow || overflow;
    }
    return ! stopped;
}

template class splinecurve::Walk<Quadratic>;
template class splinecurve::Walk<Cubic>;

namespace
{
template <typename Segment>
int sampleSegment (const Segment& seg, int m, double* dest, int pos, int capacity, ScanRecord* record) noexcept
{
    splinecurve::Walk<Segment> walk;
    walk.start (seg, m, dest, pos, capacity, record);
    walk.advance (std::numeric_limits<int>::max());
    return walk.written();
}

} // namespace

int splinecurve::sample (const Quadratic& segment, int m, double* dest, int pos, int capacity, ScanRecord* record) noexcept
{
    return sampleSegment (segment, m, dest, pos, capacity, record);
}

int splinecurve::sample (const Cubic& segment, int m, double* dest, int pos, int capacity, ScanRecord* record) noexcept
{
    return sampleSegment (segment, m, dest, pos, capacity, record);
}


//==============================================================================
#if TALVORA_WIDE_PATH
TALVORA_WIDE void splineread::readGroupWide (int f, const double* cycle, double& position, double p, double* out,
                                             int count, double gain, double perSubSample) noexcept
{
    readGroupWideInline (f, cycle, position, p, out, count, gain, perSubSample);
}
#else
void splineread::readGroupWide (int f, const double* cycle, double& position, double p, double* out, int count,
                                double gain, double perSubSample) noexcept
{
    readGroup (f, cycle, position, p, out, count, gain, perSubSample);
}
#endif
