#pragma once

#include "core/ParameterValue.h"

#include "dsp/LazyZeroBuffer.h"


/** Reverb type 2: a lattice of in-place all-pass pairs over one interleaved
    stereo line (left at even, right at odd indices), closed by damped,
    cross-coupled feedback from the far end of each side.

    Mono input (the left channel); the wet signal is mixed into both
    channels as dry * sqrt(1 - mix) + wet * mix. Reads parameters 30 (mix),
    31 (size: feedback) and 32 (colour: damping); below mix 0.01 nothing
    runs. The taps are counted in frames, so the line does not depend on the
    sample rate; it is allocated once at construction. */
class KevoReverb2
{
public:
    static constexpr int kFrames = 32768;

    KevoReverb2();

    /** The engine's parameter values (element p = parameter p). */
    void setParameters (const ParameterValue* parameterValues) noexcept { values = parameterValues; }

    /** Stores the sample rate, restarts the write position and calls
        updateReverb(). */
    void prepare (double sampleRate, int maxBlockSize) noexcept;

    /** Output high-pass coefficient for the sample rate (kept at 0, no
        high-pass, at 40 kHz and below). Does nothing without parameters. */
    void updateReverb() noexcept;

    /** Silences the line and every filter state (for a switch of the reverb
        type). */
    void clear() noexcept;

    /** clear() plus the write position back to its start. */
    void reset() noexcept;

    /** Left and right in place; the left channel is the input. Non-finite
        input samples are replaced by silence before they reach the line. */
    void blockMultiTapBasedReverb (float* left, float* right, int n) noexcept;

    void process (float* left, float* right, int n) noexcept { blockMultiTapBasedReverb (left, right, n); }

    float getHighPassCoefficient() const noexcept { return highPassCoefficient; }

    /** Memory the line holds now: none until the reverb plays (not on the audio thread). */
    std::size_t getResidentBytes() const noexcept { return line.residentBytes(); }

private:
    const ParameterValue* values = nullptr;
    double sampleRate = 44100.0;

    LazyZeroBuffer<double> line;   // committed as written: unused, it costs no memory
    int writeFrame = 0;

    double leftDamping = 0.0, rightDamping = 0.0;
    float highPassCoefficient = 0.0f;
    double leftHighPass = 0.0, rightHighPass = 0.0;
};
