#pragma once

#include "dsp/FilterCommon.h"
#include "dsp/LadderLoop.h"

/** Two 24 dB ladders in series (eight one-pole stages in one feedback loop),
    run twice per sample on the held input, with a ninth smoothing stage for
    the resonant colour. Overdrive works as in the single ladder. */
class DoubleLadderFilter
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
    static void processGroupPair (DoubleLadderFilter& a, DoubleLadderFilter& b, double* samplesA, double* samplesB, int n) noexcept;

    /** processGroupPair on two voices' pairs (filters[0..1] one voice's
        sides, [2..3] the other's) with their four sample loops side by side
        where the settings allow; the same result. Wide path only. */
    static void processGroupQuad (DoubleLadderFilter* const (&filters)[4], double* const (&samples)[4], int n) noexcept;

private:
    static constexpr int kStages = 8;

    // Settings the paired loops need alike: all but the state.
    bool sharesSettingsWith (const DoubleLadderFilter& other) const noexcept;

    double overdrive = 0.0;
    double g = 0.002, feedback = 0.0, resonance = 0.0;

    filtering::LadderCore<kStages> core;
};
