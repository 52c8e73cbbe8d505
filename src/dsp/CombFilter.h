#pragma once

#include "dsp/LazyZeroBuffer.h"

/** One modulated feedback comb of the type-1 reverb.

    The delay (given at 44.1 kHz, scaled to the sample rate) is swept by a
    few samples with a sine so the combs do not ring metallically; the read
    is linearly interpolated. The feedback follows the reverb size: a decay
    of 60 dB in 4 * size seconds, lifted towards 1 above size 0.8.

    The line is a power of two sized in prepare() for the swept delay at that
    rate, so indices wrap with a mask. */
class CombFilter
{
public:
    /** The table row: delay in samples at 44.1 kHz and sweep rate in Hz. */
    void setRow (int delayAt44100, double modulationHz) noexcept;

    /** Sizes the line for the sample rate; a line of unchanged size keeps its
        contents. Then computes the delays as update() does (feedback 0 until
        the first update). */
    void prepare (double sampleRate, int maxBlockSize);

    /** Delays, sweep and feedback for a reverb size in [0, 1]; the line is
        kept, and so is the write position unless the delay length changed
        (then it restarts at 0). Size 0 gives feedback 0. */
    void update (float size) noexcept;

    /** Zeroes the line. */
    void clear() noexcept;

    /** Zeroes the line, the write position and the sweep phase. */
    void reset() noexcept;

    /** One sample in; returns the value just written to the line. */
    double processSample (double x) noexcept;

    double getFeedback() const noexcept { return feedback; }
    double getBaseDelay() const noexcept { return baseDelay; }
    int getDelaySamples() const noexcept { return delaySamples; }
    int getLineSize() const noexcept { return (int) line.size(); }
    /** Memory the line holds now (not on the audio thread). */
    std::size_t getResidentBytes() const noexcept { return line.residentBytes(); }

private:
    // True when the delay length changed.
    bool computeDelays() noexcept;

    int delayAt44100 = 0;
    double modulationHz = 0.0;
    double sampleRate = 44100.0;

    int delaySamples = 0;
    double baseDelay = 0.0;
    double currentDelay = 0.0;
    double modulationDepth = 0.0;
    double phase = 0.0;
    double phaseIncrement = 0.0;
    double feedback = 0.0;

    LazyZeroBuffer<double> line;   // committed as written: a silent reverb costs no memory
    int mask = 0;
    int writePosition = 0;
};
