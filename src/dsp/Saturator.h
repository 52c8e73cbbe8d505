#pragma once

#include "core/ParameterValue.h"

/** The master saturation, one per channel, in place on the channel.

    Parameter 35 is the drive (D = 20 * P35^2; at most 0.01 bypasses the
    stage), parameter 83 picks one of six curves: 0 "classic 1" (atan),
    1 "classic 2" (polynomial clip), 2 "tube 1" (envelope-ducked gain),
    3 "tube 2" (two shapers with level follower), 4 "compressor" (two-stage
    gain computer), 5 "Bolvo Tube" (envelope-controlled drive with soft knee).
    Types above 5 pass the signal unchanged.

    The curves keep running state across blocks; reset() returns it to the
    starting values (the processor calls it when the unison setting changes). */
class Saturator
{
public:
    static constexpr int kNumTypes = 6;

    Saturator() noexcept { reset(); }

    /** The engine's parameter values (element p = parameter p). */
    void setParameters (const ParameterValue* parameterValues) noexcept { values = parameterValues; }

    /** Nothing is sized or rate-dependent; the running state is kept. */
    void prepare (double sampleRate, int maxBlockSize) noexcept;

    /** Running state back to its starting values. */
    void reset() noexcept;

    /** In place. Does nothing without parameters. */
    void blockBasedSaturate (float* samples, int n) noexcept;

    void process (float* samples, int n) noexcept { blockBasedSaturate (samples, n); }

    /** Envelope of the tube types (2, 3, 5), for tests and meters. */
    double getEnvelope() const noexcept { return envelope; }

private:
    void classic1 (float* samples, int n) noexcept;
    void classic2 (float* samples, int n) noexcept;
    void tube1 (float* samples, int n, float p) noexcept;
    void tube2 (float* samples, int n, float p) noexcept;
    void compressor (float* samples, int n, float p) noexcept;
    void bolvoTube (float* samples, int n, float p) noexcept;

    const ParameterValue* values = nullptr;

    float normaliser = 1.0f;
    float drive = 1.0f;
    float driveParameter = 0.0f;
    float coefficient = 0.0f;
    double envelope = 0.0;
    float slowLevel = 1.0f, gain = 1.0f, target1 = 1.0f;
    float slowLevel2 = 1.0f, gain2 = 1.0f, target2 = 1.0f;
    float previous = 0.0f;
    float level = 1.0f;
};
