#include "gui/KevoJuceSlider.h"

void KevoJuceSlider::paint (juce::Graphics& g)
{
    // The look-and-feel uses only the width and the value.
    const float x = (float) getX(), w = (float) getWidth();
    getLookAndFeel().drawLinearSlider (g, getX(), getY(), getWidth(), getHeight(), x + w * (float) getValue(), x,
                                       x + w, getSliderStyle(), *this);
}

void KevoJuceSlider::mouseDown (const juce::MouseEvent& e)
{
    if (e.getNumberOfClicks() >= 2)
    {
        setValue (bipolar ? 0.5 : 0.0, juce::sendNotificationAsync);
        repaint();
        return;
    }
    juce::Slider::mouseDown (e);
}
