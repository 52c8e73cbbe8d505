#include "dsp/LadderFilter.h"

#include <type_traits>

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
    const double fb = feedback;
    const double res = resonance;
    const double gain = g;
    const double keep5 = 1.0 - g5;

    // State in locals for the loop (writes to x could alias the members).
    double ys[kStages], ms[kStages];
    for (int s = 0; s < kStages; ++s)
    {
        ys[s] = y[s];
        ms[s] = m[s];
    }
    double s5 = y5, n5 = m5;

    auto run = [&] (auto driven, auto smoothed) {
        constexpr bool withDrive = decltype (driven)::value;
        constexpr bool withSmoothing = decltype (smoothed)::value;
        LowCutoffSmoother sm = smoother;
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

                const double y4 = ys[kStages - 1];
                s5 = s5 * keep5 + (n5 + y4) * g5 * 0.5;
                n5 = y4;

                double out = s5 * 2.0 * res + y4;
                if constexpr (withSmoothing)
                    out = sm.process (out, gain);
                sum += out;
            }

            x[i] = sum * 0.5;
        }
        smoother = sm;
    };
    if (o > 0.0)
    {
        if (smoothing)
            run (std::true_type {}, std::true_type {});
        else
            run (std::true_type {}, std::false_type {});
    }
    else
    {
        if (smoothing)
            run (std::false_type {}, std::true_type {});
        else
            run (std::false_type {}, std::false_type {});
    }

    for (int s = 0; s < kStages; ++s)
    {
        y[s] = ys[s];
        m[s] = ms[s];
    }
    y5 = s5;
    m5 = n5;

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
