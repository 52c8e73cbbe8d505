#pragma once

#include "dsp/FilterCommon.h"
#include "dsp/LadderLoop.h"

/** 24 dB ladder low-pass, run twice per sample on the held input (2x
    oversampling without an interpolator), with a fifth smoothing stage whose
    output adds the resonant colour. With overdrive, a peak follower limits the
    fed-back signal and drives the ladder input through a soft clipper. */
class LadderFilter
{
public:
    void reset() noexcept;

    /** Overdrive amount 0..1 (set before the block). */
    void setOverdrive (double amount) noexcept;

    /** Marks the start of a block: the first group's peak is its first input. */
    void startBlock() noexcept { core.peak.startBlock(); }

    /** Per 8-sample group. */
    void updateCoefficients (const filtering::GroupControl& control) noexcept;

    /** Filters n samples (one group) in place; runs the peak follower first. */
    void processGroup (double* samples, int n) noexcept;

    /** processGroup on two filters with the same settings at once (a voice's
        two sides); the same result as two processGroup calls. */
    static void processGroupPair (LadderFilter& a, LadderFilter& b, double* samplesA, double* samplesB, int n) noexcept;

    /** processGroupPair on two voices' pairs (filters[0..1] one voice's
        sides, [2..3] the other's) with their four sample loops side by side
        where the settings allow; the same result. Wide path only. */
    static void processGroupQuad (LadderFilter* const (&filters)[4], double* const (&samples)[4], int n) noexcept;

private:
    static constexpr int kStages = 4;

    // Settings the paired loops need alike: all but the state.
    bool sharesSettingsWith (const LadderFilter& other) const noexcept;

    double overdrive = 0.0;
    double g = 0.002, feedback = 0.0, resonance = 0.0;
    bool smoothing = false;

    filtering::LadderCore<kStages> core;
};
