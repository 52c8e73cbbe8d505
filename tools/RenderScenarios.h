#pragma once

// Named playing situations shared by the render tool, the processor
// benchmarks and the reference-render test, and the fingerprint that lets a
// test compare a render with a stored one without storing the audio.
//
// Header only: the tool and the benchmarks include it from outside tests/.

#include <JuceHeader.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/PluginProcessor.h"
#include "core/parameters.h"

namespace render
{
//==============================================================================
struct Scenario
{
    const char* name;
    const char* description;
    int defaultVoices;                       // held notes
    void (*configure) (BrevonAudioProcessor&);
};

inline void set (BrevonAudioProcessor& p, int index, double value)
{
    p.setParameter (index, (float) value);
}

inline void setChoice (BrevonAudioProcessor& p, int index, int item)
{
    set (p, index, params::choiceValue (item));
}

// One oscillator-4 point: x and y of the point and of its two controls, and
// its type.
inline void setOsc4Point (BrevonAudioProcessor& p, int k, const std::array<double, 6>& xy, int type)
{
    set (p, params::osc4PointIndex (k, 0), 1.0);
    for (int f = 0; f < 6; ++f)
        set (p, params::osc4PointIndex (k, 1 + f), xy[(size_t) f]);
    set (p, params::osc4PointIndex (k, 7), params::choiceValue (type));
}

// One modulation slot of an oscillator-4 point.
inline void setOsc4Slot (BrevonAudioProcessor& p, int k, int slot, int direction, double depth, int source,
                         double speed, int shape)
{
    const int f = 8 + 5 * slot;
    set (p, params::osc4PointIndex (k, f), params::choiceValue (direction));
    set (p, params::osc4PointIndex (k, f + 1), depth);
    set (p, params::osc4PointIndex (k, f + 2), params::choiceValue (source));
    set (p, params::osc4PointIndex (k, f + 3), speed);
    set (p, params::osc4PointIndex (k, f + 4), params::choiceValue (shape));
}

// The heaviest voice: every oscillator with every copy, noise, the double
// ladder with overdrive, the decimator and every modulation amount.
inline void configureHeavy (BrevonAudioProcessor& p)
{
    setChoice (p, params::kUnison, 2);          // four copies
    set (p, params::kOsc1Stack, 1.0);           // ten stacked copies
    set (p, params::kOsc2Stack, 1.0);
    set (p, params::kOsc1Shape, 0.8);           // saw-to-square: pulse width applies
    set (p, params::kOsc2Shape, 0.85);
    set (p, params::kOsc1PwmAmount, 0.5);
    set (p, params::kOsc2PwmAmount, 0.6);
    set (p, params::kOsc1PwmSpeed, 0.5);
    set (p, params::kOsc2PwmSpeed, 0.4);
    set (p, params::kOsc1Detune, 0.4);
    set (p, params::kOsc2Detune, 0.3);
    setChoice (p, params::kOsc3Shape, 2);
    set (p, params::kOsc3Volume, 0.4);
    set (p, params::kNoiseVolume, 0.2);
    setChoice (p, params::kFilterType, 3);      // double ladder
    set (p, params::kOverdrive, 0.7);
    set (p, params::kResonance, 0.6);
    set (p, params::kDecimate, 0.2);
    setChoice (p, params::kDecimatorMode, 3);
    setChoice (p, params::kLfo1Mode, 1);        // the voices' own LFOs
    setChoice (p, params::kLfo2Mode, 1);
    set (p, params::kLfo1ModulatesLfo2, 0.3);

    for (int i = params::kModAmountFirst; i <= params::kModAmountLast; ++i)
        set (p, i, 0.1 + 0.01 * (i % 7));

    // Oscillator 4: a start point and fifteen cubic points, every slot moving.
    set (p, params::kOsc4Volume, 0.4);
    for (int k = 0; k < params::kOsc4MaxPoints; ++k)
    {
        const double x = k / 15.0;
        const double y = 0.5 + 0.4 * std::sin (k * 0.9);
        setOsc4Point (p, k, { x, y, std::max (0.0, x - 0.02), 1.0 - y, std::max (0.0, x - 0.01), y * 0.5 }, k == 0 ? 0 : 3);
        for (int s = 0; s < 3; ++s)   // vertical, sources and shapes in turn
            setOsc4Slot (p, k, s, 2, 0.05 + 0.01 * s, (k + s) % 6, 0.3 + 0.1 * s, (k + s) % 5);
    }
    if (auto* bus = p.getEventAggregator())
        bus->sendEvent (Osc4PointsChanged, 0);
}

// Oscillator 4 alone, two octaves down: at high rates its lowest notes draw
// cycles of tens of thousands of entries, from points that move sideways
// (new curve scans every cycle) and up and down (kept scans replayed).
// `bent` moves the pitch by LFO 1, so the fractional read-out plays.
inline void configureSplineLow (BrevonAudioProcessor& p, bool bent)
{
    set (p, params::kOsc1Volume, 0.0);
    set (p, params::kOsc2Volume, 0.0);
    set (p, params::kOsc4Volume, 0.8);
    set (p, params::kOsc4Coarse, params::semitoneValue (-24));
    setChoice (p, params::kUnison, 2);
    if (bent)
        set (p, params::modAmountIndex (0, 10), 0.3);   // LFO1 to oscillator-4 pitch

    const int types[] = { 0, 3, 2, 1, 3, 3, 2, 3 };
    for (int k = 0; k < 8; ++k)
    {
        const double x = k / 7.0;
        const double y = 0.5 + 0.35 * std::cos (k * 1.3);
        setOsc4Point (p, k, { x, y, std::max (0.0, x - 0.09), 1.0 - y, std::max (0.0, x - 0.03), 0.2 + 0.1 * k }, types[k]);
        for (int s = 0; s < 3; ++s)
        {
            // Sideways or up and down; own shape or LFO 1.
            const bool sideways = (k + s) % 3 == 1;
            setOsc4Slot (p, k, s, sideways ? 1 : 2, sideways ? 0.02 : 0.1, s == 2 ? 2 : 0, 0.11 + 0.07 * s, (k + s) % 4);
        }
    }
    set (p, params::osc4PointIndex (8, 7), params::choiceValue (10));
    if (auto* bus = p.getEventAggregator())
        bus->sendEvent (Osc4PointsChanged, 0);
}

inline void configureMasterEffects (BrevonAudioProcessor& p)
{
    set (p, params::kChorusMix, 1.0);
    set (p, params::kChorusDepth, 0.6);
    set (p, params::kChorusRate, 0.4);
    set (p, params::kChorusTime, 0.5);
    set (p, params::kEqLow, 0.8);
    set (p, params::kEqMid, 0.3);
    set (p, params::kEqHigh, 0.7);
    set (p, params::kSaturation, 0.5);
    set (p, params::kEchoMix, 1.0);
    set (p, params::kEchoFeedback, 0.6);
    set (p, params::kReverbMix, 1.0);
    set (p, params::kReverbSize, 0.7);
}

// Each filter routine with modulated resonance, the decimator variants and
// the saturator curves spread over a few small scenarios.
inline void configureFilter (BrevonAudioProcessor& p, int filterType, int decimatorType, int saturatorType)
{
    setChoice (p, params::kFilterType, filterType);
    set (p, params::kResonance, 0.7);
    set (p, params::kOverdrive, 0.4);
    set (p, params::kCutoffEnvAmount, 0.5);
    set (p, params::kFilterKeyFollow, 0.5);
    set (p, params::modAmountIndex (0, 14), 0.6);   // LFO1 to resonance
    set (p, params::modAmountIndex (2, 13), 0.4);   // amplitude envelope to cutoff
    if (decimatorType >= 0)
    {
        set (p, params::kDecimate, 0.3);
        setChoice (p, params::kDecimatorMode, decimatorType);
    }
    set (p, params::kSaturation, 0.6);
    setChoice (p, params::kSaturationType, saturatorType);
}

inline const std::vector<Scenario>& scenarios()
{
    static const std::vector<Scenario> all {
        { "default", "default patch", 48, [] (BrevonAudioProcessor&) {} },
        { "heavy", "heaviest voice: unison 4, 10-stacks with pulse width, osc 3 and 4, noise, double ladder, decimator, full matrix",
          48, configureHeavy },
        { "master", "every master effect at mix 1 (reverb 2, mono path), low cutoff", 4,
          [] (BrevonAudioProcessor& p) {
              configureMasterEffects (p);
              set (p, params::kCutoff, 0.25);
              set (p, params::kResonance, 0.3);
          } },
        { "master-stereo", "every master effect at mix 1 (reverb 1, stereo path, tube saturator), driven filter", 4,
          [] (BrevonAudioProcessor& p) {
              configureMasterEffects (p);
              setChoice (p, params::kReverbType, 0);
              setChoice (p, params::kUnison, 1);
              setChoice (p, params::kSaturationType, 3);
              set (p, params::kOverdrive, 0.5);
          } },
        { "stacks", "switch mode with pulse width on oscillator 1, pulse-width stack on 2, unison 2, osc 3", 6,
          [] (BrevonAudioProcessor& p) {
              setChoice (p, params::kUnison, 1);
              set (p, params::kOsc4MorphMode, 1.0);     // switch mode of oscillator 1
              set (p, params::kOsc1Shape, 0.5);
              set (p, params::kOsc1PwmAmount, 0.4);
              set (p, params::kOsc1PwmSpeed, 0.7);
              set (p, params::kOsc1Stack, 0.5);
              set (p, params::kOsc2Shape, 0.9);
              set (p, params::kOsc2PwmAmount, 0.3);
              set (p, params::kOsc2Stack, 0.7);
              set (p, params::kOsc2Detune, 0.8);
              set (p, params::kOsc3Volume, 0.3);
              set (p, params::modAmountIndex (0, 11), 0.5);   // LFO1 to pulse width 1
              set (p, params::modAmountIndex (1, 12), 0.5);   // LFO2 to pulse width 2
              set (p, params::modAmountIndex (0, 1), 0.2);    // LFO1 to pitch
          } },
        { "filter-ladder", "ladder, hold decimator, polynomial saturator, crossfade stack", 8,
          [] (BrevonAudioProcessor& p) {
              configureFilter (p, 1, 0, 1);
              set (p, params::kOsc1Shape, 0.2);
              set (p, params::kOsc1Stack, 0.4);
          } },
        { "filter-highpass", "state-variable high-pass, tube saturator", 8,
          [] (BrevonAudioProcessor& p) { configureFilter (p, 2, -1, 2); } },
        { "filter-bandpass", "band-pass, remainder decimator, compressor, saw-to-square stack", 8,
          [] (BrevonAudioProcessor& p) {
              configureFilter (p, 4, 1, 4);
              set (p, params::kOsc2Shape, 0.9);
              set (p, params::kOsc2Stack, 0.3);
          } },
        { "filter-zdf", "zero-delay ladder, sliding decimator, envelope tube", 8,
          [] (BrevonAudioProcessor& p) { configureFilter (p, 5, 2, 5); } },
        { "spline-low", "oscillator 4 two octaves down, unison 4, points moving sideways and up and down", 4,
          [] (BrevonAudioProcessor& p) { configureSplineLow (p, false); } },
        { "spline-low-bent", "as spline-low, with LFO 1 moving oscillator 4's pitch", 4,
          [] (BrevonAudioProcessor& p) { configureSplineLow (p, true); } },
    };
    return all;
}

inline const Scenario* findScenario (const std::string& name)
{
    for (const auto& s : scenarios())
        if (name == s.name)
            return &s;
    return nullptr;
}

// Notes spread over the keyboard, lowest first (MIDI 24 upwards).
inline std::vector<int> spreadNotes (int count)
{
    std::vector<int> notes;
    if (count <= 0)
        return notes;
    const int span = 96;
    for (int i = 0; i < count; ++i)
        notes.push_back (24 + (count == 1 ? 36 : (i * span) / count));
    return notes;
}

//==============================================================================
// The block driver shares its silent start and its once-a-second counter
// between all instances of the process. A throwaway instance takes the
// process past the silent start and sets the counter back to zero (a block
// of a whole second always resets it), so a render does not depend on what
// the process played before.
inline void settleProcessWideState (double sampleRate)
{
    const int second = (int) std::ceil (sampleRate);
    BrevonAudioProcessor p;
    p.setPlayConfigDetails (0, 2, sampleRate, second);
    p.prepareToPlay (sampleRate, second);
    juce::MidiBuffer midi;
    {
        juce::AudioBuffer<float> small (2, 16);
        for (int i = 0; i < BrevonAudioProcessor::kWarmUpBlocks + 1; ++i)
        {
            const juce::ScopedLock sl (p.getCallbackLock());
            p.processBlock (small, midi);
        }
    }
    juce::AudioBuffer<float> big (2, second);
    for (int i = 0; i < 2; ++i)
    {
        const juce::ScopedLock sl (p.getCallbackLock());
        p.processBlock (big, midi);
    }
}

// A processor set up for one scenario, ready to play.
class ScenarioPlayer
{
public:
    ScenarioPlayer (const Scenario& s, double rate, int block, int voices, uint64_t seed)
        : scenario (s), sampleRate (rate), blockSize (block), proc (std::make_unique<BrevonAudioProcessor>())
    {
        settleProcessWideState (sampleRate);
        proc->setPlayConfigDetails (0, 2, sampleRate, blockSize);
        proc->prepareToPlay (sampleRate, blockSize);
        proc->setRandomSeed (seed);
        scenario.configure (*proc);
        notes = spreadNotes (voices < 0 ? scenario.defaultVoices : voices);
        buffer.setSize (2, blockSize);
    }

