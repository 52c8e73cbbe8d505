// The block driver and note handling as a host drives them.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/PluginProcessor.h"
#include "core/globalStuff.h"
#include "support/PluginPlayer.h"

namespace
{
juce::MidiMessage on (int note, int velocity = 100, int channel = 1)
{
    return juce::MidiMessage::noteOn (channel, note, (juce::uint8) velocity);
}
juce::MidiMessage off (int note, int channel = 1) { return juce::MidiMessage::noteOff (channel, note); }

std::vector<int> playingNotes (BrevonAudioProcessor& p)
{
    std::vector<int> notes;
    auto& synth = p.getSynthesiser();
    for (int i = 0; i < synth.getNumVoices(); ++i)
        if (synth.getVoice (i)->getCurrentlyPlayingNote() >= 0)
            notes.push_back (synth.getVoice (i)->getCurrentlyPlayingNote());
    return notes;
}

struct Recorder : EventListener
{
    std::vector<std::pair<EventType, int>> received;
    EventAggregator* bus = nullptr;
    float resendValue = -1.0f;
    BrevonAudioProcessor* processor = nullptr;

    void receiveEvent (EventType type, int value) override
    {
        received.emplace_back (type, value);
        if (processor != nullptr && resendValue >= 0.0f)
        {
            // A parameter set while a send runs: stored, but announced to nobody.
            processor->setParameter (6, resendValue);
            resendValue = -1.0f;
        }
    }
};
} // namespace

TEST (BlockDriver, FirstBlocksOfTheProcessAreSilent)
{
    // Needs a process of its own: the warm-up counter is shared process-wide.
    GTEST_FLAG_SET (death_test_style, "threadsafe");
    EXPECT_EXIT (
        {
            BrevonAudioProcessor p;
            p.setPlayConfigDetails (0, 2, 44100.0, 512);
            p.prepareToPlay (44100.0, 512);
            juce::AudioBuffer<float> buffer (2, 512);
            juce::MidiBuffer midi;
            midi.addEvent (on (60), 0);
            for (int i = 0; i < 149; ++i)
            {
                buffer.clear();
                p.processBlock (buffer, midi);
                if (buffer.getMagnitude (0, 512) != 0.0f || p.getCapturePosition() != 0)
                    std::exit (1);
            }
            midi.clear();
            p.processBlock (buffer, midi);
            std::exit (p.getCapturePosition() == 512 ? 0 : 2);
        },
        ::testing::ExitedWithCode (0), "");
}

TEST (BlockDriver, SharedTablesAreBuiltBeforeTheFirstBlock)
{
    // Building the shared tables takes far longer than a block: a process's
    // first instance builds them when it is made, never in its first block.
    GTEST_FLAG_SET (death_test_style, "threadsafe");
    EXPECT_EXIT (
        {
            BrevonAudioProcessor p;
            const bool builtByTheBlock = initGlobalTables();
            std::exit (builtByTheBlock ? 1 : 0);
        },
        ::testing::ExitedWithCode (0), "");
}

TEST (BlockDriver, NonStereoBlocksAreClearedAndFlagged)
{
    PluginPlayer player;
    auto& p = player.processor();
    player.warmUp();

    juce::AudioBuffer<float> mono (1, 256);
    for (int i = 0; i < 256; ++i)
        mono.setSample (0, i, 0.75f); // stale memory a host might hand over
    juce::MidiBuffer midi;
    player.renderBlock (mono, midi);
    EXPECT_TRUE (p.isNotStereo());
    EXPECT_EQ (mono.getMagnitude (0, 256), 0.0f);

    juce::AudioBuffer<float> stereo (2, 256);
    player.renderBlock (stereo, midi);
    EXPECT_FALSE (p.isNotStereo());
}

TEST (BlockDriver, OutputNeverExceedsFullScaleAndLampCountsClips)
{
    PluginPlayer player;
    auto& p = player.processor();
    for (int loud : { 33, 14, 20, 15, 21, 50 })
        p.setParameter (loud, 1.0f);
    player.warmUp();
    std::vector<PluginPlayer::Event> chord;
    for (int n = 36; n < 84; ++n)
        chord.push_back ({ 0, on (n, 127) });
    const auto out = player.play (44100, chord);
    EXPECT_TRUE (allFinite (out));
    EXPECT_LE (out.getMagnitude (0, out.getNumSamples()), 1.0f);
    EXPECT_GT (p.getClipLamp(), 0);
    EXPECT_LE (p.getClipLamp(), 99);
    EXPECT_GT (p.getPeakLeft(), 0.5f);

    // The lamp falls by one per block once the clipping stops.
    const int lamp = p.getClipLamp();
    player.play (44100, { { 0, juce::MidiMessage::allNotesOff (1) } });
    player.play (512 * 200);
    EXPECT_LT (p.getClipLamp(), lamp);
}

TEST (BlockDriver, VolumeAndPanGains)
{
    PluginPlayer player;
    auto& p = player.processor();
    p.setParameter (34, 0.0f); // hard left
    player.warmUp();
    const auto out = player.play (22050, { { 0, on (60) } });
    EXPECT_GT (out.getMagnitude (0, 0, out.getNumSamples()), 0.01f);
    EXPECT_EQ (out.getMagnitude (1, 0, out.getNumSamples()), 0.0f);
}

TEST (BlockDriver, EventsBeforeTheBlockAreSkipped)
{
    PluginPlayer player;
    auto& p = player.processor();
    player.warmUp();
    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;
    midi.addEvent (on (60), -3);
    midi.addEvent (on (64), 0);
    player.renderBlock (buffer, midi);
    EXPECT_EQ (playingNotes (p), std::vector<int> { 64 });
}

