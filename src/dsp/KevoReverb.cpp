#include "dsp/KevoReverb.h"

#include "core/globalStuff.h"
#include "core/parameters.h"
#include "dsp/EffectCommon.h"

#include <algorithm>
#include <cmath>

namespace
{
struct FilterValues
{
    int delay;   // samples at 44.1 kHz
    double gain; // all-pass gain; the comb rows carry none
};

// Twelve rows each; the reverb runs combs 0-5 and all-passes 0-9.
const FilterValues combFilterValues[12] = {
    { 1307, 0.0 }, { 1637, 0.0 }, { 1811, 0.0 }, { 1931, 0.0 }, { 991, 0.0 }, { 613, 0.0 },
    { 499, 0.0 },  { 0, 0.0 },    { 0, 0.0 },    { 0, 0.0 },    { 0, 0.0 },   { 0, 0.0 },
};

const FilterValues allPassFilterValues[12] = {
    { 1601, 0.4 }, { 1051, 0.55 }, { 337, 0.55 }, { 113, 0.55 }, { 67, 0.55 },   { 37, 0.6 },
    { 47, 0.55 },  { 89, 0.5 },    { 1291, 0.5 }, { 1367, 0.5 }, { 563, 0.5 },  { 571, 0.5 },
};

const double combFilterModulationFrequencys[12] = { 2.44, 3.16, 3.56, 4.28, 5.08, 5.96, 6.52, 0, 0, 0, 0, 0 };

// Pre-delay sweep: a quarter sine, 7 samples deep at 44.1 kHz.
constexpr double kPreDelaySweepAt44100 = 7.0;
constexpr float kQuarterTable = 1024.0f;
} // namespace

KevoReverb::KevoReverb() noexcept
{
    for (int i = 0; i < kNumCombs; ++i)
        combs[i].setRow (combFilterValues[i].delay, combFilterModulationFrequencys[i]);
    for (int i = 0; i < kNumAllPasses; ++i)
        allPasses[i].setRow (allPassFilterValues[i].delay, allPassFilterValues[i].gain);
}

void KevoReverb::prepare (double rate, int maxBlockSize)
{
    initGlobalTables();
    sampleRate = effects::sanitisedSampleRate (rate);

    for (auto& c : combs)
        c.prepare (sampleRate, maxBlockSize);
    for (auto& a : allPasses)
        a.prepare (sampleRate, maxBlockSize);

    // One second of input. A block may fill the line only up to the point
    // where the longest pre-delay (size 1) with its sweep would read samples
    // the same block has already overwritten.
    const int length = std::max (64, (int) std::ceil (sampleRate));
    if ((int) inputLine.size() != length)
        inputLine.allocate ((size_t) length);
    inputPosition = 0;
    modulationPhase = 4096.0f;

    const int longestRead = (int) std::ceil (sampleRate * 0.11)
                            + 2 * (int) std::ceil (kPreDelaySweepAt44100 * sampleRate / 44100.0) + 4;
    maxSubBlock = std::max (1, length - longestRead);

    prepared = true;
    updateReverb();
}

void KevoReverb::updateReverb() noexcept
{
    if (values == nullptr)
        return;

    const float size = (float) effects::parameter (values, params::kReverbSize);
    const float c = (float) effects::parameter (values, params::kReverbColor);

    for (auto& comb : combs)
        comb.update (size);

    tilt = 2.0f * c - 1.0f;
    tiltCoefficient = (float) ((2500.0 + 5000.0 * tilt * tilt) / sampleRate);
    darkening = 1.0f - 2.0f * c;
    darkeningCoefficient = (float) ((40.0 + 2500.0 * (2.0 * c) * (2.0 * c)) / sampleRate);

    // The sweep restarts only with a new pre-delay, where the read jumps
    // anyway; an unchanged one runs on undisturbed.
    const float newPreDelay = (float) std::max (16.0, sampleRate / 100.0 + size * size * sampleRate / 10.0);
    if (newPreDelay != preDelay)
        modulationPhase = 4096.0f;
    preDelay = newPreDelay;
    modulationIncrement = (float) (4915.2 / sampleRate);

    if (sampleRate > 40000.0 && sampleRate < 80000.0)
        highPassCoefficient = 0.003644f;
    else if (sampleRate > 80000.0)
        highPassCoefficient = 0.002122f;
}

