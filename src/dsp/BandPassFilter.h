#pragma once

#include "dsp/FilterCommon.h"

/** Band-pass: a state-variable band output plus the difference of two
    one-pole low-passes, which widens the band at low resonance. With
    overdrive the band state is driven into a soft clipper whose drive rises
    with the input peaks, and is limited so the resonance cannot run away. */
class BandPassFilter
{
public:
    void reset() noexcept;

    /** Overdrive amount 0..1 (set before the block). */
    void setOverdrive (double amount) noexcept;

    /** Marks the start of a block: the first group's peak is its first input. */
    void startBlock() noexcept { peak.startBlock(); }

    /** Per 8-sample group: the frequency coefficient needs a sine. */
    void updateCoefficients (const filtering::GroupControl& control) noexcept;

    /** Filters n samples (one group) in place; updates the drive level first. */
    void processGroup (double* samples, int n) noexcept;

private:
    double overdrive = 0.0, bandLimit = 1.0;
    double f = 0.0, damping = 2.0, resonance = 0.0, a1 = 0.0, a2 = 0.0;

    double low = 0.0, band = 0.0, high = 0.0;
    double p1 = 0.0, p2 = 0.0, previousInput = 0.0;
    double drive = 0.0;
    int hold = 0;
    filtering::GroupPeak peak;
};
