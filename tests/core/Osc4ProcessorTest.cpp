// Oscillator 4 through the whole processor: points written into parameters
// 90-569 reach the voices and play at the note's pitch.

#include <gtest/gtest.h>

#include "dsp/SplineOscillatorMisc.h"
#include "dsp/SplineTestRig.h"
#include "support/PluginPlayer.h"

namespace
{
using splinetest::point;

// Oscillator 4 alone, no filter or effects.
void osc4Only (BrevonAudioProcessor& p, std::vector<SplineOscillatorPoint> points)
{
    for (auto [index, value] : { std::pair<int, float> { 14, 0.0f }, { 20, 0.0f }, { 62, 0.0f }, { 80, 1.0f },
                                 { 38, 0.06f }, { 30, 0.0f }, { 44, 0.0f }, { 773, 0.0f } })
        p.setParameter (index, value);
    std::vector<double> values (p.getParameterValues(), p.getParameterValues() + params::kNumParameters);
    ASSERT_TRUE (Osc4Codec::encodePoints (points.data(), (int) points.size(), values.data()));
    for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
        p.getParameterValues()[i] = values[(size_t) i];
    p.getEventAggregator()->sendEvent (Osc4PointsChanged, 0);
}
} // namespace

TEST (Osc4Processor, RampPlaysAtTheNotePitch)
{
    for (double rate : { 44100.0, 96000.0 })
    {
        PluginPlayer player (rate, 512);
        osc4Only (player.processor(), { point (splineStart, 0.0, 0.1), point (splineLinear, 0.5, 0.5),
                                        point (splineLinear, 1.0, 0.9) });
        player.warmUp();
        const auto out = player.play ((int64_t) rate, { { 0, juce::MidiMessage::noteOn (1, 69, (juce::uint8) 100) } });
        ASSERT_TRUE (allFinite (out));
        const int from = (int) (0.3 * rate);
        EXPECT_GT (rms (out.getReadPointer (0, from), (int) (0.5 * rate)), 0.01) << rate;
        EXPECT_NEAR (measureFrequency (out.getReadPointer (0, from), (int) (0.5 * rate), rate), 220.0, 0.5) << rate;
    }
}

TEST (Osc4Processor, RestoredStateBringsItsPoints)
{
    PluginPlayer source;
    osc4Only (source.processor(), { point (splineStart, 0.0, 0.9), point (splineLinear, 0.5, 0.9),
                                    point (splineLinear, 0.5, 0.1), point (splineLinear, 1.0, 0.1) });
    juce::MemoryBlock state;
    source.processor().getStateInformation (state);

    PluginPlayer player;
    player.processor().setStateInformation (state.getData(), (int) state.getSize());
    player.warmUp();
    const auto out = player.play (44100, { { 0, juce::MidiMessage::noteOn (1, 57, (juce::uint8) 100) } });
    EXPECT_NEAR (measureFrequency (out.getReadPointer (0, 13230), 22050, 44100.0), 110.0, 0.3);
}
