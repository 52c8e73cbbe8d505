#pragma once

#include "dsp/FilterCommon.h"

/** Four-pole ladder solved without a unit delay in the feedback loop
    (zero-delay feedback), with a tanh-like saturation on every stage. The
    cutoff maps through a tangent, so it is limited below 1 where the tangent
    diverges, and the resonance factor is kept in [0, 1] so the loop
    denominator stays positive. */
class ZeroDelayLadder
{
public:
    void reset() noexcept;

    /** Per 8-sample group: the frequency coefficient needs a tangent. */
    void updateCoefficients (const filtering::GroupControl& control) noexcept;

    /** Filters n samples in place with the current coefficients. */
    void processGroup (double* samples, int n) noexcept;

private:
    double G = 0.0, K = 0.0, gain = 1.0;
    double s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0;
    double previousInput = 0.0;
};
