#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/EventAggregator.h"

namespace
{
struct Delivery
{
    std::string who;
    EventType type;
    int value;

    bool operator== (const Delivery& o) const { return who == o.who && type == o.type && value == o.value; }
};

using Log = std::vector<Delivery>;

std::ostream& operator<< (std::ostream& os, const Delivery& d)
{
    return os << d.who << ":" << (int) d.type << ":" << d.value;
}

// Appends every event it receives to a shared log, then runs an optional action.
class Recorder : public EventListener
{
public:
    Recorder (std::string n, Log& l) : EventListener (std::move (n)), log (l) {}

    void receiveEvent (EventType type, int value) override
    {
        log.push_back ({ name, type, value });

        if (onReceive)
            onReceive (type, value);
    }

    Log& log;
    std::function<void (EventType, int)> onReceive;
};

bool isRegistered (const EventAggregator* a)
{
    const juce::ScopedLock sl (EventAggregator::globalEventLock);
    return EventAggregator::globalAggregators.contains (const_cast<EventAggregator*> (a));
}
} // namespace

TEST (EventAggregator, DeliversToMatchingListenersInRegistrationOrder)
{
    Log log;
    Recorder a ("a", log), b ("b", log), c ("c", log);
    EventAggregator bus ("bus");
    EXPECT_EQ (bus.getName(), "bus");
    EXPECT_EQ (EventAggregator ("").getName(), "no debug name");

    bus.registerForEvent (ParameterChanged, &b);
    bus.registerForEvent (ParameterChanged, &b); // duplicate: no second entry
    bus.registerForEvent (ParameterChanged, nullptr);
    bus.registerForEvent (ParameterChanged, &a);
    bus.registerForEvent (TuningChanged, &a);
    bus.registerForEvent (AmpEnvelopeChanged, &c);
    EXPECT_EQ (bus.getNumEntries(), 5); // b once, the null entry, a twice (two types), c once

    bus.sendEvent (ParameterChanged, 42);
    EXPECT_EQ (log, (Log { { "b", ParameterChanged, 42 }, { "a", ParameterChanged, 42 } }));

    log.clear();
    bus.sendEvent (TuningChanged, 0);
    bus.sendEvent (LogoClicked, 7); // nobody registered
    EXPECT_EQ (log, (Log { { "a", TuningChanged, 0 } }));
}

TEST (EventAggregator, UnregisterRemovesEveryTypeAndKeepsOthersInOrder)
{
    Log log;
    Recorder a ("a", log), b ("b", log), c ("c", log);
    EventAggregator bus ("bus");
    for (auto* r : { &a, &b, &c })
    {
        bus.registerForEvent (ParameterChanged, r);
        bus.registerForEvent (PresetLoaded, r);
    }

    bus.unregisterListener (&b);
    EXPECT_EQ (bus.getNumEntries(), 4);
    bus.sendEvent (ParameterChanged, 1);
    bus.sendEvent (PresetLoaded, 2);
    EXPECT_EQ (log, (Log { { "a", ParameterChanged, 1 }, { "c", ParameterChanged, 1 },
                           { "a", PresetLoaded, 2 }, { "c", PresetLoaded, 2 } }));

    // Unregistering something that is not there changes nothing.
    bus.unregisterListener (&b);
    EXPECT_EQ (bus.getNumEntries(), 4);
}

TEST (EventAggregator, SendsFromInsideReceiveAreDroppedButRegistrationsStand)
{
    Log log;
    Recorder sender ("sender", log), target ("target", log), late ("late", log), elsewhere ("elsewhere", log);
    EventAggregator bus ("bus"), otherBus ("other");
    bus.registerForEvent (ParameterChanged, &sender);
    bus.registerForEvent (TuningChanged, &target);
    bus.registerForEvent (GlobalAppearanceChanged, &target);
    otherBus.registerForEvent (GlobalAppearanceChanged, &elsewhere);

    bool busyInside = false;
    sender.onReceive = [&] (EventType, int) {
        busyInside = EventAggregator::isSendInProgress();
        bus.registerForEvent (AmpEnvelopeChanged, &late); // must not end the busy state
        bus.sendEvent (TuningChanged, 1);
        bus.sendEvent (ParameterChanged, 2); // would recurse if delivered
        bus.sendEvent (AmpEnvelopeChanged, 3);
        EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 4); // reaches no bus at all
    };

    bus.sendEvent (ParameterChanged, 0);
    EXPECT_TRUE (busyInside);
    EXPECT_FALSE (EventAggregator::isSendInProgress());
    EXPECT_EQ (log, (Log { { "sender", ParameterChanged, 0 } }));

    // The dropped events never turn up later; fresh sends go through, to the
    // registration made during the send too.
    log.clear();
    sender.onReceive = nullptr;
    bus.sendEvent (TuningChanged, 9);
    bus.sendEvent (AmpEnvelopeChanged, 5);
    EXPECT_EQ (log, (Log { { "target", TuningChanged, 9 }, { "late", AmpEnvelopeChanged, 5 } }));
}

