#pragma once

#include <JuceHeader.h>

class EventAggregator;

// A slider drawn as a bent line: the shape of an envelope stage. The curve
// runs from curveStart to curveEnd (fractions of the height); the value bends it.
class SplineComponent : public juce::Slider
{
public:
    explicit SplineComponent (const juce::String& name = {}, EventAggregator* aggregator = nullptr);

    void paint (juce::Graphics& g) override;

    bool locked = false;
    float curveStart = 0.0f;
    float curveEnd = 1.0f;
    EventAggregator* aggregator = nullptr;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SplineComponent)
};
