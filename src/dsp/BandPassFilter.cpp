#include "dsp/BandPassFilter.h"

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

    for (int i = 0; i < n; ++i)
    {
        const double in = x[i];

        low += f * band;
        high = in - low - damping * band;
        band += f * high;

        const double p1Before = p1;
        p1 = (1.0 - a1) * p1 + (previousInput + in) * a1 * 0.5;
        p2 = (1.0 - a2) * p2 + (p1Before + p1) * a2 * 0.5;
        previousInput = in;
        const double e = p1 - p2;

        if (o > 0.0)
        {
            double t = band * driveGain;
            t = t / (std::abs (t) + 1.0) * driveNorm;
            band = clampValue (t, -v, v);
        }

        x[i] = (e + band) * outGain;
    }

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
