#include "gui/MultiChoice.h"

#include <cmath>

#include "core/EventAggregator.h"

namespace
{
constexpr int numParameters = 1770;
constexpr int retryMilliseconds = 5;
} // namespace

MultiChoice::MultiChoice (const juce::String& name, juce::Font* f, int identifier, EventAggregator* agg)
    : Colorable (name, agg), id (identifier), font (f)
{
}

MultiChoice::~MultiChoice()
{
    stopTimer();
}

void MultiChoice::takeValueFromParameters()
{
    if (parameterValues != nullptr && fieldNamesSet && menuNamesSet && id >= 0 && id < numParameters)
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

int MultiChoice::getItem() const noexcept
{
    const long item = std::lround (value * 100.0);
    return item >= 0 && item < (long) fieldNames.size() ? (int) item : -1;
}

void MultiChoice::selectItem (int item)
{
    value = item >= 0 && item < getNumItems() ? item / 100.0 : 0.0;
}

//==============================================================================
void MultiChoice::report()
{
    if (aggregator == nullptr)
        return;
    reportPending = ! aggregator->sendEvent (MultiChoiceChanged, id);
    if (reportPending)
        startTimer (retryMilliseconds);
    else
        stopTimer();
}

void MultiChoice::timerCallback()
{
    // The receiver reads the value, so the latest choice goes out.
    report();
}

//==============================================================================
void MultiChoice::setHoverFrom (const juce::MouseEvent& e)
{
    hoverRight = e.x > getWidth() / 2;
    hoverLeft = ! hoverRight;
}

void MultiChoice::mouseMove (const juce::MouseEvent& e)
{
    setHoverFrom (e);
    repaint();
}

void MultiChoice::mouseUp (const juce::MouseEvent& e)
{
    setHoverFrom (e);
    pressed = false;
    repaint();
}

void MultiChoice::mouseEnter (const juce::MouseEvent&)
{
    pressed = false;
}

void MultiChoice::mouseExit (const juce::MouseEvent&)
{
    hoverLeft = hoverRight = pressed = false;
    repaint();
}

void MultiChoice::mouseDown (const juce::MouseEvent& e)
{
    if (e.mods.isRightButtonDown())
    {
        auto menu = buildMenu();
        menu.setLookAndFeel (&getLookAndFeel());
        menu.showMenuAsync (juce::PopupMenu::Options(),
                            juce::ModalCallbackFunction::forComponent (menuCallback, this));
        return;
    }

    pressed = true;
    setHoverFrom (e);
    repaint();

    const int count = getNumItems();
    int i = (int) std::lround (value * 100.0);
    if (hoverLeft)
        i = i > 0 ? i - 1 : count - 1;
    else
        i = i >= -1 ? i + 1 : count - 1;
    selectItem (i);
    repaint();

    if (getItem() < 0)
        value = count > 0 ? (((i % count) + count) % count) / 100.0 : 0.0;
    report();
}

juce::PopupMenu MultiChoice::buildMenu() const
{
    juce::PopupMenu menu;
    for (size_t i = 0; i < menuNames.size(); ++i)
        menu.addItem ((int) i + 1, menuNames[i]);
    return menu;
}

void MultiChoice::menuCallback (int result, MultiChoice* choice)
{
    if (result == 0 || choice == nullptr)
        return;
    const int i = result >= 1 ? result - 1 : choice->getNumItems() - 1;
    choice->selectItem (i);
    choice->repaint();
    choice->report();
}

//==============================================================================
void MultiChoice::paint (juce::Graphics& g)
{
    const auto& colors = *getColors();
    const int w = getWidth(), h = getHeight(), half = w / 2;

    juce::Colour left = colors[4], right = colors[4];
    if (pressed && hoverLeft)
        left = colors[2];
    else if (pressed && hoverRight)
        right = colors[2];
    else if (hoverLeft)
        left = colors[1];
    else if (hoverRight)
        right = colors[1];
    g.setColour (left);
    g.fillRect (0, 0, half, h);
    g.setColour (right);
    g.fillRect (half, 0, w - half, h);

    const int item = getItem();
    if (item >= 0)
    {
        g.setColour (colors[11]);
        if (font != nullptr)
            g.setFont (*font);
        g.drawFittedText (fieldNames[(size_t) item], 1, 1, w - 2, h - 2, juce::Justification::centred, 1);
    }
}
