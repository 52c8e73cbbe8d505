// Several host threads at once, as a session with two instances sees them:
// two processors render on two audio threads while a third thread automates
// their parameters, moves state between them and opens and destroys further
// instances. Under ThreadSanitizer this test must produce no report; in any
// build it must neither crash nor hang and the output must stay finite.
//
// TALVORA_THREADS_SECONDS sets how long the threads run (short by default).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <thread>

#include "support/PluginPlayer.h"
#include "support/RandomHost.h"

namespace
{
double threadSeconds()
{
    if (const char* text = std::getenv ("TALVORA_THREADS_SECONDS"))
        if (const double s = std::atof (text); s > 0.0)
            return s;
    return 1.5;
}

// A host transport that plays at 128 bpm: tempo work runs on both audio threads.
struct PlayingTransport : juce::AudioPlayHead
{
    juce::Optional<PositionInfo> getPosition() const override
    {
        PositionInfo info;
        info.setBpm (128.0);
        info.setIsPlaying (true);
        info.setPpqPosition (0.05 * (double) calls.fetch_add (1));
        return info;
    }
    mutable std::atomic<int64_t> calls { 0 };
};

struct AudioThreadResult
{
    int64_t blocks = 0;
    bool finite = true;
    bool sounded = false;
};

// One host audio thread: blocks of changing size with random MIDI and some
// automation of its own, as VST3 hosts deliver it inside the process call.
void renderUntil (PluginPlayer& player, uint64_t seed, const std::atomic<bool>& stop, AudioThreadResult& result)
{
    RandomHost host (seed);
    juce::AudioBuffer<float> buffer (2, 1024);
    juce::MidiBuffer midi;
    midi.ensureSize (1024);
    static constexpr int sizes[] = { 1, 7, 64, 255, 257, 519, 1024 };

    while (! stop.load())
    {
        const int n = sizes[host.below ((int) std::size (sizes))];
        buffer.setSize (2, n, false, false, true);
        host.fillMidi (midi, n, player.sampleRate, 200.0);
        host.automateSome (player.processor(), 4);
        player.renderBlock (buffer, midi);
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < n; ++i)
                if (! std::isfinite (buffer.getSample (ch, i)))
                    result.finite = false;
        if (buffer.getMagnitude (0, n) > 1.0e-4f)
            result.sounded = true;
        ++result.blocks;
    }
}
} // namespace

