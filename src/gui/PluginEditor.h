#pragma once

#include <JuceHeader.h>

class BrevonAudioProcessor;

// The plug-in window. It shows the product frame until the pages arrive.
class BrevonAudioProcessorEditor : public juce::AudioProcessorEditor
{
public:
    static constexpr int kWidth = 829;
    static constexpr int kHeight = 740;

    explicit BrevonAudioProcessorEditor (BrevonAudioProcessor& processor);

    void paint (juce::Graphics& g) override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BrevonAudioProcessorEditor)
};
