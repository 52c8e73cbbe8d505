#include "dsp/Decimator.h"

#include "dsp/FilterCommon.h"

#if defined(__SSE2__)
 #include <emmintrin.h>
#endif

using namespace filtering;

namespace
{
// Caps the samples-since-hold counter when the hold rate is zero.
constexpr int kMaxHoldInterval = 1 << 30;
} // namespace

void Decimator::prepare (double /*sampleRate*/) noexcept
{
    reset();
}

void Decimator::reset() noexcept
{
    phase = held = target = slope = 0.0;
    sinceHold = 0;
}

void Decimator::processBlock (double* samples, int n, double amount, bool modulated,
                              const double* modulation, double firstCutoff) noexcept
{
    if (samples == nullptr || n <= 0)
        return;

    const bool useTable = modulated && modulation != nullptr;
    if (! isActive (amount, useTable))
        return;

    for (int start = 0; start < n; start += kGroupSize)
    {
        const int count = n - start < kGroupSize ? n - start : kGroupSize;
        processGroup (samples + start, count, amount, useTable,
                      useTable ? modulation[start / kGroupSize] : 1.0, firstCutoff);
    }
}

void Decimator::processGroup (double* x, int n, double amount, bool modulated,
                              double groupModulation, double firstCutoff) noexcept
{
    if (x == nullptr || n <= 0 || type < 0 || type >= numTypes || ! isActive (amount, modulated))
        return;

    double a, step;
    groupSettings (amount, modulated, groupModulation, firstCutoff, a, step);
    const bool holdTypes = type <= 1;
    const bool keepRemainder = (type == 1 || type == 3);

    // State in locals for the loop (writes to x could alias the members).
    double ph = phase, h = held;

    if (holdTypes)
    {
        const double wet = 5.0 * a;
        const bool crossfade = a < 0.2;

        for (int i = 0; i < n; ++i)
        {
            ph += step;
            if (ph > 1.0)
            {
                h = x[i];
                ph = keepRemainder ? ph - 1.0 : 0.0;
                // A step above 1 holds every sample anyway; keep the phase in
                // range so a later slower rate takes effect at once.
                if (ph > 1.0)
                    ph -= std::floor (ph);
            }
            x[i] = crossfade ? (1.0 - wet) * x[i] + wet * h : h;
        }
    }
    else
    {
        double to = target, sl = slope;
        int since = sinceHold;
        for (int i = 0; i < n; ++i)
        {
            if (since < kMaxHoldInterval)
                ++since;

            ph += step;
            if (ph > 1.0)
            {
                const double from = to;
                h = from;
                to = x[i];
                sl = (to - from) / since;
                since = 0;
                ph = keepRemainder ? ph - 1.0 : 0.0;
                if (ph > 1.0)
                    ph -= std::floor (ph);
            }
            else
            {
                // The slide stops at its target: when the hold rate drops
                // (the cutoff falls) it would otherwise run on without bound.
                h += sl;
                if ((sl > 0.0 && h > to) || (sl < 0.0 && h < to))
                    h = to;
            }
            x[i] = h;
        }
        target = to;
        slope = sl;
        sinceHold = since;
    }
    phase = ph;
    held = h;
    finishGroup (x, n);
}

void Decimator::groupSettings (double amount, bool modulated, double groupModulation, double firstCutoff, double& a,
                               double& step) const noexcept
{
    const double plainAmount = clampValue (finiteOr (amount, 0.0), 0.0, 1.0);
    a = plainAmount;
    if (type <= 1 && modulated)
        a = clampValue (finiteOr (groupModulation, 1.0) * plainAmount, 0.0, 1.0);

    // At a cutoff of 0 no hold would ever come and the last one would stay
    // as DC; the floor still holds at least every ~5000 samples.
    const double c0 = clampValue (finiteOr (firstCutoff, 0.0), kMinCutoff, 1.0);
    step = c0 / (5.0 * a + 0.01);
}

void Decimator::finishGroup (double* x, int n) noexcept
{
    if (! groupIsFinite (x, n, phase + held + target + slope))
    {
        reset();
        silence (x, n);
        return;
    }

    flushTiny (held);
    flushTiny (target);
    flushTiny (slope);
}

void Decimator::processBlockPair (Decimator& a, Decimator& b, double* xa, double* xb, int n, double amount,
                                  bool modulated, const double* modulation, double firstCutoff) noexcept
{
    if (xa == nullptr || xb == nullptr || n <= 0)
        return;

    const bool useTable = modulated && modulation != nullptr;
    if (! isActive (amount, useTable))
        return;

    // Only the hold types follow the modulation; otherwise the settings
    // hold for the whole block.
    const bool perGroup = useTable && a.type <= 1;
    Settings settings {};
    if (! perGroup)
        a.groupSettings (amount, false, 1.0, firstCutoff, settings.a, settings.step);
    for (int start = 0; start < n; start += kGroupSize)
    {
        const int count = n - start < kGroupSize ? n - start : kGroupSize;
        const double groupModulation = useTable ? modulation[start / kGroupSize] : 1.0;
        if (perGroup)
            a.groupSettings (amount, true, groupModulation, firstCutoff, settings.a, settings.step);
        processGroupPair (a, b, xa + start, xb + start, count, amount, useTable, groupModulation, firstCutoff,
                          settings);
    }
}

