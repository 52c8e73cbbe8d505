#pragma once

#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
 #include <emmintrin.h>
#endif

#include "dsp/FilterCommon.h"
#include "dsp/VectorPath.h"

// Array bounds below are cast to std::size_t: the stage counts are ints
// everywhere else.

namespace filtering
{
/** Per-group values of a ladder's sample loop. */
struct LadderLoopCoefficients
{
    double g;          // one-pole gain
    double feedback;   // resonance times the loop gain
    double resonance;  // weight of the colour stage
    double limit;      // bound of the fed-back signal with drive
    double driveGain;  // soft-clipper input gain with drive
};

namespace ladder_detail
{
/** Two neighbouring stage values, in one SSE2 register where there is one.
    Both versions do the same IEEE operations per lane, so they agree bit for
    bit. */
#if defined(__SSE2__)
struct Pair
{
    __m128d r;

    static Pair load (const double* p) noexcept { return { _mm_loadu_pd (p) }; }
    static Pair splat (double x) noexcept { return { _mm_set1_pd (x) }; }
    static Pair of (double lo, double hi) noexcept { return { _mm_setr_pd (lo, hi) }; }
    void store (double* p) const noexcept { _mm_storeu_pd (p, r); }
    double low() const noexcept { return _mm_cvtsd_f64 (r); }
    double high() const noexcept { return _mm_cvtsd_f64 (_mm_unpackhi_pd (r, r)); }

    // (a.high, b.low): the pair one stage further down.
    static Pair straddle (Pair a, Pair b) noexcept { return { _mm_shuffle_pd (a.r, b.r, 1) }; }
    // (0, a.low): the first pair one stage further down.
    static Pair shiftIn (Pair a) noexcept { return { _mm_unpacklo_pd (_mm_setzero_pd(), a.r) }; }

    friend Pair operator+ (Pair a, Pair b) noexcept { return { _mm_add_pd (a.r, b.r) }; }
    friend Pair operator- (Pair a, Pair b) noexcept { return { _mm_sub_pd (a.r, b.r) }; }
    friend Pair operator* (Pair a, Pair b) noexcept { return { _mm_mul_pd (a.r, b.r) }; }
    friend Pair operator/ (Pair a, Pair b) noexcept { return { _mm_div_pd (a.r, b.r) }; }

    // Per lane a < b ? a : b and a > b ? a : b, NaN handling included.
    static Pair lessOf (Pair a, Pair b) noexcept { return { _mm_min_pd (a.r, b.r) }; }
    static Pair greaterOf (Pair a, Pair b) noexcept { return { _mm_max_pd (a.r, b.r) }; }
    static Pair magnitude (Pair a) noexcept { return { _mm_andnot_pd (_mm_set1_pd (-0.0), a.r) }; }
};
#else
struct Pair
{
    double lo, hi;

    static Pair load (const double* p) noexcept { return { p[0], p[1] }; }
    static Pair splat (double x) noexcept { return { x, x }; }
    static Pair of (double l, double h) noexcept { return { l, h }; }
    void store (double* p) const noexcept { p[0] = lo; p[1] = hi; }
    double low() const noexcept { return lo; }
    double high() const noexcept { return hi; }

    static Pair straddle (Pair a, Pair b) noexcept { return { a.hi, b.lo }; }
    static Pair shiftIn (Pair a) noexcept { return { 0.0, a.lo }; }

    friend Pair operator+ (Pair a, Pair b) noexcept { return { a.lo + b.lo, a.hi + b.hi }; }
    friend Pair operator- (Pair a, Pair b) noexcept { return { a.lo - b.lo, a.hi - b.hi }; }
    friend Pair operator* (Pair a, Pair b) noexcept { return { a.lo * b.lo, a.hi * b.hi }; }
    friend Pair operator/ (Pair a, Pair b) noexcept { return { a.lo / b.lo, a.hi / b.hi }; }

