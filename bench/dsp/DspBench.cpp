// Per-unit benchmarks of the JUCE-free signal processing: each voice filter
// routine, the decimator variants, envelope, LFO, modulation matrix and every
// master effect, on 512-sample blocks at 44.1 kHz unless the name says
// otherwise. The counter "rtf" is the share of one core the unit takes for
// one channel of real-time audio.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "core/globalStuff.h"
#include "core/parameters.h"
#include "dsp/ColorEcho.h"
#include "dsp/Decimator.h"
#include "dsp/Envelope.h"
#include "dsp/KevoChorus.h"
#include "dsp/KevoReverb.h"
#include "dsp/KevoReverb2.h"
#include "dsp/LFO.h"
#include "dsp/Limiter.h"
#include "dsp/ModMatrix.h"
#include "dsp/Saturator.h"
#include "dsp/SplineOscillator.h"
#include "dsp/VoiceModulation.h"
#include "dsp/WarmEq.h"
#include "dsp/filter.h"

namespace
{
constexpr double kRate = 44100.0;

// A bright, band-limited-ish test signal: a few detuned saws and some noise.
template <typename T>
std::vector<T> testSignal (int n, double level = 0.3)
{
    std::vector<T> x ((size_t) n);
    uint32_t r = 12345;
    double p1 = 0.0, p2 = 0.0;
    for (int i = 0; i < n; ++i)
    {
        p1 += 110.0 / kRate;
        p2 += 164.0 / kRate;
        p1 -= std::floor (p1);
        p2 -= std::floor (p2);
        r = r * 1664525u + 1013904223u;
        const double noise = (r >> 8) * (1.0 / 16777216.0) - 0.5;
        x[(size_t) i] = (T) (level * ((2.0 * p1 - 1.0) + (2.0 * p2 - 1.0) + 0.2 * noise) / 2.2);
    }
    return x;
}

std::vector<ParameterValue> defaultParameters()
{
    std::vector<ParameterValue> v ((size_t) params::kNumValues, 0.0);
    for (int i = 0; i < params::kNumParameters; ++i)
        v[(size_t) i] = params::defaultValue (i);
    return v;
}

void setRealTimeCounter (benchmark::State& state, int samplesPerIteration, double rate = kRate)
{
    state.SetItemsProcessed (state.iterations() * samplesPerIteration);
    state.counters["rtf"] = benchmark::Counter ((double) samplesPerIteration / rate,
                                                benchmark::Counter::kIsIterationInvariantRate
                                                    | benchmark::Counter::kInvert);
}

//==============================================================================
// Filters: one voice side through the chosen routine with a slowly moving
// cutoff table (one entry per 8 samples), resonance modulated or not.
void BM_Filter (benchmark::State& state)
{
    initGlobalTables();
    const int type = (int) state.range (0);
    const bool modulated = state.range (1) != 0;
    const int n = 512;
    const auto input = testSignal<double> (n * 16);
    std::vector<double> block ((size_t) n);
    std::vector<double> cutoff ((size_t) n / 8 + 1), resonance ((size_t) n / 8 + 1);
    for (size_t g = 0; g < cutoff.size(); ++g)
    {
        cutoff[g] = 0.3 + 0.2 * std::sin ((double) g * 0.1);
        resonance[g] = 0.9 + 0.1 * std::cos ((double) g * 0.07);
    }

    Filter f;
    f.prepare (kRate);
    f.setType (type);
    f.setOverdrive (0.5);
    size_t offset = 0;
    for (auto _ : state)
    {
        std::copy (input.begin() + (long) offset, input.begin() + (long) offset + n, block.begin());
        offset = (offset + (size_t) n) % (input.size() - (size_t) n);
        f.processBlock (cutoff.data(), modulated ? resonance.data() : nullptr, block.data(), n, modulated, 0.6);
        benchmark::DoNotOptimize (block.data());
    }
    setRealTimeCounter (state, n);
}
BENCHMARK (BM_Filter)->ArgsProduct ({ { 0, 1, 2, 3, 4, 5 }, { 0, 1 } })->ArgNames ({ "type", "resmod" });

void BM_Decimator (benchmark::State& state)
{
    const int type = (int) state.range (0);
    const int n = 512;
    const auto input = testSignal<double> (n * 16);
    std::vector<double> block ((size_t) n);
    std::vector<double> modulation ((size_t) n / 8 + 1, 1.1);
    Decimator d;
    d.prepare (kRate);
    d.setType (type);
    size_t offset = 0;
    for (auto _ : state)
    {
        std::copy (input.begin() + (long) offset, input.begin() + (long) offset + n, block.begin());
        offset = (offset + (size_t) n) % (input.size() - (size_t) n);
        d.processBlock (block.data(), n, 0.3, type < 2, modulation.data(), 0.5);
        benchmark::DoNotOptimize (block.data());
    }
    setRealTimeCounter (state, n);
}
BENCHMARK (BM_Decimator)->DenseRange (0, 3)->ArgName ("type");

//==============================================================================
// Control rate: one voice's envelope (64 steps per 512-sample block).
void BM_Envelope (benchmark::State& state)
{
    ParameterValue attack = 0.3, decay = 0.5, sustain = 0.5, release = 0.5;
    Envelope e;
    e.prepare (kRate);
    e.bind (&attack, &decay, &sustain, &release);
    e.setShapesFromControls (0.3, 0.6, 0.4);
    e.start();
    double sum = 0.0;
    int steps = 0;
    for (auto _ : state)
    {
        for (int i = 0; i < 64; ++i)
        {
            e.updateSparse();
            sum += e.level();
            if (++steps == 4000)
                e.startRelease();
            else if (steps == 8000)
            {
                e.start();
                steps = 0;
            }
        }
    }
    benchmark::DoNotOptimize (sum);
    setRealTimeCounter (state, 512);
}
BENCHMARK (BM_Envelope);

void BM_Lfo (benchmark::State& state)
{
    initGlobalTables();
    LFO lfo;
    lfo.prepare (kRate, 512);
    lfo.setShape ((int) state.range (0));
    lfo.setSpeed (0.6);
    for (auto _ : state)
    {
        lfo.calculateBlock (512);
        benchmark::DoNotOptimize (lfo.getBuffer());
    }
    setRealTimeCounter (state, 512);
}
BENCHMARK (BM_Lfo)->DenseRange (0, 4)->ArgName ("shape");

void BM_LfoOneShot (benchmark::State& state)
{
    initGlobalTables();
    LFO master, own;
    master.prepare (kRate, 512);
    master.setShape (0);
    master.setSpeed (0.3);
    own.prepare (kRate, 512);
    own.setOneShot (true);
    own.setMaster (&master);
    own.startOneShot();
    for (auto _ : state)
    {
        if (own.isFinishedOneShot())
            own.startOneShot();
        own.calculateOneShotFromFrame (512);
        benchmark::DoNotOptimize (own.getBuffer());
    }
    setRealTimeCounter (state, 512);
}
BENCHMARK (BM_LfoOneShot);

// The modulation matrix of one voice with every amount non-zero: all 20
// destination tables for one block.
void BM_VoiceModulation (benchmark::State& state)
{
    initGlobalTables();
    auto values = defaultParameters();
    for (int i = params::kModAmountFirst; i <= params::kModAmountLast; ++i)
        values[(size_t) i] = 0.1 + 0.01 * (i % 7);
    ParameterValue a = 0.3, d = 0.5, s = 0.5, r = 0.5;
    Envelope amp, filt;
    for (auto* e : { &amp, &filt })
    {
        e->prepare (kRate);
        e->bind (&a, &d, &s, &r);
        e->start();
    }
    LFO lfo1, lfo2;
    for (auto* l : { &lfo1, &lfo2 })
    {
        l->prepare (kRate, 512);
        l->setSpeed (0.5);
    }
    std::vector<double> ampTable (512 / 8 + 2, 0.5), filterTable (512 / 16 + 2, 0.4);

    VoiceModulation m;
    m.prepare (kRate, 512);
    m.setParameters (values.data());
    m.setEnvelopes (&amp, &filt);
    m.setEnvelopeTables (ampTable.data(), (int) ampTable.size(), filterTable.data(), (int) filterTable.size());
    m.setLfoSources (&lfo1, &lfo2);
    m.setVelocity (0.8);
    double sum = 0.0;
    for (auto _ : state)
    {
        lfo1.calculateBlock (512);
        lfo2.calculateBlock (512);
        m.beginBlock (512);
        for (int dest = 0; dest < ModMatrix::kNumDestinations; ++dest)
            if (m.requestDestination (dest))
                sum += m.getTable (dest)[3];
    }
    benchmark::DoNotOptimize (sum);
    setRealTimeCounter (state, 512);
}
BENCHMARK (BM_VoiceModulation);

//==============================================================================
// Oscillator 4 of one unison copy: a start point and fifteen cubic points,
// every slot moving (modulated 1) or none (0), at a low (36) or high (96)
// note. Modulated 2 also moves the points' x every block, as an automated
// or edited wave does: the cycles after each move need fresh curve scans.
void BM_SplineOscillator (benchmark::State& state)
{
    initGlobalTables();
    const int note = (int) state.range (0);
    const bool modulated = state.range (1) != 0;
    const bool moving = state.range (1) == 2;
    auto values = defaultParameters();
    for (int k = 0; k < params::kOsc4MaxPoints; ++k)
    {
        const double x = k / 15.0;
        const double y = 0.5 + 0.4 * std::sin (k * 0.9);
        const double fields[8] = { 1.0, x, y, std::max (0.0, x - 0.02), 1.0 - y, std::max (0.0, x - 0.01), y * 0.5,
                                   params::choiceValue (k == 0 ? 0 : 3) };
        for (int f = 0; f < 8; ++f)
            values[(size_t) params::osc4PointIndex (k, f)] = fields[f];
        for (int s = 0; s < 3; ++s)
        {
            const int f = 8 + 5 * s;
            values[(size_t) params::osc4PointIndex (k, f)] = params::choiceValue (modulated ? 2 : 0);
            values[(size_t) params::osc4PointIndex (k, f + 1)] = 0.05 + 0.01 * s;
            values[(size_t) params::osc4PointIndex (k, f + 2)] = params::choiceValue ((k + s) % 6);
            values[(size_t) params::osc4PointIndex (k, f + 3)] = 0.3 + 0.1 * s;
            values[(size_t) params::osc4PointIndex (k, f + 4)] = params::choiceValue ((k + s) % 5);
        }
    }
    Osc4PointSet points;
    points.publishFromParameters (values.data());

    ParameterValue a = 0.3, d = 0.5, sus = 0.5, r = 0.5;
    Envelope amp, filt;
    for (auto* e : { &amp, &filt })
    {
        e->prepare (kRate);
        e->bind (&a, &d, &sus, &r);
        e->start();
    }
    LFO lfo1, lfo2, vibrato;
    for (auto* l : { &lfo1, &lfo2, &vibrato })
    {
        l->prepare (kRate, 512);
        l->setSpeed (0.5);
    }
    std::vector<double> ampTable (512 / 8 + 2, 0.8), filterTable (512 / 16 + 2, 0.3);
    VoiceModulation mod;
    mod.prepare (kRate, 512);
    mod.setParameters (values.data());
    mod.setEnvelopes (&amp, &filt);
    mod.setEnvelopeTables (ampTable.data(), (int) ampTable.size(), filterTable.data(), (int) filterTable.size());
    mod.setLfoSources (&lfo1, &lfo2);

    auto osc = std::make_unique<SplineOscillator>();
    osc->setParameters (values.data());
    osc->setVoiceModulation (&mod);
    osc->setEnvelopeBuffers (ampTable.data(), (int) ampTable.size(), filterTable.data(), (int) filterTable.size());
    osc->setModulationLfos (&lfo1, &lfo2, &vibrato);
    osc->setPointSet (&points);
    osc->prepare (kRate, 512);
    osc->reset();
    osc->setOversamplingFromNote (note - 12);
    const double increment = 4096.0 * freqtab[(note - 12) & 127] / kRate;

    std::vector<double> out (512, 0.0);
    int block = 0;
    for (auto _ : state)
    {
        if (moving)
        {
            // Inner points shift by up to a few thousandths, a new layout each block.
            ++block;
            for (int k = 1; k < params::kOsc4MaxPoints - 1; ++k)
            {
                const double x = k / 15.0 + 0.002 * ((block + k) % 5);
                values[(size_t) params::osc4PointIndex (k, 1)] = x;
                values[(size_t) params::osc4PointIndex (k, 3)] = x - 0.02;
                values[(size_t) params::osc4PointIndex (k, 5)] = x - 0.01;
            }
            points.publishFromParameters (values.data());
        }
        mod.beginBlock (512);
        lfo1.calculateBlock (512);
        lfo2.calculateBlock (512);
        vibrato.calculateBlock (512);
        osc->calculateBlock (512, out.data(), increment, 0.4);
        benchmark::DoNotOptimize (out.data());
    }
    state.counters["cycles_drawn_per_block"] = benchmark::Counter ((double) osc->getCyclesDrawn() / (double) state.iterations());
    setRealTimeCounter (state, 512);
}
BENCHMARK (BM_SplineOscillator)->ArgsProduct ({ { 36, 96 }, { 0, 1, 2 } })->ArgNames ({ "note", "modulated" });

//==============================================================================
// Master effects, float channels in place, every mix at 1.
struct MasterRig
{
    std::vector<ParameterValue> values = defaultParameters();
    std::vector<float> left, right;
    std::vector<float> source = testSignal<float> (512 * 64, 0.25);
    size_t offset = 0;

