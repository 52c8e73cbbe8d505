#pragma once

#include "dsp/BandPassFilter.h"
#include "dsp/DoubleLadderFilter.h"
#include "dsp/FilterCommon.h"
#include "dsp/LadderFilter.h"
#include "dsp/StateVariableHighPass.h"
#include "dsp/TwoPoleLowPass.h"
#include "dsp/ZeroDelayLadder.h"

/** The filter of one voice side. It owns one instance of each routine and
    runs the one chosen by the filter type; a type outside 0..5 leaves the
    samples untouched.

    Cutoff and resonance arrive once per 8-sample group (the voice's control
    rate). Cutoffs are normalised (0..1 of the voice's cutoff table), so the
    coefficients do not depend on the sample rate.

    Use either processBlock() on a whole block with its cutoff table, or per
    group: startBlock(), then for each group updateCoefficients() and
    processGroup(). Audio thread only; never allocates. */
class Filter
{
public:
    enum Type : int
    {
        lowPass12 = 0,          // two-pole low-pass
        ladderLowPass24 = 1,    // oversampled ladder
        highPass12 = 2,         // state-variable high-pass
        doubleLadderLowPass = 3,// two ladders in series
        bandPass = 4,
        zeroDelayLadder = 5,
        numTypes = 6
    };

    /** Clears all state. The rate is not needed by the arithmetic. */
    void prepare (double sampleRate) noexcept;

    void reset() noexcept;

    /** Selects the routine; switching starts the new routine from rest. */
    void setType (int type) noexcept;
    int getType() const noexcept { return type; }
    bool isActive() const noexcept { return type >= 0 && type < numTypes; }

    /** Overdrive parameter (0..1); the voice sets it before every block. */
    void setOverdrive (double amount) noexcept;

    /** Call at the start of every block before the first group. */
    void startBlock() noexcept;

    /** Coefficients for the next group.
        cutoff: this group's cutoff table entry (0..1).
        resonance: the resonance parameter (0..1).
        resonanceModulated / resonanceModulation: whether the resonance
        destination is active, and its entry for this group. */
    void updateCoefficients (double cutoff, double resonance,
                             bool resonanceModulated, double resonanceModulation) noexcept;

    /** Filters one group (n <= 8) in place. */
    void processGroup (double* samples, int n) noexcept;

    /** Whole block in place: cutoffTable and resonanceModulation hold one
        entry per 8 samples (the last partial group included);
        resonanceModulation may be null when not modulated. */
    void processBlock (const double* cutoffTable, const double* resonanceModulation,
                       double* samples, int n, bool resonanceModulated, double resonance) noexcept;

    /** processBlock on a voice's two sides, which share the cutoff and
        resonance: the ladders run both sides' sample loops side by side.
        The same result as processBlock on each. */
    static void processBlockPair (Filter& a, Filter& b, const double* cutoffTable, const double* resonanceModulation,
                                  double* samplesA, double* samplesB, int n, bool resonanceModulated,
                                  double resonance) noexcept;

    /** What one voice hands processBlockQuad: its two sides' filters and
        samples, and the cutoff and resonance they share. */
    struct VoiceSides
    {
        Filter* filters[2];
        double* samples[2];
        const double* cutoffTable;
        const double* resonanceModulation;   // may be null when not modulated
        bool resonanceModulated;
        double resonance;
    };

    /** processBlockPair on two voices, with all four ladders' sample loops
        side by side where both voices run the same ladder type (wide path
        only); otherwise processBlockPair on each. The same result. */
    static void processBlockQuad (const VoiceSides& a, const VoiceSides& b, int n) noexcept;

private:
    int type = lowPass12;
    TwoPoleLowPass lowPass;
    LadderFilter ladder;
    StateVariableHighPass highPass;
    DoubleLadderFilter doubleLadder;
    BandPassFilter bandPassFilter;
    ZeroDelayLadder zeroDelay;
};
