#pragma once

// Small pieces shared by the voice filter routines: the per-group control
// values, input sanitising, the low-cutoff smoothing stage, the peak follower
// of the driven ladders and the guards that keep NaN, Inf and denormals out of
// the filter states.

#include <algorithm>
#include <cmath>

namespace filtering
{
// Control-rate work runs once per group of this many samples.
constexpr int kGroupSize = 8;

// Highest cutoff any routine uses: at 1 the tangent and feedback terms blow up.
constexpr double kMaxCutoff = 0.995;

// Lowest cutoff of the routines whose coefficient would reach 0: there they
// stop moving and hold whatever level they had as DC (about 5 Hz at 44.1 kHz
// for the state-variable routines).
constexpr double kMinCutoff = 1.0e-3;

// States smaller than this are flushed to zero (about -360 dB), well before
// they reach the slow subnormal range.
constexpr double kTinyState = 1.0e-18;

inline double clampValue (double x, double lo, double hi) noexcept
{
    return x < lo ? lo : (x > hi ? hi : x);
}

inline double finiteOr (double x, double fallback) noexcept
{
    return std::isfinite (x) ? x : fallback;
}

inline void flushTiny (double& s) noexcept
{
    if (std::abs (s) < kTinyState)
        s = 0.0;
}

/** The values a filter routine takes for one 8-sample group. */
struct GroupControl
{
    double cutoff = 0.0;              // cutoff table entry of the group, 0..1
    double resonance = 0.0;           // the resonance parameter, 0..1
    bool resonanceModulated = false;  // whether the resonance destination is active
    double resonanceModulation = 1.0; // the destination's entry for the group

    double clampedCutoff() const noexcept { return clampValue (finiteOr (cutoff, 0.0), 0.0, 1.0); }

    // The knob value itself; the low-cutoff smoothing is keyed on it.
    double rawResonance() const noexcept { return clampValue (finiteOr (resonance, 0.0), 0.0, 1.0); }

    double modulationFactor() const noexcept { return finiteOr (resonanceModulation, 1.0); }

    // The resonance the routines work with: the knob scaled by the modulation.
    double effectiveResonance() const noexcept
    {
        if (! resonanceModulated)
            return rawResonance();
        return clampValue (modulationFactor() * rawResonance(), 0.0, 1.0);
    }
};

/** Extra one-pole smoothing used at low cutoffs with moderate resonance, where
    the plain stages leave too much high-frequency residue. */
struct LowCutoffSmoother
{
    double input = 0.0;
    double output = 0.0;

    static bool applies (double g, double rawResonance) noexcept
    {
        return g < 0.25 && rawResonance < 0.8;
    }

    double process (double x, double g) noexcept
    {
        const double b = 1.0 - 4.0 * g;
        output = (1.0 - 2.0 * g) * output + (input + x) * g;
        input = x;
        return (1.0 - b) * x + b * output;
    }

    void reset() noexcept { input = output = 0.0; }

    void flush() noexcept
    {
        flushTiny (input);
        flushTiny (output);
    }

    double stateSum() const noexcept { return input + output; }
};

/** Follows the input peaks of the driven ladders: the feedback limit rises
    with a peak and decays slowly after a hold, the drive gain eases in and out. */
struct PeakFollower
{
    double limit = 0.0;
    double drive = 0.0;
    int hold = 0;

    void update (double peak, double overdrive) noexcept
    {
        if (peak > limit)
        {
            limit = std::min (0.3 - 0.2 * overdrive, peak);
            hold = 16;
            drive = std::min (drive + 0.01, overdrive / 3.0);
        }
        else
        {
            const int before = hold--;
            if (before < 1)
            {
                hold = 0;
                limit *= 0.99;
                drive = std::max (drive - 0.01, 0.0);
            }
        }
    }

    void reset() noexcept
    {
        limit = drive = 0.0;
        hold = 0;
    }

    void flush() noexcept
    {
        flushTiny (limit);
        flushTiny (drive);
    }
};

/** Tracks the largest input magnitude of each group, so a routine can react
    to the previous group; the first group of a block uses its first sample. */
struct GroupPeak
{
    double previous = 0.0;
    bool blockStart = true;

    // Call before the group is processed in place: returns the peak to act on
    // and remembers this group's input peak for the next group.
    double next (const double* x, int n) noexcept
    {
        double result = previous;
        if (blockStart && n > 0)
        {
            blockStart = false;
            result = finiteOr (std::abs (x[0]), 0.0);
        }

        double p = 0.0;
        for (int i = 0; i < n; ++i)
            p = std::max (p, std::abs (x[i]));
        previous = finiteOr (p, 0.0);
        return result;
    }

    void startBlock() noexcept { blockStart = true; }

    void reset() noexcept
    {
        previous = 0.0;
        blockStart = true;
    }
};

// True when every output of the group and the given state sum are finite.
inline bool groupIsFinite (const double* x, int n, double stateSum) noexcept
{
    double acc = stateSum;
    for (int i = 0; i < n; ++i)
        acc += x[i];
    return std::isfinite (acc);
}

inline void silence (double* x, int n) noexcept
{
    std::fill (x, x + n, 0.0);
}
} // namespace filtering
