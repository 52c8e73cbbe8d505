#include "dsp/DoubleLadderFilter.h"

#include <type_traits>

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
    const double fb = feedback;
    const double res = resonance;
    const double keep9 = 1.0 - g5;

    // State in locals for the loop (writes to x could alias the members).
    double ys[kStages], ms[kStages];
    for (int s = 0; s < kStages; ++s)
    {
        ys[s] = y[s];
        ms[s] = m[s];
    }
    double s9 = y9, n9 = m9;

    auto run = [&] (auto driven) {
        constexpr bool withDrive = decltype (driven)::value;
        for (int i = 0; i < n; ++i)
        {
            const double in = x[i];
            double sum = 0.0;

            for (int pass = 0; pass < 2; ++pass)
            {
                double u;
                if constexpr (withDrive)
                {
                    const double fed = clampValue (ys[kStages - 1], -lim, lim);
                    u = in - fed * fb;
                    const double w = u * driveGain;
                    u += w / (std::abs (w) + 1.0);
                }
                else
                {
                    u = in - ys[kStages - 1] * fb;
                }

                double stageIn = u;
                for (int s = 0; s < kStages; ++s)
                {
                    ys[s] = ys[s] * b + (ms[s] + stageIn) * h;
                    ms[s] = stageIn;
                    stageIn = ys[s];
                }

                const double y8 = ys[kStages - 1];
                s9 = s9 * keep9 + (n9 + y8) * g5 * 0.5;
                n9 = y8;

                sum += s9 * 2.0 * res + y8;
            }

            x[i] = sum * 0.5;
        }
    };
    if (o > 0.0)
        run (std::true_type {});
    else
        run (std::false_type {});

    for (int s = 0; s < kStages; ++s)
    {
        y[s] = ys[s];
        m[s] = ms[s];
    }
    y9 = s9;
    m9 = n9;

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
