#pragma once

#include "dsp/LazyZeroBuffer.h"

/** The tempo-aware stereo echo of the master chain.

    Each channel has its own delay line and delay length (the echo time in
    beats, spread apart by the stereo setting); the fed-back signal runs
    through a one-pole low-pass whose strength and share follow the colour,
    so low colours darken every repeat.

    Settings arrive through updateEchoValues() (mix 27, feedback 69, time 28,
    stereo 29, colour 68, plus the host tempo in beats per second). The lines
    are sized in prepare() to hold two beats at 15 bpm with the full stereo
    spread at that sample rate; longer delays wrap around the line. */
class ColorEcho
{
public:
    ColorEcho() = default;

    /** Sizes the lines for the sample rate (new lines start silent; lines of
        unchanged size keep their contents), then recomputes the delays from
        the last update. maxBlockSize is not needed. */
    void prepare (double sampleRate, int maxBlockSize);

    /** Clears both lines and low-pass states and the write position. */
    void reset() noexcept;

    /** mix, feedback, time, stereo, colour: parameter values in [0, 1].
        beatsPerSecond: host tempo / 60; a value not positive and finite keeps
        the previous tempo (2.0 at first). A mix below 0.01 clears the lines;
        a feedback of exactly 1 runs as 0.99, one outside [0, 1] as 0. */
    void updateEchoValues (double mix, double feedback, double time, double stereo,
                           double colour, double beatsPerSecond) noexcept;

    /** Both channels in place; does nothing while the mix is below 0.01.
        Non-finite input samples are replaced by silence before they reach
        the lines. */
    void process (float* left, float* right, int n) noexcept;

    int getLeftDelaySamples() const noexcept { return leftDelaySamples; }
    int getRightDelaySamples() const noexcept { return rightDelaySamples; }
    double getFeedback() const noexcept { return feedback; }
    double getMix() const noexcept { return mix; }
    double getBeatsPerSecond() const noexcept { return beatsPerSecond; }
    int getLineLength() const noexcept { return lineLength; }
    /** Memory the lines hold now: none until the echo plays (not on the audio thread). */
    std::size_t getResidentBytes() const noexcept { return leftLine.residentBytes() + rightLine.residentBytes(); }

private:
    void computeDelays() noexcept;
    void processChannel (float* samples, int n, LazyZeroBuffer<float>& line, double& lowPass,
                         int delaySamples) noexcept;

    int position = 0;
    bool linesWritten = false;
    double mix = 0.5;
    double feedback = 0.5;
    double colour = 0.5;
    double colourTarget = 0.5;

    // Last settings, kept so prepare() can recompute the delays at a new rate.
    double time = 0.5;
    double stereo = 0.05;
    double beatsPerSecond = 2.0;

    double sampleRate = 44100.0;
    double leftDelay = 0.0, rightDelay = 0.0;
    int leftDelaySamples = 1, rightDelaySamples = 1;

    int lineLength = 0;
    // Single precision: half the memory, and its rounding stays far below
    // anything audible. Committed as written: an echo never switched on
    // costs no memory.
    LazyZeroBuffer<float> leftLine, rightLine;
    double leftLowPass = 0.0, rightLowPass = 0.0;
};
