#pragma once

#include <JuceHeader.h>

#include "core/Talvora.h"

// The one sound of the synthesiser: every note on every channel.
class TalvoraXLSound : public juce::SynthesiserSound
{
public:
    bool appliesToNote (int) override { return true; }
    bool appliesToChannel (int) override { return true; }
};

// JUCE's synthesiser with three voice modes: polyphonic, retrigger, and
// monophonic with a table of held keys so releasing a key falls back to the
// most recently pressed one still held.
class TalvoraSynthesiser : public juce::Synthesiser
{
public:
    static constexpr int kMonoVoice = 1; // the only voice used in mono mode

    TalvoraSynthesiser();

    void noteOn (int midiChannel, int midiNoteNumber, float velocity) override;
    void noteOff (int midiChannel, int midiNoteNumber, float velocity, bool allowTailOff) override;

    // Handles one raw MIDI message the way the block driver dispatches it
    // (no message object, so nothing is allocated even for long messages).
    void dispatchMidi (const juce::uint8* data, int size);

    void setParameterPointers (ParameterValue* values, ParametersStruct* performance) noexcept
    {
        parameterValues = values;
        parametersStruct = performance;
    }
    ParameterValue* getParameterValues() const noexcept { return parameterValues; }

    juce::CriticalSection& getSynthLock() noexcept { return lock; }

    double scopeWindow = 123.0;

private:
    struct HeldKey
    {
        bool held = false;
        uint64_t order = 0;   // press counter: later presses are larger, chords never tie
        int channel = 1;
        float velocity = 1.0f;
    };

    void startMonoVoice (int channel, int note, float velocity);

    ParameterValue* parameterValues = nullptr;
    ParametersStruct* parametersStruct = nullptr;
    HeldKey held[128];
    uint64_t pressCounter = 0;
};
