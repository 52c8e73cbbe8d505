// Block driver and note handling behaviour measured from outside: the pan
// law, the capture ring with its peaks, retrigger mode and the unison switch
// releasing every voice.

#include <gtest/gtest.h>

#include <cmath>

#include "RenderScenarios.h"
#include "support/PluginPlayer.h"

namespace
{
constexpr double kPi = 3.141592653589793;

juce::MidiMessage on (int note) { return juce::MidiMessage::noteOn (1, note, (juce::uint8) 100); }

void plainVoice (BrevonAudioProcessor& p)
{
    for (auto [index, value] : { std::pair { params::kOsc1Shape, 0.0 }, { params::kOsc2Volume, 0.0 },
                                 { params::kFilterType, 0.06 }, { params::kAmplitudeAttack, 0.0 },
                                 { params::kAmplitudeSustain, 1.0 }, { params::kAmplitudeRelease, 0.0 },
                                 { params::kUnison, 0.0 }, { params::kReverbMix, 0.0 }, { params::kVoiceSaturation, 0.0 } })
        p.setParameter (index, (float) value);
}

double component (const juce::AudioBuffer<float>& b, int from, int n, double f, double rate)
{
    double s = 0.0, c = 0.0;
    for (int i = 0; i < n; ++i)
    {
        const double x = b.getSample (0, from + i);
        s += x * std::sin (2.0 * kPi * f * i / rate);
        c += x * std::cos (2.0 * kPi * f * i / rate);
    }
    return 2.0 * std::sqrt (s * s + c * c) / n;
}
} // namespace

TEST (ProcessorOutput, PanLawAndVolume)
{
    // Gains 2 sqrt(1 - pan) vol^2 and 2 sqrt(pan) vol^2.
    auto levels = [] (double pan, double volume) {
        PluginPlayer player;
        auto& p = player.processor();
        plainVoice (p);
        p.setParameter (params::kPanning, (float) pan);
        p.setParameter (params::kVolume, (float) volume);
        player.warmUp();
        const auto out = player.play (22050, { { 0, on (60) } });
        return std::pair { rms (out.getReadPointer (0, 11025), 11025), rms (out.getReadPointer (1, 11025), 11025) };
    };
    const auto left = levels (0.0, 0.5), centre = levels (0.5, 0.5), right = levels (1.0, 0.5), loud = levels (0.5, 1.0);
    ASSERT_GT (left.first, 0.01);
    EXPECT_EQ (left.second, 0.0);
    EXPECT_EQ (right.first, 0.0);
    EXPECT_NEAR (right.second, left.first, 1.0e-6);
    // Centre: 2 sqrt(0.5) 0.25 = 0.3536 against 2 * 0.25 = 0.5 at the side.
    EXPECT_NEAR (centre.first / left.first, 2.0 * std::sqrt (0.5) * 0.25 / 0.5, 1.0e-4);
    EXPECT_NEAR (centre.second, centre.first, 1.0e-6);
    EXPECT_NEAR (loud.first / centre.first, 4.0, 1.0e-3);
}

TEST (ProcessorOutput, CaptureRingHoldsTheLastLeftSamplesAndWraps)
{
    render::settleProcessWideState (44100.0);
    PluginPlayer player (44100.0, 441);
    auto& p = player.processor();
    plainVoice (p);
    const int ring = BrevonAudioProcessor::kCaptureRingSize;

    // The first sample ever written lands at index 1.
    auto first = player.play (441, { { 0, on (60) } });
    EXPECT_EQ (p.getCapturePosition(), 441);
    EXPECT_EQ (p.getCaptureRing()[1], first.getSample (0, 0));
    EXPECT_EQ (p.getCaptureRing()[441], first.getSample (0, 440));

    // 176400 samples in all: the last one lands at index 0.
    auto rest = player.play (ring - 441);
    EXPECT_EQ (p.getCapturePosition(), 0);
    EXPECT_EQ (p.getCaptureRing()[0], rest.getSample (0, rest.getNumSamples() - 1));

    // Past the wrap the ring holds the last 176400 left samples in order.
    auto more = player.play (441 * 7);
    const auto pos = (int) p.getCapturePosition();
    EXPECT_EQ (pos, 441 * 7);
    int mismatches = 0;
    for (int k = 0; k < more.getNumSamples(); ++k)
        if (p.getCaptureRing()[(pos - k + ring) % ring] != more.getSample (0, more.getNumSamples() - 1 - k))
            ++mismatches;
    for (int k = 0; k < 1000; ++k)
        if (p.getCaptureRing()[(pos - more.getNumSamples() - k + 2 * ring) % ring] != rest.getSample (0, rest.getNumSamples() - 1 - k))
            ++mismatches;
    EXPECT_EQ (mismatches, 0);
}

