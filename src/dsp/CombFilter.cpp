#include "dsp/CombFilter.h"

#include "core/globalStuff.h"
#include "dsp/EffectCommon.h"

#include <algorithm>
#include <cmath>

namespace
{
constexpr int kMinLineSize = 4096;       // what 44.1 kHz needs
constexpr double kDepthAt44100 = 5.0;    // sweep depth in samples at 44.1 kHz
} // namespace

void CombFilter::setRow (int delay, double hz) noexcept
{
    delayAt44100 = std::max (0, delay);
    modulationHz = hz;
}

void CombFilter::prepare (double rate, int)
{
    initGlobalTables();
    sampleRate = effects::sanitisedSampleRate (rate);

    const double ratio = sampleRate / 44100.0;
    const double longest = delayAt44100 * ratio + kDepthAt44100 * ratio;
    const int size = effects::powerOfTwoAtLeast ((int) std::ceil (longest) + 3, kMinLineSize);

    bool restart = false;
    if ((int) line.size() != size)
    {
        line.allocate ((size_t) size);
        restart = true;
    }
    mask = size - 1;
    if (computeDelays() || restart)
        writePosition = 0;
}

bool CombFilter::computeDelays() noexcept
{
    const double before = baseDelay;
    const double ratio = sampleRate / 44100.0;
    modulationDepth = kDepthAt44100 * ratio;

    // The line is sized for this; the clamp only matters if prepare() was
    // skipped.
    const double maxBase = std::max (0.0, (double) line.size() - modulationDepth - 3.0);
    baseDelay = std::min (delayAt44100 * ratio, maxBase);
    currentDelay = baseDelay;
    delaySamples = (int) baseDelay;
    phaseIncrement = modulationHz * kTableSize / sampleRate;
    return baseDelay != before;
}

void CombFilter::update (float size) noexcept
{
    // Only a new delay length restarts the line; a size or colour change
    // must not make the running tail jump.
    if (computeDelays())
        writePosition = 0;

    if (! (size > 0.0f) || delayAt44100 <= 0)
    {
        // Size 0 means no reverb time at all: no feedback, rather than the
        // exponent's division by zero.
        feedback = 0.0;
        return;
    }

    const double seconds = 4.0 * size;
    const float g0 = (float) std::pow (10.0, -3.0 * delayAt44100 / 44100.0 / seconds);
    float g = g0;
    if (size > 0.8f)
        g = g0 + (1.0f - g0) * (float) ((size - 0.8f) * 3.0);

    feedback = std::min (0.999, (double) g);
}

void CombFilter::clear() noexcept
{
    std::fill (line.begin(), line.end(), 0.0);
}

void CombFilter::reset() noexcept
{
    clear();
    writePosition = 0;
    phase = 0.0;
}

double CombFilter::processSample (double x) noexcept
{
    const int length = mask + 1;
    writePosition = (writePosition + 1) & mask;

    phase += phaseIncrement;
    if (phase >= kTableSize)
        phase -= kTableSize;

    currentDelay = baseDelay + modulationDepth * sineTable[(int) phase & kTableMask];

    double r = writePosition + length - currentDelay;
    if (r >= length)
        r -= length;

    const int i = (int) r;
    const double f = r - i;
    const double delayed = (1.0 - f) * line[(size_t) (i & mask)] + f * line[(size_t) ((i + 1) & mask)];

    const double v = delayed * feedback + x;
    line[(size_t) writePosition] = v;
    return v;
}
