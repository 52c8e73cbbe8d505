#include "dsp/BandPassFilter.h"

#include <type_traits>

using namespace filtering;

void BandPassFilter::reset() noexcept
{
    low = band = high = 0.0;
    p1 = p2 = previousInput = 0.0;
    drive = 0.0;
    hold = 0;
    peak.reset();
}

void BandPassFilter::setOverdrive (double amount) noexcept
{
    overdrive = clampValue (finiteOr (amount, 0.0), 0.0, 1.0);
    bandLimit = 1.0 - 0.75 * std::sqrt (overdrive);
}

void BandPassFilter::updateCoefficients (const GroupControl& control) noexcept
{
    const double c = clampValue (control.clampedCutoff(), kMinCutoff, kMaxCutoff);
    f = 2.0 * std::sin (c * 0.25 * 1.570796);
    resonance = control.effectiveResonance();
    damping = 2.0 - 1.95 * resonance;
    a1 = std::min ((2.0 - resonance) * f, 1.0);
    a2 = std::max (resonance * f, 0.0);
}

void BandPassFilter::processGroup (double* x, int n) noexcept
{
    if (n <= 0)
        return;

    const double o = overdrive;
    const double v = bandLimit;
    const double groupPeak = peak.next (x, n);

    if (o > 0.0)
    {
        if (groupPeak > 0.5 * v)
        {
            hold = 16;
            drive = 0.8 * drive + 0.2 * 2.5 * o;
        }
        else
        {
            const int before = hold--;
            if (before < 2)
            {
                drive *= 0.99;
                hold = 0;
            }
        }
    }

    const double driveGain = (drive + 2.5) * o + 0.5;
    const double driveNorm = 1.0 / (2.5 * o + 0.5);
    const double outGain = 1.0 / (resonance + 0.5);

    // State in locals for the loop (writes to x could alias the members).
    double lo = low, bp = band, hp = high, q1 = p1, q2 = p2, last = previousInput;
    const double fc = f, d = damping, c1 = a1, c2 = a2;
    auto run = [&] (auto driven) {
        constexpr bool withDrive = decltype (driven)::value;
        for (int i = 0; i < n; ++i)
        {
            const double in = x[i];

            lo += fc * bp;
            hp = in - lo - d * bp;
            bp += fc * hp;

            const double q1Before = q1;
            q1 = (1.0 - c1) * q1 + (last + in) * c1 * 0.5;
            q2 = (1.0 - c2) * q2 + (q1Before + q1) * c2 * 0.5;
            last = in;
            const double e = q1 - q2;

            if constexpr (withDrive)
            {
                double t = bp * driveGain;
                t = t / (std::abs (t) + 1.0) * driveNorm;
                bp = clampValue (t, -v, v);
            }

            x[i] = (e + bp) * outGain;
        }
    };
    if (o > 0.0)
        run (std::true_type {});
    else
        run (std::false_type {});
    low = lo;
    band = bp;
    high = hp;
    p1 = q1;
    p2 = q2;
    previousInput = last;

    if (! groupIsFinite (x, n, low + band + high + p1 + p2 + previousInput + drive))
    {
        reset();
        silence (x, n);
        return;
    }

    flushTiny (low);
    flushTiny (band);
    flushTiny (high);
    flushTiny (p1);
    flushTiny (p2);
    flushTiny (previousInput);
    flushTiny (drive);
}
