#pragma once

#include "dsp/MultiTapper.h"

/** The master chorus: one MultiTapper per channel (base delays 20.0 and 20.2,
    taps {17, 43, 67}) mixed with the dry signal at equal power.

    Parameter 40 is the mix; below 0.01 nothing runs (the taps neither advance
    nor record). The stereo path mixes at the mix value itself; the mono path
    (one unison copy) runs only the left tapper and follows a one-pole
    smoothed mix, so a jump of the knob does not click. */
class KevoChorus
{
public:
    KevoChorus();

    /** The engine's parameter values (element p = parameter p). */
    void setParameters (const ParameterValue* parameterValues) noexcept;

    /** Sizes both tappers. Later calls keep the line contents when the sample
        rate is unchanged. */
    void prepare (double sampleRate, int maxBlockSize);

    /** Clears both lines and sweeps and the smoothed mono mix. */
    void reset() noexcept;

    /** Stereo path: both channels in place. */
    void processStereo (float* left, float* right, int n);

    /** Mono path: the left channel in place with the smoothed mix. */
    void processMono (float* left, int n);

    MultiTapper& getLeftTapper() noexcept { return leftTapper; }
    MultiTapper& getRightTapper() noexcept { return rightTapper; }

    float getSmoothedMonoMix() const noexcept { return smoothedMonoMix; }

private:
    float currentMix() const noexcept;
    int chunkSize() const noexcept;

    const ParameterValue* values = nullptr;
    float smoothedMonoMix = 0.0f;
    MultiTapper leftTapper, rightTapper;
};
