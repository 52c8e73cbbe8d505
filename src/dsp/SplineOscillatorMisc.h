#pragma once

#include "core/ParameterValue.h"
#include "dsp/VectorPath.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

/**
    Oscillator-4 points and how they travel.

    The waveform of oscillator 4 is a chain of at most 16 spline points. The
    points live in parameters 90 to 569 (30 values per point) so that they are
    saved, restored and automated with everything else. This file holds the
    three forms a point takes and the conversions between them:

    - the parameter block (params::osc4PointIndex (point, field)),
    - `SplineOscillatorPoint`: a point as the editor sees it (pixels, full
      modulation range),
    - `Osc4Data`: a point as the audio side holds it (fractions, half range),

    and `Osc4PointSet`, the store through which the 16 `Osc4Data` records reach
    the voices whole, without locks or allocation on the audio thread.
    `splinecurve` at the end draws one curve segment of the wave.
*/

/** The kind of a spline point. */
enum SplinePointType : int32_t
{
    splineStart = 0,      // only the first point
    splineLinear = 1,
    splineQuadratic = 2,
    splineCubic = 3,
    splineEndMarker = 10  // after the last point; not part of the chain
};

/** True for the types the renderer knows: start, linear, quadratic, cubic, end. */
constexpr bool isKnownSplinePointType (int type) noexcept
{
    return type == splineStart || type == splineLinear || type == splineQuadratic
        || type == splineCubic || type == splineEndMarker;
}

/** Unknown types become end markers before anything renders them. */
constexpr int sanitisedSplinePointType (int type) noexcept
{
    return isKnownSplinePointType (type) ? type : (int) splineEndMarker;
}

/** Field numbers inside one point's block of 30 parameter values. */
namespace osc4field
{
constexpr int presence = 0;     // always written as 1.0
constexpr int x = 1;            // x of the point / width; controls at 3 and 5
constexpr int y = 2;            // y of the point / height; controls at 4 and 6
constexpr int type = 7;         // SplinePointType as int / 100
constexpr int firstSlot = 8;    // slot s starts at 8 + 5 s
constexpr int slotStride = 5;
constexpr int slotDirection = 0;  // int / 100
constexpr int slotDepth = 1;      // half range
constexpr int slotSource = 2;     // int / 100
constexpr int slotSpeed = 3;      // raw
constexpr int slotShape = 4;      // int / 100

constexpr int coordinateX (int pair) noexcept { return x + 2 * pair; }
constexpr int coordinateY (int pair) noexcept { return y + 2 * pair; }
constexpr int slotField (int slot, int field) noexcept { return firstSlot + slotStride * slot + field; }
} // namespace osc4field

/** Modulation slot codes. */
namespace osc4mod
{
enum Direction : int32_t { off = 0, horizontal = 1, vertical = 2 };

enum Source : int32_t
{
    ownShapeNote = 0,      // phase advance per waveform cycle
    ownShapeBeat = 1,      // speed * 32 periods per beat
    lfo1 = 2,
    lfo2 = 3,
    ampEnvelope = 4,
    filterEnvelope = 5,
    ampEnvelopeInverted = 6,
    filterEnvelopeInverted = 7,
    ownShapeHz = 8         // 100 * speed^2 Hz
};

enum Shape : int32_t
{
    sine = 0,
    triangle = 1,          // leaves the point where it is
    saw = 2,
    reverseSaw = 3,
    square = 4,
    ownWave = 5,           // this oscillator's last cycle
    capturedWave = 6,
    sampleAndHold = 7,
    sampleAndGlide = 8
};

/** Slot 1's speed replaces an exact 0 when written. */
constexpr double kDefaultControlSpeed = 0.49751243781094534;
} // namespace osc4mod

/** One modulation slot as the audio side holds it. */
struct Osc4ModSlot
{
    int32_t direction;
    double depth;      // half range, as a fraction of width or height
    double speed;
    int32_t shape;
    int32_t source;
};