    BrevonAudioProcessor& processor() { return *proc; }
    const std::vector<int>& getNotes() const { return notes; }

    void addNoteOns (juce::MidiBuffer& midi, int position) const
    {
        for (int n : notes)
            midi.addEvent (juce::MidiMessage::noteOn (1, n, (juce::uint8) 100), position);
    }

    void addNoteOffs (juce::MidiBuffer& midi, int position) const
    {
        for (int n : notes)
            midi.addEvent (juce::MidiMessage::noteOff (1, n), position);
    }

    // Renders one block of up to blockSize samples into the internal buffer.
    const juce::AudioBuffer<float>& renderBlock (juce::MidiBuffer& midi, int numSamples)
    {
        buffer.setSize (2, numSamples, false, false, true);
        const juce::ScopedLock sl (proc->getCallbackLock());
        proc->processBlock (buffer, midi);
        return buffer;
    }

    // Notes on at 0 and off at releaseAt (never when negative); stereo output.
    juce::AudioBuffer<float> play (int numSamples, int releaseAt)
    {
        juce::AudioBuffer<float> out (2, numSamples);
        for (int pos = 0; pos < numSamples; pos += blockSize)
        {
            const int n = std::min (blockSize, numSamples - pos);
            juce::MidiBuffer midi;
            if (pos == 0)
                addNoteOns (midi, 0);
            if (releaseAt >= pos && releaseAt < pos + n)
                addNoteOffs (midi, releaseAt - pos);
            const auto& b = renderBlock (midi, n);
            for (int ch = 0; ch < 2; ++ch)
                out.copyFrom (ch, pos, b, ch, 0, n);
        }
        return out;
    }

