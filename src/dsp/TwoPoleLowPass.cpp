#include "dsp/TwoPoleLowPass.h"

#include <algorithm>

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

namespace
{
struct TwoPoleState
{
    double s1, s2;
    LowCutoffSmoother smoother;
};

// One group with the given coefficients; the state is a local copy so
// writes to x cannot alias it.
inline void runGroup (TwoPoleState& st, double* x, int n, double gain, double feedback, double overdrive,
                      bool smoothing) noexcept
{
    double s1 = st.s1, s2 = st.s2;

    if (overdrive > 0.0)
    {
        const double o = overdrive;
        const double lim = 0.5 - 0.35 * o;
        const double fb = feedback * (1.0 + 0.05 * o);
        for (int i = 0; i < n; ++i)
        {
            const double s = clampValue (s1 - s2, -lim, lim);
            s1 = clampValue (s1 + gain * (x[i] - s1 + fb * s), -2.0 * lim, 2.0 * lim);
            s2 = clampValue (s2 + gain * (s1 - s2), -2.0 * lim, 2.0 * lim);
            x[i] = s2;
        }
    }
    else
    {
        // s1' = s1 + g (x - s1 + fb (s1 - s2)) and s2' = s2 + g (s1' - s2),
        // expanded so each state feeds the next sample through one multiply
        // and add; while s1' stays inside its clamp, s2' need not wait for it.
        const double b = gain * feedback;
        const double a = 1.0 - gain + b;
        const double keep = 1.0 - gain;
        const double ga = gain * a, gk = keep - gain * b;
        for (int i = 0; i < n; ++i)
        {
            const double gx = gain * x[i];
            const double u1 = a * s1 + (gx - b * s2);
            if (u1 >= -1.0 && u1 <= 1.0)
            {
                const double u2 = ga * s1 + (gk * s2 + gain * gx);
                s1 = u1;
                s2 = clampValue (u2, -1.0, 1.0);
            }
            else
            {
                s1 = clampValue (u1, -1.0, 1.0);
                s2 = clampValue (keep * s2 + gain * s1, -1.0, 1.0);
            }
            x[i] = s2;
        }
    }

    if (smoothing)
        for (int i = 0; i < n; ++i)
            x[i] = st.smoother.process (x[i], gain);

    if (! groupIsFinite (x, n, s1 + s2 + st.smoother.stateSum()))
    {
        st.s1 = st.s2 = 0.0;
        st.smoother.reset();
        silence (x, n);
        return;
    }

    flushTiny (s1);
    flushTiny (s2);
    st.smoother.flush();
    st.s1 = s1;
    st.s2 = s2;
}
} // namespace

void TwoPoleLowPass::processGroup (double* x, int n) noexcept
{
    if (n <= 0)
        return;

    TwoPoleState st { y1, y2, smoother };
    runGroup (st, x, n, g, feedback, overdrive, smoothing);
    y1 = st.s1;
    y2 = st.s2;
    smoother = st.smoother;
}

void TwoPoleLowPass::processBlock (const double* cutoffTable, double resonance, bool resonanceModulated,
                                   const double* resonanceModulation, double* x, int n) noexcept
{
    // The state stays in locals across the groups rather than going through
    // the members (and a store and reload) for every group.
    TwoPoleState st { y1, y2, smoother };
    GroupControl control;
    control.resonance = resonance;
    control.resonanceModulated = resonanceModulated;
    for (int start = 0; start < n; start += kGroupSize)
    {
        const int group = start / kGroupSize;
        control.cutoff = cutoffTable[group];
        control.resonanceModulation = resonanceModulated ? resonanceModulation[group] : 1.0;
        updateCoefficients (control);
        runGroup (st, x + start, std::min (kGroupSize, n - start), g, feedback, overdrive, smoothing);
    }
    y1 = st.s1;
    y2 = st.s2;
    smoother = st.smoother;
}
