#include "gui/LogoComponent.h"

#include "core/EventAggregator.h"
#include "gui/ComponentRepaintTimer.h"

LogoComponent::LogoComponent (const juce::String& logoText, const juce::String& name, juce::Font* nf,
                              juce::Font* vf, EventAggregator* agg, ComponentRepaintTimer* timer)
    : Colorable (name, agg), EventListener ("LogoComponent"), repaintTimer (timer), nameFont (nf),
      versionFont (vf), text (logoText)
{
    if (aggregator != nullptr)
    {
        aggregator->registerForEvent (AppearanceChanged, this);
        aggregator->registerForEvent (GlobalAppearanceChanged, this);
    }
}

LogoComponent::~LogoComponent()
{
    if (aggregator != nullptr)
        aggregator->unregisterListener (this);
    if (repaintTimer != nullptr)
        repaintTimer->removeComponent (this);
}

void LogoComponent::receiveEvent (EventType, int)
{
    imageStale = true;
}

void LogoComponent::paint (juce::Graphics& g)
{
    auto* colors = getColors();
    imageStale = false;
    g.setColour ((*colors)[11]);
    if (nameFont != nullptr)
        g.setFont (*nameFont);
    g.drawFittedText ("TALVORA XL\nKEVO AUDIO", getLocalBounds(), juce::Justification::centred, 1);
    if (versionFont != nullptr)
        g.setFont (*versionFont);
    const juce::String version (JucePlugin_VersionString);
    g.drawFittedText ("version " + version.upToLastOccurrenceOf (".", false, false),
                      getLocalBounds().removeFromBottom (getHeight() / 4), juce::Justification::centred, 1);
}
