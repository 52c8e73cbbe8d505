#pragma once

#include "core/ParameterValue.h"

#include "dsp/LFO.h"

#include <vector>

/** One channel of the master chorus: a short delay line read by three taps
    whose delays a sine LFO moves together. blockBasedTapping() leaves the
    wet signal of one block in getOutput(); the owner mixes it with the dry
    channel.

    Reads parameters 41 (depth), 42 (rate) and 43 (time) from the engine's
    value array. The line is a power of two sized in prepare() for the longest
    swept tap at that sample rate, so every read is a masked index. */
class MultiTapper
{
public:
    static constexpr int kNumTaps = 3;

    /** taps: three tap factors (the chorus uses {17, 43, 67}); baseDelay
        scales them (20.0 left, 20.2 right, which decorrelates the sides). */
    MultiTapper (const float* taps, double baseDelay);

    /** The engine's parameter values (element p = parameter p). */
    void setParameters (const ParameterValue* parameterValues) noexcept { values = parameterValues; }

    /** Sizes the line for the sample rate and the output for maxBlockSize.
        Keeps the line contents when its size does not change. */
    void prepare (double sampleRate, int maxBlockSize);

    /** Clears the line and the LFO. */
    void reset() noexcept;

    /** Reads n input samples and leaves n wet samples in getOutput(). Blocks
        up to the prepared size never allocate; a longer block grows the
        output once as a fallback. Without parameters the output is silence. */
    void blockBasedTapping (int n, const float* input);

    const double* getOutput() const noexcept { return output.data(); }
    int getCapacity() const noexcept { return (int) output.size(); }
    int getLineSize() const noexcept { return (int) line.size(); }

    /** Delay of tap i in samples for the current block (before the sweep). */
    float getTapDelay (int i) const noexcept { return tapDelay[i]; }

private:
    static int neededOutputSize (int n) noexcept;

    const ParameterValue* values = nullptr;
    double sampleRate = 44100.0;
    double baseDelay;
    float taps[kNumTaps];
    float tapDelay[kNumTaps] = {};

    std::vector<double> line;
    int mask = 0;
    int position = 0;

    std::vector<double> output;
    LFO lfo; // shape sine, looping, rate set per block
};
