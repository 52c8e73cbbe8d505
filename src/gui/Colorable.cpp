#include "gui/Colorable.h"

#include "core/EventAggregator.h"
#include "gui/TalvoraLookAndFeel.h"

Colorable::Colorable (const juce::String& name, EventAggregator* agg) : juce::Component (name), aggregator (agg)
{
}

ColorSet& Colorable::getDefaultColors()
{
    static ColorSet defaults; // scheme 0, both flags on
    return defaults;
}

ColorSet* Colorable::getColors()
{
    if (colorSet != nullptr)
        return colorSet;

    if (auto* laf = TalvoraLookAndFeel::findFor (*this))
    {
        colorSet = &laf->colors;
        return colorSet;
    }

    if (aggregator != nullptr && ! askedForLookAndFeel)
    {
        askedForLookAndFeel = true;
        try
        {
            EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
        }
        catch (...)
        {
        }
    }
    return &getDefaultColors();
}
