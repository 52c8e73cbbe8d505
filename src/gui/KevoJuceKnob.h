#pragma once

#include <JuceHeader.h>

// A rotary knob bound to one parameter. With `centred` the value arc starts at
// the middle of the rotary range (for parameters whose rest is in the middle).
class KevoJuceKnob : public juce::Slider
{
public:
    explicit KevoJuceKnob (const juce::String& name = {}) : juce::Slider (name) {}

    bool centred = false;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KevoJuceKnob)
};
