// Fuzzes MIDI into the synthesiser: any stream of raw messages, at any
// position in blocks of the sizes hosts use, in each voice mode and unison
// setting, at the sample rates hosts run. The output must stay finite.

#include "fuzz/FuzzFormats.h"
#include "fuzz/FuzzHost.h"

extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    fuzzhost::initialise();
    fuzzhost::processor();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    fuzzformat::MidiStreamReader reader (data, size);
    const auto settings = reader.settings();
    auto& p = fuzzhost::processor (settings.sampleRate);

    // Settings that change how notes are handled; 773 only when it differs,
    // since setting it releases every voice.
    p.setParameter (params::kVoiceMode, (float) params::choiceValue (settings.voiceMode));
    p.setParameter (params::kGlide, settings.glide);
    if (params::choiceIndex (p.getParameter (params::kUnison)) != settings.unison)
        p.setParameter (params::kUnison, (float) params::choiceValue (settings.unison));

    static juce::AudioBuffer<float> buffer (2, 8192);
    juce::MidiBuffer midi;
    while (const int n = reader.nextBlock (midi))
    {
        buffer.setSize (2, n, false, false, true);
        fuzzhost::render (p, buffer, midi);
        FUZZ_REQUIRE (fuzzhost::finite (buffer, n), "MIDI made the output NaN or Inf");
    }

    // Notes of this input end here, held keys of mono mode included.
    juce::MidiBuffer off;
    for (int channel = 1; channel <= 16; ++channel)
        off.addEvent (juce::MidiMessage::allNotesOff (channel), 0);
    buffer.setSize (2, 1, false, false, true);
    fuzzhost::render (p, buffer, off);
    fuzzhost::releaseAllVoices (p);
    return 0;
}