    const Scenario& scenario;
    const double sampleRate;
    const int blockSize;

private:
    std::unique_ptr<BrevonAudioProcessor> proc;
    std::vector<int> notes;
    juce::AudioBuffer<float> buffer;
};

//==============================================================================
// Fingerprint of a render: per channel and 1024-sample window the RMS and a
// few projections on fixed random sign sequences (scaled like an RMS). The
// projections of two renders differ by the projections of their difference,
// so together they estimate the level of the difference; an RMS alone would
// miss a change that keeps the level. A hash of the output rounded to 1e-6
// tells a bit-for-bit equal render at a glance.
constexpr int kWindow = 1024;
constexpr int kProjections = 8;
constexpr double kTolerance = 1.0e-6;   // -120 dB of full scale

struct RenderSpec
{
    std::string scenario;
    double sampleRate = 44100.0;
    int blockSize = 512;
    int voices = -1;
    int samples = 16384;
    int releaseAt = 12288;
    uint64_t seed = 1;

    std::string key() const
    {
        std::ostringstream s;
        s << scenario << '@' << (int) sampleRate << '/' << blockSize;
        return s.str();
    }
};

// What the reference test plays; short so the test takes a few seconds.
inline std::vector<RenderSpec> referenceSpecs()
{
    std::vector<RenderSpec> specs;
    for (const auto& s : scenarios())
    {
        RenderSpec r;
        r.scenario = s.name;
        specs.push_back (r);
    }
    RenderSpec fast96 { "default", 96000.0, 4096, -1, 16384, 12288, 1 };
    RenderSpec heavy64 { "heavy", 44100.0, 64, -1, 8192, 6144, 1 };
    specs.push_back (fast96);
    specs.push_back (heavy64);
    // Cycles longer than a block draws at once, on both read-outs.
    specs.push_back ({ "spline-low", 192000.0, 257, -1, 65536, 49152, 1 });
    specs.push_back ({ "spline-low-bent", 192000.0, 263, -1, 65536, 49152, 1 });
    // Reverb 1's tail across two once-a-second points, which the odd block
    // size places mid-tail.
    specs.push_back ({ "master-stereo", 44100.0, 441, -1, 100000, 30000, 1 });
    return specs;
}

struct Fingerprint
{
    std::string key;
    int samples = 0;
    uint64_t hash = 0;
    // [channel][window] -> rms, projections
    std::vector<std::vector<std::vector<double>>> windows;
};

inline uint64_t nextSign (uint64_t& state) noexcept
{
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

inline Fingerprint fingerprint (const std::string& key, const juce::AudioBuffer<float>& audio)
{
    Fingerprint f;
    f.key = key;
    f.samples = audio.getNumSamples();
    uint64_t h = 1469598103934665603ull;
    for (int ch = 0; ch < audio.getNumChannels(); ++ch)
        for (int i = 0; i < audio.getNumSamples(); ++i)
        {
            const double x = audio.getSample (ch, i);
            const auto q = (int64_t) std::llround (std::isfinite (x) ? x * 1.0e6 : 1.0e15);
            for (int b = 0; b < 8; ++b)
            {
                h ^= (uint64_t) ((q >> (8 * b)) & 0xff);
                h *= 1099511628211ull;
            }
        }
    f.hash = h;

    const int numWindows = (audio.getNumSamples() + kWindow - 1) / kWindow;
    f.windows.assign ((size_t) audio.getNumChannels(), {});
    for (int ch = 0; ch < audio.getNumChannels(); ++ch)
    {
        const float* x = audio.getReadPointer (ch);
        for (int w = 0; w < numWindows; ++w)
        {
            const int start = w * kWindow;
            const int len = std::min (kWindow, audio.getNumSamples() - start);
            std::vector<double> values ((size_t) kProjections + 1, 0.0);
            for (int i = 0; i < len; ++i)
                values[0] += (double) x[start + i] * x[start + i];
            values[0] = std::sqrt (values[0] / len);
            for (int k = 0; k < kProjections; ++k)
            {
                uint64_t state = ((uint64_t) ch << 48) ^ ((uint64_t) w << 16) ^ (uint64_t) k;
                double sum = 0.0;
                uint64_t bits = 0;
                for (int i = 0; i < len; ++i)
                {
                    if ((i & 63) == 0)
                        bits = nextSign (state);
                    sum += ((bits >> (i & 63)) & 1) != 0 ? x[start + i] : -x[start + i];
                }
                values[(size_t) k + 1] = sum / std::sqrt ((double) len);
            }
            f.windows[(size_t) ch].push_back (values);
        }
    }
    return f;
}

// Largest estimated RMS of the difference over all windows (infinity when
// the shapes do not match).
inline double difference (const Fingerprint& a, const Fingerprint& b)
{
    if (a.samples != b.samples || a.windows.size() != b.windows.size())
        return INFINITY;
    double worst = 0.0;
    for (size_t ch = 0; ch < a.windows.size(); ++ch)
    {
        if (a.windows[ch].size() != b.windows[ch].size())
            return INFINITY;
        for (size_t w = 0; w < a.windows[ch].size(); ++w)
        {
            const auto& x = a.windows[ch][w];
            const auto& y = b.windows[ch][w];
            if (x.size() != y.size())
                return INFINITY;
            double sq = 0.0;
            for (size_t k = 1; k < x.size(); ++k)
                sq += (x[k] - y[k]) * (x[k] - y[k]);
            const double estimate = std::sqrt (sq / (double) (x.size() - 1));
            worst = std::max ({ worst, estimate, std::abs (x[0] - y[0]) });
            if (! std::isfinite (estimate) || ! std::isfinite (x[0]))
                return INFINITY;
        }
    }
    return worst;
}

inline std::string toText (const Fingerprint& f)
{
    std::ostringstream s;
    char line[64];
    std::snprintf (line, sizeof (line), "%016llx", (unsigned long long) f.hash);
    s << "render " << f.key << " samples " << f.samples << " channels " << f.windows.size()
      << " hash " << line << '\n';
    for (size_t ch = 0; ch < f.windows.size(); ++ch)
        for (const auto& w : f.windows[ch])
        {
            s << ch;
            for (double v : w)
            {
                char num[40];
                std::snprintf (num, sizeof (num), " %.9e", v);
                s << num;
            }
            s << '\n';
        }
    return s.str();
}

// Reads every fingerprint of a file written by toText (lines starting with
// '#' are comments).
inline std::vector<Fingerprint> parseFingerprints (const std::string& text)
{
    std::vector<Fingerprint> all;
    std::istringstream in (text);
    std::string line;
    while (std::getline (in, line))
    {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words (line);
        if (line.rfind ("render ", 0) == 0)
        {
            Fingerprint f;
            std::string word, hash;
            size_t channels = 0;
            words >> word >> f.key >> word >> f.samples >> word >> channels >> word >> hash;
            f.hash = std::stoull (hash, nullptr, 16);
            f.windows.assign (channels, {});
            all.push_back (f);
            continue;
        }
        if (all.empty())
            continue;
        size_t ch = 0;
        words >> ch;
        std::vector<double> values;
        double v;
        while (words >> v)
            values.push_back (v);
        if (ch < all.back().windows.size())
            all.back().windows[ch].push_back (values);
    }
    return all;
}

inline Fingerprint renderFingerprint (const RenderSpec& spec)
{
    const Scenario* s = findScenario (spec.scenario);
    if (s == nullptr)
        return {};
    ScenarioPlayer player (*s, spec.sampleRate, spec.blockSize, spec.voices, spec.seed);
    return fingerprint (spec.key(), player.play (spec.samples, spec.releaseAt));
}
} // namespace render
