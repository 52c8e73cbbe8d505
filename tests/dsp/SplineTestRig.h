#pragma once

// A voice's worth of surroundings for one spline oscillator: parameters,
// the point store, the modulation matrix with its envelope tables and LFOs,
// and measurement helpers for pitch and harmonics.

#include "core/globalStuff.h"
#include "core/parameters.h"
#include "dsp/Envelope.h"
#include "dsp/LFO.h"
#include "dsp/SplineOscillator.h"
#include "dsp/SplineOscillatorMisc.h"
#include "dsp/VoiceModulation.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

namespace splinetest
{
inline SplineOscillatorPoint point (SplinePointType type, double x, double y)
{
    SplineOscillatorPoint p;
    p.type = type;
    p.width = 1.0;
    p.height = 1.0;
    for (int pair = 0; pair < 3; ++pair)
    {
        p.x[pair] = x;
        p.y[pair] = y;
    }
    return p;
}

inline SplineOscillatorPoint quadratic (double x, double y, double cx, double cy)
{
    auto p = point (splineQuadratic, x, y);
    p.x[1] = cx;
    p.y[1] = cy;
    return p;
}

// y rises from 0.1 to 0.9 over the cycle in four linear steps.
inline std::vector<SplineOscillatorPoint> ramp()
{
    return { point (splineStart, 0.0, 0.1), point (splineLinear, 0.25, 0.3), point (splineLinear, 0.5, 0.5),
             point (splineLinear, 0.75, 0.7), point (splineLinear, 1.0, 0.9) };
}

// High for the first half, low for the second; the drop is a segment of no width.
inline std::vector<SplineOscillatorPoint> square()
{
    return { point (splineStart, 0.0, 0.9), point (splineLinear, 0.5, 0.9), point (splineLinear, 0.5, 0.1),
             point (splineLinear, 1.0, 0.1) };
}

struct Rig
{
    explicit Rig (double rate = 44100.0, int maxBlock = 1024)
        : sampleRate (rate), maximumBlock (maxBlock)
    {
        initGlobalTables();

        for (auto* l : { &lfo1, &lfo2, &vibrato })
            l->prepare (rate, maxBlock);
        lfo1.setRateHz (3.0);
        lfo2.setRateHz (0.7);
        vibrato.setRateHz (5.0);

        mod.prepare (rate, maxBlock);
        mod.setParameters (parameters.data());
        mod.setEnvelopes (&ampEnv, &filterEnv);
        mod.setEnvelopeTables (ampLevels.data(), (int) ampLevels.size(), filterLevels.data(), (int) filterLevels.size());
        mod.setLfoSources (&lfo1, &lfo2);
        mod.setVelocity (1.0);

        std::fill (ampLevels.begin(), ampLevels.end(), 0.8);
        std::fill (filterLevels.begin(), filterLevels.end(), 0.3);
        std::fill (captured.begin(), captured.end(), 0.7);

        osc.setParameters (parameters.data());
        osc.setVoiceModulation (&mod);
        osc.setEnvelopeBuffers (ampLevels.data(), (int) ampLevels.size(), filterLevels.data(), (int) filterLevels.size());
        osc.setModulationLfos (&lfo1, &lfo2, &vibrato);
        osc.setCapturedWave (captured.data());
        osc.setPointSet (&points);
        osc.prepare (rate, maxBlock);
    }

    // Writes the chain into the parameter block and publishes it.
    void setPoints (std::vector<SplineOscillatorPoint> chain)
    {
        Osc4Codec::encodePoints (chain.data(), (int) chain.size(), parameters.data());
        points.publishFromParameters (parameters.data());
    }

    void startNote (int note)
    {
        osc.reset();
        osc.setOversamplingFromNote (note);
    }

    double incrementFor (int note) const { return 4096.0 * freqtab[note & 127] / sampleRate; }

    // Plays `total` samples in blocks, the way a voice drives the oscillator.
    std::vector<double> render (double increment, int total, int block, double volume = 0.5)
    {
        std::vector<double> out ((size_t) total, 0.0);
        for (int start = 0; start < total; start += block)
        {
            const int n = std::min (block, total - start);
            mod.beginBlock (n);
            lfo1.calculateBlock (n);
            lfo2.calculateBlock (n);
            vibrato.calculateBlock (n);
            osc.calculateBlock (n, out.data() + start, increment, volume);
        }
        return out;
    }

    std::vector<double> playNote (int note, int total, int block = 256, double volume = 0.5)
    {
        startNote (note);
        return render (incrementFor (note), total, block, volume);
    }

