#pragma once

// Stacked copies of a morphing oscillator: up to ten phases per unison copy,
// read from one or two tables and advanced by slightly spread steps, and the
// single-table oscillator 3 of the unison copies. Used by the voice; the wide
// kernels are chosen at run time (see VectorPath.h).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/globalStuff.h"

#if defined(__SSE2__)
 #include <emmintrin.h>
#endif
#include "dsp/VectorPath.h"

namespace oscstack
{
constexpr int kMaxStack = 10;
constexpr double kTable = (double) kTableSize;

// Keeps a table phase in [0, 4096); reads use its integer part.
inline double wrapPhase (double phase) noexcept
{
    if (phase >= kTable || phase < 0.0)
        phase -= kTable * std::floor (phase * (1.0 / kTable));
    return phase >= kTable ? 0.0 : phase;
}

// The integer part as the processor's truncating conversion gives it: out of
// range or not a number gives INT_MIN, so such a phase reads entry 0 rather
// than whatever an undefined cast makes of it.
inline int truncated (double x) noexcept
{
#if defined(__SSE2__)
    return _mm_cvttsd_si32 (_mm_set_sd (x));
#else
    return x > -2147483649.0 && x < 2147483648.0 ? (int) x : std::numeric_limits<int>::min();
#endif
}

inline int tableIndex (double phase) noexcept { return truncated (phase) & kTableMask; }

inline double clampValue (double x, double lo, double hi) noexcept { return x < lo ? lo : (x > hi ? hi : x); }

// Morph modes of oscillators 1 and 2.
enum MorphMode
{
    crossfade = 0,
    sawToSquare = 1
};

// How one sample of a stack is read: chosen once per block so the loop over
// the stacked copies carries no mode tests.
enum StackKind
{
    stackCrossfade,
    stackSawSquare,
    stackSawSquarePwm,
    stackSwitch,
    stackSwitchPwm
};

// The tables and crossfade of a stack, fixed for a block.
struct StackTables
{
    const double* a;
    const double* b;
    double t, oneMinusT;
};

// Phase steps of the stacked copies for one increment: copy 0 moves by the
// increment, the others by it minus or plus their share of the spread. The
// divisions are only redone when the increment changes, which it mostly
// does not from one sample to the next.
struct StackSteps
{
    double increment = std::numeric_limits<double>::quiet_NaN();
    double step[kMaxStack] {};