    static Pair lessOf (Pair a, Pair b) noexcept { return { a.lo < b.lo ? a.lo : b.lo, a.hi < b.hi ? a.hi : b.hi }; }
    static Pair greaterOf (Pair a, Pair b) noexcept { return { a.lo > b.lo ? a.lo : b.lo, a.hi > b.hi ? a.hi : b.hi }; }
    static Pair magnitude (Pair a) noexcept { return { std::abs (a.lo), std::abs (a.hi) }; }
};
#endif
} // namespace ladder_detail

/** The sample loop both ladder filters share: Stages one-pole stages in one
    feedback loop, run twice per sample on the held input (2x oversampling
    without an interpolator), then a smoothing stage whose output adds the
    resonant colour. With drive, the fed-back signal is limited and the input
    soft-clipped; with smoothing, the low-cutoff smoother follows.

    Stage k computes y[k] = b y[k] + h (in_k + previous in_k), in_k being the
    new y[k-1] or, for the first stage, the ladder input u. Run in that order,
    every stage waits for the one before it, and the next pass's feedback
    waits for the whole ladder. As all stages share b and h, a pass is
    computed instead as

        y'[k] = w[k] + h^(k+1) v,           v = u + previous u,
        w[k]  = b y[k] + (1 + b) s[k],      s[k] = sum_{i<k} h^(k-i) y[i],

    where w does not depend on u: the feedback only waits for one
    multiply-add after u. The loop keeps w and v rather than y (the next
    pass's w is b w + (1 + b) s(w) + d v), building s two stages at a time
    (s[k+2] = h^2 s[k] + (1 + b) (h^2 w[k] + h w[k+1]) with the (1 + b)
    folded into the weights) on stage pairs.

    ys holds the stage outputs and lastInput the previous ladder input u;
    all state is read once into locals and written back at the end. */
template <int Stages, bool WithDrive, bool WithSmoothing>
inline void runLadderLoop (double* x, int n, double (&ys)[std::size_t (Stages)], double& lastInput,
                           double& colour, double& colourIn, const LadderLoopCoefficients& c,
                           LowCutoffSmoother* smoother) noexcept
{
    static_assert (Stages % 2 == 0, "the stages are handled in pairs");
    using ladder_detail::Pair;
    constexpr int pairs = Stages / 2;

    const double g = c.g;
    const double h = g * 0.5;
    const double b = 1.0 - g;
    const double b1 = 1.0 + b;

    // p[k] = h^(k+1), the weight of v in stage k; d[k] the weight of the
    // previous pass's v in w[k]: b p[k] + (1 + b) k p[k].
    double p[std::size_t (Stages)], d[std::size_t (Stages)];
    p[0] = h;
    for (int k = 1; k < Stages; ++k)
        p[k] = p[k - 1] * h;
    for (int k = 0; k < Stages; ++k)
        d[k] = (b + b1 * (double) k) * p[k];

    Pair pv[std::size_t (pairs)], dv[std::size_t (pairs)];
    for (int j = 0; j < pairs; ++j)
    {
        pv[j] = Pair::load (p + 2 * j);
        dv[j] = Pair::load (d + 2 * j);
    }
    const Pair bv = Pair::splat (b);
    const Pair hh = Pair::splat (h * h);
    const Pair b1h = Pair::splat (b1 * h);
    const Pair b1hh = Pair::splat (b1 * h * h);

    const double pLast = p[Stages - 1];
    const double feedback = c.feedback;
    const double limit = c.limit;
    const double driveGain = c.driveGain;
    const double driveFeedback = feedback * driveGain;
    const double pLastFeedback = pLast * feedback;

    const double gColour = 0.95 * g;
    const double keepColour = 1.0 - gColour;
    const double halfGColour = gColour * 0.5;
    const double colourWeight = 2.0 * c.resonance;

    LowCutoffSmoother sm;
    if constexpr (WithSmoothing)
        sm = *smoother;

    // The stage outputs are w + p v; at the start v is 0 and w the outputs.
    Pair w[std::size_t (pairs)];
    for (int j = 0; j < pairs; ++j)
        w[j] = Pair::load (ys + 2 * j);
    double v = 0.0;
    double prevU = lastInput;
    double last = ys[Stages - 1];
    double col = colour, colIn = colourIn;

    for (int i = 0; i < n; ++i)
    {
        const double in = x[i];
        const double inDriven = in * driveGain;
        double sum = 0.0;

        for (int pass = 0; pass < 2; ++pass)
        {
            // This pass's w from the previous pass's w and v.
            const Pair vv = Pair::splat (v);
            Pair s = b1h * Pair::shiftIn (w[0]);
            for (int j = 0; j < pairs; ++j)
            {
                const Pair next = (bv * w[j] + dv[j] * vv) + s;
                if (j + 1 < pairs)
                    s = (b1hh * w[j] + b1h * Pair::straddle (w[j], w[j + 1])) + hh * s;
                w[j] = next;
            }
            const double wLast = w[pairs - 1].high();

            if constexpr (WithDrive)
            {
                // clampValue (last, -limit, limit) without branches; NaN passes alike.
                const double upper = limit < last ? limit : last;
                const double fed = upper < -limit ? -limit : upper;
                const double uLinear = in - fed * feedback;
                const double driven = inDriven - fed * driveFeedback;
                const double denominator = std::abs (driven) + 1.0;
                const double pair = prevU + uLinear;
                last = (wLast + pLast * pair) + (pLast * driven) / denominator;
                const double clipped = driven / denominator;
                v = pair + clipped;
                prevU = uLinear + clipped;
            }
            else
            {
                const double u = in - last * feedback;
                last = (wLast + pLast * (prevU + in)) - pLastFeedback * last;
                v = prevU + u;
                prevU = u;
            }

            col = col * keepColour + (colIn + last) * halfGColour;
            colIn = last;

            double out = col * colourWeight + last;
            if constexpr (WithSmoothing)
                out = sm.process (out, g);
            sum += out;
        }

        x[i] = sum * 0.5;
    }

    const Pair vv = Pair::splat (v);
    for (int j = 0; j < pairs; ++j)
        (w[j] + pv[j] * vv).store (ys + 2 * j);
    lastInput = prevU;
    colour = col;
    colourIn = colIn;

    if constexpr (WithSmoothing)
        *smoother = sm;
}
namespace ladder_detail
{
/** One lane's coefficients of the side-by-side loops, each computed as
    runLadderLoop does. */
template <int Stages>
struct LaneScalars
{
    double h, bb, b1h, b1hh, hh, pLast, feedback, limit, negLimit, driveGain, driveFeedback, pLastFeedback,
        keepColour, halfGColour, colourWeight, g;
    double p[std::size_t (Stages)], d[std::size_t (Stages)];

