#pragma once

#include "core/ParameterValue.h"

/** The three-band "warm" equaliser of the master chain, one per channel.

    Two one-pole low-pass stages split off the low band, two more split the
    rest into mid and high. A setting below 0.5 scales its band down (0
    removes it); above 0.5 it adds a soft-clipped copy of the band, which
    boosts and warms at once. All three at exactly 0.5 skip the filters
    entirely, so the neutral setting is a bit-exact bypass.

    Reads parameters 45 (low), 46 (mid), 47 (high). The coefficients are fixed
    (tuned at 44.1 kHz); nothing depends on the sample rate. */
class WarmEq
{
public:
    /** The engine's parameter values (element p = parameter p). */
    void setParameters (const ParameterValue* parameterValues) noexcept { values = parameterValues; }

    /** Nothing to size; the filter state is kept (the equaliser never needs
        a reset in the chain). */
    void prepare (double sampleRate, int maxBlockSize) noexcept;

    /** Zeroes the filter state. */
    void reset() noexcept;

    /** In place. Does nothing without parameters or when neutral. */
    void blockBasedWarmEq (float* samples, int n) noexcept;

    void process (float* samples, int n) noexcept { blockBasedWarmEq (samples, n); }

private:
    const ParameterValue* values = nullptr;
    double x1 = 0.0;
    double a = 0.0, aPrev = 0.0, low = 0.0;
    double hPrev = 0.0;
    double b = 0.0, bPrev = 0.0, mid = 0.0;
};
