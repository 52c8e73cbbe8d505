#include "dsp/AllPassFilter.h"

#include "dsp/EffectCommon.h"

#include <algorithm>
#include <cmath>

void AllPassFilter::setRow (int delay, double g) noexcept
{
    delayAt44100 = std::max (1, delay);
    gain = g;
}

void AllPassFilter::prepare (double rate, int)
{
    const double sampleRate = effects::sanitisedSampleRate (rate);
    delaySamples = std::max (1, (int) (delayAt44100 * sampleRate / 44100.0));

    const int size = effects::powerOfTwoAtLeast (delaySamples + 1, 64);
    if ((int) line.size() != size)
    {
        line.allocate ((size_t) size);
        writePosition = 0;
    }
    mask = size - 1;
}

void AllPassFilter::clear() noexcept
{
    std::fill (line.begin(), line.end(), 0.0);
}

void AllPassFilter::reset() noexcept
{
    clear();
    writePosition = 0;
}

double AllPassFilter::processSample (double v) noexcept
{
    writePosition = (writePosition + 1) & mask;
    const double delayed = line[(size_t) ((writePosition - delaySamples) & mask)];
    line[(size_t) writePosition] = gain * delayed + v;
    return delayed - gain * line[(size_t) writePosition];
}
