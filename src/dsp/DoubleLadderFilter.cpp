#include "dsp/DoubleLadderFilter.h"

using namespace filtering;

void DoubleLadderFilter::reset() noexcept
{
    core.reset();
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
    core.processGroup (x, n, g, feedback, resonance, overdrive, false);
}

void DoubleLadderFilter::processGroupPair (DoubleLadderFilter& a, DoubleLadderFilter& b, double* xa, double* xb, int n) noexcept
{
    if (! (a.g == b.g && a.feedback == b.feedback && a.resonance == b.resonance && a.overdrive == b.overdrive))
    {
        a.processGroup (xa, n);
        b.processGroup (xb, n);
        return;
    }
    filtering::LadderCore<kStages>::processGroupPair (a.core, b.core, xa, xb, n, a.g, a.feedback, a.resonance,
                                                      a.overdrive, false);
}