/** One spline point as the audio side holds it (fractions of width and height). */
struct Osc4Data
{
    double x[3];       // the point, control point 1, control point 2
    double y[3];
    int32_t type;
    Osc4ModSlot slots[3];
};

static_assert (std::is_trivially_copyable<Osc4Data>::value, "Osc4Data is copied as words");
static_assert (sizeof (Osc4Data) % sizeof (uint64_t) == 0, "Osc4Data is copied as words");

/** A record of type end marker with every slot off. */
Osc4Data makeEndMarkerPoint() noexcept;

/** One modulation slot as the editor holds it. */
struct SplineModulationSlot
{
    int32_t direction = 0;
    int32_t shape = 0;
    double depth = 0.0;    // full range, as a fraction of width or height
    double speed = 0.0;
    int32_t source = 0;
};

/**
    One point of the editor's chain: coordinates in the editor's pixels, the
    modulation depth as the full range. The editor keeps its own list links and
    hands the chain to the codec below as a plain array, first point first.
*/
struct SplineOscillatorPoint
{
    SplinePointType type = splineEndMarker;
    SplineModulationSlot slots[3];
    double x[3] {};        // the point, control point 1, control point 2
    double y[3] {};
    double width = 999.0;
    double height = 999.0;
    int index = -1;
};

/**
    Conversions between the parameter block and the point forms. All functions
    take the whole parameter value array (element p = parameter p, at least
    570 values) and touch only indices 90 to 569.
*/
namespace Osc4Codec
{
/** Integer fields are stored as n / 100 and read back rounded in single precision. */
int readInt (double value) noexcept;
inline double writeInt (int value) noexcept { return value / 100.0; }

/**
    Writes the editor's chain into the block: fields 0 to 22 of points 0 to
    count - 1 (coordinates as fractions of each point's width and height, depth
    halved), then the end marker into field 7 of every later point; the other
    fields of those points keep what they held. Slot 1's speed of exactly 0 is
    replaced by osc4mod::kDefaultControlSpeed in the point as well.
    A chain of more than 16 points writes points 0 to 15 and stops there
    without marking anything: it returns false, and the caller must not
    announce the change. Points get their index set. Returns true when the
    block holds the whole chain.
*/
bool encodePoints (SplineOscillatorPoint* points, int count, double* values) noexcept;
bool encodePoints (SplineOscillatorPoint* points, int count, ParameterValue* values) noexcept;

/**
    Reads the editor's chain from the block. Points are read from index 0 on
    until one whose stored x reaches 1.0 (the right edge) or until index 15;
    the chain then ends before the first point of type end marker. Each point
    gets width, height and index. Returns the number of chain points written
    to `out` (at least 1 when maxPoints > 0), never more than maxPoints.
*/
int decodePoints (const double* values, double width, double height,
                  SplineOscillatorPoint* out, int maxPoints) noexcept;
int decodePoints (const ParameterValue* values, double width, double height,
                  SplineOscillatorPoint* out, int maxPoints) noexcept;

/**
    Copies the 16 points of the block into audio-side records: coordinates and
    depth/speed as stored, integer fields rounded. Values that are not finite
    read as 0.
*/
void decodeParameters (const double* values, Osc4Data* dest16) noexcept;
void decodeParameters (const ParameterValue* values, Osc4Data* dest16) noexcept;

/** Writes 1.0 into field 0 of all 16 points (done whenever the engine copy is refreshed). */
void writePresenceMarks (double* values) noexcept;
void writePresenceMarks (ParameterValue* values) noexcept;
} // namespace Osc4Codec

/**
    The engine's 16 point records, handed from a publisher (block start or the
    message thread) to the oscillators on the audio thread.

    Two buffers and a sequence count: a publish writes the buffer the readers
    are not using and then flips the count; a reader copies the current buffer
    and checks afterwards that no second publish started writing into it. So a
    reader never keeps a half-written set, and neither side waits. Publishers
    are serialised by a flag: a publish that finds another one running returns
    false and should be retried later (the processor keeps its dirty flag).

    The data are stored as atomic words, so the concurrent copy is well
    defined. getChangeCounter() is the 4-bit counter of completed publishes;
    getVersion() is the full count that the oscillators compare.
*/
class Osc4PointSet
{
public:
    static constexpr int kNumPoints = 16;

