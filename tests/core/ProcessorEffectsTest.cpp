// The master chain inside the processor: every effect at once, the reverb
// switch, and tempo from the host.

#include <gtest/gtest.h>

#include <cmath>

#include "RenderScenarios.h"
#include "dsp/LFOHelper.h"
#include "support/PluginPlayer.h"

namespace
{
juce::MidiMessage on (int note) { return juce::MidiMessage::noteOn (1, note, (juce::uint8) 127); }

struct FixedPlayHead : juce::AudioPlayHead
{
    juce::Optional<PositionInfo> position;
    juce::Optional<PositionInfo> getPosition() const override { return position; }
};
} // namespace

TEST (ProcessorEffects, EverythingAtMixOneStaysFiniteAndBounded)
{
    for (float reverbType : { 0.0f, 0.01f })
    {
        PluginPlayer player;
        auto& p = player.processor();
        const std::pair<int, float> loud[] = {
            { 27, 1.0f }, { 69, 1.0f }, { 30, 1.0f }, { 31, 1.0f }, { 32, 1.0f }, { 40, 1.0f }, { 41, 1.0f },
            { 42, 1.0f }, { 43, 1.0f }, { 35, 1.0f }, { 83, 0.05f }, { 45, 1.0f }, { 46, 1.0f }, { 47, 1.0f },
            { 33, 1.0f }, { 14, 1.0f }, { 20, 1.0f }, { 15, 1.0f }, { 21, 1.0f }, { 50, 1.0f }, { 773, 0.02f },
            { 85, 1.0f }, { 2, 1.0f }, { 86, reverbType },
        };
        for (auto [index, value] : loud)
            p.setParameter (index, value);
        player.warmUp();
        std::vector<PluginPlayer::Event> chord;
        for (int n = 24; n < 72; ++n)
            chord.push_back ({ 0, on (n) });
        const auto out = player.play (44100 * 2, chord);
        ASSERT_TRUE (allFinite (out));
        EXPECT_LE (out.getMagnitude (0, 0, out.getNumSamples()), 1.0f);
        EXPECT_GT (rms (out.getReadPointer (0), out.getNumSamples()), 0.05);
    }
}

TEST (ProcessorEffects, ReverbTypeSwitchClearsTheTail)
{
    auto tailAfter = [] (bool switchType) {
        PluginPlayer player;
        auto& p = player.processor();
        // Reverb mix 1, long, short release.
        for (auto [index, value] : { std::pair { 30, 1.0f }, { 31, 1.0f }, { 8, 0.0f } })
            p.setParameter (index, value);
        player.warmUp();
        player.play (22050, { { 0, on (60) }, { 11025, juce::MidiMessage::noteOff (1, 60) } });
        player.play (22050);
        if (switchType)
            p.setParameter (86, 0.0f);
        const auto tail = player.play (8192);
        return rms (tail.getReadPointer (0, 4096), 4096);
    };
    const double ringing = tailAfter (false);
    const double cleared = tailAfter (true);
    EXPECT_GT (ringing, 1.0e-3);
    EXPECT_LT (cleared, ringing * 1.0e-3);
}

// A host re-sending the same reverb choice (every automation point does)
// must not cut the tail, and reverb 1 reached by a switch sounds as reverb 1
// set up from the start: the switch clears the lines, not the input filter.
TEST (ProcessorEffects, ReverbChoiceRepeatedKeepsTheTailAndASwitchKeepsTheTone)
{
    auto tail = [] (std::initializer_list<float> typeWrites) {
        // The process's first player warms up silently while later ones run
        // the reverb during warm-up: both renders start from the same state.
        render::settleProcessWideState (44100.0);
        PluginPlayer player;
        auto& p = player.processor();
        for (auto [index, value] : { std::pair { 30, 1.0f }, { 31, 0.7f }, { 8, 0.0f } })
            p.setParameter (index, value);
        for (float t : typeWrites)
            p.setParameter (86, t);
        player.warmUp();
        player.play (22050, { { 0, on (60) }, { 11025, juce::MidiMessage::noteOff (1, 60) } });
        p.setParameter (86, 0.0f);   // the same choice again, mid-tail
        const auto out = player.play (16384);
        return std::pair { rms (out.getReadPointer (0, 8192), 8192), rms (out.getReadPointer (1, 8192), 8192) };
    };
    const auto fresh = tail ({ 0.0f });
    const auto switched = tail ({ 0.01f, 0.0f });
    EXPECT_GT (fresh.first, 1.0e-3);
    EXPECT_NEAR (switched.first, fresh.first, 0.02 * fresh.first);
    EXPECT_NEAR (switched.second, fresh.second, 0.02 * fresh.second);
}

