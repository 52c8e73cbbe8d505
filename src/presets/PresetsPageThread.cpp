#include "presets/PresetsPageThread.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"

namespace
{
std::mutex slotLock;
double lastSlotMs = -1.0e12; // monotonic milliseconds of the latest turn or exchange end

double nowMs() { return juce::Time::getMillisecondCounterHiRes(); }
} // namespace

PresetsPageThread::PresetsPageThread (const juce::String& name, BrevonAudioProcessor* p, bool initialSuccess,
                                      bool needsLogin)
    : juce::Thread (name), success (initialSuccess), processor (p)
{
    auto read = [this, needsLogin] (const PropertyProxy& settings) {
        endpoint = PresetServerEndpoint::fromSettings (settings);
        if (needsLogin)
        {
            email = settings.getStringValue (settingsKeys::email).toStdString();
            password = settings.getStringValue (settingsKeys::password).toStdString();
        }
    };
    if (processor != nullptr)
        read (processor->getPropertyProxy());
    else
        read (PropertyProxy());
}

PresetsPageThread::~PresetsPageThread()
{
    signalThreadShouldExit();
    // Destroying a running thread is undefined; a stopped worker ends within
    // about a second, so wait for it rather than leave it running.
    if (! waitForThreadToExit (100))
        waitForThreadToExit (-1);
}

bool PresetsPageThread::waitForConnectionSlot()
{
    double slot;
    {
        std::lock_guard<std::mutex> guard (slotLock);
        slot = std::max (nowMs(), lastSlotMs + kSpacingMs);
        lastSlotMs = slot;
    }
    connectionSlotMs = slot;
    for (;;)
    {
        if (threadShouldExit())
            return false;
        const double now = nowMs();
        if (now >= slot)
        {
            connectedAtMs = now;
            return true;
        }
        const double left = slot - now;
        wait ((int) std::ceil (left)); // a stop request wakes it
    }
}

double PresetsPageThread::msUntilNextSlot()
{
    std::lock_guard<std::mutex> guard (slotLock);
    return std::max (0.0, lastSlotMs + kSpacingMs - nowMs());
}

void PresetsPageThread::connectionDone()
{
    std::lock_guard<std::mutex> guard (slotLock);
    lastSlotMs = std::max (lastSlotMs, nowMs());
}

PresetServerConnector PresetsPageThread::makeConnector() const
{
    PresetServerConnector connector (endpoint, [this] { return threadShouldExit(); });
    connector.email = email;
    connector.password = password;
    return connector;
}
