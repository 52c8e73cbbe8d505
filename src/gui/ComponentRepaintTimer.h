#pragma once

#include <JuceHeader.h>

#include <vector>

// Drives a page's animation and polling: every tick repaints each listed
// component whole, in the order they were added. Does not own them; one
// deleted while still listed is skipped and dropped.
class ComponentRepaintTimer : public juce::Timer
{
public:
    ComponentRepaintTimer() = default;
    ~ComponentRepaintTimer() override;

    // Ignores null and components already listed.
    void addComponent (juce::Component* c);
    // Removes every occurrence, keeping the order of the others.
    void removeComponent (juce::Component* c);
    bool contains (juce::Component* c) const;
    int getNumComponents() const;

    void timerCallback() override;

private:
    std::vector<juce::Component::SafePointer<juce::Component>> components;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ComponentRepaintTimer)
};