    double sampleRate;
    int maximumBlock;
    std::vector<ParameterValue> parameters = std::vector<ParameterValue> (params::kNumValues, 0.0);
    Osc4PointSet points;
    Envelope ampEnv { "amplitude" }, filterEnv { "filter" };
    std::vector<double> ampLevels = std::vector<double> ((size_t) maximumBlock / 8 + 2, 0.0);
    std::vector<double> filterLevels = std::vector<double> ((size_t) maximumBlock / 16 + 2, 0.0);
    std::vector<double> captured = std::vector<double> (4096, 0.0);
    LFO lfo1, lfo2, vibrato;
    VoiceModulation mod;
    SplineOscillator osc;
};

//==============================================================================
inline double mean (const std::vector<double>& x, size_t from = 0)
{
    double s = 0.0;
    for (size_t i = from; i < x.size(); ++i)
        s += x[i];
    return x.size() > from ? s / (double) (x.size() - from) : 0.0;
}

inline double rms (const std::vector<double>& x, size_t from = 0)
{
    const double m = mean (x, from);
    double s = 0.0;
    for (size_t i = from; i < x.size(); ++i)
        s += (x[i] - m) * (x[i] - m);
    return x.size() > from ? std::sqrt (s / (double) (x.size() - from)) : 0.0;
}

// Frequency from the rising zero crossings of the signal around its mean,
// interpolated between samples; 0 when there are fewer than three crossings.
inline double frequencyByZeroCrossings (const std::vector<double>& x, double sampleRate, size_t from = 0)
{
    const double m = mean (x, from);
    double first = -1.0, last = -1.0;
    int count = 0;

    for (size_t i = from + 1; i < x.size(); ++i)
    {
        const double a = x[i - 1] - m, b = x[i] - m;
        if (a < 0.0 && b >= 0.0)
        {
            const double t = (double) (i - 1) + a / (a - b);
            if (first < 0.0)
                first = t;
            last = t;
            ++count;
        }
    }

    if (count < 3)
        return 0.0;
    return (count - 1) * sampleRate / (last - first);
}

// Magnitude of one frequency in a Hann-windowed stretch of the signal.
inline double magnitudeAt (const std::vector<double>& x, double frequency, double sampleRate, size_t from = 0)
{
    const size_t n = x.size() - from;
    const double m = mean (x, from);
    std::complex<double> sum {};
    const double w = 2.0 * M_PI * frequency / sampleRate;
    for (size_t i = 0; i < n; ++i)
    {
        const double hann = 0.5 - 0.5 * std::cos (2.0 * M_PI * (double) i / (double) (n - 1));
        sum += (x[from + i] - m) * hann * std::polar (1.0, -w * (double) i);
    }
    return std::abs (sum) / (double) n;
}

inline bool allFinite (const std::vector<double>& x)
{
    return std::all_of (x.begin(), x.end(), [] (double v) { return std::isfinite (v); });
}

inline double peak (const std::vector<double>& x)
{
    double p = 0.0;
    for (double v : x)
        p = std::max (p, std::abs (v));
    return p;
}

// The cycle as drawing each segment in turn, every curve walked to its end,
// leaves it; entries no run reaches stay NaN.
inline std::vector<double> walkedCycle (const Osc4Data* points, int size)
{
    const int capacity = 4 * size + 65536;
    std::vector<double> table ((size_t) capacity, std::nan (""));
    auto clamp01 = [] (double v) { return v > 0.0 ? (v < 1.0 ? v : 1.0) : 0.0; };
    int pos = 0;
    for (int k = 1; k < SplineOscillator::kNumPoints; ++k)
    {
        const Osc4Data& prev = points[k - 1];
        const Osc4Data& pt = points[k];
        if (pt.type == splineEndMarker || pt.type == splineStart)
            break;
        const double x0 = clamp01 (prev.x[0]);
        const double dx = clamp01 (pt.x[0]) - x0;
        const int count = std::clamp ((int) (size * dx), 0, size - pos);
        const int m = std::max (count, 1);
        if (pt.type == splineLinear)
            for (int t = 0; t < m; ++t)
                table[(size_t) (pos + t)] = prev.y[0] + (pt.y[0] - prev.y[0]) * t / m;
        else if (! (dx > 0.0))
            table[(size_t) pos] = prev.y[0];
        else if (pt.type == splineQuadratic)
            splinecurve::sample (splinecurve::Quadratic { (clamp01 (pt.x[1]) - x0) / dx, prev.y[0], pt.y[1], pt.y[0] },
                                 m, table.data(), pos, capacity, nullptr);
        else
            splinecurve::sample (splinecurve::Cubic { (clamp01 (pt.x[1]) - x0) / dx,
                                                      (clamp01 (pt.x[2]) - clamp01 (pt.x[1])) / dx, prev.y[0], pt.y[1],
                                                      pt.y[2], pt.y[0] },
                                 m, table.data(), pos, capacity, nullptr);
        pos += count;
    }
    table.resize ((size_t) pos);
    return table;
}
} // namespace splinetest