    /** All points end markers, version 0. */
    Osc4PointSet() noexcept;

    Osc4PointSet (const Osc4PointSet&) = delete;
    Osc4PointSet& operator= (const Osc4PointSet&) = delete;

    /** Decodes parameters 90 to 569 and publishes them. Any thread; no allocation. */
    bool publishFromParameters (const double* values) noexcept;
    bool publishFromParameters (const ParameterValue* values) noexcept;

    /** Publishes 16 records. Any thread; no allocation. */
    bool publish (const Osc4Data* points16) noexcept;

    /**
        Copies the latest complete set into dest16 and its version into
        *version (may be null). Returns false, leaving dest16 unspecified, only
        when publishes kept overtaking the copy; try again later. Any thread,
        no waiting, no allocation.
    */
    bool read (Osc4Data* dest16, uint32_t* version = nullptr) const noexcept;

    /** Number of completed publishes. */
    uint32_t getVersion() const noexcept { return sequence.load (std::memory_order_acquire) >> 1; }

    /** Bits 0-3 of the version: the change counter the points carry. */
    int getChangeCounter() const noexcept { return (int) (getVersion() & 15u); }

private:
    template <typename Value>
    bool publishDecoded (const Value* values) noexcept;

    static constexpr int kWords = (int) (sizeof (Osc4Data) * kNumPoints / sizeof (uint64_t));
    static_assert (std::atomic<uint64_t>::is_always_lock_free, "the point store needs lock-free words");

    // Even while idle, odd while a publish writes; the buffer in use is
    // (sequence >> 1) & 1.
    std::atomic<uint32_t> sequence { 0 };
    std::atomic<bool> publishing { false };
    std::atomic<uint64_t> words[2][kWords];
};

//==============================================================================
/**
    Drawing of one curve segment of the wave, normalised to x and w in [0, 1].

    A segment is resampled to m roughly even steps in x: its parameter w walks
    from 0 in steps of 1 / ((m + 1) * divisor) (as u = 1 - w counted down by
    repeated subtraction) and a sample is taken whenever x has moved on by more
    than 1 / (m + 1) since the last one; a carried error sometimes writes a
    sample twice. Which steps take a sample depends on x alone, so a
    ScanRecord can keep their w and replay() redraws a segment whose heights
    moved without walking again.

    The walk skips steps that provably take no sample and takes the others two
    at a time, but the steps it evaluates are exactly those of the plain walk:
    the places, their number and every write position are the same. Heights
    are evaluated in powers of w (a few 1e-16 from the Bernstein form).
*/
namespace splinecurve
{
/** x(w) = 2 a w (1 - w) + w^2; heights y0, y1 (control) and y2. */
struct Quadratic
{
    double a, y0, y1, y2;
    double X (double w) const noexcept { return 2.0 * a * w * (1.0 - w) + w * w; }
};

/** x(w) with controls at a1 and a2; heights y0, y1, y2 (controls) and y3. */
struct Cubic
{
    double a1, a2, y0, y1, y2, y3;
    double X (double w) const noexcept
    {
        const double v = 1.0 - w;
        return 3.0 * a1 * w * v * v + 3.0 * a2 * w * w * v + w * w * w;
    }
};

/** Step divisors: steps per sample spacing of the walk. */
constexpr double kQuadraticDivisor = 15.0;
constexpr double kCubicDivisor = 12.0;

/** Heights in powers of w, evaluated by Horner's rule. */
struct PowerForm
{
    double c0, c1, c2, c3;
    double operator() (double w) const noexcept { return c0 + w * (c1 + w * (c2 + w * c3)); }
};

/** Where a walk took its samples; count grows, overflow is set when full. */
struct ScanRecord
{
    double* places;
    uint8_t* twice;
    int capacity;
    int count;
    bool overflow;
};

/**
    Walks the segment and writes its samples to dest[pos], dest[pos + 1], ...
    (writes outside [0, capacity) are dropped). record may be null. Returns how
    many entries from pos on were written (always one run): fewer than m when
    x runs backwards somewhere and the walk took fewer samples.
*/
int sample (const Quadratic& segment, int m, double* dest, int pos, int capacity, ScanRecord* record) noexcept;
int sample (const Cubic& segment, int m, double* dest, int pos, int capacity, ScanRecord* record) noexcept;

/** Steps of the walk whose values of u are start - j distance, j = 0 ... last
    (see findRun in the source). */
struct Run
{
    double start = 0.0;
    double distance = 0.0;
    int64_t last = 0;
};

/**
    sample() as a walk that can stop once a given entry is written and go on
    from there later: a long segment is then drawn only as far as it is read.
    Entries are written in increasing order, so while the walk is stopped the
    ones before ready() hold what one whole walk leaves there; walked to its
    end it writes, records and returns exactly what sample() does.
*/
template <typename Segment>
class Walk
{
public:
    void start (const Segment& segment, int m, double* dest, int pos, int capacity, ScanRecord* record) noexcept;

