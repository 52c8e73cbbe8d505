#pragma once

/** The per-channel peak limiter at the end of the master chain: a sample at
    or above full scale sets the gain to bring it to exactly 1.0; the gain
    then recovers towards 1 with a time constant of 10000 samples. Nothing
    at or above full scale, and nothing non-finite, leaves it. */
class Limiter
{
public:
    /** Nothing depends on the rate or the block size; resets the gain. */
    void prepare (double sampleRate, int maxBlockSize) noexcept;

    /** Gain back to 1. */
    void reset() noexcept { gain = 1.0; }

    /** In place. Returns the number of samples that were at or above full
        scale (the clip lamp counts them); non-finite samples become 0 and
        count as well. */
    int process (float* samples, int n) noexcept;

    double getGain() const noexcept { return gain; }

private:
    double gain = 1.0;
};
