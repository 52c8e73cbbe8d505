#pragma once

#include <JuceHeader.h>

class EventAggregator;

// A slider drawn as a bent line: the shape of an envelope stage. The curve
// runs from curveStart to curveEnd (fractions of the height); the value bends
// it, 0 straight, 1 fully. A locked control (the flat sustain stage) ignores
// the mouse.
class SplineComponent : public juce::Slider
{
public:
    explicit SplineComponent (const juce::String& name = {}, EventAggregator* aggregator = nullptr);

    void mouseDown (const juce::MouseEvent& e) override;
    void mouseUp (const juce::MouseEvent& e) override;
    void mouseEnter (const juce::MouseEvent& e) override;
    void mouseExit (const juce::MouseEvent& e) override;
    void paint (juce::Graphics& g) override;

    bool locked = false;
    float curveStart = 0.0f;
    float curveEnd = 1.0f;
    EventAggregator* aggregator = nullptr;

    // Kept here rather than asked of the mouse, so synthetic events drive paint too.
    bool hovered = false;
    bool dragging = false;

private:
    // Without our look-and-feel the control asks the editors once, not on every paint.
    bool askedForLookAndFeel = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SplineComponent)
};
