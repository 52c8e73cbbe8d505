#pragma once

#include <JuceHeader.h>

// The thin horizontal slider of the pages. With `bipolar` its value bar grows
// from the middle.
class KevoJuceSlider : public juce::Slider
{
public:
    explicit KevoJuceSlider (const juce::String& name = {}) : juce::Slider (name) {}

    // A double click resets: to the middle when bipolar, else to 0.
    void mouseDown (const juce::MouseEvent& e) override;
    void paint (juce::Graphics& g) override;

    bool bipolar = false;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KevoJuceSlider)
};
