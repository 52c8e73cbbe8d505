#include "dsp/MultiTapper.h"

#include "core/globalStuff.h"
#include "core/parameters.h"
#include "dsp/EffectCommon.h"

#include <algorithm>
#include <cmath>

namespace
{
// Over all settings the swept delay peaks at time 1 and full depth:
// tap * base * 1.025 * 1.05. The factor below rounds 1.05 up; the line adds
// two samples for the interpolation neighbour.
constexpr double kMaxSweepFactor = 1.08;
constexpr int kMinLineSize = 2048; // what 44.1 kHz needs
const double kSqrt3 = std::sqrt (3.0);
} // namespace

MultiTapper::MultiTapper (const float* tapTable, double base)
    : baseDelay (base)
{
    for (int i = 0; i < kNumTaps; ++i)
        taps[i] = tapTable[i];
}

int MultiTapper::neededOutputSize (int n) noexcept
{
    return effects::powerOfTwoAtLeast (n, 8);
}

void MultiTapper::prepare (double rate, int maxBlockSize)
{
    initGlobalTables();
    sampleRate = effects::sanitisedSampleRate (rate);

    float longest = 0.0f;
    for (float t : taps)
        longest = std::max (longest, t);

    const double longestDelay = longest * baseDelay * (sampleRate / 44100.0) * 1.025 * kMaxSweepFactor;
    const int size = effects::powerOfTwoAtLeast ((int) std::ceil (longestDelay) + 2, kMinLineSize);

    if ((int) line.size() != size)
    {
        line.assign ((size_t) size, 0.0);
        position = 0;
    }
    mask = size - 1;

    const int capacity = neededOutputSize (std::max (1, maxBlockSize));
    if ((int) output.size() < capacity)
        output.assign ((size_t) capacity, 0.0);
    lfo.prepare (sampleRate, (int) output.size());
}

void MultiTapper::reset() noexcept
{
    std::fill (line.begin(), line.end(), 0.0);
    position = 0;
    lfo.reset();
}

void MultiTapper::blockBasedTapping (int n, const float* input)
{
    if (n <= 0)
        return;

    if ((int) output.size() < n)
    {
        // Fallback only: prepare() sizes the output for the host's blocks.
        output.assign ((size_t) neededOutputSize (n), 0.0);
    }

    if (values == nullptr || line.empty())
    {
        std::fill (output.begin(), output.begin() + n, 0.0);
        return;
    }

    const float t = (float) effects::parameter (values, params::kChorusTime);
    const float m = (float) effects::parameter (values, params::kChorusDepth);
    const float r = (float) effects::parameter (values, params::kChorusRate);

    const float depth = m * (0.75f - 0.7f * std::sqrt (t));
    const double rate = r * 10.0 + 0.1;

    for (int i = 0; i < kNumTaps; ++i)
        tapDelay[i] = (float) (taps[i] * baseDelay * (sampleRate / 44100.0) * (t * t + 0.025));

    lfo.setRateHz (rate);
    lfo.calculateBlock (n);
    const double* sweep = lfo.getBuffer();

    const float maxDelay = (float) (mask - 1);

    for (int j = 0; j < n; ++j)
    {
        position = (position + 1) & mask;
        line[(size_t) position] = input[j];

        const float sweepValue = (float) sweep[j];
        double acc = 0.0;

        for (int i = 0; i < kNumTaps; ++i)
        {
            float d = tapDelay[i] + tapDelay[i] * depth * sweepValue;
            d = std::min (std::max (d, 0.0f), maxDelay);

            const int k = (int) d;
            const double f = d - (float) k;
            acc += (1.0 - f) * line[(size_t) ((position - k) & mask)];
            acc += f * line[(size_t) ((position - k - 1) & mask)];
        }

        output[(size_t) j] = acc / kSqrt3;
    }
}
