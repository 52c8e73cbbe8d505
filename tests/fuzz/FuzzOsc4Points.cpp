// Fuzzes the oscillator-4 point block: parameters 90 to 569 as a host or the
// editor may leave them, decoded into points and played. Each input writes
// the whole block through the host parameters (non-finite values ignored,
// others clamped, as the host path does), announces the change as the
// editor does, and plays a note through the voice with oscillator 4 alone.
// The editor's reading of the same block must give a chain of 1 to 16 points
// with finite coordinates, and the output must stay finite.

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "dsp/SplineOscillatorMisc.h"
#include "fuzz/FuzzFormats.h"
#include "fuzz/FuzzHost.h"

namespace
{
// Chain lengths the editor read from the fuzzed blocks, told at exit.
int64_t chainLengths[17] {};

void report()
{
    std::fprintf (stderr, "point blocks by chain length:");
    for (int k = 1; k <= 16; ++k)
        std::fprintf (stderr, " %d:%lld", k, (long long) chainLengths[k]);
    std::fprintf (stderr, "\n");
}
} // namespace

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    fuzzhost::initialise();
    std::atexit (report);
    auto& p = fuzzhost::processor (44100.0, 512);
    // Oscillator 4 alone, short release, plain filter, no effect tails.
    for (auto [index, value] : { std::pair<int, float> { params::kOsc1Volume, 0.0f }, { params::kOsc2Volume, 0.0f },
                                 { params::kOsc3Volume, 0.0f }, { params::kOsc4Volume, 1.0f },
                                 { params::kAmplitudeRelease, 0.0f }, { params::kReverbMix, 0.0f },
                                 { params::kEchoMix, 0.0f }, { params::kChorusMix, 0.0f } })
        p.setParameter (index, value);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    auto& p = fuzzhost::processor (44100.0, 512);
    const auto settings = fuzzformat::pointSettings (data, size);

    // The block: every value a host could send; missing bytes leave zeros.
    auto& parameters = p.getParameters();
    for (int k = 0; k < fuzzformat::kPointValues; ++k)
    {
        float v = 0.0f;
        if ((size_t) (4 * k + 4) <= size)
            v = fuzzformat::floatAt (data + 4 * k);
        parameters.getUnchecked (params::kOsc4PointsFirst + k)->setValue (v);
    }
    p.setParameter (params::kOsc4Coarse, settings.coarse);
    if (params::choiceIndex (p.getParameter (params::kUnison)) != settings.unison)
        p.setParameter (params::kUnison, (float) params::choiceValue (settings.unison));
    p.getEventAggregator()->sendEvent (Osc4PointsChanged, 0);

    // The editor's reading of the block.
    SplineOscillatorPoint chain[16];
    const int count = Osc4Codec::decodePoints (p.getParameterValues(), 400.0, 300.0, chain, 16);
    FUZZ_REQUIRE (count >= 1 && count <= 16, "the editor read a chain of 1 to 16 points");
    ++chainLengths[count];
    for (int k = 0; k < count; ++k)
        for (int pair = 0; pair < 3; ++pair)
            FUZZ_REQUIRE (std::isfinite (chain[k].x[pair]) && std::isfinite (chain[k].y[pair]), "a point read as NaN or Inf");

    // Played: a note with the wheel where the input puts it, then its release.
    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::pitchWheel (1, settings.pitchWheel), 0);
    midi.addEvent (juce::MidiMessage::noteOn (1, settings.note, (juce::uint8) 100), 0);
    for (int b = 0; b < 4; ++b)
    {
        if (b == 3)
            midi.addEvent (juce::MidiMessage::noteOff (1, settings.note), 256);
        fuzzhost::render (p, buffer, midi);
        FUZZ_REQUIRE (fuzzhost::finite (buffer, 512), "the points rendered NaN or Inf");
        midi.clear();
    }
    fuzzhost::releaseAllVoices (p);
    return 0;
}
