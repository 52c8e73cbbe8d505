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

    // State in locals for the loop (writes to x could alias the members).
    double lo = low, bp = band, hp = high;
    const double fc = f;

    if (overdrive > 0.0)
    {
        const double d = damping * (overdrive + 1.0);
        const double lim = 0.8 - 0.7 * overdrive;
        for (int i = 0; i < n; ++i)
        {
            lo += fc * bp;
            hp = x[i] - lo - clampValue (d * bp, -lim, lim);
            bp = clampValue (bp + fc * hp, -lim, lim);
            x[i] = hp;
        }
    }
    else
    {
        const double d = damping;
        for (int i = 0; i < n; ++i)
        {
            lo += fc * bp;
            hp = x[i] - lo - d * bp;
            bp += fc * hp;
            x[i] = hp;
        }
    }
    low = lo;
    band = bp;
    high = hp;

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
