#pragma once

#include <JuceHeader.h>

// A fading overlay that shows the value text of the control just moved, or a
// status message that holds a little longer.
class ParameterShower : public juce::Component
{
public:
    ParameterShower (const juce::String& name, juce::Font* font);

    void setShortTimeText (const juce::String& text);
    void setLongTimeText (const juce::String& text);
    juce::String getText() const { return label.getText(); }

    void paint (juce::Graphics& g) override;
    void resized() override;

    juce::Component* forwardTarget = nullptr;
    double longHold = 0.0;
    juce::Font* font;
    juce::Label label;
    int holdCount = 0;
    double backgroundLevel = 1.0, textLevel = 1.0;
    bool active = true;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ParameterShower)
};
