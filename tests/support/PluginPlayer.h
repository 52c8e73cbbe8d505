#pragma once

#include <JuceHeader.h>

#include <memory>
#include <vector>

#include "core/PluginProcessor.h"

// Plays a processor the way a host does: prepare, warm up past the silent
// start, then render blocks with timed MIDI. Every sound test goes through it.
class PluginPlayer
{
public:
    struct Event
    {
        int64_t sample;          // absolute position from the start of play()
        juce::MidiMessage message;
    };

    explicit PluginPlayer (double sampleRate = 44100.0, int blockSize = 512);

    BrevonAudioProcessor& processor() { return *proc; }

    // Renders until the process-wide silent start is over.
    void warmUp();

    // Renders numSamples with the events, returns the stereo output.
    juce::AudioBuffer<float> play (int64_t numSamples, const std::vector<Event>& events = {});

    // Renders one block of the given size with block-relative MIDI.
    void renderBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi);

    double sampleRate;
    int blockSize;

private:
    std::unique_ptr<BrevonAudioProcessor> proc;
};

// Frequency of a signal from its rising zero crossings (linear interpolation).
double measureFrequency (const float* samples, int numSamples, double sampleRate);
double rms (const float* samples, int numSamples);
bool allFinite (const juce::AudioBuffer<float>& buffer);