TEST (Threading, TwoRenderingInstancesWithAutomationStateAndInstanceChurn)
{
    PluginPlayer first (44100.0, 1024), second (44100.0, 1024);
    first.warmUp();
    second.warmUp();
    for (auto* player : { &first, &second })
    {
        player->processor().setParameter (params::kOsc1Volume, 0.8f);
        player->processor().setParameter (params::kAmplitudeSustain, 1.0f);
    }

    PlayingTransport transport;
    first.processor().setPlayHead (&transport);
    second.processor().setPlayHead (&transport);

    std::atomic<bool> stop { false };
    std::atomic<bool> pollsFinite { true };
    std::atomic<int> emptyTexts { 0 };
    AudioThreadResult firstResult, secondResult;
    std::thread audio1 ([&] { renderUntil (first, 1, stop, firstResult); });
    std::thread audio2 ([&] { renderUntil (second, 2, stop, secondResult); });

    // The host's interface thread polls every value and a few texts, as a
    // generic editor does; it never takes the lock the blocks render under.
    int64_t polls = 0;
    std::thread poller ([&] {
        while (! stop.load())
        {
            for (auto* player : { &first, &second })
            {
                auto& p = player->processor();
                const auto& hostParameters = p.getParameters();
                for (int i = 0; i < params::kNumParameters; ++i)
                {
                    const float a = p.getParameter (i), b = hostParameters[i]->getValue();
                    if (! std::isfinite (a) || ! std::isfinite (b))
                        pollsFinite = false;
                }
                for (int i = 0; i < 40; ++i)
                    if (p.getParameterText (i).isEmpty())
                        ++emptyTexts;
            }
            ++polls;
        }
    });

    // The host's other thread: automation, state, and instances coming and going.
    int states = 0, instances = 0, automations = 0;
    std::thread host ([&] {
        RandomHost random (3);
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double> (threadSeconds());
        while (std::chrono::steady_clock::now() < until)
        {
            for (auto* player : { &first, &second })
            {
                random.automateSome (player->processor(), 16);
                ++automations;
            }

            juce::MemoryBlock state;
            first.processor().getStateInformation (state);
            second.processor().setStateInformation (state.getData(), (int) state.getSize());
            second.processor().getStateInformation (state);
            first.processor().setStateInformation (state.getData(), (int) state.getSize());
            ++states;

            // A damaged blob arrives too: refused, nothing changes.
            state.setSize (state.getSize() - 1);
            first.processor().setStateInformation (state.getData(), (int) state.getSize());

            if (random.below (4) == 0)
            {
                auto extra = std::make_unique<BrevonAudioProcessor>();
                extra->setPlayConfigDetails (0, 2, 44100.0, 256);
                extra->prepareToPlay (44100.0, 256);
                juce::AudioBuffer<float> buffer (2, 256);
                juce::MidiBuffer midi;
                midi.addEvent (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100), 0);
                {
                    const juce::ScopedLock sl (extra->getCallbackLock());
                    extra->processBlock (buffer, midi);
                }
                extra.reset();
                ++instances;
            }
        }
    });

    host.join();
    stop = true;
    audio1.join();
    audio2.join();
    poller.join();

    EXPECT_GT (states, 0);
    EXPECT_GT (instances, 0);
    EXPECT_GT (automations, 0);
    for (auto* r : { &firstResult, &secondResult })
    {
        EXPECT_GT (r->blocks, 10);
        EXPECT_TRUE (r->finite);
    }
    EXPECT_TRUE (firstResult.sounded || secondResult.sounded);
    EXPECT_GT (polls, 0);
    EXPECT_TRUE (pollsFinite.load());
    EXPECT_EQ (emptyTexts.load(), 0);

    std::printf ("threads: %lld and %lld blocks rendered, %d state swaps, %d automation bursts, %d instances opened and closed\n",
                 (long long) firstResult.blocks, (long long) secondResult.blocks, states, automations, instances);
}

// Reads never wait for a block: with the lock the blocks render under held by
// another thread (as during a long block), every read still returns, and
// returns the value last written.
TEST (Threading, ParameterReadsReturnWhileTheCallbackLockIsHeld)
{
    PluginPlayer player;
    auto& p = player.processor();
    for (int i = 0; i < params::kNumParameters; i += 7)
        p.setParameter (i, (float) ((i % 97) / 96.0));

    std::atomic<bool> locked { false }, release { false };
    std::thread audio ([&] {
        const juce::ScopedLock sl (p.getCallbackLock());
        locked = true;
        while (! release.load())
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    });
    while (! locked.load())
        std::this_thread::yield();

    std::atomic<bool> done { false };
    int wrong = 0;
    juce::StringArray texts;
    std::thread reader ([&] {
        const auto& hostParameters = p.getParameters();
        for (int i = 0; i < params::kNumParameters; ++i)
        {
            const float a = p.getParameter (i), b = hostParameters[i]->getValue();
            if (a != b || (i % 7 == 0 && a != (float) ((i % 97) / 96.0)))
                ++wrong;
            texts.add (p.getParameterText (i));
        }
        done = true;
    });

    // A generous bound: the reads take microseconds; a read waiting on the
    // lock would never finish while it is held.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds (20);
    while (! done.load() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for (std::chrono::milliseconds (1));
    const bool finishedUnderLock = done.load();

    release = true;
    audio.join();
    reader.join();
    EXPECT_TRUE (finishedUnderLock) << "a parameter read waited for the callback lock";
    EXPECT_EQ (wrong, 0);
    ASSERT_EQ (texts.size(), params::kNumParameters);
    for (int i = 0; i < params::kNumParameters; ++i)
        EXPECT_EQ (texts[i], p.getParameterText (i)) << i;
}
