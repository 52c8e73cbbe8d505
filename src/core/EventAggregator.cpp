#include "core/EventAggregator.h"

#include <algorithm>

juce::Array<EventAggregator*> EventAggregator::globalAggregators;
juce::CriticalSection EventAggregator::globalEventLock;
std::atomic<bool> EventAggregator::busyMutex { false };

class EventAggregator::BusyClaim
{
public:
    BusyClaim() noexcept
    {
        bool expected = false;
        owned = busyMutex.compare_exchange_strong (expected, true, std::memory_order_acq_rel);
    }

    ~BusyClaim()
    {
        if (owned)
            busyMutex.store (false, std::memory_order_release);
    }

    bool owned = false;

    JUCE_DECLARE_NON_COPYABLE (BusyClaim)
};

EventAggregator::EventAggregator (std::string debugName)
    : name (debugName.empty() ? std::string ("no debug name") : std::move (debugName))
{
    // Room for the voices' registrations and a full editor, so the list
    // rarely grows while an instance is running.
    entries.reserve (512);

    const juce::ScopedLock sl (globalEventLock);
    globalAggregators.add (this);
}

EventAggregator::~EventAggregator()
{
    {
        const juce::ScopedLock sl (globalEventLock);
        globalAggregators.removeAllInstancesOf (this);
    }

    // Wait for a local send still walking the list on another thread.
    const juce::ScopedLock el (entriesLock);
}

void EventAggregator::registerForEvent (EventType type, EventListener* listener)
{
    const juce::ScopedLock sl (entriesLock);

    for (const auto& e : entries)
        if (e.listener == listener && e.type == type)
            return;

    entries.push_back ({ listener, type });
}

void EventAggregator::unregisterListener (EventListener* listener)
{
    const juce::ScopedLock sl (entriesLock);

    entries.erase (std::remove_if (entries.begin(), entries.end(),
                                   [listener] (const Entry& e) { return e.listener == listener; }),
                   entries.end());
}

int EventAggregator::getNumEntries() const
{
    const juce::ScopedLock sl (entriesLock);
    return (int) entries.size();
}

void EventAggregator::deliver (EventType type, int value)
{
    // Index walk with the size re-read after every call: a listener may
    // register or unregister (same thread, recursive lock) while we walk.
    for (size_t i = 0; i < entries.size(); ++i)
    {
        const Entry e = entries[i];

        if (e.type == type && e.listener != nullptr)
            e.listener->receiveEvent (type, value);
    }
}

bool EventAggregator::sendEvent (EventType type, int value)
{
    const BusyClaim claim;

    if (! claim.owned)
        return false;

    const juce::ScopedTryLock tl (entriesLock);

    if (! tl.isLocked())
        return false;

    deliver (type, value);
    return true;
}

void EventAggregator::sendGlobalEvent (EventType type, int value)
{
    const juce::ScopedLock sl (globalEventLock);
    const BusyClaim claim;

    if (! claim.owned)
        return;

    // The flag stays set over the whole walk, so a send from any thread in
    // between two buses is dropped like any other send during a send.
    for (int i = 0; i < globalAggregators.size(); ++i)
    {
        auto* aggregator = globalAggregators.getUnchecked (i);
        const juce::ScopedLock el (aggregator->entriesLock);
        aggregator->deliver (type, value);
    }
}
