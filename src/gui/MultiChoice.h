#pragma once

#include <JuceHeader.h>

#include <string>
#include <vector>

#include "core/ParameterValue.h"
#include "gui/Colorable.h"

class EventAggregator;

// A text field that shows one item of a list. A left click on its right half
// steps forward, on its left half back (both wrap); a right click opens a menu
// of the items. The value is the item's position / 100, the encoding of choice
// parameters; each change is reported as MultiChoiceChanged with the field's id.
class MultiChoice : public Colorable,
                    private juce::Timer
{
public:
    MultiChoice (const juce::String& name, juce::Font* font, int id, EventAggregator* aggregator);
    ~MultiChoice() override;

    // Once the value array and both lists are set, the value follows
    // parameterValues[id] whenever one of them is set again; ids outside the
    // parameter range (the presets page's fields) never read the array.
    void setParameterValues (ParameterValue* values);
    void setFieldNames (std::vector<std::string> names);
    void setMenuNames (std::vector<std::string> names);

    void setValue (double newValue) { value = newValue; }
    double getValue() const noexcept { return value; }
    int getId() const noexcept { return id; }
    int getNumItems() const noexcept { return (int) fieldNames.size(); }
    // Item shown, or -1 when the value is no valid position.
    int getItem() const noexcept;

    // The menu of the items: ids 1..n, no ticks.
    juce::PopupMenu buildMenu() const;
    // Applies a menu result (0: dismissed, nothing happens).
    static void menuCallback (int result, MultiChoice* choice);

    void paint (juce::Graphics& g) override;
    void mouseMove (const juce::MouseEvent& e) override;
    void mouseUp (const juce::MouseEvent& e) override;
    void mouseEnter (const juce::MouseEvent& e) override;
    void mouseExit (const juce::MouseEvent& e) override;
    void mouseDown (const juce::MouseEvent& e) override;

    // True while a change waits for the bus to take it.
    bool isReportPending() const noexcept { return reportPending; }

    ParameterValue* parameterValues = nullptr;
    int id;
    bool hoverLeft = false, hoverRight = false, pressed = false;
    juce::Font* font;
    std::vector<std::string> fieldNames, menuNames;
    double value = 0.0;
    bool fieldNamesSet = false, menuNamesSet = false;

private:
    void takeValueFromParameters();
    void setHoverFrom (const juce::MouseEvent& e);
    void selectItem (int item);
    // Reports the change; a report the bus dropped (another send was running)
    // is sent again from the message loop until it gets through.
    void report();
    void timerCallback() override;

    bool reportPending = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MultiChoice)
};
