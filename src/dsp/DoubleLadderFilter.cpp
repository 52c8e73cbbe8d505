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

bool DoubleLadderFilter::sharesSettingsWith (const DoubleLadderFilter& o) const noexcept
{
    return g == o.g && feedback == o.feedback && resonance == o.resonance && overdrive == o.overdrive;
}

void DoubleLadderFilter::processGroupPair (DoubleLadderFilter& a, DoubleLadderFilter& b, double* xa, double* xb, int n) noexcept
{
    if (! a.sharesSettingsWith (b))
    {
        a.processGroup (xa, n);
        b.processGroup (xb, n);
        return;
    }
    filtering::LadderCore<kStages>::processGroupPair (a.core, b.core, xa, xb, n, a.g, a.feedback, a.resonance,
                                                      a.overdrive, false);
}

void DoubleLadderFilter::processGroupQuad (DoubleLadderFilter* const (&f)[4], double* const (&x)[4], int n) noexcept
{
#if TALVORA_WIDE_PATH
    // Each voice's sides as processGroupPair takes them; both voices with the
    // same drive amount, as the loop runs one kind for all lanes.
    if (f[0]->sharesSettingsWith (*f[1]) && f[2]->sharesSettingsWith (*f[3]) && f[0]->overdrive == f[2]->overdrive)
    {
        LadderCore<kStages>* const cores[4] = { &f[0]->core, &f[1]->core, &f[2]->core, &f[3]->core };
        LadderCore<kStages>::processGroupQuad (cores, x, n, { f[0]->g, f[2]->g }, { f[0]->feedback, f[2]->feedback },
                                               { f[0]->resonance, f[2]->resonance }, f[0]->overdrive, false);
        return;
    }
#endif
    processGroupPair (*f[0], *f[1], x[0], x[1], n);
    processGroupPair (*f[2], *f[3], x[2], x[3], n);
}