    void update (double inc, double spread, int stack) noexcept
    {
        if (inc == increment)
            return;
        increment = inc;
        step[0] = inc;
        for (int j = 1; j < stack; ++j)
        {
            const double e = spread * inc / (j + 1);
            step[j] = (j & 1) == 0 ? inc - e : inc + e;
        }
    }
};

// A phase that left [0, 4096) other than by the usual one-cycle wrap.
// Oscillator 1 marks the copy past its first cycle and lets a not-a-number
// phase be; oscillator 2 restarts such a phase at 0.
template <bool Oscillator1>
inline double unusualWrap (double raw, double next, bool* pastFirstCycle, int j) noexcept
{
    if constexpr (Oscillator1)
    {
        if (! (next >= 0.0 && next < kTable) && (raw >= kTable || raw < 0.0))
        {
            pastFirstCycle[j] = true;
            return wrapPhase (raw);
        }
        return next;
    }
    else
    {
        if (! (next >= 0.0 && next < kTable))
            return std::isfinite (raw) ? wrapPhase (raw) : 0.0;
        return next;
    }
}

// Stacked copy j: its value, and its phase advanced. w and wOffset are the
// pulse-width offsets of the stacked copies (w * 2048 + 2048), switchAt the
// switch points times 4096.
template <int Kind, bool Oscillator1>
inline double stackCopy (const StackTables& in, const double* w, const double* wOffset, const double* switchAt,
                         double* phase, bool* pastFirstCycle, const double* step, int j) noexcept
{
    const double ph = phase[j];
    const int idx = tableIndex (ph);
    double value;
    if constexpr (Kind == stackCrossfade)
        value = in.a[idx] * in.oneMinusT + in.b[idx] * in.t;
    else if constexpr (Kind == stackSawSquare)
        value = in.a[idx] - in.a[(idx + 2048) & kTableMask] * in.t;
    else if constexpr (Kind == stackSawSquarePwm)
        value = w[j] - in.a[truncated (wOffset[j] + ph) & kTableMask] * in.t + in.a[idx];
    else
    {
        const bool onA = (j > 0 && pastFirstCycle[j]) || ph >= switchAt[j];
        value = onA ? in.a[idx] : in.b[idx];
    }

    // The usual wrap, one cycle over, without a branch (high notes wrap
    // every few samples, too irregularly to predict); x - 4096 is exact
    // there and equals the general wrap. Anything else takes that one.
    const double raw = ph + step[j];
    const bool over = raw >= kTable;
    const double next = raw - (over ? kTable : 0.0);
    if constexpr (Oscillator1)
        pastFirstCycle[j] = pastFirstCycle[j] | over;
    phase[j] = unusualWrap<Oscillator1> (raw, next, pastFirstCycle, j);
    return value;
}

#if defined(__SSE2__)
// Stacked copies j and j + 1 side by side, each exactly as stackCopy does it.
template <int Kind, bool Oscillator1>
inline __m128d stackCopyPair (const StackTables& in, const double* w, const double* wOffset, const double* switchAt,
                              double* phase, bool* pastFirstCycle, const double* step, int j) noexcept
{
    const __m128d table = _mm_set1_pd (kTable);
    const __m128i mask = _mm_set1_epi32 (kTableMask);
    const __m128d ph = _mm_loadu_pd (phase + j);
    auto lanes = [] (__m128i v, int& i0, int& i1) noexcept {
        i0 = _mm_cvtsi128_si32 (v);
        i1 = _mm_cvtsi128_si32 (_mm_shuffle_epi32 (v, 1));
    };
    int i0, i1;
    lanes (_mm_and_si128 (_mm_cvttpd_epi32 (ph), mask), i0, i1);

    __m128d value;
    if constexpr (Kind == stackCrossfade)
        value = _mm_add_pd (_mm_mul_pd (_mm_setr_pd (in.a[i0], in.a[i1]), _mm_set1_pd (in.oneMinusT)),
                            _mm_mul_pd (_mm_setr_pd (in.b[i0], in.b[i1]), _mm_set1_pd (in.t)));
    else if constexpr (Kind == stackSawSquare)
    {
        const int k0 = (i0 + 2048) & kTableMask, k1 = (i1 + 2048) & kTableMask;
        value = _mm_sub_pd (_mm_setr_pd (in.a[i0], in.a[i1]),
                            _mm_mul_pd (_mm_setr_pd (in.a[k0], in.a[k1]), _mm_set1_pd (in.t)));
    }
    else if constexpr (Kind == stackSawSquarePwm)
    {
        int k0, k1;
        lanes (_mm_and_si128 (_mm_cvttpd_epi32 (_mm_add_pd (_mm_loadu_pd (wOffset + j), ph)), mask), k0, k1);
        value = _mm_add_pd (_mm_sub_pd (_mm_loadu_pd (w + j),
                                        _mm_mul_pd (_mm_setr_pd (in.a[k0], in.a[k1]), _mm_set1_pd (in.t))),
                            _mm_setr_pd (in.a[i0], in.a[i1]));
    }
    else
    {
        const bool onA0 = (j > 0 && pastFirstCycle[j]) || phase[j] >= switchAt[j];
        const bool onA1 = pastFirstCycle[j + 1] || phase[j + 1] >= switchAt[j + 1];
        value = _mm_setr_pd (onA0 ? in.a[i0] : in.b[i0], onA1 ? in.a[i1] : in.b[i1]);
    }

    const __m128d raw = _mm_add_pd (ph, _mm_loadu_pd (step + j));
    const __m128d over = _mm_cmpge_pd (raw, table);
    const __m128d next = _mm_sub_pd (raw, _mm_and_pd (over, table));
    if constexpr (Oscillator1)
    {
        const int o = _mm_movemask_pd (over);
        pastFirstCycle[j] = pastFirstCycle[j] | ((o & 1) != 0);
        pastFirstCycle[j + 1] = pastFirstCycle[j + 1] | ((o & 2) != 0);
    }
    _mm_storeu_pd (phase + j, next);
    const __m128d inRange = _mm_and_pd (_mm_cmpge_pd (next, _mm_setzero_pd()), _mm_cmplt_pd (next, table));
    if (_mm_movemask_pd (inRange) != 3)
    {
        double r[2];
        _mm_storeu_pd (r, raw);
        phase[j] = unusualWrap<Oscillator1> (r[0], phase[j], pastFirstCycle, j);
        phase[j + 1] = unusualWrap<Oscillator1> (r[1], phase[j + 1], pastFirstCycle, j + 1);
    }
    return value;
}
#endif




// One sample of one unison copy: the stacked copies' values summed, times
// the level, and the phases advanced. A fixed stack of one lets the copy
// loop fold away.
template <int Kind, bool Oscillator1, bool Single>
inline double stackSample (const StackTables& in, double level, const double* w, const double* wOffset,
                           const double* switchAt, double* phase, bool* pastFirstCycle,
                           const double* step, int stack) noexcept
{
    if constexpr (Single)
        return stackCopy<Kind, Oscillator1> (in, w, wOffset, switchAt, phase, pastFirstCycle, step, 0) * level;

    double sum = 0.0;
    int j = 0;
#if defined(__SSE2__)
    __m128d pairs = _mm_setzero_pd();
    for (; j + 2 <= stack; j += 2)
        pairs = _mm_add_pd (pairs, stackCopyPair<Kind, Oscillator1> (in, w, wOffset, switchAt, phase, pastFirstCycle, step, j));
    sum = _mm_cvtsd_f64 (pairs) + _mm_cvtsd_f64 (_mm_unpackhi_pd (pairs, pairs));
#endif
    for (; j < stack; ++j)
        sum += stackCopy<Kind, Oscillator1> (in, w, wOffset, switchAt, phase, pastFirstCycle, step, j);
    return sum * level;
}

// Where a run of one unison copy reads its per-sample inputs: levels and
// increments per sample, pulse-width rows of kMaxStack values per sample
// (switch points in the w rows for the switching kinds), or one fixed row
// of switch points when nothing modulates them.
struct StackRun
{
    const double* level;
    const double* increment;
    const double* w;
    const double* wOffset;
    const double* fixedSwitchAt;
};

// Samples [from, to) of one unison copy, every sample as stackSample does it.
template <int Kind, bool Oscillator1, bool Single>
void runStack (const StackTables& in, const StackRun& run, double* phase, bool* pastFirstCycle,
               StackSteps& steps, double spread, int stack, double* out, int from, int to) noexcept
{
    constexpr int K = kMaxStack;
    for (int i = from; i < to; ++i)
    {
        if constexpr (Oscillator1)
            if (! std::isfinite (phase[0]))
                phase[0] = 0.0;
        steps.update (run.increment[i], spread, stack);
        const double* w = nullptr;
        const double* wOffset = nullptr;
        const double* switchAt = nullptr;
        if constexpr (Kind == stackSawSquarePwm)
        {
            w = run.w + i * K;
            wOffset = run.wOffset + i * K;
        }
        else if constexpr (Kind == stackSwitchPwm)
            switchAt = run.w + i * K;
        else if constexpr (Kind == stackSwitch)
            switchAt = run.fixedSwitchAt;
        out[i] = stackSample<Kind, Oscillator1, Single> (in, run.level[i], w, wOffset, switchAt, phase,
                                                         pastFirstCycle, steps.step, stack);
    }
}


#if TALVORA_WIDE_PATH
// Copies' phases held in a register, advanced by one sample; anything but
// the usual wrap goes lane by lane through unusualWrap. `past` holds the
// copies' past-first-cycle flags as bits.
template <bool Oscillator1, typename Vec, int Lanes>
TALVORA_WIDE inline Vec wrapLanes (Vec raw, Vec next, int& past) noexcept
{
    double r[4], ph[4];
    bool flags[4];
    if constexpr (Lanes == 4)
    {
        _mm256_storeu_pd (r, raw);
        _mm256_storeu_pd (ph, next);
    }
    else
    {
        _mm_storeu_pd (r, raw);
        _mm_storeu_pd (ph, next);
    }
    for (int l = 0; l < Lanes; ++l)
    {
        flags[l] = ((past >> l) & 1) != 0;
        ph[l] = unusualWrap<Oscillator1> (r[l], ph[l], flags, l);
        past |= flags[l] ? 1 << l : 0;
    }
    if constexpr (Lanes == 4)
        return _mm256_loadu_pd (ph);
    else
        return _mm_loadu_pd (ph);
}

// Whether all four values are in [0, 4096).
TALVORA_WIDE_INLINE bool inTable (__m256d v) noexcept
{
    return _mm256_movemask_pd (_mm256_and_pd (_mm256_cmp_pd (v, _mm256_setzero_pd(), _CMP_GE_OS),
                                              _mm256_cmp_pd (v, _mm256_set1_pd (kTable), _CMP_LT_OS))) == 15;
}

// Whether all twelve values are in [0, 4096), in one test.
TALVORA_WIDE_INLINE bool inTable (__m256d a, __m256d b, __m256d c) noexcept
{
    const __m256d zero = _mm256_setzero_pd(), table = _mm256_set1_pd (kTable);
    auto in = [zero, table] (__m256d v) __attribute__ ((target ("avx2"), always_inline)) {
        return _mm256_and_pd (_mm256_cmp_pd (v, zero, _CMP_GE_OS), _mm256_cmp_pd (v, table, _CMP_LT_OS));
    };
    return _mm256_movemask_pd (_mm256_and_pd (_mm256_and_pd (in (a), in (b)), in (c))) == 15;
}

// Four copies from j: their values, and their phases advanced. Unchecked,
// the phases are known to stay in [0, 4096) by the usual wrap.
// Track false: every flag is already set, none is kept.
template <int Kind, bool Oscillator1, bool Checked = true, bool Track = true>
TALVORA_WIDE_INLINE __m256d quadStep (const StackTables& in, const double* w, const double* wOffset,
                                      const double* step, __m256d& ph, int& past, bool restartFirst = false) noexcept
{
    const __m256d table = _mm256_set1_pd (kTable);
    const __m128i mask = _mm_set1_epi32 (kTableMask);
    const __m256d t = _mm256_set1_pd (in.t);
    // Unchecked, every phase is in [0, 4096): its integer part is the index.
    const __m128i idx = Checked ? _mm_and_si128 (_mm256_cvttpd_epi32 (ph), mask) : _mm256_cvttpd_epi32 (ph);
    const __m256d a = _mm256_i32gather_pd (in.a, idx, 8);
    __m256d value;
    if constexpr (Kind == stackCrossfade)
        value = _mm256_add_pd (_mm256_mul_pd (a, _mm256_set1_pd (in.oneMinusT)),
                               _mm256_mul_pd (_mm256_i32gather_pd (in.b, idx, 8), t));
    else if constexpr (Kind == stackSawSquare)
    {
        const __m128i k = _mm_and_si128 (_mm_add_epi32 (idx, _mm_set1_epi32 (2048)), mask);
        value = _mm256_sub_pd (a, _mm256_mul_pd (_mm256_i32gather_pd (in.a, k, 8), t));
    }
    else
    {
        const __m128i k = _mm_and_si128 (_mm256_cvttpd_epi32 (_mm256_add_pd (_mm256_loadu_pd (wOffset), ph)), mask);
        value = _mm256_add_pd (_mm256_sub_pd (_mm256_loadu_pd (w), _mm256_mul_pd (_mm256_i32gather_pd (in.a, k, 8), t)), a);
    }

    const __m256d raw = _mm256_add_pd (ph, _mm256_loadu_pd (step));
    const __m256d over = _mm256_cmp_pd (raw, table, _CMP_GE_OS);
    ph = _mm256_sub_pd (raw, _mm256_and_pd (over, table));
    if constexpr (Oscillator1 && Track)
        past |= _mm256_movemask_pd (over);
    if constexpr (! Checked)
        return value;
    const __m256d inRange = _mm256_and_pd (_mm256_cmp_pd (ph, _mm256_setzero_pd(), _CMP_GE_OS),
                                           _mm256_cmp_pd (ph, table, _CMP_LT_OS));
    if (_mm256_movemask_pd (inRange) != 15)
    {
        ph = wrapLanes<Oscillator1, __m256d, 4> (raw, ph, past);
        if (restartFirst && ! std::isfinite (_mm256_cvtsd_f64 (ph)))
            ph = _mm256_blend_pd (ph, _mm256_setzero_pd(), 1);
    }
    return value;
}

// Two copies from j, as quadStep.
template <int Kind, bool Oscillator1, bool Checked = true>
TALVORA_WIDE_INLINE __m128d pairStep (const StackTables& in, const double* w, const double* wOffset,
                                      const double* step, __m128d& ph, int& past) noexcept
{
    const __m128d table = _mm_set1_pd (kTable);
    const __m128i mask = _mm_set1_epi32 (kTableMask);
    const __m128d t = _mm_set1_pd (in.t);
    const __m128i idx = Checked ? _mm_and_si128 (_mm_cvttpd_epi32 (ph), mask) : _mm_cvttpd_epi32 (ph);
    const __m128d a = _mm_i32gather_pd (in.a, idx, 8);
    __m128d value;
    if constexpr (Kind == stackCrossfade)
        value = _mm_add_pd (_mm_mul_pd (a, _mm_set1_pd (in.oneMinusT)), _mm_mul_pd (_mm_i32gather_pd (in.b, idx, 8), t));
    else if constexpr (Kind == stackSawSquare)
    {
        const __m128i k = _mm_and_si128 (_mm_add_epi32 (idx, _mm_set1_epi32 (2048)), mask);
        value = _mm_sub_pd (a, _mm_mul_pd (_mm_i32gather_pd (in.a, k, 8), t));
    }
    else
    {
        const __m128i k = _mm_and_si128 (_mm_cvttpd_epi32 (_mm_add_pd (_mm_loadu_pd (wOffset), ph)), mask);
        value = _mm_add_pd (_mm_sub_pd (_mm_loadu_pd (w), _mm_mul_pd (_mm_i32gather_pd (in.a, k, 8), t)), a);
    }

    const __m128d raw = _mm_add_pd (ph, _mm_loadu_pd (step));
    const __m128d over = _mm_cmpge_pd (raw, table);
    ph = _mm_sub_pd (raw, _mm_and_pd (over, table));
    if constexpr (Oscillator1)
        past |= _mm_movemask_pd (over);
    if constexpr (! Checked)
        return value;
    const __m128d inRange = _mm_and_pd (_mm_cmpge_pd (ph, _mm_setzero_pd()), _mm_cmplt_pd (ph, table));
    if (_mm_movemask_pd (inRange) != 3)
        ph = wrapLanes<Oscillator1, __m128d, 2> (raw, ph, past);
    return value;
}

// Two values, twice: [x0, x1, x0, x1].
TALVORA_WIDE_INLINE __m256d twoTimes (const double* x) noexcept
{
    const __m128d lo = _mm_loadu_pd (x);
    return _mm256_set_m128d (lo, lo);
}

// Two copies as pairStep, with their phases held twice in one register
// ([p0, p1, p0, p1]) so the two table reads of each copy are one gather:
// the low lanes read at the phases, the high ones at the second index
// (phase plus pulse-width offset, or index plus half a table). Both halves
// step alike and stay equal; `past` keeps the copies' flags in bits 0 and 1.
template <int Kind, bool Oscillator1, bool Checked, bool Track = true>
TALVORA_WIDE_INLINE __m128d pairStepTwice (const StackTables& in, const double* w, const double* wOffset, __m256d step,
                                           __m256d& ph, int& past) noexcept
{
    static_assert (Kind == stackSawSquare || Kind == stackSawSquarePwm, "one table read twice");
    const __m256d table = _mm256_set1_pd (kTable);
    const __m128i mask = _mm_set1_epi32 (kTableMask);
    __m128i idx;
    if constexpr (Kind == stackSawSquarePwm)
    {
        // ph + 0 truncates as ph does, -0 and not-a-number included.
        const __m256d offset = _mm256_insertf128_pd (_mm256_setzero_pd(), _mm_loadu_pd (wOffset), 1);
        idx = _mm_and_si128 (_mm256_cvttpd_epi32 (_mm256_add_pd (ph, offset)), mask);
    }
    else
        idx = _mm_and_si128 (_mm_add_epi32 (_mm256_cvttpd_epi32 (ph), _mm_setr_epi32 (0, 0, 2048, 2048)), mask);
    const __m256d read = _mm256_i32gather_pd (in.a, idx, 8);
    const __m128d a = _mm256_castpd256_pd128 (read), second = _mm256_extractf128_pd (read, 1);
    const __m128d t = _mm256_castpd256_pd128 (_mm256_set1_pd (in.t));
    __m128d value;
    if constexpr (Kind == stackSawSquarePwm)
        value = _mm_add_pd (_mm_sub_pd (_mm_loadu_pd (w), _mm_mul_pd (second, t)), a);
    else
        value = _mm_sub_pd (a, _mm_mul_pd (second, t));

    const __m256d raw = _mm256_add_pd (ph, step);
    const __m256d over = _mm256_cmp_pd (raw, table, _CMP_GE_OS);
    ph = _mm256_sub_pd (raw, _mm256_and_pd (over, table));
    if constexpr (Oscillator1 && Track)
        past |= _mm256_movemask_pd (over) & 3;
    if constexpr (! Checked)
        return value;
    if (! inTable (ph))
    {
        const __m128d low = wrapLanes<Oscillator1, __m128d, 2> (_mm256_castpd256_pd128 (raw), _mm256_castpd256_pd128 (ph), past);
        ph = _mm256_insertf128_pd (_mm256_castpd128_pd256 (low), low, 1);
    }
    return value;
}

// The steps StackSteps::update gives, for every copy at once: the same
// divisions and sums lane by lane (copies past the stack are not read).
TALVORA_WIDE_INLINE void stepRowWide (double* row, double inc, double spread) noexcept
{
    static_assert (kMaxStack == 10, "two quads and a pair of copies");
    const __m256d i4 = _mm256_set1_pd (inc), e4 = _mm256_set1_pd (spread * inc);
    const __m256d e0 = _mm256_div_pd (e4, _mm256_setr_pd (1.0, 2.0, 3.0, 4.0));
    const __m256d e1 = _mm256_div_pd (e4, _mm256_setr_pd (5.0, 6.0, 7.0, 8.0));
    const __m128d e2 = _mm_div_pd (_mm256_castpd256_pd128 (e4), _mm_setr_pd (9.0, 10.0));
    // Even copies move by the increment minus their share, odd ones plus it;
    // copy 0 by the increment itself.
    const __m256d row0 = _mm256_blend_pd (_mm256_add_pd (i4, e0), _mm256_sub_pd (i4, e0), 0x5);
    _mm256_storeu_pd (row, _mm256_blend_pd (row0, i4, 0x1));
    _mm256_storeu_pd (row + 4, _mm256_blend_pd (_mm256_add_pd (i4, e1), _mm256_sub_pd (i4, e1), 0x5));
    const __m128d i2 = _mm256_castpd256_pd128 (i4);
    _mm_storeu_pd (row + 8, _mm_blend_pd (_mm_add_pd (i2, e2), _mm_sub_pd (i2, e2), 0x1));
}

// Samples [start, start + n) of a stack of 4 Quads + 2 Pair + Single
// copies, every one as stackSample's wide form does it (the quads summed,
// their halves added, then the pair, then the single), with the phases and
// flags kept in registers for the whole run and the steps read from rows.
template <int Kind, bool Oscillator1, int Quads, bool Pair, bool Single>
TALVORA_WIDE void runStackRegisters (const StackTables& tables, const StackRun& run, double* phase, bool* pastFirstCycle,
                                     double spread, int start, int n, double* out) noexcept
{
    static_assert (Kind == stackCrossfade || Kind == stackSawSquare || Kind == stackSawSquarePwm, "no switch points");
    constexpr int K = kMaxStack;
    const StackTables in = tables;   // a local copy the stores below cannot alias
    constexpr int jPair = 4 * Quads, jSingle = 4 * Quads + (Pair ? 2 : 0);
    constexpr bool pwm = Kind == stackSawSquarePwm;
    // The pair's phases twice in one register, its two reads one gather.
    constexpr bool twice = Pair && Kind != stackCrossfade;

    // Copy 0 of oscillator 1 restarts at 0 when a sample begins on a phase
    // that is not finite.
    if (Oscillator1 && ! std::isfinite (phase[0]))
        phase[0] = 0.0;

    // Oscillator 1's kMaxStack flags as bits, read eight bytes at a time:
    // the multiply gathers each byte's 0 or 1 into the top byte.
    int flagsAtStart = 0;
    if constexpr (Oscillator1)
    {
        static_assert (kMaxStack == 10, "eight flags and two");
        uint64_t low = 0;
        uint16_t high = 0;
        std::memcpy (&low, pastFirstCycle, sizeof (low));
        std::memcpy (&high, pastFirstCycle + 8, sizeof (high));
        constexpr uint64_t gather = 0x0102040810204080ull;
        flagsAtStart = (int) ((low * gather) >> 56) | (int) (((uint64_t) high * gather) >> 56) << 8;
    }
    auto bits = [flagsAtStart] (int j, int lanes) { return (flagsAtStart >> j) & ((1 << lanes) - 1); };
    __m256d ph0 = _mm256_loadu_pd (phase);
    __m256d ph1 = Quads == 2 ? _mm256_loadu_pd (phase + 4) : _mm256_setzero_pd();
    __m128d phP = Pair && ! twice ? _mm_loadu_pd (phase + jPair) : _mm_setzero_pd();
    __m256d phPP = twice ? twoTimes (phase + jPair) : _mm256_setzero_pd();
    double phS = Single ? phase[jSingle] : 0.0;
    int past0 = bits (0, 4), past1 = Quads == 2 ? bits (4, 4) : 0, pastP = Pair ? bits (jPair, 2) : 0;
    bool pastS[1] { Oscillator1 && Single && bits (jSingle, 1) != 0 };
    // Oscillator 1's flags only ever get set: once all are, none is kept.
    auto allPast = [&] {
        return past0 == 15 && (Quads == 1 || past1 == 15) && (! Pair || (pastP & 3) == 3) && (! Single || pastS[0]);
    };
    double row[kMaxStack];
    __m256d stepPP = _mm256_setzero_pd();
    double lastIncrement = std::numeric_limits<double>::quiet_NaN();
    // While every step of the row is in [0, 4096) and every phase is in
    // [0, 4096), the usual wrap keeps the phases there (raw - 4096 is exact
    // and below 4096), so the checks for anything else can be left out.
    bool unchecked = false;
    // The offsets' rows are reached from the widths' at a fixed distance,
    // so one pointer walks both.
    const double* w = pwm ? run.w + start * K : nullptr;
    const uintptr_t offsetGap = pwm ? (uintptr_t) run.wOffset - (uintptr_t) run.w : 0;
    const double* level = run.level + start;
    const double* increment = run.increment + start;
    double* dst = out + start;
    std::ptrdiff_t i = 0;
    auto sample = [&] (auto checked, auto track) __attribute__ ((target ("avx2"), always_inline)) {
        constexpr bool Checked = decltype (checked)::value;
        constexpr bool Track = decltype (track)::value;
        const double* step = row;
        const double* wOffset = pwm ? (const double*) ((uintptr_t) w + offsetGap) : nullptr;

        // Only an unusual wrap can leave copy 0 not finite; a later sample
        // of this run then restarts it.
        __m256d quads = _mm256_add_pd (_mm256_setzero_pd(),
                                       quadStep<Kind, Oscillator1, Checked, Track> (in, w, wOffset, step, ph0, past0,
                                                                                    Oscillator1 && i + 1 < n));
        if constexpr (Quads == 2)
            quads = _mm256_add_pd (quads, quadStep<Kind, Oscillator1, Checked, Track> (in, pwm ? w + 4 : nullptr,
                                                                                       pwm ? wOffset + 4 : nullptr,
                                                                                       step + 4, ph1, past1));
        __m128d pairs = _mm_add_pd (_mm256_castpd256_pd128 (quads), _mm256_extractf128_pd (quads, 1));
        if constexpr (twice)
            pairs = _mm_add_pd (pairs, pairStepTwice<Kind, Oscillator1, Checked, Track> (in, pwm ? w + jPair : nullptr,
                                                                                          pwm ? wOffset + jPair : nullptr,
                                                                                          stepPP, phPP, pastP));
        else if constexpr (Pair)
            pairs = _mm_add_pd (pairs, pairStep<Kind, Oscillator1, Checked> (in, pwm ? w + jPair : nullptr,
                                                                              pwm ? wOffset + jPair : nullptr,
                                                                              step + jPair, phP, pastP));
        double sum = _mm_cvtsd_f64 (_mm_add_sd (pairs, _mm_unpackhi_pd (pairs, pairs)));
        if constexpr (Single)
        {
            const int idx = tableIndex (phS);
            double value;
            if constexpr (Kind == stackCrossfade)
                value = in.a[idx] * in.oneMinusT + in.b[idx] * in.t;
            else if constexpr (Kind == stackSawSquare)
                value = in.a[idx] - in.a[(idx + 2048) & kTableMask] * in.t;
            else
                value = w[jSingle] - in.a[truncated (wOffset[jSingle] + phS) & kTableMask] * in.t + in.a[idx];
            const double raw = phS + step[jSingle];
            const bool over = raw >= kTable;
            const double next = raw - (over ? kTable : 0.0);
            if constexpr (Oscillator1 && Track)
                pastS[0] = pastS[0] | over;
            phS = Checked ? unusualWrap<Oscillator1> (raw, next, pastS, 0) : next;
            sum += value;
        }
        dst[i] = sum * level[i];
        ++i;
        if constexpr (pwm)
            w += K;
    };

    // Within an unchecked run the last increment is a number, so the same
    // bits mean the same increment (the other zero goes the long way round).
    auto sameIncrement = [increment, &i] (uint64_t last) {
        uint64_t x;
        std::memcpy (&x, increment + i, sizeof (x));
        return x == last;
    };
    uint64_t lastBits = 0;
    uint64_t smallSteps = 0;
    if (spread >= 0.0 && spread <= 1.0)
    {
        const double largest = 2048.0;
        std::memcpy (&smallSteps, &largest, sizeof (smallSteps));
        ++smallSteps;
    }
    while (i < n)
    {
        // A row of steps is only worked out when the increment changes;
        // its divisions then overlap the table reads.
        const double inc = increment[i];
        if (! (inc == lastIncrement))
        {
            stepRowWide (row, inc, spread);
            lastIncrement = inc;
            std::memcpy (&lastBits, &inc, sizeof (lastBits));
            const __m256d r0 = _mm256_loadu_pd (row), r1 = _mm256_loadu_pd (row + 4);
            stepPP = twoTimes (row + jPair);
            // An increment in [0, 2048] with a spread in [0, 1] keeps every
            // step in [0, 3072]; others are looked at step by step. As bits,
            // +0 to 2048 are the numbers below `smallSteps`.
            const bool rowInTable = lastBits < smallSteps || inTable (r0, r1, _mm256_setr_pd (row[8], row[9], 0.0, 0.0));
            // An unchecked run left its phases in [0, 4096).
            if (! unchecked)
            {
                const __m256d p2 = twice ? phPP
                                         : _mm256_setr_pd (Pair ? _mm_cvtsd_f64 (phP) : 0.0,
                                                           Pair ? _mm_cvtsd_f64 (_mm_unpackhi_pd (phP, phP)) : 0.0, 0.0, 0.0);
                unchecked = inTable (ph0, ph1, p2) && (! Single || (phS >= 0.0 && phS < kTable));
            }
            unchecked = unchecked && rowInTable;
        }
        if (! unchecked)
        {
            sample (std::true_type {}, std::true_type {});
            continue;
        }
        // The run of samples with this row, all of them unchecked.
        if (Oscillator1 && ! allPast())
            do
                sample (std::false_type {}, std::true_type {});
            while (i < n && sameIncrement (lastBits));
        else
            do
                sample (std::false_type {}, std::false_type {});
            while (i < n && sameIncrement (lastBits));
    }

    _mm256_storeu_pd (phase, ph0);
    if constexpr (Quads == 2)
        _mm256_storeu_pd (phase + 4, ph1);
    if constexpr (twice)
        _mm_storeu_pd (phase + jPair, _mm256_castpd256_pd128 (phPP));
    else if constexpr (Pair)
        _mm_storeu_pd (phase + jPair, phP);
    if constexpr (Single)
        phase[jSingle] = phS;
    // Only the flags this run set are written.
    if constexpr (Oscillator1)
    {
        const int flags = past0 | (Quads == 2 ? past1 << 4 : 0) | (Pair ? (pastP & 3) << jPair : 0)
                          | (Single && pastS[0] ? 1 << jSingle : 0);
        for (unsigned set = (unsigned) (flags & ~flagsAtStart); set != 0; set &= set - 1)
            pastFirstCycle[__builtin_ctz (set)] = true;
    }
}

// runStack of a stack of four or more copies on the wide path.
template <int Kind, bool Oscillator1>
TALVORA_WIDE void runStackChunkWide (const StackTables& in, const StackRun& run, double* phase, bool* pastFirstCycle,
                                     StackSteps&, double spread, int stack, double* out, int from, int to) noexcept
{
    const int n = to - from;
    if (n <= 0)
        return;
    switch (stack)
    {
        case 4:  runStackRegisters<Kind, Oscillator1, 1, false, false> (in, run, phase, pastFirstCycle, spread, from, n, out); break;
        case 5:  runStackRegisters<Kind, Oscillator1, 1, false, true> (in, run, phase, pastFirstCycle, spread, from, n, out); break;
        case 6:  runStackRegisters<Kind, Oscillator1, 1, true, false> (in, run, phase, pastFirstCycle, spread, from, n, out); break;
        case 7:  runStackRegisters<Kind, Oscillator1, 1, true, true> (in, run, phase, pastFirstCycle, spread, from, n, out); break;
        case 8:  runStackRegisters<Kind, Oscillator1, 2, false, false> (in, run, phase, pastFirstCycle, spread, from, n, out); break;
        case 9:  runStackRegisters<Kind, Oscillator1, 2, false, true> (in, run, phase, pastFirstCycle, spread, from, n, out); break;
        default: runStackRegisters<Kind, Oscillator1, 2, true, false> (in, run, phase, pastFirstCycle, spread, from, n, out); break;
    }
}
#endif

template <bool Oscillator1, bool Single>
void runStackOfKind (int kind, const StackTables& in, const StackRun& run, double* phase, bool* pastFirstCycle,
                     StackSteps& steps, double spread, int stack, double* out, int from, int to) noexcept
{
    switch (kind)
    {
        case stackCrossfade:    runStack<stackCrossfade, Oscillator1, Single> (in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to); break;
        case stackSawSquare:    runStack<stackSawSquare, Oscillator1, Single> (in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to); break;
        case stackSawSquarePwm: runStack<stackSawSquarePwm, Oscillator1, Single> (in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to); break;
        case stackSwitch:
            if constexpr (Oscillator1)
                runStack<stackSwitch, true, Single> (in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to);
            break;
        default:
            if constexpr (Oscillator1)
                runStack<stackSwitchPwm, true, Single> (in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to);
            break;
    }
}

// One copy's samples, with the stack-of-one case split off.
template <bool Oscillator1>
void runStackCopy (bool wide, int kind, const StackTables& in, const StackRun& run, double* phase, bool* pastFirstCycle,
                   StackSteps& steps, double spread, int stack, double* out, int from, int to) noexcept
{
#if TALVORA_WIDE_PATH
    if (wide && stack >= 4)
        switch (kind)
        {
            case stackCrossfade:    runStackChunkWide<stackCrossfade, Oscillator1> (in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to); return;
            case stackSawSquare:    runStackChunkWide<stackSawSquare, Oscillator1> (in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to); return;
            case stackSawSquarePwm: runStackChunkWide<stackSawSquarePwm, Oscillator1> (in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to); return;
            default: break;   // switch points: the plain path
        }
#else
    (void) wide;
#endif
    if (stack == 1)
        runStackOfKind<Oscillator1, true> (kind, in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to);
    else
        runStackOfKind<Oscillator1, false> (kind, in, run, phase, pastFirstCycle, steps, spread, stack, out, from, to);
}

// Oscillator 3 of `Copies` unison copies over `len` samples of a chunk, the
// copies side by side so their phase chains overlap. Each copy wraps as the
// stacks do; a phase that leaves the table other than by one cycle takes the
// general wrap, and one that is not finite restarts at 0.
template <int Copies>
inline void osc3Run (double* phase, const double* increment, const double* common, const double* held, double octaveRatio,
                     const double* table, const double* level, double* values, int stride, int len) noexcept
{
    static_assert (Copies <= 4, "at most four unison copies");
    double ph[4];
    for (int k = 0; k < Copies; ++k)
        ph[k] = phase[k];
    for (int ci = 0; ci < len; ++ci)
        for (int k = 0; k < Copies; ++k)
        {
            const double raw = ph[k] + increment[k] * common[ci] * held[ci] * octaveRatio;
            double next = raw - (raw >= kTable ? kTable : 0.0);
            if (! (next >= 0.0 && next < kTable))
                next = std::isfinite (raw) ? wrapPhase (raw) : 0.0;
            ph[k] = next;
            values[k * stride + ci] = table[tableIndex (next)] * level[ci];
        }
    for (int k = 0; k < Copies; ++k)
        phase[k] = ph[k];
}

#if TALVORA_WIDE_PATH
// osc3Run of four copies in one register, every lane as osc3Run works it
// out: the same products in the same order, the one-cycle wrap as a blend
// (raw - 0 is raw, bit for bit), anything else lane by lane as there. One
// sample per step(), so it can run beside other work (see
// pulseChainBesideOsc3).
struct Osc3Quad
{
    __m256d ph, inc, octave;
    const double* common;
    const double* held;
    const double* table;
    const double* level;
    double* values;
    int stride;

