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

// The smallest text height a long text is shrunk to.
constexpr float kMinTextHeight = 9.0f;

// Whether the label draws every character of text in this font: as many
// lines as fit, squeezed as far as its look-and-feel allows, nothing elided.
bool drawsWhole (juce::Label& label, const juce::Font& font, const juce::String& text)
{
    const auto area = label.getLookAndFeel().getLabelBorderSize (label).subtractedFrom (label.getLocalBounds()).toFloat();
    juce::GlyphArrangement glyphs;
    glyphs.addFittedText (font, text, area.getX(), area.getY(), area.getWidth(), area.getHeight(),
                          label.getJustificationType(), std::max (1, (int) (area.getHeight() / font.getHeight())),
                          label.getMinimumHorizontalScale());
    juce::String drawn;
    for (int i = 0; i < glyphs.getNumGlyphs(); ++i)
        if (! glyphs.getGlyph (i).isWhitespace())
            drawn += glyphs.getGlyph (i).getCharacter();
    return drawn == text.removeCharacters (" \t\r\n");
}
} // namespace

ParameterShower::ParameterShower (const juce::String& name, juce::Font* f) : juce::Component (name), font (f)
{
    label.setText ("hello world", juce::dontSendNotification);
    label.setJustificationType (juce::Justification::centred);
    if (font != nullptr)
        label.setFont (*font);
    labelFont = label.getFont();
    addAndMakeVisible (label);
    setAlwaysOnTop (true);
}

void ParameterShower::resized()
{
    label.setBounds (getLocalBounds());
    setLabelText (label.getText());
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
    setLabelText (text);
    active = true;
    restartSteps (now);
}

void ParameterShower::setLabelText (const juce::String& text)
{
    if (text != label.getText() || label.getBounds() != fittedBounds)
    {
        // A text the display's font would cut short gets smaller letters,
        // and so more lines, until all of it shows.
        juce::Font f = font != nullptr ? *font : labelFont;
        while (f.getHeight() - 0.5f >= kMinTextHeight && ! drawsWhole (label, f, text))
            f.setHeight (f.getHeight() - 0.5f);
        label.setFont (f);
        fittedBounds = label.getBounds();
    }
    label.setText (text, juce::sendNotification);
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
    setLabelText (text);
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
