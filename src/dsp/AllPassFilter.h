#pragma once

#include "dsp/LazyZeroBuffer.h"

/** One Schroeder all-pass of the type-1 reverb: diffuses without colouring
    the long-term spectrum. The delay is given at 44.1 kHz and scaled to the
    sample rate in prepare(); the line is a power of two that holds it. */
class AllPassFilter
{
public:
    /** The table row: delay in samples at 44.1 kHz and gain. */
    void setRow (int delayAt44100, double gain) noexcept;

    /** Sizes the line and sets the delay for the sample rate; a line of
        unchanged size keeps its contents. */
    void prepare (double sampleRate, int maxBlockSize);

    /** Zeroes the line. */
    void clear() noexcept;

    /** Zeroes the line and the write position. */
    void reset() noexcept;

    double processSample (double v) noexcept;

    int getDelaySamples() const noexcept { return delaySamples; }
    double getGain() const noexcept { return gain; }

    /** Memory the line holds now (not on the audio thread). */
    std::size_t getResidentBytes() const noexcept { return line.residentBytes(); }

private:
    int delayAt44100 = 1;
    double gain = 0.0;
    int delaySamples = 1;

    LazyZeroBuffer<double> line;   // committed as written
    int mask = 0;
    int writePosition = 0;
};
