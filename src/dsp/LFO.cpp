#include "dsp/LFO.h"

#include "core/globalStuff.h"
#include "dsp/LFOHelper.h"

#include <algorithm>
#include <climits>
#include <cmath>

static_assert (std::atomic<double>::is_always_lock_free, "LFO controls are read on the audio thread");

namespace
{
constexpr double kRange = (double) LFO::kPhaseRange;

// Keeps a phase inside [0, 4096). The common case is one subtraction; large
// steps (fast modulation) and NaN are handled so a table read never leaves
// the table.
inline double wrapPhase (double p) noexcept
{
    if (p >= kRange)
    {
        p -= kRange;
        if (p >= kRange)
            p = std::fmod (p, kRange);
    }
    else if (p < 0.0)
    {
        p += kRange;
        if (p < 0.0)
            p = std::fmod (p, kRange) + kRange;
    }

    return (p >= 0.0 && p < kRange) ? p : 0.0;
}

inline int capacityFor (int numSamples) noexcept
{
    int capacity = 16;
    while (capacity < numSamples && capacity < (INT_MAX / 2))
        capacity *= 2;
    return capacity;
}
} // namespace

LFO::LFO()
{
    if (globals[0] > 0.0 && std::isfinite (globals[0]))
        sampleRate = globals[0];

    buffer.assign ((size_t) kInitialCapacity, 0.0);
    setSpeed (0.5);
}

void LFO::prepare (double newSampleRate, int maximumBlockSize)
{
    if (newSampleRate > 0.0 && std::isfinite (newSampleRate))
        sampleRate = newSampleRate;

    updateIncrement (getRate());
    ensureCapacity (std::max (maximumBlockSize, kInitialCapacity));
}

void LFO::reset() noexcept
{
    std::fill (buffer.begin(), buffer.end(), 0.0);
    validLength = 0;
    phase = 0.0;
}

void LFO::ensureCapacity (int numSamples)
{
    // Growth loses the previous block; prepare() makes this a fallback only.
    if (numSamples > (int) buffer.size())
    {
        buffer.assign ((size_t) capacityFor (numSamples), 0.0);
        validLength = 0;
    }
}

void LFO::updateIncrement (double newRate) noexcept
{
    rate.store (newRate, std::memory_order_relaxed);
    increment.store (newRate * kRange / sampleRate, std::memory_order_relaxed);
}

void LFO::setSpeed (double value) noexcept
{
    value = value > 0.0 ? (value < 1.0 ? value : 1.0) : 0.0;   // NaN falls to 0
    speedControl.store (value, std::memory_order_relaxed);

    const auto& helper = LFOHelper::instance();

    double r = value * value * value * 30.0 + 0.05;

    if (isTempoSynced())
        r = helper.getSyncSpeedFromHz (r).rateHz();

    updateIncrement (r);
}

void LFO::setRateHz (double hz) noexcept
{
    if (hz >= 0.0 && std::isfinite (hz))
        updateIncrement (hz);
}

void LFO::setTempoSync (bool shouldSync) noexcept
{
    tempoSync.store (shouldSync, std::memory_order_relaxed);
    if (! shouldSync)
        syncCountdown.store (-1, std::memory_order_relaxed);
}

void LFO::setSyncPhase (double tableSamples) noexcept
{
    syncPhase.store (wrapPhase (tableSamples), std::memory_order_relaxed);
}

void LFO::setSyncPhaseFromOffset (double value) noexcept
{
    setSyncPhase (value == 1.0 ? 0.0 : value * kRange);
}

void LFO::setPhase (double tableSamples) noexcept
{
    phase = wrapPhase (tableSamples);
}

bool LFO::setModulator (const LFO* newModulator, const ParameterValue* depthControl) noexcept
{
    if (newModulator != nullptr && newModulator != this
        && newModulator->isVoiceOwned() && ! isVoiceOwned())
    {
        modulator = nullptr;
        depth = nullptr;
        return false;
    }

    modulator = newModulator;
    depth = depthControl;
    return true;
}

void LFO::startOneShot() noexcept
{
    oneShotState = oneShotRunning;
    phase = 0.0;
    std::fill (buffer.begin(), buffer.end(), 0.0);
    validLength = 0;
}

