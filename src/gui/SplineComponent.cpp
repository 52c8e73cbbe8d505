#include "gui/SplineComponent.h"

#include "core/EventAggregator.h"
#include "gui/TalvoraLookAndFeel.h"

SplineComponent::SplineComponent (const juce::String& name, EventAggregator* agg)
    : juce::Slider (name), aggregator (agg)
{
}

void SplineComponent::paint (juce::Graphics& g)
{
    auto* laf = TalvoraLookAndFeel::findFor (*this);
    if (laf == nullptr)
        return;

    const float w = (float) getWidth(), h = (float) getHeight();
    const float y0 = curveStart * h, y1 = curveEnd * h;
    const float v = (float) (curveEnd > curveStart ? 1.0 - getValue() : getValue());
    const float controlX = (float) (getWidth() / 2) * (1.0f - v);
    const float controlY = (y0 + y1) * 0.5f * (1.0f - v) + v * y1;

    juce::Path curve;
    curve.startNewSubPath (0.0f, y0);
    curve.quadraticTo (controlX, controlY, w, y1);
    g.setColour (laf->colors[11]);
    g.strokePath (curve, juce::PathStrokeType (1.0f));
}
