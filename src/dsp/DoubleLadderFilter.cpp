#include "dsp/DoubleLadderFilter.h"

#include "dsp/LadderLoop.h"

using namespace filtering;

void DoubleLadderFilter::reset() noexcept
{
    for (int i = 0; i < kStages; ++i)
        y[i] = 0.0;
    lastInput = 0.0;
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

    const LadderLoopCoefficients c { g, feedback, resonance, follower.limit, o * 6.0 * follower.drive };

    if (o > 0.0)
        runLadderLoop<kStages, true, false> (x, n, y, lastInput, y9, m9, c, nullptr);
    else
        runLadderLoop<kStages, false, false> (x, n, y, lastInput, y9, m9, c, nullptr);

    double stateSum = lastInput + y9 + m9;
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
    flushTiny (y9);
    flushTiny (m9);
    follower.flush();
}
