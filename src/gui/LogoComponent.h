#pragma once

#include <JuceHeader.h>

#include "core/TalvoraEvents.h"
#include "gui/Colorable.h"

class ComponentRepaintTimer;
class EventAggregator;

// The product logo with the version line.
class LogoComponent : public Colorable,
                      public EventListener
{
public:
    LogoComponent (const juce::String& text, const juce::String& name, juce::Font* nameFont,
                   juce::Font* versionFont, EventAggregator* aggregator, ComponentRepaintTimer* repaintTimer);
    ~LogoComponent() override;

    void receiveEvent (EventType type, int value) override;
    void paint (juce::Graphics& g) override;

    bool imageStale = true;
    ComponentRepaintTimer* repaintTimer;
    juce::Font* nameFont;
    juce::Font* versionFont;

private:
    juce::String text;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LogoComponent)
};
