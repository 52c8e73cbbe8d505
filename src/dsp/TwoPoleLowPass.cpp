#include "dsp/TwoPoleLowPass.h"

using namespace filtering;

void TwoPoleLowPass::reset() noexcept
{
    y1 = y2 = 0.0;
    smoother.reset();
}

void TwoPoleLowPass::setOverdrive (double amount) noexcept
{
    overdrive = clampValue (finiteOr (amount, 0.0), 0.0, 1.0);
}

void TwoPoleLowPass::updateCoefficients (const GroupControl& control) noexcept
{
    const double c = std::min (control.clampedCutoff(), kMaxCutoff);
    g = clampValue (c, 0.01, 1.0);
    const double q = clampValue (control.effectiveResonance(), 0.0, 0.95);
    feedback = q / (1.0 - g) + q;
    smoothing = LowCutoffSmoother::applies (g, control.rawResonance());
}

void TwoPoleLowPass::processGroup (double* x, int n) noexcept
{
    if (n <= 0)
        return;

    if (overdrive > 0.0)
    {
        const double o = overdrive;
        const double lim = 0.5 - 0.35 * o;
        const double fb = feedback * (1.0 + 0.05 * o);
        for (int i = 0; i < n; ++i)
        {
            const double s = clampValue (y1 - y2, -lim, lim);
            y1 = clampValue (y1 + g * (x[i] - y1 + fb * s), -2.0 * lim, 2.0 * lim);
            y2 = clampValue (y2 + g * (y1 - y2), -2.0 * lim, 2.0 * lim);
            x[i] = smoothing ? smoother.process (y2, g) : y2;
        }
    }
    else
    {
        for (int i = 0; i < n; ++i)
        {
            y1 = clampValue (y1 + g * (x[i] - y1 + feedback * (y1 - y2)), -1.0, 1.0);
            y2 = clampValue (y2 + g * (y1 - y2), -1.0, 1.0);
            x[i] = smoothing ? smoother.process (y2, g) : y2;
        }
    }

    if (! groupIsFinite (x, n, y1 + y2 + smoother.stateSum()))
    {
        reset();
        silence (x, n);
        return;
    }

    flushTiny (y1);
    flushTiny (y2);
    smoother.flush();
}
