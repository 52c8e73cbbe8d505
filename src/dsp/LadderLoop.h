#pragma once

#include <cmath>

#include "dsp/FilterCommon.h"

namespace filtering
{
/** Per-group values of a ladder's sample loop. */
struct LadderLoopCoefficients
{
    double g;          // one-pole gain
    double feedback;   // resonance times the loop gain
    double resonance;  // weight of the colour stage
    double limit;      // bound of the fed-back signal with drive
    double driveGain;  // soft-clipper input gain with drive
};

/** The sample loop both ladder filters share: Stages one-pole stages in one
    feedback loop, run twice per sample on the held input (2x oversampling
    without an interpolator), then a smoothing stage whose output adds the
    resonant colour. With drive, the fed-back signal is limited and the input
    soft-clipped; with smoothing, the low-cutoff smoother follows. State lives
    in the caller's locals (writes to x could alias members). */
template <int Stages, bool WithDrive, bool WithSmoothing>
inline void runLadderLoop (double* x, int n, double (&ys)[Stages], double (&ms)[Stages],
                           double& colour, double& colourIn, const LadderLoopCoefficients& c,
                           LowCutoffSmoother* smoother) noexcept
{
    const double h = c.g * 0.5;
    const double b = 1.0 - c.g;
    const double gColour = 0.95 * c.g;
    const double keepColour = 1.0 - gColour;
    LowCutoffSmoother sm;
    if constexpr (WithSmoothing)
        sm = *smoother;

    for (int i = 0; i < n; ++i)
    {
        const double in = x[i];
        double sum = 0.0;

        for (int pass = 0; pass < 2; ++pass)
        {
            double u;
            if constexpr (WithDrive)
            {
                const double fed = clampValue (ys[Stages - 1], -c.limit, c.limit);
                u = in - fed * c.feedback;
                const double w = u * c.driveGain;
                u += w / (std::abs (w) + 1.0);
            }
            else
            {
                u = in - ys[Stages - 1] * c.feedback;
            }

            double stageIn = u;
            for (int s = 0; s < Stages; ++s)
            {
                ys[s] = ys[s] * b + (ms[s] + stageIn) * h;
                ms[s] = stageIn;
                stageIn = ys[s];
            }

            const double last = ys[Stages - 1];
            colour = colour * keepColour + (colourIn + last) * gColour * 0.5;
            colourIn = last;

            double out = colour * 2.0 * c.resonance + last;
            if constexpr (WithSmoothing)
                out = sm.process (out, c.g);
            sum += out;
        }

        x[i] = sum * 0.5;
    }

    if constexpr (WithSmoothing)
        *smoother = sm;
}
} // namespace filtering
