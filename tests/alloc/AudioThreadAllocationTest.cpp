// The audio thread never allocates. This binary replaces the global operator
// new and counts calls made while the rendering thread has its flag set:
// around processBlock and the automation a host sends on the audio thread,
// never around the test's own bookkeeping.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "support/PluginPlayer.h"
#include "support/RandomHost.h"

namespace
{
thread_local bool countingHere = false;
std::atomic<int64_t> audioThreadAllocations { 0 };
std::atomic<size_t> firstAllocationSize { 0 };

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
void operator delete (void* p) noexcept { std::free (p); }
void operator delete[] (void* p) noexcept { std::free (p); }
void operator delete (void* p, size_t) noexcept { std::free (p); }
void operator delete[] (void* p, size_t) noexcept { std::free (p); }
void operator delete (void* p, std::align_val_t) noexcept { std::free (p); }
void operator delete[] (void* p, std::align_val_t) noexcept { std::free (p); }
void operator delete (void* p, size_t, std::align_val_t) noexcept { std::free (p); }
void operator delete[] (void* p, size_t, std::align_val_t) noexcept { std::free (p); }

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
