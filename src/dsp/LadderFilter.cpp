#include "dsp/LadderFilter.h"

using namespace filtering;

void LadderFilter::reset() noexcept
{
    for (int i = 0; i < kStages; ++i)
        y[i] = m[i] = 0.0;
    y5 = m5 = 0.0;
    smoother.reset();
    follower.reset();
    peak.reset();
}

void LadderFilter::setOverdrive (double amount) noexcept
{
    overdrive = clampValue (finiteOr (amount, 0.0), 0.0, 1.0);
}

void LadderFilter::updateCoefficients (const GroupControl& control) noexcept
{
    const double a = control.clampedCutoff() * 0.7;
    g = clampValue (a, 0.002, kMaxCutoff);
    const double k = (1.0 - a) * 1.5 + 1.7;
    resonance = control.effectiveResonance();
    feedback = resonance * k;
    smoothing = LowCutoffSmoother::applies (g, control.rawResonance());
}

void LadderFilter::processGroup (double* x, int n) noexcept
{
    if (n <= 0)
        return;

    const double o = overdrive;
    const double groupPeak = peak.next (x, n);
    if (o > 0.0)
        follower.update (groupPeak, o);

    const double h = g * 0.5;
    const double b = 1.0 - g;
    const double g5 = 0.95 * g;
    const double lim = follower.limit;
    const double driveGain = o * 6.0 * follower.drive;

    for (int i = 0; i < n; ++i)
    {
        const double in = x[i];
        double sum = 0.0;

        for (int pass = 0; pass < 2; ++pass)
        {
            double u;
            if (o > 0.0)
            {
                const double fed = clampValue (y[kStages - 1], -lim, lim);
                u = in - fed * feedback;
                const double w = u * driveGain;
                u += w / (std::abs (w) + 1.0);
            }
            else
            {
                u = in - y[kStages - 1] * feedback;
            }

            double stageIn = u;
            for (int s = 0; s < kStages; ++s)
            {
                y[s] = y[s] * b + (m[s] + stageIn) * h;
                m[s] = stageIn;
                stageIn = y[s];
            }

            const double y4 = y[kStages - 1];
            y5 = y5 * (1.0 - g5) + (m5 + y4) * g5 * 0.5;
            m5 = y4;

            double out = y5 * 2.0 * resonance + y4;
            if (smoothing)
                out = smoother.process (out, g);
            sum += out;
        }

        x[i] = sum * 0.5;
    }

    double stateSum = y5 + m5 + smoother.stateSum();
    for (int s = 0; s < kStages; ++s)
        stateSum += y[s] + m[s];

    if (! groupIsFinite (x, n, stateSum))
    {
        reset();
        silence (x, n);
        return;
    }

    for (int s = 0; s < kStages; ++s)
    {
        flushTiny (y[s]);
        flushTiny (m[s]);
    }
    flushTiny (y5);
    flushTiny (m5);
    smoother.flush();
    follower.flush();
}
