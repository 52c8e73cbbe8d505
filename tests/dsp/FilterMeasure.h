#pragma once

// Measurement helpers for the filter and decimator tests: sine responses by a
// windowed single-bin DFT, peak search over a logarithmic sweep, and loud
// noise for stability runs.

#include "dsp/VoiceRandom.h"
#include "dsp/filter.h"

#include <cmath>
#include <complex>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace measure
{
constexpr double kPi = 3.14159265358979323846;

inline double toDb (double gain) { return 20.0 * std::log10 (std::max (gain, 1.0e-30)); }

inline std::vector<double> sine (double freq, double sampleRate, int n, double amplitude)
{
    std::vector<double> x ((size_t) n);
    for (int i = 0; i < n; ++i)
        x[(size_t) i] = amplitude * std::sin (2.0 * kPi * freq * i / sampleRate);
    return x;
}

// Amplitude of the component at freq in x[start, end), Hann-windowed.
inline double amplitudeAt (const std::vector<double>& x, size_t start, size_t end,
                           double freq, double sampleRate)
{
    const size_t len = end - start;
    double re = 0.0, im = 0.0, wsum = 0.0;
    for (size_t i = 0; i < len; ++i)
    {
        const double w = 0.5 - 0.5 * std::cos (2.0 * kPi * (double) i / (double) (len - 1));
        const double ph = 2.0 * kPi * freq * (double) (start + i) / sampleRate;
        re += w * x[start + i] * std::cos (ph);
        im += w * x[start + i] * std::sin (ph);
        wsum += w;
    }
    return 2.0 * std::sqrt (re * re + im * im) / wsum;
}

// In-place radix-2 FFT (size a power of two).
inline void fft (std::vector<std::complex<double>>& a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i)
    {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap (a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1)
    {
        const double ang = -2.0 * kPi / (double) len;
        const std::complex<double> wl (std::cos (ang), std::sin (ang));
        for (size_t i = 0; i < n; i += len)
        {
            std::complex<double> w (1.0, 0.0);
            for (size_t k = 0; k < len / 2; ++k)
            {
                const auto u = a[i + k];
                const auto v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= wl;
            }
        }
    }
}

// Power of x[start, start + 2^k) above minFreq relative to the power around
// the tone at toneFreq, in dB: how strong the images and aliases are.
inline double energyAboveDb (const std::vector<double>& x, size_t start, size_t size,
                             double toneFreq, double minFreq, double sampleRate)
{
    std::vector<std::complex<double>> a (size);
    for (size_t i = 0; i < size; ++i)
    {
        const double w = 0.5 - 0.5 * std::cos (2.0 * kPi * (double) i / (double) size);
        a[i] = { w * x[start + i], 0.0 };
    }
    fft (a);

    const double binHz = sampleRate / (double) size;
    const auto toneBin = (size_t) std::lround (toneFreq / binHz);
    double tone = 0.0, above = 0.0;
    for (size_t k = 1; k < size / 2; ++k)
    {
        const double p = std::norm (a[k]);
        if (k + 3 >= toneBin && k <= toneBin + 3)
            tone += p;
        else if ((double) k * binHz >= minFreq)
            above += p;
    }
    return 10.0 * std::log10 (std::max (above, 1.0e-300) / std::max (tone, 1.0e-300));
}

// Anything that processes a block in place.
using Process = std::function<void (double* samples, int n)>;

// Gain of a freshly prepared processor at freq: the first half of the run
// lets it settle, the second half is measured.
inline double sineGain (const std::function<Process()>& make, double freq, double sampleRate,
                        double amplitude = 0.1, double seconds = 0.3)
{
    const int n = (int) (seconds * sampleRate);
    auto x = sine (freq, sampleRate, n, amplitude);
    auto process = make();
    for (int start = 0; start < n; start += 256)
        process (x.data() + start, std::min (256, n - start));
    return amplitudeAt (x, (size_t) n / 2, (size_t) n, freq, sampleRate) / amplitude;
}

struct Peak
{
    double frequency = 0.0;
    double gainDb = -300.0;
};

// Largest gain over a logarithmic sweep.
inline Peak sweepPeak (const std::function<Process()>& make, double lo, double hi, int points,
                       double sampleRate, double amplitude = 0.1)
{
    Peak best;
    for (int k = 0; k < points; ++k)
    {
        const double f = lo * std::pow (hi / lo, (double) k / (points - 1));
        const double g = toDb (sineGain (make, f, sampleRate, amplitude, 0.2));
        if (g > best.gainDb)
            best = { f, g };
    }
    return best;
}

// A filter of the given type driven by constant controls, as a Process.
struct FilterSetup
{
    int type = Filter::lowPass12;
    double cutoff = 0.5;
    double resonance = 0.0;
    double overdrive = 0.0;
    bool modulated = false;
    double modulation = 1.0;
};

inline std::function<Process()> filterMaker (FilterSetup s)
{
    return [s]() -> Process {
        auto filter = std::make_shared<Filter>();
        filter->prepare (44100.0);
        filter->setType (s.type);
        filter->setOverdrive (s.overdrive);
        auto cutoff = std::make_shared<std::vector<double>> (64, s.cutoff);
        auto mod = std::make_shared<std::vector<double>> (64, s.modulation);
        return [filter, cutoff, mod, s] (double* x, int n) {
            filter->processBlock (cutoff->data(), s.modulated ? mod->data() : nullptr,
                                  x, n, s.modulated, s.resonance);
        };
    };
}

// Uniform noise in [-amplitude, amplitude].
inline void fillNoise (VoiceRandom& rng, double* x, int n, double amplitude)
{
    for (int i = 0; i < n; ++i)
        x[i] = amplitude * (2.0 * rng.nextUnit() - 1.0);
}
} // namespace measure