    /** The places of a walk with the same sample count and nearly the same
        x (`count` of them), as guesses of where this one takes its samples:
        each guess is checked, so a guide decides speed only, never the
        places. Read while the walk goes on; reset by start(). */
    void guideBy (const double* places, int count) noexcept
    {
        guide = count > 0 ? places : nullptr;
        guideCount = count > 0 ? count : 0;
    }

    /** Walks on until entry `until` is written or the walk ends; true once it has ended. */
    bool advance (int until) noexcept;

    /** From here on, writes below `floor` are dropped and no places are
        recorded: for going on with a walk whose earlier entries later
        segments have since overwritten. */
    void resumeFrom (int floor) noexcept
    {
        writeFloor = floor > 0 ? floor : 0;
        record = nullptr;
    }

    bool ended() const noexcept { return phase == Phase::ended; }
    /** Entries before this one are written for good. */
    int ready() const noexcept { return pos + (phase == Phase::ended ? result : e + 1); }
    /** Once ended: what sample() returns. */
    int written() const noexcept { return result; }

private:
    enum class Phase { stepping, inRun, ended };

    Segment seg {};
    PowerForm height {};
    int m = 1;
    double* dest = nullptr;
    int pos = 0;
    int capacity = 0;
    int writeFloor = 0;
    ScanRecord* record = nullptr;
    double h = 0.5;
    double step = 0.0;
    double slope = 0.0;       // how fast x can move
    double margin = 0.0;      // rounding allowance of the skip
    double error = 0.0;
    double lastX = 0.0;
    double lastValue = 0.0;
    double lastW = -1.0;      // places of the last two samples
    double prevW = -1.0;
    int e = -1;
    double u = 1.0;
    double retryBelow = 2.0;
    Run run {};
    int64_t j = 0;
    Phase phase = Phase::ended;
    int result = 0;
    const double* guide = nullptr;
    int guideCount = 0;
    int samples = 0;          // taken so far
};

// Replays are drawn for every curve of every cycle, most of them a few
// entries long: inline, so that a drawing pays no calls for them.
namespace detail
{
// Heights in powers of w: half the operations of the Bernstein form, and two
// places can be evaluated at once.
inline PowerForm powerForm (const Quadratic& s) noexcept
{
    return { s.y0, 2.0 * (s.y1 - s.y0), s.y0 - 2.0 * s.y1 + s.y2, 0.0 };
}

inline PowerForm powerForm (const Cubic& s) noexcept
{
    return { s.y0, 3.0 * (s.y1 - s.y0), 3.0 * (s.y0 - 2.0 * s.y1 + s.y2), s.y3 - s.y0 + 3.0 * (s.y1 - s.y2) };
}

// Writes the heights at `count` places, each once or (twice[i]) twice, from
// dest[at] on; returns the index after the last entry written. Inside the
// table every place but the last writes its value at two entries and moves
// on by one or two: a second write that should not stay is overwritten by
// the next place. Places that are not doubled (most of them) are written
// side by side instead, which leaves the same entries. Writes outside
// [0, capacity) are dropped.
inline bool fitsPaired (int count, int at, int capacity) noexcept
{
    return count > 0 && at >= 0 && (int64_t) at + 2 * (int64_t) count <= (int64_t) capacity;
}

inline uint32_t fourMarks (const uint8_t* twice) noexcept
{
    uint32_t marks;
    std::memcpy (&marks, twice, sizeof (marks));
    return marks;
}

inline int writeLastPlaces (const PowerForm& height, const double* places, const uint8_t* twice, int i, int count,
                     double* dest, int at, int capacity) noexcept
{
    const int paired = count - 1;
    if (fitsPaired (count, at, capacity))
        for (; i < paired; ++i)
        {
            const double v = height (places[i]);
            dest[at] = v;
            dest[at + 1] = v;
            at += twice[i] != 0 ? 2 : 1;
        }

    for (; i < count; ++i)
    {
        const double v = height (places[i]);
        if (at >= 0 && at < capacity)
            dest[at] = v;
        ++at;
        if (twice[i] != 0)
        {
            if (at >= 0 && at < capacity)
                dest[at] = v;
            ++at;
        }
    }
    return at;
}

inline int writePlaces (const PowerForm& height, const double* places, const uint8_t* twice, int count,
                 double* dest, int at, int capacity) noexcept
{
    int i = 0;
#if defined(__SSE2__)
    if (fitsPaired (count, at, capacity))
    {
        const int paired = count - 1;
        const __m128d c0 = _mm_set1_pd (height.c0);
        const __m128d c1 = _mm_set1_pd (height.c1);
        const __m128d c2 = _mm_set1_pd (height.c2);
        const __m128d c3 = _mm_set1_pd (height.c3);
        auto heights = [&] (const double* w2) noexcept
        {
            const __m128d w = _mm_loadu_pd (w2);
            const __m128d inner = _mm_add_pd (c2, _mm_mul_pd (w, c3));
            return _mm_add_pd (c0, _mm_mul_pd (w, _mm_add_pd (c1, _mm_mul_pd (w, inner))));
        };
        for (; i + 3 < paired; i += 4)
        {
            const __m128d y = heights (places + i);
            const __m128d z = heights (places + i + 2);
            if (fourMarks (twice + i) == 0)
            {
                _mm_storeu_pd (dest + at, y);
                _mm_storeu_pd (dest + at + 2, z);
                at += 4;
                continue;
            }
            _mm_storeu_pd (dest + at, _mm_unpacklo_pd (y, y));
            at += twice[i] != 0 ? 2 : 1;
            _mm_storeu_pd (dest + at, _mm_unpackhi_pd (y, y));
            at += twice[i + 1] != 0 ? 2 : 1;
            _mm_storeu_pd (dest + at, _mm_unpacklo_pd (z, z));
            at += twice[i + 2] != 0 ? 2 : 1;
            _mm_storeu_pd (dest + at, _mm_unpackhi_pd (z, z));
            at += twice[i + 3] != 0 ? 2 : 1;
        }
        // Two more when they are there: short curves often end so.
        if (i + 1 < paired)
        {
            const __m128d y = heights (places + i);
            if ((twice[i] | twice[i + 1]) == 0)
            {
                _mm_storeu_pd (dest + at, y);
                at += 2;
            }
            else
            {
                _mm_storeu_pd (dest + at, _mm_unpacklo_pd (y, y));
                at += twice[i] != 0 ? 2 : 1;
                _mm_storeu_pd (dest + at, _mm_unpackhi_pd (y, y));
                at += twice[i + 1] != 0 ? 2 : 1;
            }
            i += 2;
        }
    }
#endif
    return writeLastPlaces (height, places, twice, i, count, dest, at, capacity);
}

// writePlaces for places none of which is written twice, inside the table:
// the heights go to out[0], out[1], ... two at a time. Returns count.
inline int writeHeights (const PowerForm& height, const double* places, int count, double* out) noexcept
{
    int i = 0;
#if defined(__SSE2__)
    const __m128d c0 = _mm_set1_pd (height.c0);
    const __m128d c1 = _mm_set1_pd (height.c1);
    const __m128d c2 = _mm_set1_pd (height.c2);
    const __m128d c3 = _mm_set1_pd (height.c3);
    for (; i + 1 < count; i += 2)
    {
        const __m128d w = _mm_loadu_pd (places + i);
        const __m128d inner = _mm_add_pd (c2, _mm_mul_pd (w, c3));
        _mm_storeu_pd (out + i, _mm_add_pd (c0, _mm_mul_pd (w, _mm_add_pd (c1, _mm_mul_pd (w, inner)))));
    }
#endif
    for (; i < count; ++i)
        out[i] = height (places[i]);
    return count;
}

template <typename Segment>
inline int replaySegment (const Segment& seg, int m, const double* places, const uint8_t* twice, int count,
                   double* dest, int pos, int capacity) noexcept
{
    const PowerForm height = powerForm (seg);
    const int e = writePlaces (height, places, twice, count, dest, pos, capacity) - pos - 1;

    if (e + 1 < m)
    {
        if (pos + e + 1 >= 0 && pos + e + 1 < capacity)
            dest[pos + e + 1] = count > 0 ? height (places[count - 1]) : seg.y0;
        return e + 2;
    }
    return e + 1;
}
} // namespace detail

/** The writes of sample() from the count places a walk of the same x took. */
inline int replay (const Quadratic& segment, int m, const double* places, const uint8_t* twice, int count,
                   double* dest, int pos, int capacity) noexcept
{
    return detail::replaySegment (segment, m, places, twice, count, dest, pos, capacity);
}

inline int replay (const Cubic& segment, int m, const double* places, const uint8_t* twice, int count,
                   double* dest, int pos, int capacity) noexcept
{
    return detail::replaySegment (segment, m, places, twice, count, dest, pos, capacity);
}
} // namespace splinecurve