TEST (ProcessorEffects, HostTempoReachesTheEchoAndBadTempoIsIgnored)
{
    // The echo at 120 bpm with time 0.5 (one beat) returns a note after 0.5 s;
    // at 60 bpm after 1 s. A play head with no tempo, or 0 bpm, keeps 120.
    auto echoDelay = [] (juce::Optional<double> bpm) {
        PluginPlayer player;
        auto& p = player.processor();
        FixedPlayHead head;
        juce::AudioPlayHead::PositionInfo info;
        if (bpm.hasValue())
            info.setBpm (*bpm);
        head.position = info;
        p.setPlayHead (&head);
        // Echo mix 1, no feedback, time one beat, no spread; a short note.
        for (auto [index, value] : { std::pair { 27, 1.0f }, { 69, 0.0f }, { 28, 0.5f }, { 29, 0.0f }, { 8, 0.0f }, { 5, 0.0f } })
            p.setParameter (index, value);
        player.warmUp();
        player.play (512);           // tempo read on the first block
        p.setParameter (28, 0.5f);   // echo update with the cached tempo
        const auto out = player.play (44100 * 3, { { 0, on (72) }, { 2205, juce::MidiMessage::noteOff (1, 72) } });
        p.setPlayHead (nullptr);
        // Where the echo's burst starts: first loud sample after the dry note ended.
        for (int i = 8820; i < out.getNumSamples(); ++i)
            if (std::abs (out.getSample (0, i)) > 0.02f)
                return i / 44100.0;
        return -1.0;
    };
    EXPECT_NEAR (echoDelay (120.0), 0.5, 0.02);
    EXPECT_NEAR (echoDelay (60.0), 1.0, 0.02);
    EXPECT_NEAR (echoDelay (0.0), 0.5, 0.02);
    EXPECT_NEAR (echoDelay (std::nan ("")), 0.5, 0.02);
    EXPECT_NEAR (echoDelay ({}), 0.5, 0.02);
}

// The once-a-second housekeeping falls at different places for different
// block sizes; the reverb's tail must not notice it.
TEST (ProcessorEffects, ReverbTailDoesNotDependOnTheBlockSize)
{
    auto render = [] (double rate, int blockSize) {
        render::settleProcessWideState (rate);   // the once-a-second count starts at 0
        PluginPlayer player (rate, blockSize);
        auto& p = player.processor();
        for (auto [index, value] : { std::pair { 86, 0.0f }, { 30, 1.0f }, { 31, 0.8f } })
            p.setParameter (index, value);
        const auto release = (int64_t) (0.3 * rate);
        return player.play ((int64_t) (4.3 * rate), { { 0, on (60) }, { release, juce::MidiMessage::noteOff (1, 60) } });
    };

    for (double rate : { 44100.0, 96000.0 })
    {
        SCOPED_TRACE (rate);
        const auto a = render (rate, 512);
        const auto b = render (rate, 441);
        const int window = (int) (0.1 * rate);
        int windows = 0;
        for (int start = (int) (0.3 * rate); start + window <= a.getNumSamples(); start += window, ++windows)
            for (int ch = 0; ch < 2; ++ch)
            {
                std::vector<float> d ((size_t) window);
                for (int i = 0; i < window; ++i)
                    d[(size_t) i] = a.getSample (ch, start + i) - b.getSample (ch, start + i);
                const double level = rms (a.getReadPointer (ch, start), window);
                ASSERT_GT (level, 1.0e-6) << "silent tail at " << start / rate << " s";
                EXPECT_LT (rms (d.data(), window), 0.01 * level) << "channel " << ch << " at " << start / rate << " s";
            }
        EXPECT_EQ (windows, 40);
    }
}

// A playing host re-phases both master LFOs to its beat grid: they restart
// at the next whole cycle of master LFO 1's synced length after the host's
// position, ((floor(ppq / B) + 1) B - ppq) beats away.
TEST (ProcessorEffects, MasterLfosRephaseToTheHostsBeatGrid)
{
    for (double ppq : { 0.3, 5.9 })
    {
        SCOPED_TRACE (ppq);
        PluginPlayer player;
        auto& p = player.processor();
        player.warmUp();
        FixedPlayHead head;
        juce::AudioPlayHead::PositionInfo info;
        info.setBpm (120.0);
        info.setIsPlaying (true);
        info.setPpqPosition (ppq);
        head.position = info;
        p.setPlayHead (&head);
        p.setParameter (params::kLfo1Sync, 1.0f);
        p.setParameter (params::kLfo2Sync, 1.0f);
        p.setParameter (params::kLfo1Rate, 0.4f);
        p.setParameter (params::kLfo1Phase, 0.0f);
        p.setParameter (params::kLfo2Phase, 0.0f);

        auto& lfo1 = p.getEngine()->masterLfo1;
        auto& lfo2 = p.getEngine()->masterLfo2;
        player.play (512);   // the tempo look-up, then 512 samples counted off
        p.setPlayHead (nullptr);

        // The synced length as the table gives it at the host's tempo (the
        // table's tempo is process-wide: the block above set it).
        const double beats = LFOHelper::instance().getSyncSpeedFromHz (lfo1.getRate()).beats();
        const double samplesPerBeat = 44100.0 / 2.0;
        const int expected = (int) (((std::floor (ppq / beats) + 1.0) * beats - ppq) * samplesPerBeat);
        ASSERT_GT (expected, 1024);
        EXPECT_EQ (lfo1.getSyncCountdown(), expected - 512);
        EXPECT_EQ (lfo2.getSyncCountdown(), expected - 512);

        // The block holding the restart ends with the phase grown from 0 for
        // the samples after it.
        const int blocksBefore = (expected - 1) / 512;
        player.play ((int64_t) (blocksBefore * 512 - 512));
        ASSERT_GT (lfo1.getSyncCountdown(), 0);
        player.play (512);
        const int after = (blocksBefore + 1) * 512 - expected;
        EXPECT_NEAR (lfo1.getPhase(), after * lfo1.getIncrement(), 1.0e-6 + 1.0e-9 * after);
        EXPECT_NEAR (lfo2.getPhase(), after * lfo2.getIncrement(), 1.0e-6 + 1.0e-9 * after);
    }
}
