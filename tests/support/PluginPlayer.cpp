#include "PluginPlayer.h"

#include <cmath>

PluginPlayer::PluginPlayer (double rate, int block)
    : sampleRate (rate), blockSize (block), proc (std::make_unique<BrevonAudioProcessor>())
{
    proc->setPlayConfigDetails (0, 2, sampleRate, blockSize);
    proc->prepareToPlay (sampleRate, blockSize);
}

void PluginPlayer::renderBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    const juce::ScopedLock sl (proc->getCallbackLock());
    proc->processBlock (buffer, midi);
}

void PluginPlayer::warmUp()
{
    juce::AudioBuffer<float> buffer (2, blockSize);
    juce::MidiBuffer midi;
    for (int i = 0; i < BrevonAudioProcessor::kWarmUpBlocks; ++i)
        renderBlock (buffer, midi);
}

juce::AudioBuffer<float> PluginPlayer::play (int64_t numSamples, const std::vector<Event>& events)
{
    juce::AudioBuffer<float> out (2, (int) numSamples);
    out.clear();
    juce::AudioBuffer<float> buffer (2, blockSize);

    for (int64_t pos = 0; pos < numSamples; pos += blockSize)
    {
        const int n = (int) std::min<int64_t> (blockSize, numSamples - pos);
        buffer.setSize (2, n, false, false, true);
        juce::MidiBuffer midi;
        for (const auto& e : events)
            if (e.sample >= pos && e.sample < pos + n)
                midi.addEvent (e.message, (int) (e.sample - pos));
        renderBlock (buffer, midi);
        for (int ch = 0; ch < 2; ++ch)
            out.copyFrom (ch, (int) pos, buffer, ch, 0, n);
    }
    return out;
}

double measureFrequency (const float* x, int n, double sampleRate)
{
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (int i = 1; i < n; ++i)
    {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f)
        {
            const double frac = x[i - 1] / (double) (x[i - 1] - x[i]);
            const double t = (i - 1) + frac;
            if (first < 0.0)
                first = t;
            else
                ++crossings;
            last = t;
        }
    }
    if (crossings < 1)
        return 0.0;
    return crossings * sampleRate / (last - first);
}

double rms (const float* x, int n)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i)
        sum += (double) x[i] * x[i];
    return n > 0 ? std::sqrt (sum / n) : 0.0;
}

bool allFinite (const juce::AudioBuffer<float>& buffer)
{
    for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            if (! std::isfinite (buffer.getSample (ch, i)))
                return false;
    return true;
}
