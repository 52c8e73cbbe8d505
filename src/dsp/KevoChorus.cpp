#include "dsp/KevoChorus.h"

#include "core/parameters.h"
#include "dsp/EffectCommon.h"

#include <algorithm>
#include <cmath>

namespace
{
constexpr float kTapTable[MultiTapper::kNumTaps] = { 17.0f, 43.0f, 67.0f };
}

KevoChorus::KevoChorus()
    : leftTapper (kTapTable, 20.0), rightTapper (kTapTable, 20.2)
{
}

void KevoChorus::setParameters (const ParameterValue* parameterValues) noexcept
{
    values = parameterValues;
    leftTapper.setParameters (parameterValues);
    rightTapper.setParameters (parameterValues);
}

void KevoChorus::prepare (double sampleRate, int maxBlockSize)
{
    leftTapper.prepare (sampleRate, maxBlockSize);
    rightTapper.prepare (sampleRate, maxBlockSize);
}

void KevoChorus::reset() noexcept
{
    leftTapper.reset();
    rightTapper.reset();
    smoothedMonoMix = 0.0f;
}

float KevoChorus::currentMix() const noexcept
{
    return values == nullptr ? 0.0f : (float) effects::parameter (values, params::kChorusMix);
}

int KevoChorus::chunkSize() const noexcept
{
    // Blocks longer than the prepared size run in pieces instead of growing
    // the tapper outputs on the audio thread.
    return std::max (1, std::min (leftTapper.getCapacity(), rightTapper.getCapacity()));
}

void KevoChorus::processStereo (float* left, float* right, int n)
{
    const float mix = currentMix();
    if (mix < effects::kMixThreshold || n <= 0)
        return;

    const double dryGain = std::sqrt (1.0 - mix);
    const double wetGain = std::sqrt ((double) mix);
    const int chunk = chunkSize();

    for (int start = 0; start < n; start += chunk)
    {
        const int len = std::min (chunk, n - start);
        leftTapper.blockBasedTapping (len, left + start);
        rightTapper.blockBasedTapping (len, right + start);

        const double* wetL = leftTapper.getOutput();
        const double* wetR = rightTapper.getOutput();

        for (int j = 0; j < len; ++j)
        {
            left[start + j] = (float) (dryGain * left[start + j] + wetGain * wetL[j]);
            right[start + j] = (float) (dryGain * right[start + j] + wetGain * wetR[j]);
        }
    }
}

void KevoChorus::processMono (float* left, int n)
{
    if (currentMix() < effects::kMixThreshold || n <= 0)
        return;

    const int chunk = chunkSize();

    for (int start = 0; start < n; start += chunk)
    {
        const int len = std::min (chunk, n - start);
        leftTapper.blockBasedTapping (len, left + start);
        const double* wet = leftTapper.getOutput();

        for (int j = 0; j < len; ++j)
        {
            smoothedMonoMix = (float) (smoothedMonoMix * 0.99 + effects::parameter (values, params::kChorusMix) * 0.01);
            const double s = smoothedMonoMix;
            left[start + j] = (float) (std::sqrt (1.0 - s) * left[start + j] + std::sqrt (s) * wet[j]);
        }
    }
}
