#include "dsp/LadderFilter.h"

#include "dsp/LadderLoop.h"

using namespace filtering;

void LadderFilter::reset() noexcept
{
    for (int i = 0; i < kStages; ++i)
        y[i] = 0.0;
    lastInput = 0.0;
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

    const LadderLoopCoefficients c { g, feedback, resonance, follower.limit, o * 6.0 * follower.drive };

    if (o > 0.0)
    {
        if (smoothing)
            runLadderLoop<kStages, true, true> (x, n, y, lastInput, y5, m5, c, &smoother);
        else
            runLadderLoop<kStages, true, false> (x, n, y, lastInput, y5, m5, c, nullptr);
    }
    else
    {
        if (smoothing)
            runLadderLoop<kStages, false, true> (x, n, y, lastInput, y5, m5, c, &smoother);
        else
            runLadderLoop<kStages, false, false> (x, n, y, lastInput, y5, m5, c, nullptr);
    }

    double stateSum = lastInput + y5 + m5 + smoother.stateSum();
    for (int s = 0; s < kStages; ++s)
        stateSum += y[s];

    if (! groupIsFinite (x, n, stateSum))
    {
        reset();
        silence (x, n);
        return;
    }

    for (int s = 0; s < kStages; ++s)
        flushTiny (y[s]);
    flushTiny (lastInput);
    flushTiny (y5);
    flushTiny (m5);
    smoother.flush();
    follower.flush();
}
