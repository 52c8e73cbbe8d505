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
    if (c != nullptr && ! contains (c))
        components.emplace_back (c);
}

void ComponentRepaintTimer::removeComponent (juce::Component* c)
{
    const juce::ScopedLock sl (lock);
    components.erase (std::remove_if (components.begin(), components.end(),
                                      [c] (const auto& p) { return p == c || p == nullptr; }),
                      components.end());
}

bool ComponentRepaintTimer::contains (juce::Component* c) const
{
    const juce::ScopedLock sl (lock);
    return std::any_of (components.begin(), components.end(), [c] (const auto& p) { return p == c; });
}

int ComponentRepaintTimer::getNumComponents() const
{
    const juce::ScopedLock sl (lock);
    return (int) std::count_if (components.begin(), components.end(), [] (const auto& p) { return p != nullptr; });
}

void ComponentRepaintTimer::timerCallback()
{
    const juce::ScopedLock sl (lock);
    components.erase (std::remove (components.begin(), components.end(), nullptr), components.end());
    // Index walk: a repaint never changes the list, but stay safe if it does.
    for (size_t i = 0; i < components.size(); ++i)
        if (auto* c = components[i].getComponent())
            c->repaint();
}
