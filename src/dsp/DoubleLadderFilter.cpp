#include "dsp/DoubleLadderFilter.h"

using namespace filtering;

void DoubleLadderFilter::reset() noexcept
{
    for (int i = 0; i < kStages; ++i)
        y[i] = m[i] = 0.0;
    y9 = m9 = 0.0;
    follower.reset();
    peak.reset();
}

void DoubleLadderFilter::setOverdrive (double amount) noexcept
{
    overdrive = clampValue (finiteOr (amount, 0.0), 0.0, 1.0);
}

void DoubleLadderFilter::updateCoefficients (const GroupControl& control) noexcept
{
    const double a = control.clampedCutoff() * 0.85;
    g = clampValue (a, 0.002, kMaxCutoff);
    const double k = (1.0 - a) * 0.35 + 1.4;
    resonance = control.effectiveResonance();
    feedback = resonance * k;
}

void DoubleLadderFilter::processGroup (double* x, int n) noexcept
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

            const double y8 = y[kStages - 1];
            y9 = y9 * (1.0 - g5) + (m9 + y8) * g5 * 0.5;
            m9 = y8;

            sum += y9 * 2.0 * resonance + y8;
        }

        x[i] = sum * 0.5;
    }

    double stateSum = y9 + m9;
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
    flushTiny (y9);
    flushTiny (m9);
    follower.flush();
}
