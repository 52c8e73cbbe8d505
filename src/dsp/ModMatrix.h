#pragma once

#include "core/ParameterValue.h"

#include <cmath>

/**
    Layout of the per-voice modulation matrix: which sources feed which
    destinations, where each amount lives in the parameter array, what a
    destination's table starts from and how the pulse-width destinations are
    mapped. Shared by the voice's VoiceModulation and by anything that shows
    the grid, so the layout is written down once.

    Amount of source s on destination d: parameter params::modAmountIndex (s, d)
    (570 + 20 s + d). Ten sources have amounts, five carry a signal.
*/
struct ModMatrix
{
    static constexpr int kNumSources = 10;
    static constexpr int kNumLiveSources = 5;
    static constexpr int kNumDestinations = 20;
    static constexpr int kFirstAmount = 570; // parameter index of source 0 on destination 0

    /** One table entry stands for this many samples. */
    static constexpr int kSamplesPerEntry = 8;

    enum Source : int
    {
        lfo1 = 0,
        lfo2 = 1,
        ampEnvelope = 2,
        filterEnvelope = 3,
        velocity = 4
    };

    enum Destination : int
    {
        voiceLevel = 0,       // multiplies the voice after the amplitude envelope
        pitch = 1,            // pitch factor of oscillators 1 to 3
        noiseLevel = 2,       // added to the noise level
        osc1Level = 3,        // added to the oscillator levels (sum clamped to [0, 2])
        osc2Level = 4,
        osc3Level = 5,
        osc4Level = 6,
        osc1Pitch = 7,
        osc2Pitch = 8,
        osc3Pitch = 9,
        osc4Pitch = 10,
        osc1PulseWidth = 11,  // mapped to a pulse-width offset in [-1, 1]
        osc2PulseWidth = 12,
        cutoff = 13,          // cutoff factor (the result is clamped to [0, 1])
        resonance = 14,
        decimation = 15
    };

    /** "lfo1", "lfo2", "amp env", "flt env", "velocity"; "" for sources 5 to 9. */
    static const char* sourceName (int source) noexcept;

    /** True when a destination's table multiplies its control (base 1);
        false for the additive level destinations 2 to 5 (base 0). */
    static bool isMultiplicative (int destination) noexcept;

    static double baseValue (bool multiplicative) noexcept { return multiplicative ? 1.0 : 0.0; }

    /** True for the pulse-width destinations 11 and 12. */
    static bool isPulseWidth (int destination) noexcept;

    /** A pulse-width table entry: entry * 0.49 - 0.49, clamped to [-1, 1]; so
        the base 1 gives no offset and a full signal of 1 moves it by 0.49. */
    static double mapPulseWidth (double entry) noexcept
    {
        const double v = entry * 0.49 - 0.49;
        return v > -1.0 ? (v < 1.0 ? v : 1.0) : -1.0;   // NaN ends at -1, never passes through
    }

    /** The amount of a source on a destination; a value that is not finite
        (or indices out of range, or no parameters) reads as 0. */
    static double amount (const ParameterValue* parameters, int source, int destination) noexcept
    {
        // Inline: every voice asks for every pair once a block.
        if (parameters == nullptr || source < 0 || source >= kNumSources
            || destination < 0 || destination >= kNumDestinations)
            return 0.0;

        const double a = parameters[kFirstAmount + source * kNumDestinations + destination];
        return std::isfinite (a) ? a : 0.0;
    }

    /** Whether any of the ten sources has an amount above 0 on a destination. */
    static bool hasAnyAmount (const ParameterValue* parameters, int destination) noexcept
    {
        // Inline: every voice asks for every destination once a block. As
        // amount() > 0 for some source: a value that is not finite reads 0.
        if (parameters == nullptr || destination < 0 || destination >= kNumDestinations)
            return false;
        for (int s = 0; s < kNumSources; ++s)
        {
            const double a = parameters[kFirstAmount + s * kNumDestinations + destination];
            if (a > 0.0 && a < HUGE_VAL)
                return true;
        }
        return false;
    }

    /** Entries a block of n samples uses: n / 8 rounded up. */
    static int entriesForBlock (int numSamples) noexcept;

    /** Entries a table must hold for a block of n samples: one more than used. */
    static int requiredTableSize (int numSamples) noexcept;
};
