#include "dsp/Decimator.h"

#include "dsp/FilterCommon.h"

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

    const double plainAmount = clampValue (finiteOr (amount, 0.0), 0.0, 1.0);
    const bool holdTypes = type <= 1;

    double a = plainAmount;
    if (holdTypes && modulated)
        a = clampValue (finiteOr (groupModulation, 1.0) * plainAmount, 0.0, 1.0);

    // At a cutoff of 0 no hold would ever come and the last one would stay
    // as DC; the floor still holds at least every ~5000 samples.
    const double c0 = clampValue (finiteOr (firstCutoff, 0.0), kMinCutoff, 1.0);
    const double step = c0 / (5.0 * a + 0.01);
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