const double* LFO::tableForShape (int s) const noexcept
{
    switch (s)
    {
        case sine:         return sineTable;
        case saw:          return bandLimitedSawtooth[3];
        case triangle:     return bandLimitedTriangle[3];
        case square:       return bandLimitedSquare[3];
        case capturedWave: return capturedTable;
        default:           return nullptr;
    }
}

void LFO::calculateBlock (int numSamples)
{
    const int n = std::max (0, numSamples);
    ensureCapacity (n);
    computed = true;

    if (oneShot && oneShotState == oneShotFinished)
        return;

    double* out = buffer.data();
    const int s = getShape();
    const double* table = tableForShape (s);
    const bool computedRamp = (s == reverseSaw);
    const double inc = getIncrement();

    const bool synced = isTempoSynced();
    const int countdown = getSyncCountdown();
    const int rephaseAt = (synced && countdown > 0 && countdown <= n) ? countdown - 1 : -1;
    const double jumpTo = getSyncPhase();

    const double d = depth != nullptr ? depth->get() : 0.0;
    const bool modulated = modulator != nullptr && d > 0.005 && std::isfinite (d);

    const double* modBuffer = modulated ? modulator->getBuffer() : nullptr;
    // Only the part of the modulator that belongs to this block is read.
    const int modLength = modulated ? std::min (n, modulator->getValidLength()) : 0;
    const double modScale = 2.0 * d * d;

    double p = wrapPhase (phase);

    for (int i = 0; i < n; ++i)
    {
        if (table != nullptr)
            out[i] = table[(int) p];
        else if (computedRamp)
            out[i] = 1.0 - p / 2048.0;
        else
            out[i] = 0.0;   // no source: silence, not the previous block

        const double step = i < modLength ? (1.0 + modBuffer[i] * modScale) * inc : inc;
        p = wrapPhase (p + step);

        if (i == rephaseAt)
            p = jumpTo;
    }

    phase = p;
    validLength = n;

    if (synced)
    {
        // Keeps counting down below 0 (nothing pending) but never overflows.
        const long long next = (long long) countdown - n;
        syncCountdown.store ((int) std::max (next, (long long) INT_MIN / 2), std::memory_order_relaxed);
    }
}

void LFO::calculateOneShotFromFrame (int numSamples)
{
    const int n = std::max (0, numSamples);
    computed = true;

    if (oneShot && oneShotState == oneShotFinished)
        return;

    ensureCapacity (n);
    double* out = buffer.data();

    if (master != nullptr)
    {
        increment.store (master->getIncrement(), std::memory_order_relaxed);
        shape.store (master->getShape(), std::memory_order_relaxed);
    }

    const int s = getShape();
    validLength = n;

    if (s < sine || s > capturedWave)
    {
        // Unsupported shape: a silent frame, state unchanged. No printing on
        // the audio thread.
        std::fill (out, out + n, 0.0);
        return;
    }

    if (oneShotState == oneShotFinished)
    {
        // Never started (startOneShot not called): nothing to play.
        std::fill (out, out + n, 0.0);
        return;
    }

    const double* table = tableForShape (s);
    const bool computedRamp = (s == reverseSaw);
    const double limit = computedRamp ? 2.0 * kRange : kRange;
    const double inc = getIncrement();

    double p = phase >= 0.0 ? phase : 0.0;
    int i = 0;

    // A phase already at the end (the shape changed from the long ramp to a
    // table mid-cycle) ends the cycle before anything is read.
    if (! (p < limit))
        oneShotState = oneShotEnding;

    for (; i < n && oneShotState == oneShotRunning; ++i)
    {
        if (computedRamp)
            out[i] = 2.0 - p / kRange;
        else
            out[i] = table != nullptr ? table[(int) p] : 0.0;

        p += inc;

        // The end is reached at the first phase that would read past the
        // table, so entry 4096 is never read.
        if (! (p < limit))
            oneShotState = oneShotEnding;
    }

    if (oneShotState == oneShotEnding)
    {
        p = 0.0;
        std::fill (out + i, out + n, 0.0);
        oneShotState = oneShotFinished;
    }

    phase = p;
}
