#include "gui/MultiChoice.h"

#include <cmath>

MultiChoice::MultiChoice (const juce::String& name, juce::Font* f, int identifier, EventAggregator* agg)
    : Colorable (name, agg), id (identifier), font (f)
{
}

void MultiChoice::takeValueFromParameters()
{
    if (parameterValues != nullptr && fieldNamesSet && menuNamesSet)
    {
        value = parameterValues[id];
        repaint();
    }
}

void MultiChoice::setParameterValues (ParameterValue* values)
{
    parameterValues = values;
    takeValueFromParameters();
}

void MultiChoice::setFieldNames (std::vector<std::string> names)
{
    fieldNames = std::move (names);
    fieldNamesSet = true;
    takeValueFromParameters();
}

void MultiChoice::setMenuNames (std::vector<std::string> names)
{
    menuNames = std::move (names);
    menuNamesSet = true;
    takeValueFromParameters();
}

void MultiChoice::paint (juce::Graphics& g)
{
    auto* colors = getColors();
    const int w = getWidth(), h = getHeight(), half = w / 2;

    if (pressed || hoverLeft || hoverRight)
    {
        const juce::Colour active = pressed ? (*colors)[2] : (*colors)[1];
        const bool left = hoverLeft;
        g.setColour (left ? active : (*colors)[4]);
        g.fillRect (0, 0, half, h);
        g.setColour (left ? (*colors)[4] : active);
        g.fillRect (half, 0, w - half, h);
    }
    else
    {
        g.setColour ((*colors)[4]);
        g.fillRect (0, 0, w, h);
    }

    const long item = std::lround (value * 100.0);
    if (item >= 0 && item < (long) fieldNames.size())
    {
        g.setColour ((*colors)[11]);
        if (font != nullptr)
            g.setFont (*font);
        g.drawFittedText (fieldNames[(size_t) item], 1, 1, w - 2, h - 2, juce::Justification::centred, 1);
    }
}
