#include "gui/ParameterShower.h"

#include <algorithm>
#include <cmath>

namespace
{
juce::Colour textGrey (juce::uint8 alpha = 255)
{
    return juce::Colour ((juce::uint8) 0xDC, (juce::uint8) 0xDC, (juce::uint8) 0xDC, alpha);
}

// Past this many owed steps every text has faded; older ones are skipped.
constexpr double kMaxCatchUpSteps = 400.0;
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

void ParameterShower::setPace (Pace p)
{
    pace = p;
    restartSteps (clock());
}

void ParameterShower::restartSteps (double now)
{
    nextStepMs = now + kStepMs;
}

void ParameterShower::catchUp (double now)
{
    if (pace != Pace::elapsedTime)
        return;
    nextStepMs = std::max (nextStepMs, now - kMaxCatchUpSteps * kStepMs);
    while (nextStepMs <= now)
    {
        const double at = nextStepMs;
        nextStepMs += kStepMs; // a text shown by this step starts its steps here
        step (at);
    }
}

void ParameterShower::setShortTimeText (const juce::String& text)
{
    const double now = clock();
    catchUp (now);
    if (! keepsOut (false, now))
        showNow (text, false, now);
}

void ParameterShower::setLongTimeText (const juce::String& text)
{
    const double now = clock();
    catchUp (now);
    if (! keepsOut (true, now))
        showNow (text, true, now);
}

void ParameterShower::showOrQueue (const juce::String& text, bool longText)
{
    const double now = clock();
    catchUp (now);
    if (! keepsOut (longText, now))
    {
        showNow (text, longText, now);
        return;
    }
    waiting = true;
    waitingText = text;
    waitingLong = longText;
}

void ParameterShower::showNow (const juce::String& text, bool longText, double now)
{
    // Anything waiting is older than this.
    waiting = false;
    if (longText)
    {
        label.setBounds (0, 0, getWidth(), getHeight());
        longHold = 30.0;
        holdCount = 30;
    }
    else
        holdCount = 15;
    backgroundLevel = textLevel = 1.0;
    shownBackground = 150;
    shownText = 255;
    label.setText (text, juce::sendNotification);
    active = true;
    restartSteps (now);
}

void ParameterShower::setHeldText (const juce::String& text, double holdMs)
{
    const double now = clock();
    catchUp (now);
    waiting = false;
    heldUntilMs = now + holdMs;
    longHold = 0.0;
    holdCount = 15;
    backgroundLevel = textLevel = 1.0;
    shownBackground = 150;
    shownText = 255;
    label.setBounds (0, 0, getWidth(), getHeight());
    label.setText (text, juce::sendNotification);
    label.setColour (juce::Label::textColourId, textGrey());
    active = true;
    restartSteps (now);
    repaint();
}

void ParameterShower::step (double ms)
{
    if (isHoldingAt (ms))
    {
        // Counted steps start once the hold is over.
        shownBackground = 150;
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
    }
    shownBackground = a;

    const int t = (int) std::floor (255.0 * textLevel);
    if (t != 0)
    {
        if (holdCount < 1)
            textLevel *= 0.985;
        shownText = t;
    }

    // The step that ends a hold brings what waited for it.
    if (waiting && ! keepsOut (waitingLong, ms))
        showNow (waitingText, waitingLong, ms);
}

void ParameterShower::paint (juce::Graphics& g)
{
    if (! active)
        return;

    const double now = clock();
    if (pace == Pace::perPaint)
        step (now);
    else
        catchUp (now);

    if (shownBackground != 0)
        g.fillAll (juce::Colours::black.withAlpha ((juce::uint8) shownBackground));
    label.setColour (juce::Label::textColourId, textGrey ((juce::uint8) shownText));
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
