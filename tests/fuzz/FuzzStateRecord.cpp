// Fuzzes the host state: any byte blob through setStateInformation. A blob
// that is not a valid program record must be refused whole with the current
// state unchanged; a valid one must load exactly and then play.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/TalvoraProgram.h"
#include "fuzz/FuzzHost.h"

namespace
{
// How many blobs were refused and how many loaded, told at exit.
int64_t refused = 0, loaded = 0;

void report() { std::fprintf (stderr, "state blobs: %lld refused unchanged, %lld loaded and played\n", (long long) refused, (long long) loaded); }
} // namespace

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    fuzzhost::initialise();
    fuzzhost::processor();
    std::atexit (report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    auto& p = fuzzhost::processor();

    juce::MemoryBlock before;
    p.getStateInformation (before);
    FUZZ_REQUIRE (before.getSize() == program::kRecordSize, "saved state has the record size");

    p.setStateInformation (size > 0 ? data : nullptr, (int) size);

    juce::MemoryBlock after;
    p.getStateInformation (after);
    FUZZ_REQUIRE (after.getSize() == program::kRecordSize, "saved state has the record size");

    bool valid = size == program::kRecordSize;
    if (valid)
    {
        TalvoraProgram record;
        program::fromBytes (data, record);
        valid = program::isValid (record);
    }

    if (! valid)
    {
        FUZZ_REQUIRE (before == after, "an invalid state changed the current state");
        ++refused;
        return 0;
    }

    // Loaded exactly: every parameter but the version the saver writes, and the wave.
    const auto* saved = static_cast<const uint8_t*> (after.getData());
    for (int i = 0; i < params::kNumParameters; ++i)
        if (i != params::kProgramVersion)
            FUZZ_REQUIRE (std::memcmp (saved + 4 * i, data + 4 * i, 4) == 0, "a parameter of a valid state was not loaded");
    const size_t wave = offsetof (TalvoraProgram, wave);
    FUZZ_REQUIRE (std::memcmp (saved + wave, data + wave, 4096 * 4) == 0, "the wave of a valid state was not loaded");

    ++loaded;

    // And it plays: a chord through the whole chain, then a quick release so
    // that the next input does not pay for these voices.
    juce::AudioBuffer<float> buffer (2, 256);
    juce::MidiBuffer midi;
    for (int note : { 36, 60, 127 })
        midi.addEvent (juce::MidiMessage::noteOn (1, note, (juce::uint8) 100), 0);
    for (int b = 0; b < 3; ++b)
    {
        if (b == 2)
        {
            p.setParameter (params::kAmplitudeRelease, 0.0f);
            midi.addEvent (juce::MidiMessage::allNotesOff (1), 0);
        }
        fuzzhost::render (p, buffer, midi);
        FUZZ_REQUIRE (fuzzhost::finite (buffer, 256), "a valid state rendered NaN or Inf");
        midi.clear();
    }
    return 0;
}
