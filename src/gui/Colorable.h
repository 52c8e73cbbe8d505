#pragma once

#include <JuceHeader.h>

#include "gui/ColorSet.h"

class EventAggregator;

// Base of every custom widget: finds the colours to draw with through the
// look-and-feel in force for the component.
class Colorable : public juce::Component
{
public:
    explicit Colorable (const juce::String& name = {}, EventAggregator* aggregator = nullptr);
    ~Colorable() override = default;

    // The shared look-and-feel's colours once one is in force (cached from then
    // on); until then a process-wide default set (scheme 0). Never null.
    ColorSet* getColors();

    // The default set used while no look-and-feel of ours is in force.
    static ColorSet& getDefaultColors();

protected:
    ColorSet* colorSet = nullptr;
    EventAggregator* aggregator = nullptr;

private:
    // A widget asks the editors once to install the look-and-feel, not on
    // every paint: each ask is a global send to every instance.
    bool askedForLookAndFeel = false;

    JUCE_DECLARE_NON_COPYABLE (Colorable)
};
