#pragma once

#include "core/ParameterValue.h"

#include "dsp/AllPassFilter.h"
#include "dsp/CombFilter.h"

#include "dsp/LazyZeroBuffer.h"


/** Reverb type 1: a modulated pre-delay, six modulated combs in parallel,
    four all-passes in series and two chains of three all-passes that give
    decorrelated left and right outputs, each with a colour tilt.

    Mono input (the left channel); the wet signal is mixed into both
    channels as dry * sqrt(1 - mix) + wet * mix. Reads parameters 30 (mix),
    31 (size) and 32 (colour); below mix 0.01 nothing runs.

    All lines are sized in prepare() from the sample rate. Blocks longer than
    the pre-delay line allows are processed in pieces, so nothing is ever
    allocated in process(). */
class KevoReverb
{
public:
    static constexpr int kNumCombs = 6;
    static constexpr int kNumAllPasses = 10;

    KevoReverb() noexcept;

    /** The engine's parameter values (element p = parameter p). */
    void setParameters (const ParameterValue* parameterValues) noexcept { values = parameterValues; }

    /** Sizes all lines for the sample rate (lines of unchanged size keep their
        contents), restarts the input line and the sweep and calls
        updateReverb(). */
    void prepare (double sampleRate, int maxBlockSize);

    /** Recomputes comb delays and feedback, colour terms, pre-delay and the
        input high-pass from parameters 31 and 32 and the sample rate. Call
        on a change of parameters 30-32 and 86 and after a state restore.
        Line positions and the pre-delay sweep run on unless a delay length
        changes. Does nothing without parameters. */
    void updateReverb() noexcept;

    /** Silences every line and filter state (for a switch of the reverb
        type); coefficients and positions stay. */
    void clear() noexcept;

    /** clear() plus write positions and sweep phases back to their start. */
    void reset() noexcept;

    /** Left and right in place; the left channel is the input. Non-finite
        input samples are replaced by silence before they reach the lines. */
    void process (float* left, float* right, int n) noexcept;

    const CombFilter& getComb (int i) const noexcept { return combs[i]; }
    /** Memory the lines hold now: none until the reverb plays (not on the audio thread). */
    std::size_t getResidentBytes() const noexcept
    {
        std::size_t bytes = inputLine.residentBytes();
        for (const auto& c : combs)
            bytes += c.getResidentBytes();
        for (const auto& a : allPasses)
            bytes += a.getResidentBytes();
        return bytes;
    }
    float getPreDelay() const noexcept { return preDelay; }
    float getInputHighPassCoefficient() const noexcept { return highPassCoefficient; }
    int getMaxSubBlock() const noexcept { return maxSubBlock; }

private:
    struct ColourState
    {
        double z = 0.0;      // low-pass of the bright tilt
        double q = 0.0;      // high-pass of the dark tilt
        double previous = 0.0;
    };

    void processSubBlock (float* left, float* right, int n, double mix, double colour) noexcept;
    double applyColour (double y, ColourState& state, double colour) const noexcept;

    const ParameterValue* values = nullptr;
    double sampleRate = 44100.0;
    bool prepared = false;

    CombFilter combs[kNumCombs];
    AllPassFilter allPasses[kNumAllPasses];

    float tilt = 0.0f, tiltCoefficient = 0.0f;
    float darkening = 0.0f, darkeningCoefficient = 0.0f;
    ColourState colourA, colourB;

    float preDelay = 16.0f;
    LazyZeroBuffer<float> inputLine;   // committed as written
    int inputPosition = 0;
    int maxSubBlock = 1;
    float modulationPhase = 4096.0f;
    float modulationIncrement = 0.0f;

    float highPassCoefficient = 0.5f;
    double highPassState = 0.0;
};
