#pragma once

#include <JuceHeader.h>

#include <functional>

// A fading overlay that shows the value text of the control just moved, or a
// status message that holds a little longer. A short text holds for 15 steps,
// a long one for 30, then the background fades by 5 % and the text by 1.5 %
// per step. By default a step is a paint (the page's timer paints it about
// every 33 ms); a display that is painted from more places than its timer
// steps by elapsed time instead. A text too long for two lines of its font
// is drawn whole in smaller letters, on more lines.
class ParameterShower : public juce::Component
{
public:
    enum class Pace
    {
        perPaint,
        elapsedTime // one step per kStepMs, however often it is painted
    };
    // The pages' repaint timer period.
    static constexpr double kStepMs = 33.0;

    ParameterShower (const juce::String& name, juce::Font* font);

    void setPace (Pace pace);

    void setShortTimeText (const juce::String& text);
    void setLongTimeText (const juce::String& text);
    // Shown at once, over any text, and kept unfaded for at least holdMs of
    // wall-clock time, whatever the paint rate; only another held text
    // replaces it meanwhile. Then it fades like a short text.
    void setHeldText (const juce::String& text, double holdMs);
    // Like setShortTimeText / setLongTimeText, but a text that a hold keeps
    // out is not lost: it is shown when the hold ends. Only the newest waits.
    void showOrQueue (const juce::String& text, bool longText);
    bool isHolding() const { return isHoldingAt (clock()); }
    juce::String getText() const { return label.getText(); }
    juce::String getWaitingText() const { return waiting ? waitingText : juce::String(); }

    void paint (juce::Graphics& g) override;
    void resized() override;
    // Passed on to forwardTarget (the page's oscilloscope lies underneath).
    void mouseDown (const juce::MouseEvent& e) override;
    void mouseEnter (const juce::MouseEvent& e) override;

    juce::Component::SafePointer<juce::Component> forwardTarget;
    double longHold = 0.0;
    juce::Font* font;
    juce::Label label;
    int holdCount = 0;
    double backgroundLevel = 1.0, textLevel = 1.0;
    bool active = true;
    double heldUntilMs = 0.0; // on clock(); 0 when nothing is held
    // Monotonic milliseconds; tests may drive it.
    std::function<double()> clock = [] { return juce::Time::getMillisecondCounterHiRes(); };

private:
    bool isHoldingAt (double ms) const { return heldUntilMs > 0.0 && ms < heldUntilMs; }
    bool keepsOut (bool longText, double ms) const { return isHoldingAt (ms) || (! longText && longHold > 0.0); }
    // One step of the hold and fade, as of time ms; sets what paint draws.
    void step (double ms);
    // Takes the steps that elapsed time owes (elapsed-time pace only).
    void catchUp (double now);
    void restartSteps (double now);
    void showNow (const juce::String& text, bool longText, double now);
    // The label's text, in a font that shows all of it.
    void setLabelText (const juce::String& text);

    Pace pace = Pace::perPaint;
    double nextStepMs = 0.0;
    int shownBackground = 150, shownText = 255;
    bool waiting = false, waitingLong = false;
    juce::String waitingText;
    juce::Font labelFont;              // without a font of the display's: the label's own
    juce::Rectangle<int> fittedBounds; // the label's bounds its font was chosen for

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ParameterShower)
};
