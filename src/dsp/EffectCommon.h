#pragma once

#include "core/ParameterValue.h"

// Small pieces shared by the master effects: reading a parameter from the
// engine's value array, sample-rate sanity, power-of-two line sizes and the
// guards that keep NaN, Inf and denormals out of effect states.

#include <cmath>

namespace effects
{
// Effects bypass themselves below this mix.
constexpr double kMixThreshold = 0.01;

// Filter states smaller than this are flushed to zero (about -360 dB).
constexpr double kTinyState = 1.0e-18;

/** Parameter p as the effects use it: inside [0, 1], 0 for NaN. Values are
    normally in range already; the clamp only keeps a stray host value from
    turning into a line index outside its buffer. */
inline double parameter (const ParameterValue* values, int index) noexcept
{
    const double v = values[index];
    return v >= 0.0 ? (v <= 1.0 ? v : 1.0) : 0.0;
}

/** A usable sample rate: anything not positive and finite falls back to
    44100; the rest is kept inside what line sizes can be computed for. */
inline double sanitisedSampleRate (double rate) noexcept
{
    if (! (rate > 0.0) || ! std::isfinite (rate))
        return 44100.0;
    return rate < 1000.0 ? 1000.0 : (rate > 1536000.0 ? 1536000.0 : rate);
}

/** Smallest power of two, at least minimum, that holds n entries. */
inline int powerOfTwoAtLeast (int n, int minimum = 1) noexcept
{
    int size = minimum;
    while (size < n)
        size *= 2;
    return size;
}

inline void flushTiny (double& s) noexcept
{
    if (std::abs (s) < kTinyState)
        s = 0.0;
}

/** Replaces non-finite samples with 0 in place; true when any was found. */
inline bool sanitiseBlock (float* samples, int n) noexcept
{
    bool found = false;
    for (int i = 0; i < n; ++i)
        if (! std::isfinite (samples[i]))
        {
            samples[i] = 0.0f;
            found = true;
        }
    return found;
}
} // namespace effects
