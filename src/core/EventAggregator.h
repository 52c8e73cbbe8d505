#pragma once

// The synchronous event bus of one plug-in instance, plus the process-wide
// list of all instances' buses for the one kind of event that concerns every
// open editor.
//
// A send calls the matching listeners directly on the sender's thread, in
// registration order. There is no queue: an event sent while any other send
// of the process is running (including one sent from inside receiveEvent) is
// dropped, so listeners can never recurse into each other.
//
// Registration and unregistration take the bus's lock because they may
// reallocate the entry list. A local send only tries that lock and drops the
// event if it is held, so the audio thread never waits on it.

#include <atomic>
#include <string>
#include <vector>

#include <juce_core/juce_core.h>

#include "core/TalvoraEvents.h"

class EventAggregator
{
public:
    // An empty name is replaced by "no debug name". Appends itself to
    // globalAggregators.
    explicit EventAggregator (std::string name);

    // Removes itself from globalAggregators; listeners are not told.
    ~EventAggregator();

    // One entry per (listener, type): registering the same pair again changes
    // nothing. May block briefly; never call it from the audio thread.
    void registerForEvent (EventType type, EventListener* listener);

    // Removes every entry of the listener, whatever its type, keeping the
    // order of the others. Every listener calls it from its destructor.
    void unregisterListener (EventListener* listener);

    // Delivers to this bus's listeners of the type. Never blocks: the event is
    // dropped when another send is running anywhere in the process or when
    // the list is being changed at that moment. Safe on the audio thread as
    // long as the listeners are. Returns false when the event was dropped, so
    // a sender that must not lose it can try again later.
    bool sendEvent (EventType type, int value);

    // Delivers to the listeners of the type on every bus of the process, buses
    // in creation order. Takes globalEventLock: message thread only.
    static void sendGlobalEvent (EventType type, int value);

    // True while a send is delivering somewhere in the process; a page switch
    // waits for a moment when this is false.
    static bool isSendInProgress() noexcept { return busyMutex.load (std::memory_order_acquire); }

    const std::string& getName() const noexcept { return name; }

    // Number of entries, for diagnostics and tests.
    int getNumEntries() const;

    // All buses of the process in creation order. Touch only under
    // globalEventLock (recursive; held during a whole global send).
    static juce::Array<EventAggregator*> globalAggregators;
    static juce::CriticalSection globalEventLock;

private:
    struct Entry
    {
        EventListener* listener;
        EventType type;
    };

    // Caller owns the busy flag and holds entriesLock.
    void deliver (EventType type, int value);

    // Set while a send delivers anywhere in the process. It is a flag, not a
    // lock: nobody waits on it, a send that finds it set drops its event.
    static std::atomic<bool> busyMutex;

    // Takes the busy flag if it is free and gives it back on scope exit,
    // also when a listener throws.
    class BusyClaim;

    std::string name;
    std::vector<Entry> entries;
    juce::CriticalSection entriesLock; // recursive: a listener may (un)register during a send

    JUCE_DECLARE_NON_COPYABLE (EventAggregator)
};
