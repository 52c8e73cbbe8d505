#pragma once

#include "core/ParameterValue.h"

#include <atomic>
#include <string>

/**
    Shaped ADSR generator of a voice.

    The envelope runs at control rate: the voice calls updateSparse() once for
    every 8 samples and then reads one level(), which it holds for those 8
    samples. Each moving stage is a power curve whose exponent (the stage
    shape) comes from the envelope-shape controls, so the same stage time can
    be bent from snappy to linear without any per-sample pow().

    Stage times come from four values owned elsewhere (the engine keeps the
    powered stage-time values current); the envelope only reads them. A stage
    value of 1 is the slowest stage (5 s), 0 the fastest (1/300 s attack,
    1/150 s decay and release).

    Use:
    - prepare (sampleRate, maxBlock) whenever the sample rate changes;
    - bind() the four value pointers once; nothing moves until bound;
    - start() / restartFromRelease() / startRelease() on note transitions;
    - per 8 samples: updateSparse(), then level().

    Audio thread only, except setShapes...(), which may come from any thread
    (each shape is a single atomic double; a block may see old or new shapes).
*/
class Envelope
{
public:
    enum State : int
    {
        attack = 0,
        decay = 1,
        sustain = 2,
        release = 3,
        off = 4
    };

    /** Number of samples one updateSparse() call stands for. */
    static constexpr int kControlInterval = 8;

    explicit Envelope (std::string name = {});

    /** Sets the sample rate the stage times are measured in. The block size
        is not needed (the envelope has no buffers); it is accepted so that all
        voice components share one prepare signature. A rate that is not
        positive and finite is ignored. */
    void prepare (double sampleRate, int maximumBlockSize = 0) noexcept;

    /** Binds the stage values: attack, decay and release in [0, 1] (1 slowest)
        and the sustain level in [0, 1]. Null pointers leave it unbound. */
    void bind (const ParameterValue* attackValue, const ParameterValue* decayValue,
               const ParameterValue* sustainValue, const ParameterValue* releaseValue) noexcept;

    bool isBound() const noexcept { return bound; }

    /** Off, phase 0, levels 0; the smoothed sustain is kept. */
    void reset() noexcept;

    //==============================================================================
    /** Note start: attack from phase 0 and level 0. */
    void start() noexcept;

    /** Note start while releasing: attack again from the mirrored phase
        1 - x, so the level does not jump back to 0. */
    void restartFromRelease() noexcept;

    /** Note stop: from attack, decay or sustain the release starts at the last
        level. An envelope already releasing or off is left as it is. */
    void startRelease() noexcept;

    //==============================================================================
    /** Advances by one control step (8 samples). */
    void updateSparse() noexcept;

    /** The current level; stores it as the last level. A level of exactly 0
        outside the attack switches the envelope off. */
    double level() noexcept;

    /** updateSparse() then level() for each of `steps` control steps, the
        levels to levels[0 .. steps) (null: read and dropped). */
    void run (double* levels, int steps) noexcept;

    //==============================================================================
    /** Stage shapes from the three shape controls v in [0, 1]:
        attack exponent 1 (v = 0) .. 0.3 (v = 1); decay exponent 4.5 .. 1;
        release exponent depends also on the current release value R, so a
        slow release gets a steeper curve (up to 3) than a fast one (up to 1.4). */
    void setShapesFromControls (double attackControl, double decayControl, double releaseControl) noexcept;

    /** Direct exponents (must be above 0; others are ignored). */
    void setAttackShape (double exponent) noexcept;
    void setDecayShape (double exponent) noexcept;
    void setReleaseShape (double exponent) noexcept;

    double getAttackShape() const noexcept  { return attackShape.load (std::memory_order_relaxed); }
    double getDecayShape() const noexcept   { return decayShape.load (std::memory_order_relaxed); }
    double getReleaseShape() const noexcept { return releaseShape.load (std::memory_order_relaxed); }

    //==============================================================================
    State getState() const noexcept          { return (State) state; }
    bool isOff() const noexcept              { return state == off; }
    double getPhase() const noexcept         { return x; }
    double getLastLevel() const noexcept     { return lastLevel; }
    double getReleaseStartLevel() const noexcept { return releaseStartLevel; }
    double getSmoothedSustain() const noexcept   { return sustainLevel; }
    const std::string& getName() const noexcept  { return name; }
    double getSampleRate() const noexcept    { return sampleRate; }

private:
    // Stage values outside [0, 1] would make the phase run backwards and the
    // power curves NaN; NaN falls to 0.
    static double readStageValue (const ParameterValue* p) noexcept
    {
        if (p == nullptr)
            return 0.0;
        const double v = *p;
        return v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;
    }
    // The bodies of updateSparse() and level().
    void advance() noexcept;
    double currentLevel() noexcept;

    double sustainLevel = 0.5;
    std::atomic<double> attackShape { 0.65 };
    std::atomic<double> decayShape { 3.625 };
    std::atomic<double> releaseShape { 1.0 };
    bool bound = false;
    std::string name;

    const ParameterValue* attackValue = nullptr;
    const ParameterValue* decayValue = nullptr;
    const ParameterValue* sustainValue = nullptr;
    const ParameterValue* releaseValue = nullptr;

    int state = off;
    double x = 0.0;
    double releaseStartLevel = 0.0;
    double lastLevel = 0.0;

    double sampleRate = 44100.0;
    double perSecondFloor = 1.0 / (5.0 * 44100.0); // slowest stage step per sample, kept with the rate
};
