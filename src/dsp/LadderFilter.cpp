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

void LadderFilter::processGroupPair (LadderFilter& a, LadderFilter& b, double* xa, double* xb, int n) noexcept
{
    if (! (a.g == b.g && a.feedback == b.feedback && a.resonance == b.resonance && a.overdrive == b.overdrive
           && a.smoothing == b.smoothing))
    {
        a.processGroup (xa, n);
        b.processGroup (xb, n);
        return;
    }
    filtering::LadderCore<kStages>::processGroupPair (a.core, b.core, xa, xb, n, a.g, a.feedback, a.resonance,
                                                      a.overdrive, a.smoothing);
}
