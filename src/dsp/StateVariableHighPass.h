#pragma once

#include "dsp/FilterCommon.h"

/** 12 dB high-pass from a state-variable filter. With overdrive the damping
    grows and the band state is clamped, which saturates the resonance. */
class StateVariableHighPass
{
public:
    void reset() noexcept;

    /** Overdrive amount 0..1 (set before the block). */
    void setOverdrive (double amount) noexcept;

    /** Per 8-sample group: the frequency coefficient needs a sine. */
    void updateCoefficients (const filtering::GroupControl& control) noexcept;

    /** Filters n samples in place with the current coefficients. */
    void processGroup (double* samples, int n) noexcept;

private:
    double overdrive = 0.0;
    double f = 0.0, damping = 1.0;
    double low = 0.0, band = 0.0, high = 0.0;
};