TEST (ProcessorOutput, PeaksHoldUntilReset)
{
    PluginPlayer player;
    auto& p = player.processor();
    plainVoice (p);
    player.warmUp();
    p.requestPeakReset();
    const auto loud = player.play (22050, { { 0, on (60) }, { 11025, juce::MidiMessage::noteOff (1, 60) } });
    const float loudest = loud.getMagnitude (0, 0, loud.getNumSamples());
    const auto quiet = player.play (22050);
    ASSERT_GT (loudest, 0.05f);
    EXPECT_EQ (p.getPeakLeft(), loudest);
    EXPECT_EQ (p.getPeakRight(), loud.getMagnitude (1, 0, loud.getNumSamples()));

    // After a reset the next block starts the peaks afresh.
    p.requestPeakReset();
    const auto after = player.play (512);
    EXPECT_EQ (p.getPeakLeft(), after.getMagnitude (0, 0, 512));
    EXPECT_LT (p.getPeakLeft(), 0.1f * loudest);
    (void) quiet;
}

TEST (NoteHandling, RetriggerReleasesEveryVoiceBeforeTheNewNote)
{
    // A held 220 Hz note, then a second key: polyphonic keeps the first note
    // sounding, retrigger sends it into its release.
    auto firstNoteAfterSecondKey = [] (int mode) {
        PluginPlayer player (44000.0, 500);
        auto& p = player.processor();
        plainVoice (p);
        p.setParameter (params::kVoiceMode, (float) params::choiceValue (mode));
        player.warmUp();
        const auto out = player.play (44000, { { 0, on (69) }, { 11000, on (76) } });
        return std::pair { component (out, 4400, 4400, 220.0, 44000.0), component (out, 33000, 8800, 220.0, 44000.0) };
    };
    const auto poly = firstNoteAfterSecondKey (0), retrigger = firstNoteAfterSecondKey (1);
    ASSERT_GT (poly.first, 0.01);
    EXPECT_NEAR (poly.second, poly.first, 0.02 * poly.first);
    EXPECT_NEAR (retrigger.first, poly.first, 1.0e-6);
    EXPECT_LT (retrigger.second, 0.01 * retrigger.first);

    // A voice mode past the three choices plays nothing at all.
    const auto unknown = firstNoteAfterSecondKey (3);
    EXPECT_EQ (unknown.first, 0.0);
    EXPECT_EQ (unknown.second, 0.0);
}

TEST (NoteHandling, UnisonChangeReleasesEveryVoice)
{
    PluginPlayer player;
    auto& p = player.processor();
    plainVoice (p);
    player.warmUp();
    const auto before = player.play (11025, { { 0, on (60) }, { 0, on (64) } });
    ASSERT_GT (rms (before.getReadPointer (0, 5000), 5000), 0.01);
    p.setParameter (params::kUnison, 0.0f);   // the same setting still resets
    const auto after = player.play (22050);
    EXPECT_LT (rms (after.getReadPointer (0, 11025), 11025), 1.0e-4);
    // Released, not cut: the first samples still carry the notes.
    EXPECT_GT (std::abs (after.getSample (0, 0)) + std::abs (after.getSample (0, 1)) + std::abs (after.getSample (0, 2)), 0.0f);
}

TEST (NoteHandling, UnisonChangeResetsTheMasterSaturators)
{
    // The compressor curve rides its gain down on a loud chord and recovers
    // slowly. After a unison change it starts again from unity gain; after
    // plain note-offs it is still recovering when the next note comes.
    auto nextNoteLevel = [] (bool unisonChange) {
        PluginPlayer player;
        auto& p = player.processor();
        plainVoice (p);
        p.setParameter (params::kSaturation, 1.0f);
        p.setParameter (params::kSaturationType, (float) params::choiceValue (4));
        player.warmUp();
        std::vector<PluginPlayer::Event> chord;
        for (int n : { 48, 52, 55, 60, 64, 67 })
            chord.push_back ({ 0, on (n) });
        player.play (22050, chord);
        if (unisonChange)
            p.setParameter (params::kUnison, 0.0f);
        else
            for (int n : { 48, 52, 55, 60, 64, 67 })
                player.play (1, { { 0, juce::MidiMessage::noteOff (1, n) } });
        player.play (400);
        const auto out = player.play (2205, { { 0, on (72) } });
        return rms (out.getReadPointer (0, 1000), 1205);
    };
    const double reset = nextNoteLevel (true), kept = nextNoteLevel (false);
    EXPECT_GT (kept, 0.005);
    EXPECT_GT (reset, 1.05 * kept);
}