    TALVORA_WIDE_INLINE void start (const double* phase, const double* increment, double octaveRatio) noexcept
    {
        ph = _mm256_loadu_pd (phase);
        inc = _mm256_loadu_pd (increment);
        octave = _mm256_set1_pd (octaveRatio);
    }

    TALVORA_WIDE_INLINE void step (int ci) noexcept
    {
        const __m256d tableSize = _mm256_set1_pd (kTable), zero = _mm256_setzero_pd();
        const __m128i mask = _mm_set1_epi32 (kTableMask);
        const __m256d stepSize = _mm256_mul_pd (_mm256_mul_pd (_mm256_mul_pd (inc, _mm256_set1_pd (common[ci])),
                                                               _mm256_set1_pd (held[ci])), octave);
        const __m256d raw = _mm256_add_pd (ph, stepSize);
        ph = _mm256_blendv_pd (raw, _mm256_sub_pd (raw, tableSize), _mm256_cmp_pd (raw, tableSize, _CMP_GE_OS));
        const __m256d inRange = _mm256_and_pd (_mm256_cmp_pd (ph, zero, _CMP_GE_OS), _mm256_cmp_pd (ph, tableSize, _CMP_LT_OS));
        if (_mm256_movemask_pd (inRange) != 15)
        {
            double r[4], next[4];
            _mm256_storeu_pd (r, raw);
            _mm256_storeu_pd (next, ph);
            for (int k = 0; k < 4; ++k)
                if (! (next[k] >= 0.0 && next[k] < kTable))
                    next[k] = std::isfinite (r[k]) ? wrapPhase (r[k]) : 0.0;
            ph = _mm256_loadu_pd (next);
        }
        const __m128i idx = _mm_and_si128 (_mm256_cvttpd_epi32 (ph), mask);
        const __m256d v = _mm256_mul_pd (_mm256_i32gather_pd (table, idx, 8), _mm256_set1_pd (level[ci]));
        const __m128d lo = _mm256_castpd256_pd128 (v), hi = _mm256_extractf128_pd (v, 1);
        _mm_storel_pd (values + ci, lo);
        _mm_storeh_pd (values + stride + ci, lo);
        _mm_storel_pd (values + 2 * stride + ci, hi);
        _mm_storeh_pd (values + 3 * stride + ci, hi);
    }

