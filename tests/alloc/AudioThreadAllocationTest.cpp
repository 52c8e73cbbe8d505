// The audio thread never allocates. This binary replaces the global operator
// new and counts calls made while the rendering thread has its flag set:
// around processBlock and the automation a host sends on the audio thread,
// never around the test's own bookkeeping.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <thread>

#include "presets/FaultServer.h"
#include "presets/ListPresetThread.h"
#include "presets/PresetServerConnector.h"
#include "presets/PresetsPageController.h"
#include "support/PluginPlayer.h"
#include "support/RandomHost.h"

namespace juce
{
// JUCE's own step of its message loop (declared the same way inside JUCE).
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace
{
thread_local bool countingHere = false;
std::atomic<int64_t> audioThreadAllocations { 0 };
std::atomic<int64_t> audioThreadFrees { 0 };
std::atomic<size_t> firstAllocationSize { 0 };

void release (void* p) noexcept
{
    if (countingHere && p != nullptr)
        audioThreadFrees.fetch_add (1);
    std::free (p);
}

void* allocate (size_t size, bool mayThrow)
{
    if (countingHere)
    {
        if (audioThreadAllocations.fetch_add (1) == 0)
            firstAllocationSize = size;
    }
    if (void* p = std::malloc (size == 0 ? 1 : size))
        return p;
    if (mayThrow)
        throw std::bad_alloc();
    return nullptr;
}

void* allocateAligned (size_t size, std::align_val_t alignment, bool mayThrow)
{
    if (countingHere)
        audioThreadAllocations.fetch_add (1);
    const size_t a = (size_t) alignment;
    if (void* p = std::aligned_alloc (a, (size + a - 1) / a * a))
        return p;
    if (mayThrow)
        throw std::bad_alloc();
    return nullptr;
}

struct CountOnThisThread
{
    CountOnThisThread() { countingHere = true; }
    ~CountOnThisThread() { countingHere = false; }
};
} // namespace

void* operator new (size_t size) { return allocate (size, true); }
void* operator new[] (size_t size) { return allocate (size, true); }
void* operator new (size_t size, const std::nothrow_t&) noexcept { return allocate (size, false); }
void* operator new[] (size_t size, const std::nothrow_t&) noexcept { return allocate (size, false); }
void* operator new (size_t size, std::align_val_t a) { return allocateAligned (size, a, true); }
void* operator new[] (size_t size, std::align_val_t a) { return allocateAligned (size, a, true); }
void operator delete (void* p) noexcept { release (p); }
void operator delete[] (void* p) noexcept { release (p); }
void operator delete (void* p, size_t) noexcept { release (p); }
void operator delete[] (void* p, size_t) noexcept { release (p); }
void operator delete (void* p, std::align_val_t) noexcept { release (p); }
void operator delete[] (void* p, std::align_val_t) noexcept { release (p); }
void operator delete (void* p, size_t, std::align_val_t) noexcept { release (p); }
void operator delete[] (void* p, size_t, std::align_val_t) noexcept { release (p); }

TEST (AudioThreadAllocations, CounterSeesAllocationsOnTheFlaggedThreadOnly)
{
    audioThreadAllocations = 0;
    auto* outside = new int (1);
    {
        CountOnThisThread counting;
        auto* inside = new double[16];
        delete[] inside;
    }
    delete outside;
    EXPECT_EQ (audioThreadAllocations.load(), 1);
    audioThreadAllocations = 0;
}

TEST (AudioThreadAllocations, NoneWhileRenderingWithMidiAndAutomation)
{
    for (const double sampleRate : { 44100.0, 96000.0 })
    {
        PluginPlayer player (sampleRate, RandomHost::kMaxBlockSize);
        auto& p = player.processor();
        player.warmUp();

        RandomHost host (11);
        juce::AudioBuffer<float> buffer (2, RandomHost::kMaxBlockSize);
        juce::MidiBuffer midi;
        midi.ensureSize (8192);

        audioThreadAllocations = 0;
        firstAllocationSize = 0;
        int64_t rendered = 0;
        int loudBlocks = 0;
        for (int block = 0; block < 800 && audioThreadAllocations.load() == 0; ++block)
        {
            const int n = host.blockSize();
            buffer.setSize (2, n, false, false, true);
            host.fillMidi (midi, n, sampleRate, 60.0);
            {
                CountOnThisThread counting;
                // Automation arrives on the audio thread, within the process call.
                if (block % 3 == 0)
                    host.drawParameters (p);
                else
                    host.automateSome (p, 8);
                player.renderBlock (buffer, midi);
            }
            if (buffer.getMagnitude (0, n) > 1.0e-3f)
                ++loudBlocks;
            rendered += n;
        }

        EXPECT_EQ (audioThreadAllocations.load(), 0)
            << "at " << sampleRate << " Hz; the first one asked for " << firstAllocationSize.load() << " bytes";
        EXPECT_GT (loudBlocks, 10) << "the voices were never reached";
        EXPECT_GT (rendered, (int64_t) sampleRate) << "stopped early";
    }
}

namespace
{
// The presets page's side, without its components.
struct QuietView : PresetsPageController::View
{
    juce::String getNameText() override { return {}; }
    juce::String getCommentsText() override { return {}; }
    juce::String getEmailText() override { return "ann@example.org"; }
    juce::String getSearchText() override { return {}; }
    int getSearchCategoryIndex() override { return 0; }
    bool getPublicState() override { return true; }
    void showStatus (const juce::String&, bool) override {}
    void showLoadedPreset (const juce::String&, const juce::String&) override {}
    void setPublicState (bool) override {}
};
} // namespace

TEST (AudioThreadAllocations, NoneWhileAPageClosesOnAHungWorkerNorAfterTheWorkerHasEnded)
{
    // A server that answers the address lookup and then never the list.
    using faultserver::Step;
    faultserver::FaultServer server;
    server.add (Step::reply ("127.0.0.1\n"));
    server.add (Step::reply ("11,c5"));
    server.add (Step::hangs());
    PresetServerConnector::publishServer ("", "");
    PresetsPageController::latestVersionOnServer = 103;

    PluginPlayer player (44100.0, 64);
    auto& p = player.processor();
    auto& settings = p.getPropertyProxy();
    settings.setValue (settingsKeys::presetServerAddressPage,
                       juce::String ("http://127.0.0.1:" + std::to_string (server.port()) + "/server_address"));
    settings.setValue (settingsKeys::presetServerHost, "127.0.0.1");
    settings.setValue (settingsKeys::presetServerPort, server.port());
    player.warmUp();

    QuietView view;
    auto page = std::make_unique<PresetsPageController> (p, view);
    // Only reached when something is wrong; sanitizer builds render slowly.
    const double end = juce::Time::getMillisecondCounterHiRes() + 30000.0;
    while (server.requests().size() < 3 && juce::Time::getMillisecondCounterHiRes() < end)
    {
        page->poll();
        juce::Thread::sleep (5);
    }
    juce::Thread* worker = page->getWorker();
    ASSERT_NE (dynamic_cast<ListPresetThread*> (worker), nullptr);
    ASSERT_TRUE (worker->isThreadRunning());

    // The host's audio thread renders all along, every block counted.
    audioThreadAllocations = 0;
    audioThreadFrees = 0;
    std::atomic<bool> workerEnded { false }, stop { false };
    std::atomic<int> blocks { 0 }, blocksAfterEnd { 0 };
    std::thread audio ([&] {
        juce::AudioBuffer<float> buffer (2, player.blockSize);
        juce::MidiBuffer midi;
        midi.ensureSize (1024);
        for (int block = 0; ! stop.load(); ++block)
        {
            if (block % 100 == 0)
                midi.addEvent (juce::MidiMessage::noteOn (1, 48 + (block / 100) % 24, (juce::uint8) 100), 0);
            {
                CountOnThisThread counting;
                player.renderBlock (buffer, midi);
            }
            midi.clear();
            ++blocks;
            if (workerEnded.load())
                ++blocksAfterEnd;
        }
    });
    auto waitFor = [&] (const std::function<bool()>& done) {
        while (! done() && juce::Time::getMillisecondCounterHiRes() < end)
            juce::Thread::sleep (2);
        return done();
    };

    EXPECT_TRUE (waitFor ([&] { return blocks.load() >= 50; }));
    page.reset(); // the hung worker goes to the processor while blocks render
    EXPECT_EQ (p.getNumRetiredThreads(), 1);
    EXPECT_TRUE (waitFor ([&] { return ! worker->isThreadRunning(); }));
    workerEnded = true;
    // More blocks than the old clean-up period, with the worker finished.
    EXPECT_TRUE (waitFor ([&] { return blocksAfterEnd.load() >= 600; }));
    stop = true;
    audio.join();

    EXPECT_EQ (audioThreadAllocations.load(), 0);
    EXPECT_EQ (audioThreadFrees.load(), 0);
    // The finished worker is still there: the message thread deletes it.
    EXPECT_EQ (p.getNumRetiredThreads(), 1);
    while (p.getNumRetiredThreads() > 0 && juce::Time::getMillisecondCounterHiRes() < end + 2000.0)
    {
        while (juce::dispatchNextMessageOnSystemQueue (true))
        {
        }
        juce::Thread::sleep (5);
    }
    EXPECT_EQ (p.getNumRetiredThreads(), 0);
}
