#include "gui/ComponentRepaintTimer.h"

#include <algorithm>

ComponentRepaintTimer::~ComponentRepaintTimer()
{
    const juce::ScopedLock sl (lock);
    stopTimer();
    components.clear();
}

void ComponentRepaintTimer::addComponent (juce::Component* c)
{
    const juce::ScopedLock sl (lock);
    if (c != nullptr && std::find (components.begin(), components.end(), c) == components.end())
        components.push_back (c);
}

void ComponentRepaintTimer::removeComponent (juce::Component* c)
{
    const juce::ScopedLock sl (lock);
    components.erase (std::remove (components.begin(), components.end(), c), components.end());
}

bool ComponentRepaintTimer::contains (juce::Component* c) const
{
    const juce::ScopedLock sl (lock);
    return std::find (components.begin(), components.end(), c) != components.end();
}

int ComponentRepaintTimer::getNumComponents() const
{
    const juce::ScopedLock sl (lock);
    return (int) components.size();
}

void ComponentRepaintTimer::timerCallback()
{
    const juce::ScopedLock sl (lock);
    // Index walk: a repaint never changes the list, but stay safe if it does.
    for (size_t i = 0; i < components.size(); ++i)
        components[i]->repaint();
}
