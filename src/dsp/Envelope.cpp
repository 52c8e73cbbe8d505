#include "dsp/Envelope.h"

#include "core/globalStuff.h"

#include <cmath>
#include <utility>

namespace
{
// The smoothed sustain approaches 0 geometrically; below this it is flushed so
// it never turns denormal (and a sustain of 0 really reaches 0).
constexpr double kSustainFloor = 1.0e-20;

// base^shape as e^(shape * ln(base)), with a base of 0 (or below) giving 0.
inline double shapedPower (double base, double shape) noexcept
{
    if (! (base > 0.0))
        return 0.0;
    return std::exp (shape * std::log (base));
}

inline double clamp01 (double v) noexcept
{
    // NaN falls to 0.
    return v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0;
}
} // namespace

Envelope::Envelope (std::string envelopeName)
    : name (std::move (envelopeName))
{
    if (globals[0] > 0.0 && std::isfinite (globals[0]))
        sampleRate = globals[0];
    perSecondFloor = 1.0 / (5.0 * sampleRate);
}

void Envelope::prepare (double newSampleRate, int) noexcept
{
    if (newSampleRate > 0.0 && std::isfinite (newSampleRate))
        sampleRate = newSampleRate;
    perSecondFloor = 1.0 / (5.0 * sampleRate);
}

void Envelope::bind (const ParameterValue* a, const ParameterValue* d, const ParameterValue* s, const ParameterValue* r) noexcept
{
    attackValue = a;
    decayValue = d;
    sustainValue = s;
    releaseValue = r;
    bound = a != nullptr && d != nullptr && s != nullptr && r != nullptr;
}

void Envelope::reset() noexcept
{
    state = off;
    x = 0.0;
    releaseStartLevel = 0.0;
    lastLevel = 0.0;
}

void Envelope::start() noexcept
{
    state = attack;
    x = 0.0;
    releaseStartLevel = 0.0;
    lastLevel = 0.0;
}

void Envelope::restartFromRelease() noexcept
{
    state = attack;
    x = clamp01 (1.0 - x);
}

void Envelope::startRelease() noexcept
{
    if (state == attack || state == decay || state == sustain)
    {
        x = 0.0;
        releaseStartLevel = lastLevel;
        state = release;
    }
}

void Envelope::run (double* levels, int steps) noexcept
{
    // The voice's per-block loop: the two calls inline here.
    for (int k = 0; k < steps; ++k)
    {
        advance();
        const double v = currentLevel();
        if (levels != nullptr)
            levels[k] = v;
    }
}

void Envelope::updateSparse() noexcept
{
    advance();
}

inline void Envelope::advance() noexcept
{
    if (! bound)
        return;

    sustainLevel = 0.01 * readStageValue (sustainValue) + 0.99 * sustainLevel;
    if (sustainLevel < kSustainFloor)
        sustainLevel = 0.0;

    const double step = (double) kControlInterval;

    switch (state)
    {
        case attack:
            if (x < 1.0)
                x += step * ((1.0 - readStageValue (attackValue)) * 300.0 / sampleRate + perSecondFloor);
            else
            {
                state = decay;
                x = 0.0;
            }
            break;

        case decay:
            if (x < 1.0)
                x += step * ((1.0 - readStageValue (decayValue)) * 150.0 / sampleRate + perSecondFloor);
            else
            {
                state = sustain;
                x = 0.0;
            }
            break;

        case release:
            if (x < 1.0)
                x += step * ((1.0 - readStageValue (releaseValue)) * 150.0 / sampleRate + perSecondFloor);
            else
            {
                state = off;
                x = 0.0;
            }
            break;

        default:
            break;
    }
}

double Envelope::level() noexcept
{
    return currentLevel();
}

inline double Envelope::currentLevel() noexcept
{
    double result = 0.0;

    switch (state)
    {
        case attack:
            result = shapedPower (x, attackShape.load (std::memory_order_relaxed));
            break;

        case decay:
        {
            const double base = (1.0 - x) * (1.0 - sustainLevel);
            result = shapedPower (base > 0.0 ? base : 0.0, decayShape.load (std::memory_order_relaxed)) + sustainLevel;
            break;
        }

        case sustain:
            result = sustainLevel;
            break;

        case release:
        {
            const double base = 1.0 - x;
            result = shapedPower (base > 0.0 ? base : 0.0, releaseShape.load (std::memory_order_relaxed)) * releaseStartLevel;
            break;
        }

        default:
            result = 0.0;
            break;
    }

    lastLevel = result;

    if (result == 0.0 && state != attack)
        state = off;

    return result;
}

void Envelope::setShapesFromControls (double a, double d, double r) noexcept
{
    // Controls outside [0, 1] would give exponents of 0 or below: a level of
    // 0^0 or 0^-k is not a number the voice can use.
    a = clamp01 (a);
    d = clamp01 (d);
    r = clamp01 (r);

    attackShape.store (a * 0.3 + (1.0 - a), std::memory_order_relaxed);
    decayShape.store ((1.0 - d * d) * 3.5 + 1.0, std::memory_order_relaxed);

    const double rel = readStageValue (releaseValue);
    const double bend = 1.0 - r * r;
    releaseShape.store ((bend * 0.4 * 5.0 + 1.0) * rel + (bend * 0.4 + 1.0) * (1.0 - rel),
                        std::memory_order_relaxed);
}

void Envelope::setAttackShape (double exponent) noexcept
{
    if (exponent > 0.0 && std::isfinite (exponent))
        attackShape.store (exponent, std::memory_order_relaxed);
}

void Envelope::setDecayShape (double exponent) noexcept
{
    if (exponent > 0.0 && std::isfinite (exponent))
        decayShape.store (exponent, std::memory_order_relaxed);
}

void Envelope::setReleaseShape (double exponent) noexcept
{
    if (exponent > 0.0 && std::isfinite (exponent))
        releaseShape.store (exponent, std::memory_order_relaxed);
}