void KevoReverb::clear() noexcept
{
    std::fill (inputLine.begin(), inputLine.end(), 0.0f);
    for (auto& c : combs)
        c.clear();
    for (auto& a : allPasses)
        a.clear();
    colourA = ColourState();
    colourB = ColourState();
    highPassState = 0.0;
}

void KevoReverb::reset() noexcept
{
    for (auto& c : combs)
        c.reset();
    for (auto& a : allPasses)
        a.reset();
    clear();
    inputPosition = 0;
    modulationPhase = 4096.0f;
}

void KevoReverb::process (float* left, float* right, int n) noexcept
{
    if (values == nullptr || ! prepared || n <= 0)
        return;

    const double mix = effects::parameter (values, params::kReverbMix);
    if (mix < effects::kMixThreshold)
        return;

    effects::sanitiseBlock (left, n);
    effects::sanitiseBlock (right, n);

    const double colour = effects::parameter (values, params::kReverbColor);

    for (int start = 0; start < n; start += maxSubBlock)
        processSubBlock (left + start, right + start, std::min (maxSubBlock, n - start), mix, colour);
}

double KevoReverb::applyColour (double y, ColourState& s, double colour) const noexcept
{
    if (colour > 0.51)
    {
        y = (float) y;
        s.z = s.z + (y - s.z) * tiltCoefficient;
        return y - tilt * s.z;
    }

    if (colour < 0.49)
    {
        y = (float) y;
        s.q = (1.0 - darkeningCoefficient) * s.q + (1.0 - darkeningCoefficient * 0.5) * (y - s.previous);
        s.previous = y;
        return (1.0 + darkening) * (y - darkening * s.q);
    }

    return y;
}

void KevoReverb::processSubBlock (float* left, float* right, int n, double mix, double colour) noexcept
{
    const int length = (int) inputLine.size();
    const double dryGain = std::sqrt (1.0 - mix);
    const double sweepDepth = kPreDelaySweepAt44100 * sampleRate / 44100.0;
    const double delay = preDelay;
    const double k = highPassCoefficient;

    // The whole block goes into the line first; the reads below then trail
    // the writes by the pre-delay.
    const int start = inputPosition;
    for (int j = 0; j < n; ++j)
    {
        if (++inputPosition >= length)
            inputPosition = 0;
        inputLine[(size_t) inputPosition] = left[j];
    }
    inputPosition = start;

    bool bad = false;

    for (int j = 0; j < n; ++j)
    {
        if (++inputPosition >= length)
            inputPosition = 0;

        modulationPhase += modulationIncrement;
        if (modulationPhase >= kQuarterTable)
            modulationPhase -= kQuarterTable;

        double readPosition = (inputPosition - delay) + sineTable[(int) modulationPhase & kTableMask] * sweepDepth;
        if (readPosition < 0.0)
            readPosition += length;
        else if (readPosition >= length)
            readPosition -= length;

        int i = (int) readPosition;
        const double f = readPosition - i;
        if (i >= length)
            i = length - 1;
        const int next = i + 1 < length ? i + 1 : 0;
        const double delayed = (1.0 - f) * inputLine[(size_t) i] + f * inputLine[(size_t) next];

        double x = left[j] + delayed;
        highPassState = (1.0 - k) * highPassState + k * x;
        x -= highPassState;

        double sum = 0.0;
        for (auto& comb : combs)
            sum += comb.processSample (x);
        double v = sum / kNumCombs;

        for (int a = 0; a < 4; ++a)
            v = allPasses[a].processSample (v);

        double outA = allPasses[8].processSample (allPasses[6].processSample (allPasses[4].processSample (v)));
        double outB = allPasses[9].processSample (allPasses[7].processSample (allPasses[5].processSample (v)));

        outA = applyColour (outA, colourA, colour);
        outB = applyColour (outB, colourB, colour);

        if (! std::isfinite (outA) || ! std::isfinite (outB))
        {
            outA = outB = 0.0;
            bad = true;
        }

        left[j] = (float) (left[j] * dryGain + outA * mix);
        right[j] = (float) (right[j] * dryGain + outB * mix);
    }

    // A non-finite value must never ring on in the lines.
    if (bad || ! std::isfinite (highPassState))
        clear();

    effects::flushTiny (highPassState);
    effects::flushTiny (colourA.z);
    effects::flushTiny (colourA.q);
    effects::flushTiny (colourB.z);
    effects::flushTiny (colourB.q);
}
