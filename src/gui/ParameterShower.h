#pragma once

#include <JuceHeader.h>

// A fading overlay that shows the value text of the control just moved, or a
// status message that holds a little longer. Fades are counted in paints (the
// page's timer paints it about every 33 ms): a short text holds for 15 paints,
// a long one for 30, then the background fades by 5 % and the text by 1.5 %
// per paint.
class ParameterShower : public juce::Component
{
public:
    ParameterShower (const juce::String& name, juce::Font* font);

    void setShortTimeText (const juce::String& text);
    void setLongTimeText (const juce::String& text);
    // Shown at once, over any text, and kept unfaded for at least holdMs of
    // wall-clock time, whatever the paint rate; only another held text
    // replaces it meanwhile. Then it fades like a short text.
    void setHeldText (const juce::String& text, double holdMs);
    bool isHolding() const;
    juce::String getText() const { return label.getText(); }

    void paint (juce::Graphics& g) override;
    void resized() override;
    // Passed on to forwardTarget (the page's oscilloscope lies underneath).
    void mouseDown (const juce::MouseEvent& e) override;
    void mouseEnter (const juce::MouseEvent& e) override;

    juce::Component::SafePointer<juce::Component> forwardTarget;
    double longHold = 0.0;
    juce::Font* font;
    juce::Label label;
    int holdCount = 0;
    double backgroundLevel = 1.0, textLevel = 1.0;
    bool active = true;
    double heldUntilMs = 0.0; // monotonic ms; 0 when nothing is held

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ParameterShower)
};
