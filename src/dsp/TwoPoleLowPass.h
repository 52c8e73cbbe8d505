#pragma once

#include "dsp/FilterCommon.h"

/** 12 dB low-pass: two one-pole stages with resonance feedback taken from
    their difference. Overdrive narrows the clamps on the stages, which both
    saturates the sound and keeps high resonance from running away. */
class TwoPoleLowPass
{
public:
    void reset() noexcept;

    /** Overdrive amount 0..1 (set before the block). */
    void setOverdrive (double amount) noexcept;

    /** Per 8-sample group. */
    void updateCoefficients (const filtering::GroupControl& control) noexcept;

    /** Filters n samples in place with the current coefficients. */
    void processGroup (double* samples, int n) noexcept;

    /** The groups of a block (one cutoff entry per 8 samples, the last
        partial group included); the same as updateCoefficients() and
        processGroup() for each group. resonanceModulation may be null when
        not modulated. */
    void processBlock (const double* cutoffTable, double resonance, bool resonanceModulated,
                       const double* resonanceModulation, double* samples, int n) noexcept;

private:
    double overdrive = 0.0;
    double g = 0.01, feedback = 0.0;
    bool smoothing = false;
    double y1 = 0.0, y2 = 0.0;
    filtering::LowCutoffSmoother smoother;
};