    explicit LaneScalars (const LadderLoopCoefficients& c) noexcept
    {
        g = c.g;
        h = g * 0.5;
        bb = 1.0 - g;
        const double b1 = 1.0 + bb;
        p[0] = h;
        for (int k = 1; k < Stages; ++k)
            p[k] = p[k - 1] * h;
        for (int k = 0; k < Stages; ++k)
            d[k] = (bb + b1 * (double) k) * p[k];
        hh = h * h;
        b1h = b1 * h;
        b1hh = b1 * h * h;
        pLast = p[Stages - 1];
        feedback = c.feedback;
        setDrive (c);
        pLastFeedback = pLast * feedback;
        const double gColour = 0.95 * g;
        keepColour = 1.0 - gColour;
        halfGColour = gColour * 0.5;
        colourWeight = 2.0 * c.resonance;
    }

    // The values that depend on the drive follower, which differs by side.
    void setDrive (const LadderLoopCoefficients& c) noexcept
    {
        limit = c.limit;
        negLimit = -limit;
        driveGain = c.driveGain;
        driveFeedback = feedback * driveGain;
    }

    // Another ladder's coefficients, copied from `first` (made from c) when
    // all but the drive agree: the same values as computing them afresh.
    static LaneScalars following (const LaneScalars& first, const LadderLoopCoefficients& c,
                                  const LadderLoopCoefficients& other) noexcept
    {
        if (! (other.g == c.g && other.feedback == c.feedback && other.resonance == c.resonance))
            return LaneScalars (other);
        LaneScalars copy = first;
        copy.setDrive (other);
        return copy;
    }
};
} // namespace ladder_detail

/** One ladder of a pair run side by side: its samples, state and coefficients. */
template <int Stages>
struct LadderLoopSide
{
    double* x;
    double* ys;   // Stages entries
    double* lastInput;
    double* colour;
    double* colourIn;
    LowCutoffSmoother* smoother;   // only read with smoothing
    LadderLoopCoefficients c;
};

/** Two independent ladders (a voice's two sides) through the same sample
    loop, one per vector lane: each lane does, operation for operation, what
    runLadderLoop does for its ladder, so the results agree bit for bit. The
    loop is bound by the latency of its feedback chain; two chains side by
    side cost about as much as one. Here the lanes are the ladders and the
    stages are plain registers, so no lane shuffles are needed. */
template <int Stages, bool WithDrive, bool WithSmoothing>
inline void runLadderLoopPair (const LadderLoopSide<Stages>& a, const LadderLoopSide<Stages>& b, int n) noexcept
{
    static_assert (Stages % 2 == 0, "the stages are handled in pairs");
    using ladder_detail::Pair;

    using Scalars = ladder_detail::LaneScalars<Stages>;
    const Scalars ca (a.c);
    // A voice's two sides mostly share all but the drive.
    const Scalars cb = Scalars::following (ca, a.c, b.c);
    auto both = [&] (double Scalars::*m) noexcept { return Pair::of (ca.*m, cb.*m); };

    Pair dv[std::size_t (Stages)];
    for (int k = 0; k < Stages; ++k)
        dv[k] = Pair::of (ca.d[k], cb.d[k]);
    const Pair bv = both (&Scalars::bb), hh = both (&Scalars::hh), b1h = both (&Scalars::b1h),
               b1hh = both (&Scalars::b1hh), pLast = both (&Scalars::pLast), feedback = both (&Scalars::feedback),
               limit = both (&Scalars::limit), negLimit = both (&Scalars::negLimit),
               driveGain = both (&Scalars::driveGain), driveFeedback = both (&Scalars::driveFeedback),
               pLastFeedback = both (&Scalars::pLastFeedback), keepColour = both (&Scalars::keepColour),
               halfGColour = both (&Scalars::halfGColour), colourWeight = both (&Scalars::colourWeight),
               gv = both (&Scalars::g);
    const Pair one = Pair::splat (1.0), two = Pair::splat (2.0), four = Pair::splat (4.0), half = Pair::splat (0.5),
               zero = Pair::splat (0.0);

    Pair smIn = zero, smOut = zero;
    if constexpr (WithSmoothing)
    {
        smIn = Pair::of (a.smoother->input, b.smoother->input);
        smOut = Pair::of (a.smoother->output, b.smoother->output);
    }
    // The smoother's per-sample factors, as LowCutoffSmoother::process forms them.
    const Pair smB = one - four * gv;
    const Pair smKeep = one - two * gv;
    const Pair smDry = one - smB;

    Pair w[std::size_t (Stages)];
    for (int k = 0; k < Stages; ++k)
        w[k] = Pair::of (a.ys[k], b.ys[k]);
    Pair v = zero;
    Pair prevU = Pair::of (*a.lastInput, *b.lastInput);
    Pair last = Pair::of (a.ys[Stages - 1], b.ys[Stages - 1]);
    Pair col = Pair::of (*a.colour, *b.colour), colIn = Pair::of (*a.colourIn, *b.colourIn);

    for (int i = 0; i < n; ++i)
    {
        const Pair in = Pair::of (a.x[i], b.x[i]);
        const Pair inDriven = in * driveGain;
        Pair sum = zero;

        for (int pass = 0; pass < 2; ++pass)
        {
            // s[k] from the previous pass's w, two recurrences of step 2.
            Pair s[std::size_t (Stages)];
            s[0] = b1h * zero;
            s[1] = b1h * w[0];
            for (int k = 2; k < Stages; ++k)
                s[k] = (b1hh * w[k - 2] + b1h * w[k - 1]) + hh * s[k - 2];
            for (int k = 0; k < Stages; ++k)
                w[k] = (bv * w[k] + dv[k] * v) + s[k];
            const Pair wLast = w[Stages - 1];

            if constexpr (WithDrive)
            {
                const Pair upper = Pair::lessOf (limit, last);
                const Pair fed = Pair::greaterOf (negLimit, upper);
                const Pair uLinear = in - fed * feedback;
                const Pair driven = inDriven - fed * driveFeedback;
                const Pair denominator = Pair::magnitude (driven) + one;
                const Pair sumU = prevU + uLinear;
                last = (wLast + pLast * sumU) + (pLast * driven) / denominator;
                const Pair clipped = driven / denominator;
                v = sumU + clipped;
                prevU = uLinear + clipped;
            }
            else
            {
                const Pair u = in - last * feedback;
                last = (wLast + pLast * (prevU + in)) - pLastFeedback * last;
                v = prevU + u;
                prevU = u;
            }

            col = col * keepColour + (colIn + last) * halfGColour;
            colIn = last;

            Pair out = col * colourWeight + last;
            if constexpr (WithSmoothing)
            {
                smOut = smKeep * smOut + (smIn + out) * gv;
                smIn = out;
                out = smDry * out + smB * smOut;
            }
            sum = sum + out;
        }

        const Pair y = sum * half;
        a.x[i] = y.low();
        b.x[i] = y.high();
    }

    for (int k = 0; k < Stages; ++k)
    {
        const Pair y = w[k] + Pair::of (ca.p[k], cb.p[k]) * v;
        a.ys[k] = y.low();
        b.ys[k] = y.high();
    }
    *a.lastInput = prevU.low();
    *b.lastInput = prevU.high();
    *a.colour = col.low();
    *b.colour = col.high();
    *a.colourIn = colIn.low();
    *b.colourIn = colIn.high();
    if constexpr (WithSmoothing)
    {
        a.smoother->input = smIn.low();
        b.smoother->input = smIn.high();
        a.smoother->output = smOut.low();
        b.smoother->output = smOut.high();
    }
}

#if TALVORA_WIDE_PATH
namespace ladder_detail
{
/** Four ladders' values in one AVX2 register (wide path only). No FMA: each
    lane rounds as the scalar code does. */
struct Quad
{
    __m256d r;
};

TALVORA_WIDE_INLINE Quad quadOf (double a, double b, double c, double d) noexcept { return { _mm256_setr_pd (a, b, c, d) }; }
TALVORA_WIDE_INLINE Quad quadSplat (double x) noexcept { return { _mm256_set1_pd (x) }; }
TALVORA_WIDE_INLINE Quad operator+ (Quad a, Quad b) noexcept { return { _mm256_add_pd (a.r, b.r) }; }
TALVORA_WIDE_INLINE Quad operator- (Quad a, Quad b) noexcept { return { _mm256_sub_pd (a.r, b.r) }; }
TALVORA_WIDE_INLINE Quad operator* (Quad a, Quad b) noexcept { return { _mm256_mul_pd (a.r, b.r) }; }
TALVORA_WIDE_INLINE Quad operator/ (Quad a, Quad b) noexcept { return { _mm256_div_pd (a.r, b.r) }; }
// Per lane a < b ? a : b and a > b ? a : b, as the pair's.
TALVORA_WIDE_INLINE Quad lessOf (Quad a, Quad b) noexcept { return { _mm256_min_pd (a.r, b.r) }; }
TALVORA_WIDE_INLINE Quad greaterOf (Quad a, Quad b) noexcept { return { _mm256_max_pd (a.r, b.r) }; }
TALVORA_WIDE_INLINE Quad magnitude (Quad a) noexcept { return { _mm256_andnot_pd (_mm256_set1_pd (-0.0), a.r) }; }
TALVORA_WIDE_INLINE void store (Quad a, double* p) noexcept { _mm256_storeu_pd (p, a.r); }
TALVORA_WIDE_INLINE Quad loadQuad (const double* p) noexcept { return { _mm256_loadu_pd (p) }; }
// -a, a flip of the sign bit as the scalar negation is.
TALVORA_WIDE_INLINE Quad negated (Quad a) noexcept { return { _mm256_xor_pd (a.r, _mm256_set1_pd (-0.0)) }; }

// flushTiny per lane: a magnitude below kTinyState becomes +0 (NaN stays).
TALVORA_WIDE_INLINE Quad flushedTiny (Quad a) noexcept
{
    const __m256d tiny = _mm256_cmp_pd (magnitude (a).r, _mm256_set1_pd (kTinyState), _CMP_LT_OQ);
    return { _mm256_andnot_pd (tiny, a.r) };
}

// Rows a, b, c, d to columns: out[k] = (a[k], b[k], c[k], d[k]); its own inverse.
TALVORA_WIDE_INLINE void transpose (Quad a, Quad b, Quad c, Quad d, Quad* out) noexcept
{
    const __m256d ab0 = _mm256_unpacklo_pd (a.r, b.r), ab1 = _mm256_unpackhi_pd (a.r, b.r);
    const __m256d cd0 = _mm256_unpacklo_pd (c.r, d.r), cd1 = _mm256_unpackhi_pd (c.r, d.r);
    out[0] = { _mm256_permute2f128_pd (ab0, cd0, 0x20) };
    out[1] = { _mm256_permute2f128_pd (ab1, cd1, 0x20) };
    out[2] = { _mm256_permute2f128_pd (ab0, cd0, 0x31) };
    out[3] = { _mm256_permute2f128_pd (ab1, cd1, 0x31) };
}

// Four lanes' values back to the four ladders' fields.
template <typename Side>
TALVORA_WIDE_INLINE void storeLanes (Quad q, const Side* const (&sides)[4], double* Side::*field) noexcept
{
    alignas (32) double lane[4];
    store (q, lane);
    for (int l = 0; l < 4; ++l)
        *(sides[l]->*field) = lane[l];
}
} // namespace ladder_detail

/** runLadderLoopPair on four ladders (two voices' two sides), one per lane of
    an AVX2 register: each lane does, operation for operation, what
    runLadderLoop does for its ladder. Four chains side by side cost about
    as much as two. Wide path only. */
template <int Stages, bool WithDrive, bool WithSmoothing>
TALVORA_WIDE void runLadderLoopQuad (const LadderLoopSide<Stages>* const (&sides)[4], int n) noexcept
{
    using namespace ladder_detail;
    static_assert (Stages % 4 == 0, "the stages are loaded four at a time");
    const LadderLoopSide<Stages>& s0 = *sides[0];
    const LadderLoopSide<Stages>& s1 = *sides[1];
    const LadderLoopSide<Stages>& s2 = *sides[2];
    const LadderLoopSide<Stages>& s3 = *sides[3];
    const Quad one = quadSplat (1.0), two = quadSplat (2.0), four = quadSplat (4.0), half = quadSplat (0.5),
               zero = quadSplat (0.0);

    // The coefficients, each lane's worked out with the same operations as
    // runLadderLoop does in scalars.
    const Quad gv = quadOf (s0.c.g, s1.c.g, s2.c.g, s3.c.g);
    const Quad h = gv * half;
    const Quad bv = one - gv;
    const Quad b1 = one + bv;
    Quad p[std::size_t (Stages)], dv[std::size_t (Stages)];
    p[0] = h;
    for (int k = 1; k < Stages; ++k)
        p[k] = p[k - 1] * h;
    for (int k = 0; k < Stages; ++k)
        dv[k] = (bv + b1 * quadSplat ((double) k)) * p[k];
    const Quad hh = h * h;
    const Quad b1h = b1 * h;
    const Quad b1hh = b1 * h * h;
    const Quad pLast = p[Stages - 1];
    const Quad feedback = quadOf (s0.c.feedback, s1.c.feedback, s2.c.feedback, s3.c.feedback);
    const Quad limit = quadOf (s0.c.limit, s1.c.limit, s2.c.limit, s3.c.limit);
    const Quad negLimit = negated (limit);
    const Quad driveGain = quadOf (s0.c.driveGain, s1.c.driveGain, s2.c.driveGain, s3.c.driveGain);
    const Quad driveFeedback = feedback * driveGain;
    const Quad pLastFeedback = pLast * feedback;
    const Quad gColour = quadSplat (0.95) * gv;
    const Quad keepColour = one - gColour;
    const Quad halfGColour = gColour * half;
    const Quad colourWeight = two * quadOf (s0.c.resonance, s1.c.resonance, s2.c.resonance, s3.c.resonance);

    Quad smIn = zero, smOut = zero;
    if constexpr (WithSmoothing)
    {
        smIn = quadOf (s0.smoother->input, s1.smoother->input, s2.smoother->input, s3.smoother->input);
        smOut = quadOf (s0.smoother->output, s1.smoother->output, s2.smoother->output, s3.smoother->output);
    }
    const Quad smB = one - four * gv;
    const Quad smKeep = one - two * gv;
    const Quad smDry = one - smB;

    Quad w[std::size_t (Stages)];
    for (int k = 0; k < Stages; k += 4)
        transpose (loadQuad (s0.ys + k), loadQuad (s1.ys + k), loadQuad (s2.ys + k), loadQuad (s3.ys + k), w + k);
    Quad v = zero;
    Quad prevU = quadOf (*s0.lastInput, *s1.lastInput, *s2.lastInput, *s3.lastInput);
    Quad last = w[Stages - 1];
    Quad col = quadOf (*s0.colour, *s1.colour, *s2.colour, *s3.colour);
    Quad colIn = quadOf (*s0.colourIn, *s1.colourIn, *s2.colourIn, *s3.colourIn);

    // Four samples at a time are turned from the ladders' rows into lanes
    // and back; a last partial four goes sample by sample.
    for (int i0 = 0; i0 < n; i0 += 4)
    {
        const int m = n - i0 < 4 ? n - i0 : 4;
        Quad ins[4], outs[4];
        if (m == 4)
            transpose (loadQuad (s0.x + i0), loadQuad (s1.x + i0), loadQuad (s2.x + i0), loadQuad (s3.x + i0), ins);
        else
            for (int j = 0; j < m; ++j)
                ins[j] = quadOf (s0.x[i0 + j], s1.x[i0 + j], s2.x[i0 + j], s3.x[i0 + j]);

        for (int j = 0; j < m; ++j)
        {
            const Quad in = ins[j];
            const Quad inDriven = in * driveGain;
            Quad sum = zero;

            for (int pass = 0; pass < 2; ++pass)
            {
                Quad s[std::size_t (Stages)];
                s[0] = b1h * zero;
                s[1] = b1h * w[0];
                for (int k = 2; k < Stages; ++k)
                    s[k] = (b1hh * w[k - 2] + b1h * w[k - 1]) + hh * s[k - 2];
                for (int k = 0; k < Stages; ++k)
                    w[k] = (bv * w[k] + dv[k] * v) + s[k];
                const Quad wLast = w[Stages - 1];

                if constexpr (WithDrive)
                {
                    const Quad upper = lessOf (limit, last);
                    const Quad fed = greaterOf (negLimit, upper);
                    const Quad uLinear = in - fed * feedback;
                    const Quad driven = inDriven - fed * driveFeedback;
                    const Quad denominator = magnitude (driven) + one;
                    const Quad sumU = prevU + uLinear;
                    last = (wLast + pLast * sumU) + (pLast * driven) / denominator;
                    const Quad clipped = driven / denominator;
                    v = sumU + clipped;
                    prevU = uLinear + clipped;
                }
                else
                {
                    const Quad u = in - last * feedback;
                    last = (wLast + pLast * (prevU + in)) - pLastFeedback * last;
                    v = prevU + u;
                    prevU = u;
                }

                col = col * keepColour + (colIn + last) * halfGColour;
                colIn = last;

                Quad out = col * colourWeight + last;
                if constexpr (WithSmoothing)
                {
                    smOut = smKeep * smOut + (smIn + out) * gv;
                    smIn = out;
                    out = smDry * out + smB * smOut;
                }
                sum = sum + out;
            }

            outs[j] = sum * half;
        }

        if (m == 4)
        {
            Quad rows[4];
            transpose (outs[0], outs[1], outs[2], outs[3], rows);
            for (int l = 0; l < 4; ++l)
                store (rows[l], sides[l]->x + i0);
        }
        else
            for (int j = 0; j < m; ++j)
            {
                alignas (32) double y[4];
                store (outs[j], y);
                for (int l = 0; l < 4; ++l)
                    sides[l]->x[i0 + j] = y[l];
            }
    }

    for (int k = 0; k < Stages; k += 4)
    {
        Quad lanes[4];
        transpose (w[k] + p[k] * v, w[k + 1] + p[k + 1] * v, w[k + 2] + p[k + 2] * v, w[k + 3] + p[k + 3] * v, lanes);
        for (int l = 0; l < 4; ++l)
            store (lanes[l], sides[l]->ys + k);
    }
    alignas (32) double lane[4];
    storeLanes (prevU, sides, &LadderLoopSide<Stages>::lastInput);
    storeLanes (col, sides, &LadderLoopSide<Stages>::colour);
    storeLanes (colIn, sides, &LadderLoopSide<Stages>::colourIn);
    if constexpr (WithSmoothing)
    {
        store (smIn, lane);
        for (int l = 0; l < 4; ++l)
            sides[l]->smoother->input = lane[l];
        store (smOut, lane);
        for (int l = 0; l < 4; ++l)
            sides[l]->smoother->output = lane[l];
    }
}
#endif

/** GroupPeak::next on two sides at once, both magnitudes in one register;
    the same results (a maximum does not depend on the order, and a NaN input
    is skipped either way). */
inline void nextPeaks (GroupPeak& a, GroupPeak& b, const double* xa, const double* xb, int n, double& resultA,
                       double& resultB) noexcept
{
    using ladder_detail::Pair;
    resultA = a.previous;
    resultB = b.previous;
    if (a.blockStart && n > 0)
    {
        a.blockStart = false;
        resultA = finiteOr (std::abs (xa[0]), 0.0);
    }
    if (b.blockStart && n > 0)
    {
        b.blockStart = false;
        resultB = finiteOr (std::abs (xb[0]), 0.0);
    }

    // std::max (p, v) is v > p ? v : p.
    Pair p = Pair::splat (0.0);
    for (int i = 0; i < n; ++i)
        p = Pair::greaterOf (Pair::magnitude (Pair::of (xa[i], xb[i])), p);
    a.previous = finiteOr (p.low(), 0.0);
    b.previous = finiteOr (p.high(), 0.0);
}

/** What both ladders keep and do per group: the stages, the colour stage,
    the low-cutoff smoother, the drive follower and the group peak. A ladder
    that never smooths leaves its smoother at rest. */
template <int Stages>
struct LadderCore
{
    double y[std::size_t (Stages)] = {};
    double lastInput = 0.0;   // each later stage's previous input is the stage before it
    double colour = 0.0, colourIn = 0.0;
    LowCutoffSmoother smoother;
    PeakFollower follower;
    GroupPeak peak;

