#include "gui/KevoJuceKnob.h"

void KevoJuceKnob::mouseDown (const juce::MouseEvent& e)
{
    if (e.getNumberOfClicks() >= 2)
    {
        setValue (0.5, juce::sendNotificationAsync);
        repaint();
        return;
    }

    // Async notifications coalesce: listeners get one call with the value,
    // although it ends where it started.
    const double v = getValue();
    if (v == 0.0)
        setValue (1.0, juce::sendNotificationAsync);
    setValue (0.0, juce::sendNotificationAsync);
    setValue (v, juce::sendNotificationAsync);
    juce::Slider::mouseDown (e);
}

void KevoJuceKnob::enablementChanged()
{
    const float alpha = isEnabled() ? 1.0f : 0.5f;
    if (getAlpha() != alpha)
        setAlpha (alpha); // tells the component its alpha changed
}
