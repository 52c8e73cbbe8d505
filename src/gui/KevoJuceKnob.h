#pragma once

#include <JuceHeader.h>

// A rotary knob bound to one parameter. With `centred` the value arc starts at
// the middle of the rotary range (for parameters whose rest is in the middle).
class KevoJuceKnob : public juce::Slider
{
public:
    explicit KevoJuceKnob (const juce::String& name = {}) : juce::Slider (name) {}

    // A double click resets to the middle without starting a drag. Any other
    // press makes listeners hear the value, even an unchanged one, then drags.
    void mouseDown (const juce::MouseEvent& e) override;
    // Half transparent while the knob or a parent is disabled.
    void enablementChanged() override;

    bool centred = false;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KevoJuceKnob)
};
