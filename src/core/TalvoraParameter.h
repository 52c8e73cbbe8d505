#pragma once

#include <JuceHeader.h>

class BrevonAudioProcessor;

// One host parameter. It owns no value: reads and writes go to the engine
// through the processor, so host, editor and engine always agree.
class TalvoraParameter : public juce::AudioProcessorParameterWithID
{
public:
    TalvoraParameter (BrevonAudioProcessor& owner, int index);

    float getValue() const override;
    void setValue (float newValue) override;
    float getDefaultValue() const override;
    juce::String getText (float value, int maximumStringLength) const override;
    float getValueForText (const juce::String& text) const override;
    bool isAutomatable() const override { return true; }

    int getIndex() const noexcept { return index; }

private:
    BrevonAudioProcessor& owner;
    const int index;
};
