#include "gui/SplineComponent.h"

#include "core/EventAggregator.h"
#include "gui/TalvoraLookAndFeel.h"

SplineComponent::SplineComponent (const juce::String& name, EventAggregator* agg)
    : juce::Slider (name), aggregator (agg)
{
}

void SplineComponent::mouseDown (const juce::MouseEvent& e)
{
    if (locked)
        return;
    if (e.getNumberOfClicks() >= 2)
    {
        setValue (0.5, juce::sendNotificationAsync);
        repaint();
        return;
    }
    dragging = true;
    juce::Slider::mouseDown (e);
    repaint();
}

void SplineComponent::mouseUp (const juce::MouseEvent& e)
{
    if (locked)
        return;
    dragging = false;
    juce::Slider::mouseUp (e);
    repaint();
}

void SplineComponent::mouseEnter (const juce::MouseEvent& e)
{
    hovered = true;
    juce::Slider::mouseEnter (e);
    repaint();
}

void SplineComponent::mouseExit (const juce::MouseEvent& e)
{
    hovered = false;
    juce::Slider::mouseExit (e);
    repaint();
}

void SplineComponent::paint (juce::Graphics& g)
{
    auto* laf = TalvoraLookAndFeel::findFor (*this);
    if (laf == nullptr)
    {
        if (aggregator != nullptr && ! askedForLookAndFeel)
        {
            askedForLookAndFeel = true;
            EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
        }
        return;
    }
    const auto& colors = laf->colors;

    const bool hover = ! locked && hovered && ! dragging;
    const bool drag = ! locked && dragging;
    if (hover)
        g.fillAll (colors[1]);
    else if (drag)
        g.fillAll (colors[2]);

    const float w = (float) getWidth(), h = (float) getHeight();
    const float y0 = curveStart * h, y1 = curveEnd * h;
    const float v = (float) (curveEnd > curveStart ? 1.0 - getValue() : getValue());
    const float controlX = (float) (getWidth() / 2) * (1.0f - v);
    const float controlY = (y0 + y1) * 0.5f * (1.0f - v) + v * y1;

    juce::Path curve;
    curve.startNewSubPath (0.0f, y0);
    curve.quadraticTo (controlX, controlY, w, y1);

    float thickness = 1.0f;
    g.setColour (colors[11]);
    if (hover)
        thickness = 1.5f;
    else if (drag)
    {
        thickness = 2.0f;
        if (! colors.flag1)
            g.setColour (colors[1]);
    }
    g.strokePath (curve, juce::PathStrokeType (thickness));
}