    MasterRig()
    {
        initGlobalTables();
        values[params::kChorusMix] = 1.0;
        values[params::kChorusDepth] = 0.6;
        values[params::kEchoMix] = 1.0;
        values[params::kReverbMix] = 1.0;
        values[params::kReverbSize] = 0.7;
        values[params::kSaturation] = 0.5;
        values[params::kEqLow] = 0.8;
        values[params::kEqMid] = 0.3;
        values[params::kEqHigh] = 0.7;
    }

    void next (int n)
    {
        left.resize ((size_t) n);
        right.resize ((size_t) n);
        if (offset + (size_t) n > source.size())
            offset = 0;
        std::copy (source.begin() + (long) offset, source.begin() + (long) offset + n, left.begin());
        std::copy (source.begin() + (long) offset, source.begin() + (long) offset + n, right.begin());
        offset += (size_t) n;
    }

    // Times one effect over fresh 512-sample blocks of the test signal.
    template <typename Process>
    void run (benchmark::State& state, Process&& process)
    {
        for (auto _ : state)
        {
            next (512);
            process (left.data(), right.data(), 512);
            benchmark::DoNotOptimize (left.data());
        }
        setRealTimeCounter (state, 512);
    }
};

void BM_Chorus (benchmark::State& state)
{
    MasterRig rig;
    const bool stereo = state.range (0) != 0;
    KevoChorus chorus;
    chorus.setParameters (rig.values.data());
    chorus.prepare (kRate, 512);
    rig.run (state, [&] (float* l, float* r, int n) {
        if (stereo)
            chorus.processStereo (l, r, n);
        else
            chorus.processMono (l, n);
    });
}
BENCHMARK (BM_Chorus)->Arg (0)->Arg (1)->ArgName ("stereo");

void BM_WarmEq (benchmark::State& state)
{
    MasterRig rig;
    WarmEq eq;
    eq.setParameters (rig.values.data());
    eq.prepare (kRate, 512);
    rig.run (state, [&] (float* l, float*, int n) { eq.blockBasedWarmEq (l, n); });
}
BENCHMARK (BM_WarmEq);

void BM_Saturator (benchmark::State& state)
{
    MasterRig rig;
    rig.values[params::kSaturationType] = params::choiceValue ((int) state.range (0));
    Saturator s;
    s.setParameters (rig.values.data());
    s.prepare (kRate, 512);
    rig.run (state, [&] (float* l, float*, int n) { s.blockBasedSaturate (l, n); });
}
BENCHMARK (BM_Saturator)->DenseRange (0, 5)->ArgName ("type");

void BM_Echo (benchmark::State& state)
{
    MasterRig rig;
    ColorEcho echo;
    echo.prepare (kRate, 512);
    echo.updateEchoValues (1.0, 0.6, 0.5, 0.3, 0.5, 2.0);
    rig.run (state, [&] (float* l, float* r, int n) { echo.process (l, r, n); });
}
BENCHMARK (BM_Echo);

void BM_Reverb1 (benchmark::State& state)
{
    MasterRig rig;
    KevoReverb reverb;
    reverb.setParameters (rig.values.data());
    reverb.prepare (kRate, 512);
    rig.run (state, [&] (float* l, float* r, int n) { reverb.process (l, r, n); });
}
BENCHMARK (BM_Reverb1);

void BM_Reverb2 (benchmark::State& state)
{
    MasterRig rig;
    auto reverb = std::make_unique<KevoReverb2>();
    reverb->setParameters (rig.values.data());
    reverb->prepare (kRate, 512);
    rig.run (state, [&] (float* l, float* r, int n) { reverb->blockMultiTapBasedReverb (l, r, n); });
}
BENCHMARK (BM_Reverb2);

void BM_Limiter (benchmark::State& state)
{
    MasterRig rig;
    Limiter limiter;
    limiter.prepare (kRate, 512);
    for (auto _ : state)
    {
        rig.next (512);
        for (auto& x : rig.left)
            x *= 6.0f;
        benchmark::DoNotOptimize (limiter.process (rig.left.data(), 512));
    }
    setRealTimeCounter (state, 512);
}
BENCHMARK (BM_Limiter);

// The whole master chain in the block driver's order (stereo path), with
// reverb 1 (0) or reverb 2 (1), at the given rate and block size.
void BM_MasterChain (benchmark::State& state)
{
    const int which = (int) state.range (0);
    const double rate = (double) state.range (1);
    const int n = (int) state.range (2);
    MasterRig rig;
    KevoChorus chorus;
    WarmEq eqL, eqR;
    Saturator satL, satR;
    ColorEcho echo;
    KevoReverb reverb1;
    auto reverb2 = std::make_unique<KevoReverb2>();
    Limiter limL, limR;
    chorus.setParameters (rig.values.data());
    for (auto* e : { &eqL, &eqR })
    {
        e->setParameters (rig.values.data());
        e->prepare (rate, n);
    }
    for (auto* s : { &satL, &satR })
    {
        s->setParameters (rig.values.data());
        s->prepare (rate, n);
    }
    reverb1.setParameters (rig.values.data());
    reverb2->setParameters (rig.values.data());
    chorus.prepare (rate, n);
    echo.prepare (rate, n);
    echo.updateEchoValues (1.0, 0.6, 0.5, 0.3, 0.5, 2.0);
    reverb1.prepare (rate, n);
    reverb2->prepare (rate, n);
    limL.prepare (rate, n);
    limR.prepare (rate, n);
    for (auto _ : state)
    {
        rig.next (n);
        float* l = rig.left.data();
        float* r = rig.right.data();
        chorus.processStereo (l, r, n);
        eqL.blockBasedWarmEq (l, n);
        eqR.blockBasedWarmEq (r, n);
        satL.blockBasedSaturate (l, n);
        satR.blockBasedSaturate (r, n);
        echo.process (l, r, n);
        if (which == 0)
            reverb1.process (l, r, n);
        else
            reverb2->blockMultiTapBasedReverb (l, r, n);
        limL.process (l, n);
        limR.process (r, n);
        benchmark::DoNotOptimize (l);
    }
    setRealTimeCounter (state, n, rate);
}
BENCHMARK (BM_MasterChain)
    ->ArgsProduct ({ { 0, 1 }, { 44100 }, { 64, 512, 4096 } })
    ->Args ({ 0, 96000, 512 })
    ->Args ({ 1, 96000, 512 })
    ->ArgNames ({ "reverb2", "rate", "block" });
} // namespace
