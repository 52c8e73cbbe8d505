#pragma once

#include <JuceHeader.h>

#include <string>
#include <vector>

#include "gui/Colorable.h"
#include "core/ParameterValue.h"

class EventAggregator;

// A text field that shows one item of a list; its value is the item's
// position / 100, the encoding of choice parameters.
class MultiChoice : public Colorable
{
public:
    MultiChoice (const juce::String& name, juce::Font* font, int id, EventAggregator* aggregator);

    // Once the value array and both lists are set, the value follows
    // parameterValues[id] whenever one of them is set again.
    void setParameterValues (ParameterValue* values);
    void setFieldNames (std::vector<std::string> names);
    void setMenuNames (std::vector<std::string> names);

    void setValue (double newValue) { value = newValue; }
    double getValue() const noexcept { return value; }
    int getId() const noexcept { return id; }
    int getNumItems() const noexcept { return (int) fieldNames.size(); }

    void paint (juce::Graphics& g) override;

    ParameterValue* parameterValues = nullptr;
    int id;
    bool hoverLeft = false, hoverRight = false, pressed = false;
    juce::Font* font;
    std::vector<std::string> fieldNames, menuNames;
    double value = 0.0;
    bool fieldNamesSet = false, menuNamesSet = false;

private:
    void takeValueFromParameters();

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MultiChoice)
};