    void reset() noexcept
    {
        for (auto& s : y)
            s = 0.0;
        lastInput = colour = colourIn = 0.0;
        smoother.reset();
        follower.reset();
        peak.reset();
    }

    /** Filters n samples (one group) in place; the peak follower runs first. */
    void processGroup (double* x, int n, double g, double feedback, double resonance, double overdrive,
                       bool smoothing) noexcept
    {
        if (n <= 0)
            return;

        const double o = overdrive;
        const double groupPeak = peak.next (x, n);
        if (o > 0.0)
            follower.update (groupPeak, o);

        const LadderLoopCoefficients c { g, feedback, resonance, follower.limit, o * 6.0 * follower.drive };
        if (o > 0.0)
        {
            if (smoothing)
                runLadderLoop<Stages, true, true> (x, n, y, lastInput, colour, colourIn, c, &smoother);
            else
                runLadderLoop<Stages, true, false> (x, n, y, lastInput, colour, colourIn, c, nullptr);
        }
        else
        {
            if (smoothing)
                runLadderLoop<Stages, false, true> (x, n, y, lastInput, colour, colourIn, c, &smoother);
            else
                runLadderLoop<Stages, false, false> (x, n, y, lastInput, colour, colourIn, c, nullptr);
        }

        finishGroup (x, n);
    }

