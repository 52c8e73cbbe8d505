#pragma once

// Shared helpers of the master effect tests: a parameter array with the
// engine's defaults, signal generators and level measurements.

#include "core/globalStuff.h"
#include "core/parameters.h"
#include "dsp/VoiceRandom.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace fxtest
{
constexpr double kPi = 3.141592653589793;

/** The engine's value array as the effects see it, starting at the defaults. */
struct Parameters
{
    std::vector<ParameterValue> values;

    Parameters() : values ((size_t) params::kNumValues, 0.0)
    {
        initGlobalTables();
        for (const auto& d : params::kDefaults)
            values[(size_t) d.index] = d.value;
    }

    ParameterValue& operator[] (int index) { return values[(size_t) index]; }
    const ParameterValue* data() const { return values.data(); }
};

inline std::vector<float> noise (int n, uint64_t seed, float amplitude = 1.0f)
{
    VoiceRandom random (seed);
    std::vector<float> out ((size_t) n);
    for (auto& x : out)
        x = (float) ((random.nextUnit() * 2.0 - 1.0) * amplitude);
    return out;
}

inline std::vector<float> sine (int n, double hz, double sampleRate, float amplitude = 1.0f)
{
    std::vector<float> out ((size_t) n);
    for (int i = 0; i < n; ++i)
        out[(size_t) i] = (float) (amplitude * std::sin (2.0 * kPi * hz * i / sampleRate));
    return out;
}

/** What 48 loud voices summed can look like: each a full-scale square at its
    own pitch plus full-scale noise. Peaks go far above 1. */
inline std::vector<float> loudVoices (int n, double sampleRate, uint64_t seed)
{
    VoiceRandom random (seed);
    std::vector<double> phase (48), increment (48);
    for (int v = 0; v < 48; ++v)
    {
        phase[(size_t) v] = random.nextUnit();
        increment[(size_t) v] = (40.0 + random.nextUnit() * 2000.0) / sampleRate;
    }

    std::vector<float> out ((size_t) n);
    for (int i = 0; i < n; ++i)
    {
        double sum = 0.0;
        for (int v = 0; v < 48; ++v)
        {
            auto& p = phase[(size_t) v];
            sum += (p < 0.5 ? 1.0 : -1.0) + (random.nextUnit() * 2.0 - 1.0);
            p += increment[(size_t) v];
            if (p >= 1.0)
                p -= 1.0;
        }
        out[(size_t) i] = (float) sum;
    }
    return out;
}

inline double rms (const std::vector<float>& x, size_t begin, size_t end)
{
    end = std::min (end, x.size());
    if (end <= begin)
        return 0.0;
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i)
        sum += (double) x[i] * x[i];
    return std::sqrt (sum / (double) (end - begin));
}

inline double rms (const std::vector<float>& x) { return rms (x, 0, x.size()); }

inline double decibels (double ratio) { return 20.0 * std::log10 (ratio); }

inline double maxAbs (const std::vector<float>& x)
{
    double m = 0.0;
    for (float v : x)
        m = std::max (m, (double) std::abs (v));
    return m;
}

inline bool allFinite (const std::vector<float>& x)
{
    return std::all_of (x.begin(), x.end(), [] (float v) { return std::isfinite (v); });
}

/** Runs a mono effect's process (samples, n) over a buffer in blocks;
    afterBlock() follows every block. */
template <typename Effect, typename AfterBlock>
std::vector<float> processMono (Effect& effect, std::vector<float> x, int blockSize, AfterBlock&& afterBlock)
{
    for (size_t start = 0; start < x.size(); start += (size_t) blockSize)
    {
        effect.process (x.data() + start, (int) std::min ((size_t) blockSize, x.size() - start));
        afterBlock();
    }
    return x;
}

template <typename Effect>
std::vector<float> processMono (Effect& effect, std::vector<float> x, int blockSize)
{
    return processMono (effect, std::move (x), blockSize, [] {});
}

/** Runs process(left, right, n) over whole buffers in blocks of blockSize. */
template <typename Fn>
void inBlocks (std::vector<float>& left, std::vector<float>& right, int blockSize, Fn&& process)
{
    const int n = (int) left.size();
    for (int start = 0; start < n; start += blockSize)
        process (left.data() + start, right.data() + start, std::min (blockSize, n - start));
}
} // namespace fxtest
