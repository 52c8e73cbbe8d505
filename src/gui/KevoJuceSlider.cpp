#include "gui/KevoJuceSlider.h"

void KevoJuceSlider::paint (juce::Graphics& g)
{
    // The look-and-feel uses only the width and the value.
    const float x = (float) getX(), w = (float) getWidth();
    getLookAndFeel().drawLinearSlider (g, getX(), getY(), getWidth(), getHeight(), x + w * (float) getValue(), x,
                                       x + w, getSliderStyle(), *this);
}