    /** processGroup on two ladders at once (a voice's two sides, with the
        same settings), their sample loops side by side; the result is the
        same as two processGroup calls. */
    static void processGroupPair (LadderCore& a, LadderCore& b, double* xa, double* xb, int n, double g,
                                  double feedback, double resonance, double overdrive, bool smoothing) noexcept
    {
        if (n <= 0)
            return;

        const double o = overdrive;
        double peakA, peakB;
        nextPeaks (a.peak, b.peak, xa, xb, n, peakA, peakB);
        if (o > 0.0)
        {
            a.follower.update (peakA, o);
            b.follower.update (peakB, o);
        }

        const LadderLoopSide<Stages> sa { xa, a.y, &a.lastInput, &a.colour, &a.colourIn, &a.smoother,
                                          { g, feedback, resonance, a.follower.limit, o * 6.0 * a.follower.drive } };
        const LadderLoopSide<Stages> sb { xb, b.y, &b.lastInput, &b.colour, &b.colourIn, &b.smoother,
                                          { g, feedback, resonance, b.follower.limit, o * 6.0 * b.follower.drive } };
        if (o > 0.0)
        {
            if (smoothing)
                runLadderLoopPair<Stages, true, true> (sa, sb, n);
            else
                runLadderLoopPair<Stages, true, false> (sa, sb, n);
        }
        else
        {
            if (smoothing)
                runLadderLoopPair<Stages, false, true> (sa, sb, n);
            else
                runLadderLoopPair<Stages, false, false> (sa, sb, n);
        }

        a.finishGroup (xa, n);
        b.finishGroup (xb, n);
    }

#if TALVORA_WIDE_PATH
    /** processGroupPair on two voices' pairs at once (a and b each a voice's
        two sides with that voice's settings; the drive amount and smoothing
        the same for both), the four sample loops side by side. The same
        result as processGroupPair on each voice. Wide path only. */
    TALVORA_WIDE static void processGroupQuad (LadderCore* const (&cores)[4], double* const (&xs)[4], int n,
                                               const double (&g)[2], const double (&feedback)[2],
                                               const double (&resonance)[2], double overdrive, bool smoothing) noexcept
    {
        if (n <= 0)
            return;

        const double o = overdrive;
        double peaks[4];
        nextPeaks (cores[0]->peak, cores[1]->peak, xs[0], xs[1], n, peaks[0], peaks[1]);
        nextPeaks (cores[2]->peak, cores[3]->peak, xs[2], xs[3], n, peaks[2], peaks[3]);
        if (o > 0.0)
            for (int l = 0; l < 4; ++l)
                cores[l]->follower.update (peaks[l], o);

        LadderLoopSide<Stages> sides[4];
        for (int l = 0; l < 4; ++l)
        {
            LadderCore& c = *cores[l];
            const int voice = l / 2;
            sides[l] = { xs[l], c.y, &c.lastInput, &c.colour, &c.colourIn, &c.smoother,
                         { g[voice], feedback[voice], resonance[voice], c.follower.limit, o * 6.0 * c.follower.drive } };
        }
        const LadderLoopSide<Stages>* const lanes[4] = { &sides[0], &sides[1], &sides[2], &sides[3] };
        if (o > 0.0)
        {
            if (smoothing)
                runLadderLoopQuad<Stages, true, true> (lanes, n);
            else
                runLadderLoopQuad<Stages, true, false> (lanes, n);
        }
        else
        {
            if (smoothing)
                runLadderLoopQuad<Stages, false, true> (lanes, n);
            else
                runLadderLoopQuad<Stages, false, false> (lanes, n);
        }

        finishGroups (cores, xs, n);
    }
#endif

private:
#if TALVORA_WIDE_PATH
    // finishGroup on four ladders, four lanes at a time: each lane's state
    // sum adds in finishGroup's order, and the same states are flushed.
    TALVORA_WIDE static void finishGroups (LadderCore* const (&c)[4], double* const (&xs)[4], int n) noexcept
    {
        using namespace ladder_detail;
        static_assert (Stages % 4 == 0, "the stages are loaded four at a time");
        Quad y[std::size_t (Stages)];
        for (int k = 0; k < Stages; k += 4)
            transpose (loadQuad (c[0]->y + k), loadQuad (c[1]->y + k), loadQuad (c[2]->y + k), loadQuad (c[3]->y + k),
                       y + k);
        const Quad lastInput = quadOf (c[0]->lastInput, c[1]->lastInput, c[2]->lastInput, c[3]->lastInput);
        const Quad colour = quadOf (c[0]->colour, c[1]->colour, c[2]->colour, c[3]->colour);
        const Quad colourIn = quadOf (c[0]->colourIn, c[1]->colourIn, c[2]->colourIn, c[3]->colourIn);
        const Quad smIn = quadOf (c[0]->smoother.input, c[1]->smoother.input, c[2]->smoother.input,
                                  c[3]->smoother.input);
        const Quad smOut = quadOf (c[0]->smoother.output, c[1]->smoother.output, c[2]->smoother.output,
                                   c[3]->smoother.output);

        Quad sum = ((lastInput + colour) + colourIn) + (smIn + smOut);
        for (int k = 0; k < Stages; ++k)
            sum = sum + y[k];
        for (int i0 = 0; i0 < n; i0 += 4)
        {
            const int m = n - i0 < 4 ? n - i0 : 4;
            Quad x[4];
            if (m == 4)
                transpose (loadQuad (xs[0] + i0), loadQuad (xs[1] + i0), loadQuad (xs[2] + i0), loadQuad (xs[3] + i0), x);
            else
                for (int j = 0; j < m; ++j)
                    x[j] = quadOf (xs[0][i0 + j], xs[1][i0 + j], xs[2][i0 + j], xs[3][i0 + j]);
            for (int j = 0; j < m; ++j)
                sum = sum + x[j];
        }
        alignas (32) double sums[4];
        store (sum, sums);

        // Flushed on every lane; a lane that went non-finite is then reset.
        for (int k = 0; k < Stages; k += 4)
        {
            Quad rows[4];
            transpose (flushedTiny (y[k]), flushedTiny (y[k + 1]), flushedTiny (y[k + 2]), flushedTiny (y[k + 3]), rows);
            for (int l = 0; l < 4; ++l)
                store (rows[l], c[l]->y + k);
        }
        alignas (32) double lanes[5][4];
        store (flushedTiny (lastInput), lanes[0]);
        store (flushedTiny (colour), lanes[1]);
        store (flushedTiny (colourIn), lanes[2]);
        store (flushedTiny (smIn), lanes[3]);
        store (flushedTiny (smOut), lanes[4]);
        for (int l = 0; l < 4; ++l)
        {
            LadderCore& core = *c[l];
            core.lastInput = lanes[0][l];
            core.colour = lanes[1][l];
            core.colourIn = lanes[2][l];
            core.smoother.input = lanes[3][l];
            core.smoother.output = lanes[4][l];
            core.follower.flush();
            if (! std::isfinite (sums[l]))
            {
                core.reset();
                silence (xs[l], n);
            }
        }
    }
#endif

    // A group that went non-finite is dropped and the ladder starts afresh;
    // otherwise tiny states are flushed.
    void finishGroup (double* x, int n) noexcept
    {
        double stateSum = lastInput + colour + colourIn + smoother.stateSum();
        for (int s = 0; s < Stages; ++s)
            stateSum += y[s];

        if (! groupIsFinite (x, n, stateSum))
        {
            reset();
            silence (x, n);
            return;
        }

        for (auto& s : y)
            flushTiny (s);
        flushTiny (lastInput);
        flushTiny (colour);
        flushTiny (colourIn);
        smoother.flush();
        follower.flush();
    }
};
} // namespace filtering