    TALVORA_WIDE_INLINE void finish (double* phase) const noexcept { _mm256_storeu_pd (phase, ph); }
};

TALVORA_WIDE inline void osc3RunQuad (double* phase, const double* increment, const double* common, const double* held,
                                      double octaveRatio, const double* table, const double* level, double* values,
                                      int stride, int len) noexcept
{
    Osc3Quad o { {}, {}, {}, common, held, table, level, values, stride };
    o.start (phase, increment, octaveRatio);
    for (int ci = 0; ci < len; ++ci)
        o.step (ci);
    o.finish (phase);
}
#endif

// Pulse-width offset of a stacked copy from its pulse-width LFO phase.
inline double pulseWidth (double lfoPhase, double amount, double held) noexcept
{
    return clampValue (sineTable[(int) (lfoPhase * kTable) & kTableMask] * amount * 0.99 + held, -0.99, 0.99);
}

// One step of a pulse-width LFO phase, kept in [0, 1].
inline void stepPulsePhase (double& phase, double step) noexcept
{
    phase += step;
    if (phase > 1.0)
        phase -= 1.0;
}

// Whether row A of sample ci is the previous row B: only when rows B are
// made and the held value keeps its bits.
inline bool samePulseRow (const double* held, bool rowsB, int ci) noexcept
{
    if (! rowsB || ci == 0)
        return false;
    uint64_t x, y;
    std::memcpy (&x, held + ci, sizeof (x));
    std::memcpy (&y, held + ci - 1, sizeof (y));
    return x == y;
}

#if TALVORA_WIDE_PATH
// pulseWidth of four LFO phases.
TALVORA_WIDE_INLINE __m256d pulseWidthQuad (__m256d ph, double amount, __m256d held) noexcept
{
    const __m256d k99 = _mm256_set1_pd (0.99);
    const __m128i idx = _mm_and_si128 (_mm256_cvttpd_epi32 (_mm256_mul_pd (ph, _mm256_set1_pd (kTable))),
                                       _mm_set1_epi32 (kTableMask));
    const __m256d x = _mm256_add_pd (_mm256_mul_pd (_mm256_mul_pd (_mm256_i32gather_pd (sineTable, idx, 8),
                                                                   _mm256_set1_pd (amount)), k99), held);
    // max (lo, x) is lo only below it and x when x is not a number, as the clamp.
    return _mm256_min_pd (k99, _mm256_max_pd (_mm256_set1_pd (-0.99), x));
}

// pulseWidth of two LFO phases.
TALVORA_WIDE_INLINE __m128d pulseWidthPair (__m128d ph, double amount, __m128d held) noexcept
{
    const __m128d k99 = _mm_set1_pd (0.99);
    const __m128i idx = _mm_and_si128 (_mm_cvttpd_epi32 (_mm_mul_pd (ph, _mm_set1_pd (kTable))), _mm_set1_epi32 (kTableMask));
    const __m128d x = _mm_add_pd (_mm_mul_pd (_mm_mul_pd (_mm_i32gather_pd (sineTable, idx, 8), _mm_set1_pd (amount)), k99), held);
    return _mm_min_pd (k99, _mm_max_pd (_mm_set1_pd (-0.99), x));
}

// Where sample ci of a group of lanes from j of pulseRowsWide goes: row A
// in rows[ci], row B in the next row and, where row A is new, the row B it
// replaces in kept[ci - 1], for restoreRows.
struct PulseRowsAt
{
    double (*rows)[kMaxStack];
    double (*offRows)[kMaxStack];
    double (*kept)[kMaxStack];
    double (*offKept)[kMaxStack];
};

// One sample of two lanes of pulseRowsWide, as pulseRowQuad.
template <bool RowsB>
TALVORA_WIDE_INLINE void pulseRowPair (__m128d& ph, __m128d step, __m128d& lastB, __m128d& lastOffB, bool fresh,
                                       double amount, double held, const PulseRowsAt& at, int ci, int j) noexcept
{
    const __m128d half = _mm_set1_pd (2048.0), one = _mm_set1_pd (1.0), h = _mm_set1_pd (held);
    if (fresh)
    {
        if (RowsB && ci > 0)
        {
            _mm_storeu_pd (at.kept[ci - 1] + j, lastB);
            _mm_storeu_pd (at.offKept[ci - 1] + j, lastOffB);
        }
        const __m128d wa = pulseWidthPair (ph, amount, h);
        _mm_storeu_pd (at.rows[ci] + j, wa);
        _mm_storeu_pd (at.offRows[ci] + j, _mm_add_pd (_mm_mul_pd (wa, half), half));
    }
    ph = _mm_add_pd (ph, step);
    ph = _mm_sub_pd (ph, _mm_and_pd (_mm_cmpgt_pd (ph, one), one));
    if constexpr (RowsB)
    {
        lastB = pulseWidthPair (ph, amount, h);
        lastOffB = _mm_add_pd (_mm_mul_pd (lastB, half), half);
        _mm_storeu_pd (at.rows[ci + 1] + j, lastB);
        _mm_storeu_pd (at.offRows[ci + 1] + j, lastOffB);
    }
}

// One sample of four lanes of pulseRowsWide. A row A that is not new is
// the previous row B, already in place.
template <bool RowsB>
TALVORA_WIDE_INLINE void pulseRowQuad (__m256d& ph, __m256d step, __m256d& lastB, __m256d& lastOffB, bool fresh,
                                       double amount, double held, const PulseRowsAt& at, int ci, int j) noexcept
{
    const __m256d half = _mm256_set1_pd (2048.0), one = _mm256_set1_pd (1.0), h = _mm256_set1_pd (held);
    if (fresh)
    {
        if (RowsB && ci > 0)
        {
            _mm256_storeu_pd (at.kept[ci - 1] + j, lastB);
            _mm256_storeu_pd (at.offKept[ci - 1] + j, lastOffB);
        }
        const __m256d wa = pulseWidthQuad (ph, amount, h);
        _mm256_storeu_pd (at.rows[ci] + j, wa);
        _mm256_storeu_pd (at.offRows[ci] + j, _mm256_add_pd (_mm256_mul_pd (wa, half), half));
    }
    ph = _mm256_add_pd (ph, step);
    ph = _mm256_sub_pd (ph, _mm256_and_pd (_mm256_cmp_pd (ph, one, _CMP_GT_OS), one));
    if constexpr (RowsB)
    {
        lastB = pulseWidthQuad (ph, amount, h);
        lastOffB = _mm256_add_pd (_mm256_mul_pd (lastB, half), half);
        _mm256_storeu_pd (at.rows[ci + 1] + j, lastB);
        _mm256_storeu_pd (at.offRows[ci + 1] + j, lastOffB);
    }
}

// Bit i set where held[base + i] does not keep the bits of the value before
// it (base + i >= 1, n <= 64).
TALVORA_WIDE_INLINE uint64_t heldChanges (const double* held, int base, int n) noexcept
{
    uint64_t changes = 0;
    int i = 0;
    for (; i + 4 <= n; i += 4)
    {
        const __m256i x = _mm256_loadu_si256 ((const __m256i*) (const void*) (held + base + i));
        const __m256i before = _mm256_loadu_si256 ((const __m256i*) (const void*) (held + base + i - 1));
        const int same = _mm256_movemask_pd (_mm256_castsi256_pd (_mm256_cmpeq_epi64 (x, before)));
        changes |= (uint64_t) (~same & 15) << i;
    }
    for (; i < n; ++i)
        changes |= (uint64_t) (samePulseRow (held, true, base + i) ? 0 : 1) << i;
    return changes;
}

// The longest run pulseRowsWide takes: which rows A are new is one word.
constexpr int kMaxPulseRun = 64;

// Bit ci set where row A of sample ci of pulseRowsWide is new: every one
// without rows B, else the first and where the held value changes.
TALVORA_WIDE_INLINE uint64_t freshRows (const double* held, bool rowsB, int len) noexcept
{
    if (! rowsB)
        return len >= 64 ? ~(uint64_t) 0 : ((uint64_t) 1 << len) - 1;
    return len > 1 ? 1 | heldChanges (held, 1, len - 1) << 1 : 1;
}

// Pulse widths of stacked copy 0 of oscillator 2, whose LFO phase steps
// once per unison copy: per sample, unison copy k reads the width at the
// phase after k steps (copy 0's into the rows A, the others' into `widths`
// and `offsets` by sample), then the phase has stepped Copies times. Each
// width and step as pulseWidth and stepPulsePhase do it, the Copies widths
// of a sample in one register. One sample per step().
template <int Copies>
struct PulseChain
{
    static_assert (Copies == 1 || Copies == 2 || Copies == 4, "one, two or four unison copies");
    double ph, stepSize, amount;
    const double* held;
    double (*a)[kMaxStack];
    double (*offA)[kMaxStack];
    double (*widths)[4];
    double (*offsets)[4];

