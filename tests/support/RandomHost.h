#pragma once

// A host that stays within the rules but uses all of them: parameter vectors
// drawn afresh, MIDI at the edges of its ranges, every block size hosts use.
// Shared by the soak, threading and allocation tests so they stress the same
// paths. Deterministic for a seed, so a failure can be replayed.

#include <JuceHeader.h>

#include <cstdint>
#include <iterator>
#include <random>

#include "core/PluginProcessor.h"
#include "core/parameters.h"

class RandomHost
{
public:
    static constexpr int kBlockSizes[] = { 1, 7, 255, 257, 263, 519, 4096, 8192 };
    static constexpr int kMaxBlockSize = 8192;

    explicit RandomHost (uint64_t seed) : rng (seed) {}

    int blockSize() { return kBlockSizes[below ((int) std::size (kBlockSizes))]; }

    // Values a host can send: the ends, stored choices and semitone steps, and
    // anything in between.
    float parameterValue()
    {
        switch (below (8))
        {
            case 0: return 0.0f;
            case 1: return 1.0f;
            case 2: return (float) params::choiceValue (below (12));
            case 3: return (float) params::semitoneValue (below (49) - 24);
            default: return unit();
        }
    }

    // A whole new parameter vector through the host parameter objects, the
    // oscillator-4 points announced as the editor announces them.
    // Setting 773 at all releases every voice, so it is only drawn now and
    // then; drawn every block it would keep the synth in permanent release.
    void drawParameters (BrevonAudioProcessor& p)
    {
        auto& parameters = p.getParameters();
        for (int i = 0; i < params::kNumParameters; ++i)
        {
            if (i == params::kUnison && below (64) != 0)
                continue;
            parameters.getUnchecked (i)->setValue (parameterValue());
        }
        p.getEventAggregator()->sendEvent (Osc4PointsChanged, 0);
    }

    // A few parameters, as automation within a block.
    void automateSome (BrevonAudioProcessor& p, int count)
    {
        auto& parameters = p.getParameters();
        for (int k = 0; k < count; ++k)
            parameters.getUnchecked (below (params::kNumParameters))->setValue (parameterValue());
    }

    // Random MIDI for one block: on average `perSecond` events a second plus
    // the edge cases (note 127, velocity 0, pitch-wheel ends, all notes off,
    // events at and past the block end).
    void fillMidi (juce::MidiBuffer& midi, int numSamples, double sampleRate, double perSecond = 40.0)
    {
        midi.clear();
        double expected = perSecond * numSamples / sampleRate + 0.02;
        while (expected > 0.0)
        {
            if (unit() < expected)
            {
                const auto m = message();
                midi.addEvent (m, position (numSamples));
            }
            expected -= 1.0;
        }
    }

    // Every draw in its own statement: the sequence is the same whatever
    // order a compiler evaluates arguments in, so a seed replays anywhere.
    juce::MidiMessage message()
    {
        const int channel = below (4) == 0 ? 1 + below (16) : 1;
        const int kind = below (20);
        const int a = below (128);
        const int b = below (128);
        const auto velocity = (juce::uint8) (1 + b % 127);
        switch (kind)
        {
            case 0: return juce::MidiMessage::noteOn (channel, 127, velocity);
            case 1: return juce::MidiMessage::noteOn (channel, a, (juce::uint8) 0);
            case 2: return juce::MidiMessage::pitchWheel (channel, (a & 1) == 0 ? 0 : 16383);
            case 3: return juce::MidiMessage::pitchWheel (channel, a * 128 + b);
            case 4: return juce::MidiMessage::allNotesOff (channel);
            case 5: return juce::MidiMessage::allSoundOff (channel);
            case 6: return juce::MidiMessage::controllerEvent (channel, 1, a);
            case 7: return juce::MidiMessage::controllerEvent (channel, 64, (a & 1) * 127);
            case 8: return juce::MidiMessage::controllerEvent (channel, a, b);
            case 9: return juce::MidiMessage::channelPressureChange (channel, a);
            case 10: return juce::MidiMessage::aftertouchChange (channel, a, b);
            case 11: return juce::MidiMessage::programChange (channel, a);
            case 12: case 13: case 14:
                return juce::MidiMessage::noteOff (channel, a, (juce::uint8) b);
            default:
                return juce::MidiMessage::noteOn (channel, a, velocity);
        }
    }

    int position (int numSamples)
    {
        switch (below (16))
        {
            case 0: return numSamples;             // at the end
            case 1: return numSamples + below (8); // past it: hosts do that
            case 2: return 0;
            default: return below (numSamples);
        }
    }

    int below (int n) { return (int) (rng() % (uint64_t) n); }
    float unit() { return (float) ((rng() >> 40) * (1.0 / 16777216.0)); }

    std::mt19937_64 rng;
};
