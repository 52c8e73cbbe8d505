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

bool LadderFilter::sharesSettingsWith (const LadderFilter& o) const noexcept
{
    return g == o.g && feedback == o.feedback && resonance == o.resonance && overdrive == o.overdrive
           && smoothing == o.smoothing;
}

void LadderFilter::processGroupPair (LadderFilter& a, LadderFilter& b, double* xa, double* xb, int n) noexcept
{
    if (! a.sharesSettingsWith (b))
    {
        a.processGroup (xa, n);
        b.processGroup (xb, n);
        return;
    }
    filtering::LadderCore<kStages>::processGroupPair (a.core, b.core, xa, xb, n, a.g, a.feedback, a.resonance,
                                                      a.overdrive, a.smoothing);
}

void LadderFilter::processGroupQuad (LadderFilter* const (&f)[4], double* const (&x)[4], int n) noexcept
{
#if TALVORA_WIDE_PATH
    // Each voice's sides as processGroupPair takes them; both voices with the
    // same drive amount and smoothing, as the loop runs one kind for all lanes.
    if (f[0]->sharesSettingsWith (*f[1]) && f[2]->sharesSettingsWith (*f[3]) && f[0]->overdrive == f[2]->overdrive
        && f[0]->smoothing == f[2]->smoothing)
    {
        LadderCore<kStages>* const cores[4] = { &f[0]->core, &f[1]->core, &f[2]->core, &f[3]->core };
        LadderCore<kStages>::processGroupQuad (cores, x, n, { f[0]->g, f[2]->g }, { f[0]->feedback, f[2]->feedback },
                                               { f[0]->resonance, f[2]->resonance }, f[0]->overdrive, f[0]->smoothing);
        return;
    }
#endif
    processGroupPair (*f[0], *f[1], x[0], x[1], n);
    processGroupPair (*f[2], *f[3], x[2], x[3], n);
}
