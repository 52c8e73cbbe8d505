#include "dsp/StateVariableHighPass.h"

using namespace filtering;

void StateVariableHighPass::reset() noexcept
{
    low = band = high = 0.0;
}

void StateVariableHighPass::setOverdrive (double amount) noexcept
{
    overdrive = clampValue (finiteOr (amount, 0.0), 0.0, 1.0);
}

void StateVariableHighPass::updateCoefficients (const GroupControl& control) noexcept
{
    const double c = clampValue (control.clampedCutoff(), kMinCutoff, kMaxCutoff);
    f = 2.0 * std::sin (c * 0.25 * 1.570796);
    damping = 1.0 - 0.95 * control.effectiveResonance();
}

void StateVariableHighPass::processGroup (double* x, int n) noexcept
{
    if (n <= 0)
        return;

    if (overdrive > 0.0)
    {
        const double d = damping * (overdrive + 1.0);
        const double lim = 0.8 - 0.7 * overdrive;
        for (int i = 0; i < n; ++i)
        {
            low += f * band;
            high = x[i] - low - clampValue (d * band, -lim, lim);
            band = clampValue (band + f * high, -lim, lim);
            x[i] = high;
        }
    }
    else
    {
        for (int i = 0; i < n; ++i)
        {
            low += f * band;
            high = x[i] - low - damping * band;
            band += f * high;
            x[i] = high;
        }
    }

    if (! groupIsFinite (x, n, low + band + high))
    {
        reset();
        silence (x, n);
        return;
    }

    flushTiny (low);
    flushTiny (band);
    flushTiny (high);
}