TEST (EventAggregator, GlobalSendReachesEveryBusInCreationOrder)
{
    Log log;
    Recorder first1 ("first1", log), first2 ("first2", log), second1 ("second1", log), other ("other", log);

    auto firstBus = std::make_unique<EventAggregator> ("first");
    EventAggregator secondBus ("second");
    EXPECT_TRUE (isRegistered (firstBus.get()));
    EXPECT_TRUE (isRegistered (&secondBus));

    // Registered in an order that differs from creation order.
    secondBus.registerForEvent (GlobalAppearanceChanged, &second1);
    firstBus->registerForEvent (GlobalAppearanceChanged, &first2);
    firstBus->registerForEvent (GlobalAppearanceChanged, &first1);
    firstBus->registerForEvent (AppearanceChanged, &other);

    EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
    EXPECT_EQ (log, (Log { { "first2", GlobalAppearanceChanged, 0 }, { "first1", GlobalAppearanceChanged, 0 },
                           { "second1", GlobalAppearanceChanged, 0 } }));

    // A local send stays local.
    log.clear();
    secondBus.sendEvent (GlobalAppearanceChanged, 1);
    EXPECT_EQ (log, (Log { { "second1", GlobalAppearanceChanged, 1 } }));

    // A destroyed bus leaves the process-wide list and gets nothing more.
    auto* gone = firstBus.get();
    firstBus.reset();
    EXPECT_FALSE (isRegistered (gone));
    log.clear();
    EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 2);
    EXPECT_EQ (log, (Log { { "second1", GlobalAppearanceChanged, 2 } }));
}

TEST (EventAggregator, ThrowingListenerDoesNotSilenceTheBus)
{
    Log log;
    Recorder thrower ("thrower", log), good ("good", log);
    EventAggregator bus ("bus");
    bus.registerForEvent (PresetLoaded, &thrower);
    bus.registerForEvent (GlobalAppearanceChanged, &thrower);
    bus.registerForEvent (TuningChanged, &good);
    thrower.onReceive = [] (EventType, int) { throw std::runtime_error ("listener failed"); };

    EXPECT_THROW (bus.sendEvent (PresetLoaded, 0), std::runtime_error);
    EXPECT_FALSE (EventAggregator::isSendInProgress());
    bus.sendEvent (TuningChanged, 1);
    ASSERT_FALSE (log.empty());
    EXPECT_EQ (log.back(), (Delivery { "good", TuningChanged, 1 }));

    EXPECT_THROW (EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0), std::runtime_error);
    EXPECT_FALSE (EventAggregator::isSendInProgress());

    // The process-wide lock was released too: another thread can create a bus.
    auto other = std::async (std::launch::async, [] { EventAggregator created ("other thread"); return true; });
    ASSERT_EQ (other.wait_for (std::chrono::seconds (5)), std::future_status::ready);
    EXPECT_TRUE (other.get());

    bus.sendEvent (TuningChanged, 2);
    EXPECT_EQ (log.back(), (Delivery { "good", TuningChanged, 2 }));
}

TEST (EventAggregator, SendOnAnotherThreadDuringASendReturnsAtOnce)
{
    Log log;
    Recorder slow ("slow", log);
    EventAggregator bus ("bus");
    bus.registerForEvent (ParameterChanged, &slow);

    std::promise<void> entered, release;
    auto releaseFuture = release.get_future().share();
    slow.onReceive = [&] (EventType, int value)
    {
        if (value == 0)
        {
            entered.set_value();
            releaseFuture.wait_for (std::chrono::seconds (10));
        }
    };

    std::thread messageThread ([&] { bus.sendEvent (ParameterChanged, 0); });
    entered.get_future().wait();

    // As the audio thread would: must neither wait nor deliver.
    auto audio = std::async (std::launch::async, [&] { bus.sendEvent (ParameterChanged, 1); });
    const auto status = audio.wait_for (std::chrono::seconds (2));
    release.set_value();
    messageThread.join();

    EXPECT_EQ (status, std::future_status::ready);
    EXPECT_EQ (log, (Log { { "slow", ParameterChanged, 0 } }));
}

TEST (EventAggregator, RegistrationsWhileAnotherThreadSendsAreSafe)
{
    // Growing and shrinking the list from one thread while another walks it.
    struct Counter : EventListener
    {
        void receiveEvent (EventType, int) override { count.fetch_add (1, std::memory_order_relaxed); }
        std::atomic<int> count { 0 };
    };

    EventAggregator bus ("bus");
    Counter fixed;
    bus.registerForEvent (AmpEnvelopeChanged, &fixed);

    std::vector<std::unique_ptr<Counter>> churn;
    for (int i = 0; i < 600; ++i)
        churn.push_back (std::make_unique<Counter>());

    std::atomic<bool> stop { false };
    std::atomic<int> sends { 0 };
    std::thread sender ([&]
    {
        while (! stop.load())
        {
            bus.sendEvent (AmpEnvelopeChanged, 0);
            sends.fetch_add (1);
        }
    });

    for (int round = 0; round < 30; ++round)
    {
        for (auto& c : churn)
            bus.registerForEvent (AmpEnvelopeChanged, c.get());
        for (auto& c : churn)
            bus.unregisterListener (c.get());
    }

    // Let a few sends through with the list at rest.
    const int before = fixed.count.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (5);
    while (fixed.count.load() < before + 10 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();

    stop = true;
    sender.join();

    EXPECT_EQ (bus.getNumEntries(), 1);
    EXPECT_GE (fixed.count.load(), before + 10);
    EXPECT_LE (fixed.count.load(), sends.load());
    for (auto& c : churn)
        EXPECT_LE (c->count.load(), sends.load());
}