    TALVORA_WIDE_INLINE void step (int ci) noexcept
    {
        const __m256d half = _mm256_set1_pd (2048.0);
        double p[4] {};
        for (int k = 0; k < Copies; ++k)
        {
            p[k] = ph;
            stepPulsePhase (ph, stepSize);
        }
        const __m256d width = pulseWidthQuad (_mm256_setr_pd (p[0], p[1], p[2], p[3]), amount, _mm256_set1_pd (held[ci]));
        const __m256d offset = _mm256_add_pd (_mm256_mul_pd (width, half), half);
        a[ci][0] = _mm256_cvtsd_f64 (width);
        offA[ci][0] = _mm256_cvtsd_f64 (offset);
        _mm256_storeu_pd (widths[ci], width);
        _mm256_storeu_pd (offsets[ci], offset);
    }
};

template <int Copies>
TALVORA_WIDE inline void pulseChainWide (double& lfoPhase, double step, double amount, const double* held, int len,
                                         double (*a)[kMaxStack], double (*offA)[kMaxStack], double (*widths)[4],
                                         double (*offsets)[4]) noexcept
{
    PulseChain<Copies> chain { lfoPhase, step, amount, held, a, offA, widths, offsets };
    for (int ci = 0; ci < len; ++ci)
        chain.step (ci);
    lfoPhase = chain.ph;
}

// pulseChainWide<4> and osc3RunQuad over the same samples, a sample of each
// in turn: each is bound by the chain from one sample's phase to the next,
// and the two chains overlap. The same results as one after the other.
TALVORA_WIDE inline void pulseChainBesideOsc3 (double& lfoPhase, double step, double amount, const double* pulseHeld,
                                               double (*a)[kMaxStack], double (*offA)[kMaxStack], double (*widths)[4],
                                               double (*offsets)[4], double* phase, const double* increment,
                                               const double* common, const double* held, double octaveRatio,
                                               const double* table, const double* level, double* values, int stride,
                                               int len) noexcept
{
    PulseChain<4> chain { lfoPhase, step, amount, pulseHeld, a, offA, widths, offsets };
    Osc3Quad osc3 { {}, {}, {}, common, held, table, level, values, stride };
    osc3.start (phase, increment, octaveRatio);
    for (int ci = 0; ci < len; ++ci)
    {
        chain.step (ci);
        osc3.step (ci);
    }
    lfoPhase = chain.ph;
    osc3.finish (phase);
}

// pulseRowsWide with or without rows B.
template <bool RowsB>
TALVORA_WIDE inline uint64_t pulseRowsRun (double* lfoPhase, const double* lfoStep, int from, int to, double amount,
                                           const double* held, int len, const PulseRowsAt& where) noexcept
{
    const PulseRowsAt at = where;   // a local copy the row stores cannot alias
    const uint64_t fresh = freshRows (held, RowsB, len);
    auto eachSample = [len, fresh] (auto sample) __attribute__ ((target ("avx2"), always_inline)) {
        for (int ci = 0; ci < len; ++ci)
            sample (ci, ((fresh >> ci) & 1) != 0);
    };
    int j = from;
    for (; j + 8 <= to; j += 8)
    {
        __m256d ph0 = _mm256_loadu_pd (lfoPhase + j), ph1 = _mm256_loadu_pd (lfoPhase + j + 4);
        const __m256d step0 = _mm256_loadu_pd (lfoStep + j), step1 = _mm256_loadu_pd (lfoStep + j + 4);
        __m256d lastB0 = _mm256_setzero_pd(), lastB1 = _mm256_setzero_pd();
        __m256d lastOffB0 = _mm256_setzero_pd(), lastOffB1 = _mm256_setzero_pd();
        eachSample ([&] (int ci, bool isNew) __attribute__ ((target ("avx2"), always_inline)) {
            pulseRowQuad<RowsB> (ph0, step0, lastB0, lastOffB0, isNew, amount, held[ci], at, ci, j);
            pulseRowQuad<RowsB> (ph1, step1, lastB1, lastOffB1, isNew, amount, held[ci], at, ci, j + 4);
        });
        _mm256_storeu_pd (lfoPhase + j, ph0);
        _mm256_storeu_pd (lfoPhase + j + 4, ph1);
    }
    for (; j + 4 <= to; j += 4)
    {
        __m256d ph0 = _mm256_loadu_pd (lfoPhase + j);
        const __m256d step0 = _mm256_loadu_pd (lfoStep + j);
        __m256d lastB0 = _mm256_setzero_pd(), lastOffB0 = _mm256_setzero_pd();
        eachSample ([&] (int ci, bool isNew) __attribute__ ((target ("avx2"), always_inline)) {
            pulseRowQuad<RowsB> (ph0, step0, lastB0, lastOffB0, isNew, amount, held[ci], at, ci, j);
        });
        _mm256_storeu_pd (lfoPhase + j, ph0);
    }
    for (; j + 2 <= to; j += 2)
    {
        __m128d ph = _mm_loadu_pd (lfoPhase + j);
        const __m128d step = _mm_loadu_pd (lfoStep + j);
        __m128d lastB = _mm_setzero_pd(), lastOffB = _mm_setzero_pd();
        eachSample ([&] (int ci, bool isNew) __attribute__ ((target ("avx2"), always_inline)) {
            pulseRowPair<RowsB> (ph, step, lastB, lastOffB, isNew, amount, held[ci], at, ci, j);
        });
        _mm_storeu_pd (lfoPhase + j, ph);
    }
    for (; j < to; ++j)
    {
        double ph = lfoPhase[j], lastB = 0.0, lastOffB = 0.0;
        eachSample ([&] (int ci, bool isNew) __attribute__ ((target ("avx2"), always_inline)) {
            if (isNew)
            {
                if (RowsB && ci > 0)
                {
                    at.kept[ci - 1][j] = lastB;
                    at.offKept[ci - 1][j] = lastOffB;
                }
                const double wa = pulseWidth (ph, amount, held[ci]);
                at.rows[ci][j] = wa;
                at.offRows[ci][j] = wa * 2048.0 + 2048.0;
            }
            stepPulsePhase (ph, lfoStep[j]);
            if constexpr (RowsB)
            {
                lastB = pulseWidth (ph, amount, held[ci]);
                lastOffB = lastB * 2048.0 + 2048.0;
                at.rows[ci + 1][j] = lastB;
                at.offRows[ci + 1][j] = lastOffB;
            }
        });
        lfoPhase[j] = ph;
    }
    return fresh;
}

// Pulse-width rows of stacked copies [from, to) over `len` samples, each lane
// as pulseWidth and stepPulsePhase do it, in rows shared by the unison
// copies: rows[ci] is row A of sample ci (the LFO phases before their step),
// rows[ci + 1] its row B (after the step) when wanted, and beside each row
// its offsets w * 2048 + 2048. While the held value keeps its bits row A is
// the previous row B and is not written again; where it changes, the row B
// that row A replaces goes to kept[ci - 1], and restoreRows puts it back
// once the copy reading rows A is done. Groups of four lanes run two at a
// time (their phase chains overlap), then a pair of lanes, then a last lane.
// At most kMaxPulseRun samples; gives the samples whose rows A are new (bit ci).
TALVORA_WIDE inline uint64_t pulseRowsWide (double* lfoPhase, const double* lfoStep, int from, int to, double amount,
                                        const double* held, int len, bool rowsB, double (*rows)[kMaxStack],
                                        double (*offRows)[kMaxStack], double (*kept)[kMaxStack],
                                        double (*offKept)[kMaxStack]) noexcept
{
    const PulseRowsAt at { rows, offRows, kept, offKept };
    return rowsB ? pulseRowsRun<true> (lfoPhase, lfoStep, from, to, amount, held, len, at)
                 : pulseRowsRun<false> (lfoPhase, lfoStep, from, to, amount, held, len, at);
}

// After the copy reading rows A of pulseRowsWide's rows (made with rows B)
// has run: the rows B set aside where rows A were new (`fresh`, as
// pulseRowsWide gave it) go back, so rows[ci + 1] is row B of sample ci
// for every ci. Whole rows are copied: lanes outside those pulseRowsWide
// made take what `kept` holds there.
TALVORA_WIDE inline void restoreRows (uint64_t fresh, double (*rows)[kMaxStack], double (*offRows)[kMaxStack],
                                      const double (*kept)[kMaxStack], const double (*offKept)[kMaxStack]) noexcept
{
    for (uint64_t later = fresh & ~(uint64_t) 1; later != 0; later &= later - 1)
    {
        const int ci = __builtin_ctzll (later);
        std::memcpy (rows[ci], kept[ci - 1], sizeof (rows[ci]));
        std::memcpy (offRows[ci], offKept[ci - 1], sizeof (offRows[ci]));
    }
}
#endif
} // namespace oscstack
