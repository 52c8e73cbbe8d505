#include "dsp/LadderFilter.h"

using namespace filtering;

void LadderFilter::reset() noexcept
{
    core.reset();
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
    core.processGroup (x, n, g, feedback, resonance, overdrive, smoothing);
}