inline void Decimator::processGroupPair (Decimator& A, Decimator& B, double* xa, double* xb, int n, double amount,
                                  bool modulated, double groupModulation, double firstCutoff,
                                  const Settings& settings) noexcept
{
    const bool together = A.type == B.type && A.type >= 0 && A.type < numTypes && A.phase == B.phase
                          && A.sinceHold == B.sinceHold;
    if (! together)
    {
        A.processGroup (xa, n, amount, modulated, groupModulation, firstCutoff);
        B.processGroup (xb, n, amount, modulated, groupModulation, firstCutoff);
        return;
    }

    const double a = settings.a, step = settings.step;
    const int type = A.type;
    const bool keepRemainder = (type == 1 || type == 3);

    // The phase, and so every hold, is the same for both sides.
    double ph = A.phase, hA = A.held, hB = B.held;

    if (type <= 1)
    {
        const double wet = 5.0 * a;
        const bool crossfade = a < 0.2;

        for (int i = 0; i < n; ++i)
        {
            ph += step;
            if (ph > 1.0)
            {
                hA = xa[i];
                hB = xb[i];
                ph = keepRemainder ? ph - 1.0 : 0.0;
                if (ph > 1.0)
                    ph -= std::floor (ph);
            }
            xa[i] = crossfade ? (1.0 - wet) * xa[i] + wet * hA : hA;
            xb[i] = crossfade ? (1.0 - wet) * xb[i] + wet * hB : hB;
        }
    }
    else
    {
        double toA = A.target, toB = B.target, slA = A.slope, slB = B.slope;
        int since = A.sinceHold;
#if defined(__SSE2__)
        // Both sides in one register: one division per hold, and the stop
        // at the target by masks (it is data dependent, badly predicted).
        __m128d h2 = _mm_setr_pd (hA, hB), to2 = _mm_setr_pd (toA, toB), sl2 = _mm_setr_pd (slA, slB);
        const __m128d zero = _mm_setzero_pd();
        for (int i = 0; i < n; ++i)
        {
            if (since < kMaxHoldInterval)
                ++since;

            ph += step;
            if (ph > 1.0)
            {
                const __m128d from = to2;
                h2 = from;
                to2 = _mm_setr_pd (xa[i], xb[i]);
                sl2 = _mm_div_pd (_mm_sub_pd (to2, from), _mm_set1_pd ((double) since));
                since = 0;
                ph = keepRemainder ? ph - 1.0 : 0.0;
                if (ph > 1.0)
                    ph -= std::floor (ph);
            }
            else
            {
                h2 = _mm_add_pd (h2, sl2);
                const __m128d past = _mm_or_pd (_mm_and_pd (_mm_cmpgt_pd (sl2, zero), _mm_cmpgt_pd (h2, to2)),
                                                _mm_and_pd (_mm_cmplt_pd (sl2, zero), _mm_cmplt_pd (h2, to2)));
                h2 = _mm_or_pd (_mm_and_pd (past, to2), _mm_andnot_pd (past, h2));
            }
            _mm_storel_pd (xa + i, h2);
            _mm_storeh_pd (xb + i, h2);
        }
        hA = _mm_cvtsd_f64 (h2);
        hB = _mm_cvtsd_f64 (_mm_unpackhi_pd (h2, h2));
        toA = _mm_cvtsd_f64 (to2);
        toB = _mm_cvtsd_f64 (_mm_unpackhi_pd (to2, to2));
        slA = _mm_cvtsd_f64 (sl2);
        slB = _mm_cvtsd_f64 (_mm_unpackhi_pd (sl2, sl2));
#else
        for (int i = 0; i < n; ++i)
        {
            if (since < kMaxHoldInterval)
                ++since;

            ph += step;
            if (ph > 1.0)
            {
                const double fromA = toA, fromB = toB;
                hA = fromA;
                hB = fromB;
                toA = xa[i];
                toB = xb[i];
                slA = (toA - fromA) / since;
                slB = (toB - fromB) / since;
                since = 0;
                ph = keepRemainder ? ph - 1.0 : 0.0;
                if (ph > 1.0)
                    ph -= std::floor (ph);
            }
            else
            {
                hA += slA;
                hB += slB;
                hA = (slA > 0.0 && hA > toA) || (slA < 0.0 && hA < toA) ? toA : hA;
                hB = (slB > 0.0 && hB > toB) || (slB < 0.0 && hB < toB) ? toB : hB;
            }
            xa[i] = hA;
            xb[i] = hB;
        }
#endif
        A.target = toA;
        B.target = toB;
        A.slope = slA;
        B.slope = slB;
        A.sinceHold = B.sinceHold = since;
    }
    A.phase = B.phase = ph;
    A.held = hA;
    B.held = hB;
    finishGroupPair (A, B, xa, xb, n);
}

inline void Decimator::finishGroupPair (Decimator& A, Decimator& B, double* xa, double* xb, int n) noexcept
{
#if defined(__SSE2__)
    // finishGroup's sums for both sides in one register, each lane adding in
    // the same order.
    __m128d acc = _mm_add_pd (_mm_add_pd (_mm_add_pd (_mm_setr_pd (A.phase, B.phase), _mm_setr_pd (A.held, B.held)),
                                          _mm_setr_pd (A.target, B.target)),
                              _mm_setr_pd (A.slope, B.slope));
    for (int i = 0; i < n; ++i)
        acc = _mm_add_pd (acc, _mm_loadh_pd (_mm_load_sd (xa + i), xb + i));
    // A lane is finite exactly when it minus itself is 0.
    const int finite = _mm_movemask_pd (_mm_cmpeq_pd (_mm_sub_pd (acc, acc), _mm_setzero_pd()));
    Decimator* sides[2] = { &A, &B };
    double* xs[2] = { xa, xb };
    for (int s = 0; s < 2; ++s)
    {
        Decimator& d = *sides[s];
        if ((finite & (1 << s)) == 0)
        {
            d.reset();
            silence (xs[s], n);
            continue;
        }
        flushTiny (d.held);
        flushTiny (d.target);
        flushTiny (d.slope);
    }
#else
    A.finishGroup (xa, n);
    B.finishGroup (xb, n);
#endif
}