//==============================================================================
/**
    The modulated read-out's inner loop: `count` output samples, each the sum
    of F table entries at positions that move on by p per sub-sample, clamped
    in single precision, scaled and added into out. Every read must lie inside
    the table (the caller checks). The position keeps its chain of additions;
    two output samples are summed, clamped and scaled side by side, each lane
    with the same operations in the same order as the one-by-one loop.
*/
namespace splineread
{
template <int F>
inline void readGroupOf (const double* cycle, double& position, double p, double* out, int count, double gain,
                         double perSubSample) noexcept
{
    double at = position;
    int i = 0;
#if defined(__SSE2__)
    // max (lo, v) is lo when v < lo and v otherwise (a NaN too), then min
    // (hi, that) likewise: std::clamp's choice, lane by lane.
    const __m128 lo = _mm_set1_ps (-4.0f);
    const __m128 hi = _mm_set1_ps (4.0f);
    const __m128d gains = _mm_set1_pd (gain);
    const __m128d scale = _mm_set1_pd (perSubSample);
    const __m128d half = _mm_set1_pd (0.5);
    for (; i + 1 < count; i += 2)
    {
        int first[std::size_t (F)], second[std::size_t (F)];
        for (int s = 0; s < F; ++s)
        {
            first[s] = (int) at;
            at += p;
        }
        for (int s = 0; s < F; ++s)
        {
            second[s] = (int) at;
            at += p;
        }
        __m128d sum = _mm_setzero_pd();
        for (int s = 0; s < F; ++s)
            sum = _mm_add_pd (sum, _mm_loadh_pd (_mm_load_sd (cycle + first[s]), cycle + second[s]));
        const __m128 clamped = _mm_min_ps (hi, _mm_max_ps (lo, _mm_cvtpd_ps (sum)));
        const __m128d value = _mm_mul_pd (gains, _mm_sub_pd (_mm_mul_pd (_mm_cvtps_pd (clamped), scale), half));
        _mm_storeu_pd (out + i, _mm_add_pd (_mm_loadu_pd (out + i), value));
    }
#endif
    for (; i < count; ++i)
    {
        double sum = 0.0;
        for (int s = 0; s < F; ++s)
        {
            sum += cycle[(int) at];
            at += p;
        }
        const float clamped = std::clamp ((float) sum, -4.0f, 4.0f);
        out[i] += gain * ((double) clamped * perSubSample - 0.5);
    }
    position = at;
}

/** readGroupOf for oversampling f (1 to 10; more reads as 10). */
inline void readGroup (int f, const double* cycle, double& position, double p, double* out, int count, double gain,
                       double perSubSample) noexcept
{
    switch (f)
    {
        case 1: readGroupOf<1> (cycle, position, p, out, count, gain, perSubSample); return;
        case 2: readGroupOf<2> (cycle, position, p, out, count, gain, perSubSample); return;
        case 3: readGroupOf<3> (cycle, position, p, out, count, gain, perSubSample); return;
        case 4: readGroupOf<4> (cycle, position, p, out, count, gain, perSubSample); return;
        case 5: readGroupOf<5> (cycle, position, p, out, count, gain, perSubSample); return;
        case 6: readGroupOf<6> (cycle, position, p, out, count, gain, perSubSample); return;
        case 7: readGroupOf<7> (cycle, position, p, out, count, gain, perSubSample); return;
        case 8: readGroupOf<8> (cycle, position, p, out, count, gain, perSubSample); return;
        case 9: readGroupOf<9> (cycle, position, p, out, count, gain, perSubSample); return;
        default: readGroupOf<10> (cycle, position, p, out, count, gain, perSubSample); return;
    }
}

/**
    The step that the additions at += p make while `at` and the n positions
    after it stay in at's binade [2^e, 2^(e+1)): each sum is rounded to the
    same unit u = 2^(e-52), so unless p lies exactly halfway between two
    multiples of u, every one of them adds p rounded to u, and the n-th
    position is exactly at + n * that. Returns it, or -1 where that does not
    hold (a binade crossed, a tie, at not positive and normal, p negative or
    not a number): those positions need the chain of additions.
*/
inline double exactStep (double at, double p, int n) noexcept
{
    if (! (at >= 0x1p-960 && at < 0x1p30 && p >= 0.0))
        return -1.0;
    uint64_t bits = 0;
    std::memcpy (&bits, &at, sizeof (bits));
    const uint64_t exponent = bits & 0x7ff0000000000000ull;
    const uint64_t topBits = exponent + (uint64_t { 1 } << 52);
    const uint64_t unitBits = exponent - (uint64_t { 52 } << 52);
    double top = 0.0, unit = 0.0;
    std::memcpy (&top, &topBits, sizeof (top));
    std::memcpy (&unit, &unitBits, sizeof (unit));
    // Both positions are multiples of u in the binade: the difference is exact,
    // and so are p minus it and at + n times it while below the top.
    const double step = (at + p) - at;
    const double last = at + (double) n * step;
    if (! (last < top) || std::abs (p - step) == 0.5 * unit)
        return -1.0;
    return step;
}

#if TALVORA_WIDE_PATH
/**
    readGroupOf four output samples at a time: a quad whose positions stay in
    one binade takes them as at + n step (exactStep), four lanes side by side
    with no chain; any other quad walks the chain. Every lane sums, clamps and
    scales as the one-by-one loop does, and the position ends where the
    chain would.
*/
template <int F>
TALVORA_WIDE_INLINE void readGroupOfWide (const double* cycle, double& position, double p, double* out, int count,
                                          double gain, double perSubSample) noexcept
{
    double at = position;
    const __m128 lo = _mm_set1_ps (-4.0f);
    const __m128 hi = _mm_set1_ps (4.0f);
    const __m256d gains = _mm256_set1_pd (gain);
    const __m256d scale = _mm256_set1_pd (perSubSample);
    const __m256d half = _mm256_set1_pd (0.5);
    const __m256d lanes = _mm256_set_pd (3.0 * F, 2.0 * F, 1.0 * F, 0.0);
    int i = 0;
    // Most groups of eight stay in one binade: one step for all of them.
    const double groupStep = count == 8 ? exactStep (at, p, 8 * F) : -1.0;
    for (; i + 3 < count; i += 4)
    {
        __m256d sum = _mm256_setzero_pd();
        const double step = groupStep >= 0.0 ? groupStep : exactStep (at, p, 4 * F);
        if (step >= 0.0)
        {
            const __m256d steps = _mm256_set1_pd (step);
            const __m256d every = _mm256_castsi256_pd (_mm256_set1_epi64x (-1));
            __m256d v = _mm256_add_pd (_mm256_set1_pd (at), _mm256_mul_pd (lanes, steps));
            for (int s = 0; s < F; ++s)
            {
                const __m128i index = _mm256_cvttpd_epi32 (v);
                sum = _mm256_add_pd (sum, _mm256_mask_i32gather_pd (_mm256_setzero_pd(), cycle, index, every, 8));
                v = _mm256_add_pd (v, steps);
            }
            at += (4.0 * F) * step;
        }
        else
        {
            int index[4][std::size_t (F)];
            for (int l = 0; l < 4; ++l)
                for (int s = 0; s < F; ++s)
                {
                    index[l][s] = (int) at;
                    at += p;
                }
            for (int s = 0; s < F; ++s)
            {
                const __m128d low = _mm_loadh_pd (_mm_load_sd (cycle + index[0][s]), cycle + index[1][s]);
                const __m128d high = _mm_loadh_pd (_mm_load_sd (cycle + index[2][s]), cycle + index[3][s]);
                sum = _mm256_add_pd (sum, _mm256_insertf128_pd (_mm256_castpd128_pd256 (low), high, 1));
            }
        }
        const __m128 clamped = _mm_min_ps (hi, _mm_max_ps (lo, _mm256_cvtpd_ps (sum)));
        const __m256d value = _mm256_mul_pd (gains, _mm256_sub_pd (_mm256_mul_pd (_mm256_cvtps_pd (clamped), scale), half));
        _mm256_storeu_pd (out + i, _mm256_add_pd (_mm256_loadu_pd (out + i), value));
    }
    position = at;
    if (i < count)
        readGroupOf<F> (cycle, position, p, out + i, count - i, gain, perSubSample);
}

/** readGroupOfWide for oversampling f (1 to 10; more reads as 10), inline. */
TALVORA_WIDE_INLINE void readGroupWideInline (int f, const double* cycle, double& position, double p, double* out,
                                              int count, double gain, double perSubSample) noexcept
{
    switch (f)
    {
        case 1: readGroupOfWide<1> (cycle, position, p, out, count, gain, perSubSample); return;
        case 2: readGroupOfWide<2> (cycle, position, p, out, count, gain, perSubSample); return;
        case 3: readGroupOfWide<3> (cycle, position, p, out, count, gain, perSubSample); return;
        case 4: readGroupOfWide<4> (cycle, position, p, out, count, gain, perSubSample); return;
        case 5: readGroupOfWide<5> (cycle, position, p, out, count, gain, perSubSample); return;
        case 6: readGroupOfWide<6> (cycle, position, p, out, count, gain, perSubSample); return;
        case 7: readGroupOfWide<7> (cycle, position, p, out, count, gain, perSubSample); return;
        case 8: readGroupOfWide<8> (cycle, position, p, out, count, gain, perSubSample); return;
        case 9: readGroupOfWide<9> (cycle, position, p, out, count, gain, perSubSample); return;
        default: readGroupOfWide<10> (cycle, position, p, out, count, gain, perSubSample); return;
    }
}
#endif

/** readGroup on the wide path (where the build has one; the caller asks
    vectorpath::useWide() first). */
void readGroupWide (int f, const double* cycle, double& position, double p, double* out, int count, double gain,
                    double perSubSample) noexcept;
} // namespace splineread