// Controller 1 on channel 1 sets the wheel before the voices render; on
// another channel it does not; a broken data byte reads as its low 7 bits.
TEST (BlockDriver, ModulationWheelPreScan)
{
    PluginPlayer player;
    auto& p = player.processor();
    const auto& performance = *p.getEngine()->getParametersStruct();
    player.warmUp();
    auto send = [&] (juce::MidiMessage m) {
        juce::AudioBuffer<float> buffer (2, 64);
        juce::MidiBuffer midi;
        midi.addEvent (m, 10);
        player.renderBlock (buffer, midi);
        return performance.modWheelAmount;
    };
    EXPECT_NEAR (send (juce::MidiMessage::controllerEvent (1, 1, 127)), 1.0, 1e-12);
    EXPECT_NEAR (send (juce::MidiMessage::controllerEvent (1, 1, 0)), 0.0, 1e-12);
    EXPECT_NEAR (send (juce::MidiMessage::controllerEvent (2, 1, 127)), 0.0, 1e-12);
    EXPECT_NEAR (send (juce::MidiMessage::controllerEvent (1, 1, 64)), (64.0 / 127) * (64.0 / 127), 1e-12);

    const juce::uint8 broken[] = { 0xB0, 1, 0xC0 };   // top bit set: reads as 64
    EXPECT_NEAR (send (juce::MidiMessage (broken, 3)), (64.0 / 127) * (64.0 / 127), 1e-12);
}

TEST (NoteHandling, PolyphonicDropsTheFortyNinthNoteWithoutStealing)
{
    PluginPlayer player;
    auto& p = player.processor();
    player.warmUp();
    std::vector<PluginPlayer::Event> events;
    for (int n = 0; n < 48; ++n)
        events.push_back ({ 0, on (20 + n) });
    events.push_back ({ 1000, on (100) });
    player.play (4096, events);
    auto notes = playingNotes (p);
    EXPECT_EQ (notes.size(), 48u);
    EXPECT_EQ (std::count (notes.begin(), notes.end(), 100), 0);
    EXPECT_EQ (std::count (notes.begin(), notes.end(), 20), 1);
}

TEST (NoteHandling, MonophonicFallsBackToTheLastHeldKey)
{
    PluginPlayer player;
    auto& p = player.processor();
    p.setParameter (37, 0.02f);
    p.setParameter (8, 0.1f);
    player.warmUp();

    player.play (2048, { { 0, on (60) }, { 512, on (64) } });
    EXPECT_EQ (playingNotes (p), std::vector<int> { 64 });
    player.play (2048, { { 0, off (64) } });
    EXPECT_EQ (playingNotes (p), std::vector<int> { 60 });

    // Chords pressed together: the later press wins, ties never fall back to
    // the wrong key.
    player.play (2048, { { 0, on (67) }, { 0, on (72) } });
    player.play (2048, { { 0, off (72) } });
    EXPECT_EQ (playingNotes (p), std::vector<int> { 67 });

    player.play (2048, { { 0, off (67) }, { 0, off (60) } });
    player.play (44100);
    EXPECT_TRUE (playingNotes (p).empty());
}

TEST (NoteHandling, OutOfRangeNotesAreIgnored)
{
    PluginPlayer player;
    auto& p = player.processor();
    player.warmUp();
    juce::AudioBuffer<float> buffer (2, 512);
    juce::MidiBuffer midi;
    const juce::uint8 raw[] = { 0x90, 0x7F, 100 };
    midi.addEvent (raw, 3, 0);
    player.renderBlock (buffer, midi);
    EXPECT_EQ (playingNotes (p), std::vector<int> { 127 });
    p.getSynthesiser().noteOn (1, 128, 1.0f);
    p.getSynthesiser().noteOn (1, -1, 1.0f);
    EXPECT_EQ (playingNotes (p).size(), 1u);
}

TEST (NoteHandling, LateNoteOffsNeverHangNotes)
{
    PluginPlayer player;
    auto& p = player.processor();
    p.setParameter (8, 0.05f);
    player.warmUp();
    player.play (1024, { { 0, on (60) }, { 0, on (62) } });

    juce::AudioBuffer<float> buffer (2, 256);
    juce::MidiBuffer midi;
    midi.addEvent (off (60), 255);  // last sample of the block
    midi.addEvent (off (62), 4000); // past the end
    player.renderBlock (buffer, midi);

    juce::AudioBuffer<float> empty (2, 0);
    juce::MidiBuffer late;
    late.addEvent (on (64), 0);
    late.addEvent (off (64), 0);
    player.renderBlock (empty, late);

    player.play (44100);
    EXPECT_TRUE (playingNotes (p).empty());
}

TEST (ParameterEvents, EnvelopeEventThenParameterChanged)
{
    BrevonAudioProcessor p;
    Recorder recorder;
    auto* bus = p.getEventAggregator();
    bus->registerForEvent (AmpEnvelopeChanged, &recorder);
    bus->registerForEvent (ParameterChanged, &recorder);

    p.setParameter (5, 0.3f);
    ASSERT_EQ (recorder.received.size(), 2u);
    EXPECT_EQ (recorder.received[0], std::make_pair (AmpEnvelopeChanged, 5));
    EXPECT_EQ (recorder.received[1], std::make_pair (ParameterChanged, 5));

    recorder.received.clear();
    recorder.processor = &p;
    recorder.resendValue = 0.9f;
    p.setParameter (40, 0.2f);
    EXPECT_EQ (p.getParameter (6), 0.9f);
    ASSERT_EQ (recorder.received.size(), 1u); // only the outer change
    EXPECT_EQ (recorder.received[0], std::make_pair (ParameterChanged, 40));
    bus->unregisterListener (&recorder);
}
