#pragma once

// What every fuzz target that drives the processor shares: a private settings
// folder (never the real home), no display, JUCE started once, one processor
// per process past its silent start, and a failure that libFuzzer reports as
// a crash.

#include <JuceHeader.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/PluginProcessor.h"
#include "support/NoDisplay.h"

#define FUZZ_REQUIRE(condition, message)                                   \
    do                                                                     \
    {                                                                      \
        if (! (condition))                                                 \
        {                                                                  \
            std::fprintf (stderr, "fuzz check failed: %s\n", message);     \
            std::abort();                                                  \
        }                                                                  \
    } while (false)

namespace fuzzhost
{
inline char settingsFolder[] = "/tmp/talvora-fuzz-XXXXXX";

inline void removeSettingsFolder() { juce::File (settingsFolder).deleteRecursively(); }

inline void initialise()
{
    if (mkdtemp (settingsFolder) != nullptr)
    {
        setenv ("XDG_CONFIG_HOME", settingsFolder, 1);
        std::atexit (removeSettingsFolder);
    }
    testsupport::useNoDisplay();
    juce::initialiseJuce_GUI();
}

struct Instance
{
    std::unique_ptr<BrevonAudioProcessor> processor;
    double sampleRate = 0.0;
    int maxBlock = 0;
};

inline Instance& instance()
{
    static Instance i;
    return i;
}

// The processor, prepared for the rate and block size (prepared again only
// when they change), past the process's silent start.
inline BrevonAudioProcessor& processor (double sampleRate = 44100.0, int maxBlock = 8192)
{
    auto& i = instance();
    if (i.processor == nullptr)
    {
        i.processor = std::make_unique<BrevonAudioProcessor>();
        i.processor->setRandomSeed (1);
    }
    if (i.sampleRate != sampleRate || i.maxBlock != maxBlock)
    {
        i.processor->setPlayConfigDetails (0, 2, sampleRate, maxBlock);
        i.processor->prepareToPlay (sampleRate, maxBlock);
        i.sampleRate = sampleRate;
        i.maxBlock = maxBlock;

        static bool warm = false;
        if (! warm)
        {
            juce::AudioBuffer<float> buffer (2, 64);
            juce::MidiBuffer midi;
            for (int b = 0; b < BrevonAudioProcessor::kWarmUpBlocks; ++b)
                i.processor->processBlock (buffer, midi);
            warm = true;
        }
    }
    return *i.processor;
}

inline void render (BrevonAudioProcessor& p, juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    const juce::ScopedLock sl (p.getCallbackLock());
    p.processBlock (buffer, midi);
}

inline bool finite (const juce::AudioBuffer<float>& buffer, int numSamples)
{
    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
    {
        const float* x = buffer.getReadPointer (ch);
        for (int i = 0; i < numSamples; ++i)
            if (! std::isfinite (x[i]))
                return false;
    }
    return true;
}

// Every voice into its release, so one input hardly hears the notes of the last.
inline void releaseAllVoices (BrevonAudioProcessor& p)
{
    const juce::ScopedLock sl (p.getSynthesiser().getSynthLock());
    for (int v = 0; v < p.getSynthesiser().getNumVoices(); ++v)
        p.getSynthesiser().getVoice (v)->stopNote (0.0f, false);
}
} // namespace fuzzhost
