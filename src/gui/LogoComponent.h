#pragma once

#include <JuceHeader.h>

#include "core/TalvoraEvents.h"
#include "gui/Colorable.h"

class ComponentRepaintTimer;
class EventAggregator;

// The product logo with the version line. A press squeezes it, a release lets
// it spring back, a right (or modified) click spins it, a vertical drag tilts
// it. It sits in the page's repaint timer only while it moves. Its text is
// rendered once into an image and only redrawn after an appearance change.
class LogoComponent : public Colorable,
                      public EventListener
{
public:
    LogoComponent (const juce::String& text, const juce::String& logoName, juce::Font* nameFont,
                   juce::Font* versionFont, EventAggregator* aggregator, ComponentRepaintTimer* repaintTimer);
    ~LogoComponent() override;

    void receiveEvent (EventType type, int value) override;
    void paint (juce::Graphics& g) override;
    void mouseDown (const juce::MouseEvent& e) override;
    void mouseUp (const juce::MouseEvent& e) override;
    void mouseDrag (const juce::MouseEvent& e) override;

    // "version 1.3": the project version without its last part.
    static juce::String getVersionLine();

    double spinPhase = 0.0, wobblePhase = 0.0;
    double spinSpeed = 0.0;
    bool spinMode = false;
    double tilt = 0.0;
    bool imageStale = true;
    juce::Image cachedImage;
    double scale = 1.0;
    ComponentRepaintTimer* repaintTimer;
    int dragAnchor = 0;
    juce::Font* nameFont;
    juce::Font* versionFont;

    // Times the text image was drawn (for tests and diagnostics).
    int imageRenders = 0;

private:
    void renderImage();
    // One step of the animation; true when it has come to rest.
    bool step();

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LogoComponent)
};
