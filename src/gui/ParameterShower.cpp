#include "gui/ParameterShower.h"

#include <cmath>

namespace
{
juce::Colour textGrey (juce::uint8 alpha = 255)
{
    return juce::Colour ((juce::uint8) 0xDC, (juce::uint8) 0xDC, (juce::uint8) 0xDC, alpha);
}
} // namespace

ParameterShower::ParameterShower (const juce::String& name, juce::Font* f) : juce::Component (name), font (f)
{
    label.setText ("hello world", juce::dontSendNotification);
    label.setJustificationType (juce::Justification::centred);
    if (font != nullptr)
        label.setFont (*font);
    addAndMakeVisible (label);
    setAlwaysOnTop (true);
}

void ParameterShower::resized()
{
    label.setBounds (getLocalBounds());
}

void ParameterShower::setShortTimeText (const juce::String& text)
{
    if (longHold > 0.0 || isHolding())
        return;
    holdCount = 15;
    backgroundLevel = textLevel = 1.0;
    label.setText (text, juce::sendNotification);
    active = true;
}

void ParameterShower::setLongTimeText (const juce::String& text)
{
    if (isHolding())
        return;
    label.setBounds (0, 0, getWidth(), getHeight());
    setShortTimeText (text);
    longHold = 30.0;
    holdCount = 30;
    backgroundLevel = textLevel = 1.0;
    label.setText (text, juce::sendNotification);
    active = true;
}

bool ParameterShower::isHolding() const
{
    return heldUntilMs > 0.0 && juce::Time::getMillisecondCounterHiRes() < heldUntilMs;
}

void ParameterShower::setHeldText (const juce::String& text, double holdMs)
{
    heldUntilMs = juce::Time::getMillisecondCounterHiRes() + holdMs;
    longHold = 0.0;
    holdCount = 15;
    backgroundLevel = textLevel = 1.0;
    label.setBounds (0, 0, getWidth(), getHeight());
    label.setText (text, juce::sendNotification);
    label.setColour (juce::Label::textColourId, textGrey());
    active = true;
    repaint();
}

void ParameterShower::paint (juce::Graphics& g)
{
    if (! active)
        return;

    if (isHolding())
    {
        // Counted paints start once the hold is over.
        g.fillAll (juce::Colours::black.withAlpha ((juce::uint8) 150));
        return;
    }

    const int a = (int) std::floor (150.0 * backgroundLevel);
    if (longHold > 0.0)
        longHold -= 1.0;
    if (a != 0)
    {
        if (holdCount >= 1)
            --holdCount;
        else
            backgroundLevel *= 0.95;
        g.fillAll (juce::Colours::black.withAlpha ((juce::uint8) a));
    }

    const int t = (int) std::floor (255.0 * textLevel);
    if (t != 0)
    {
        if (holdCount < 1)
            textLevel *= 0.985;
        label.setColour (juce::Label::textColourId, textGrey ((juce::uint8) t));
    }
}

void ParameterShower::mouseDown (const juce::MouseEvent& e)
{
    if (auto* target = forwardTarget.getComponent())
        target->mouseDown (e.getEventRelativeTo (target));
}

void ParameterShower::mouseEnter (const juce::MouseEvent& e)
{
    if (auto* target = forwardTarget.getComponent())
        target->mouseEnter (e.getEventRelativeTo (target));
}
