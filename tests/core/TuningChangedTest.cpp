// A tuning edit on the page tells the voices to re-read their tuning at once,
// from the message thread, while the audio thread renders them.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/parameters.h"
#include "dsp/SplineOscillatorMisc.h"
#include "dsp/SplineTestRig.h"
#include "support/PluginPlayer.h"

namespace
{
using splinetest::point;

// Oscillator 4 alone, playing a ramp.
void osc4Ramp (BrevonAudioProcessor& p)
{
    for (auto [index, value] : { std::pair<int, float> { 14, 0.0f }, { 20, 0.0f }, { 62, 0.0f }, { 80, 1.0f },
                                 { 38, 0.06f }, { 30, 0.0f }, { 44, 0.0f }, { 773, 0.0f } })
        p.setParameter (index, value);
    SplineOscillatorPoint points[] = { point (splineStart, 0.0, 0.1), point (splineLinear, 0.5, 0.5),
                                       point (splineLinear, 1.0, 0.9) };
    std::vector<double> values (p.getParameterValues(), p.getParameterValues() + params::kNumParameters);
    ASSERT_TRUE (Osc4Codec::encodePoints (points, 3, values.data()));
    for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
        p.getParameterValues()[i] = values[(size_t) i];
    p.getEventAggregator()->sendEvent (Osc4PointsChanged, 0);
}
} // namespace

TEST (TuningChanged, PlayingNoteTakesTheNewCoarseTuneOnTheNextBlock)
{
    for (bool announce : { true, false })
    {
        PluginPlayer player (44100.0, 512);
        osc4Ramp (player.processor());
        player.warmUp();
        player.play (22050, { { 0, juce::MidiMessage::noteOn (1, 69, (juce::uint8) 100) } });

        // An octave up on oscillator 4, the way the page's coarse knob sets it.
        player.processor().setParameter (params::kOsc4Coarse, (float) params::semitoneValue (12));
        if (announce)
            player.processor().getEventAggregator()->sendEvent (TuningChanged, 0);

        const auto out = player.play (4096);
        const double hz = measureFrequency (out.getReadPointer (0, 512), 3584, 44100.0);
        // Unannounced, the voice keeps its old pitch until its periodic re-read.
        EXPECT_NEAR (hz, announce ? 440.0 : 220.0, 2.0) << (announce ? "announced" : "not announced");
    }
}

TEST (TuningChanged, SentFromAnotherThreadWhileTheVoicesRender)
{
    PluginPlayer player (44100.0, 256);
    osc4Ramp (player.processor());
    player.warmUp();

    std::atomic<bool> done { false };
    std::thread page ([&] {
        int k = 0;
        while (! done.load())
        {
            player.processor().setParameter (params::kOsc4Fine, (k++ % 2) ? 0.75f : 0.5f);
            player.processor().getEventAggregator()->sendEvent (TuningChanged, 0);
            std::this_thread::yield();
        }
    });

    std::vector<PluginPlayer::Event> notes;
    for (int n = 0; n < 8; ++n)
        notes.push_back ({ n * 2000, juce::MidiMessage::noteOn (1, 48 + n * 3, (juce::uint8) 100) });
    const auto out = player.play (44100, notes);
    done = true;
    page.join();

    EXPECT_TRUE (allFinite (out));
    EXPECT_GT (rms (out.getReadPointer (0), out.getNumSamples()), 0.01);
}
