// The voice heard through the processor: pitch, bend, unison, velocity,
// release and determinism.

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "support/PluginPlayer.h"

namespace
{
// Oscillator 1 alone: sine, one copy, no filter, no effects, no unison.
void pureSine (BrevonAudioProcessor& p)
{
    const std::pair<int, float> settings[] = {
        { 14, 1.0f }, { 20, 0.0f }, { 62, 0.0f }, { 80, 0.0f }, { 18, 0.0f }, { 15, 0.0f },
        { 26, 0.5f }, { 38, 0.06f }, { 50, 0.0f }, { 27, 0.0f }, { 30, 0.0f }, { 40, 0.0f },
        { 35, 0.0f }, { 773, 0.0f }, { 44, 0.0f }, { 0, 0.0f }, { 4, 0.0f },
    };
    for (auto [index, value] : settings)
        p.setParameter (index, value);
}

juce::MidiMessage on (int note, int velocity = 100) { return juce::MidiMessage::noteOn (1, note, (juce::uint8) velocity); }
juce::MidiMessage off (int note) { return juce::MidiMessage::noteOff (1, note); }

double pitchOf (const juce::AudioBuffer<float>& b, int channel, double sampleRate, double fromSeconds, double seconds)
{
    const int start = (int) (fromSeconds * sampleRate);
    return measureFrequency (b.getReadPointer (channel, start), (int) (seconds * sampleRate), sampleRate);
}

int activeVoices (BrevonAudioProcessor& p)
{
    int active = 0;
    auto& synth = p.getSynthesiser();
    for (int i = 0; i < synth.getNumVoices(); ++i)
        if (synth.getVoice (i)->getCurrentlyPlayingNote() >= 0)
            ++active;
    return active;
}
} // namespace

TEST (Voice, PlaysEachNoteAtTheTableEntryTwelveBelow)
{
    for (double rate : { 44100.0, 48000.0, 96000.0, 192000.0 })
    {
        PluginPlayer player (rate, 512);
        pureSine (player.processor());
        player.warmUp();
        const auto out = player.play ((int64_t) (rate * 1.5), { { 0, on (69) }, { (int64_t) (rate * 0.7), off (69) },
                                                                { (int64_t) (rate * 0.75), on (81) } });
        EXPECT_NEAR (pitchOf (out, 0, rate, 0.2, 0.4), 220.0, 0.22) << rate;
        EXPECT_NEAR (pitchOf (out, 0, rate, 1.0, 0.4), 440.0, 0.44) << rate;
        EXPECT_TRUE (allFinite (out));
    }
}

TEST (Voice, PitchWheelBendsByTheRange)
{
    PluginPlayer player;
    pureSine (player.processor());
    player.processor().setParameter (71, 0.01f); // two semitones
    player.warmUp();
    const auto up = player.play (44100 * 2, { { 0, juce::MidiMessage::pitchWheel (1, 16383) }, { 10, on (69) } });
    EXPECT_NEAR (pitchOf (up, 0, 44100.0, 1.2, 0.5), 246.94, 0.25);

    const auto down = player.play (44100 * 2, { { 0, juce::MidiMessage::pitchWheel (1, 0) } });
    EXPECT_NEAR (pitchOf (down, 0, 44100.0, 1.2, 0.5), 196.00, 0.2);
}

TEST (Voice, UnisonSpreadsCopiesLeftAndRight)
{
    PluginPlayer player;
    auto& p = player.processor();
    pureSine (p);
    p.setParameter (774, 1.0f);
    p.setParameter (773, 0.01f); // two copies
    player.warmUp();
    const auto out = player.play (44100, { { 0, on (69) } });

    // Copy 0 goes left at 2^x, copy 1 right at 2^-x, x = 1/64 + 0.0001 octaves.
    const double x = 0.015625 + 0.0001;
    EXPECT_NEAR (pitchOf (out, 0, 44100.0, 0.3, 0.6), 220.0 * std::exp2 (x), 0.25);
    EXPECT_NEAR (pitchOf (out, 1, 44100.0, 0.3, 0.6), 220.0 * std::exp2 (-x), 0.25);

    p.setParameter (773, 0.0f);
    const auto mono = player.play (44100, { { 0, on (60) } });
    for (int i = 0; i < mono.getNumSamples(); ++i)
        ASSERT_EQ (mono.getSample (0, i), mono.getSample (1, i)) << i;
}

TEST (Voice, VelocitySensitivityZeroIgnoresVelocity)
{
    auto render = [] (int velocity) {
        PluginPlayer player;
        pureSine (player.processor());
        player.processor().setParameter (48, 0.0f);
        player.warmUp();
        return player.play (22050, { { 0, on (64, velocity) } });
    };
    const auto soft = render (1), hard = render (127);
    for (int i = 0; i < soft.getNumSamples(); ++i)
        ASSERT_EQ (soft.getSample (0, i), hard.getSample (0, i)) << i;
    EXPECT_GT (rms (soft.getReadPointer (0), soft.getNumSamples()), 0.01);
}

TEST (Voice, ReleasedVoiceFallsSilentAndFreesItself)
{
    PluginPlayer player;
    auto& p = player.processor();
    pureSine (p);
    p.setParameter (8, 0.2f); // short release
    player.warmUp();
    const auto held = player.play (44100, { { 0, on (60) }, { 22050, off (60) } });
    EXPECT_GT (rms (held.getReadPointer (0), 4410), 0.01);
    EXPECT_EQ (activeVoices (p), 0);

    const auto after = player.play (4096);
    for (int i = 0; i < after.getNumSamples(); ++i)
        ASSERT_EQ (after.getSample (0, i), 0.0f);
}

TEST (Voice, SilentVoicesStillEnd)
{
    PluginPlayer player;
    auto& p = player.processor();
    pureSine (p);
    p.setParameter (14, 0.0f); // every oscillator off
    p.setParameter (8, 0.1f);
    player.warmUp();
    player.play (4410, { { 0, on (60) }, { 2205, off (60) } });
    player.play (44100);
    EXPECT_EQ (activeVoices (p), 0);
}

TEST (Voice, AtMostFortyEightVoices)
{
    PluginPlayer player;
    auto& p = player.processor();
    p.setParameter (15, 1.0f);
    p.setParameter (21, 1.0f);
    std::vector<PluginPlayer::Event> events;
    for (int n = 0; n < 60; ++n)
        events.push_back ({ 0, on (30 + n) });
    player.warmUp();
    const auto out = player.play (22050, events);
    EXPECT_EQ (activeVoices (p), 48);
    EXPECT_TRUE (allFinite (out));
}

TEST (Voice, SameMidiSameOutputEvenOnTwoThreads)
{
    auto render = [] (juce::AudioBuffer<float>& out) {
        PluginPlayer player;
        auto& p = player.processor();
        p.setParameter (50, 0.5f); // noise
        p.setParameter (773, 0.02f);
        player.warmUp();
        out = player.play (44100, { { 0, on (48) }, { 100, on (55) }, { 30000, off (48) } });
    };
    juce::AudioBuffer<float> a, b, c;
    render (a);
    std::thread t1 ([&] { render (b); });
    std::thread t2 ([&] { render (c); });
    t1.join();
    t2.join();
    for (auto* other : { &b, &c })
        for (int ch = 0; ch < 2; ++ch)
            for (int i = 0; i < a.getNumSamples(); ++i)
                ASSERT_EQ (a.getSample (ch, i), other->getSample (ch, i)) << ch << " " << i;
}
