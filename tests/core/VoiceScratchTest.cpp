// The voices of an instance render one after another into work buffers the
// instance lends them. A voice must play exactly as with buffers of its own,
// and a block longer than the instance prepared for must still play.

#include <gtest/gtest.h>

#include "RenderScenarios.h"
#include "dsp/TalvoraXLVoice.h"

namespace
{
// The heaviest voice (four unison copies, oscillator 4, noise, every
// modulation amount) on a dozen notes, in blocks of the given sizes; then,
// when `rateAfter` is set, prepared again at that rate and played once more.
// Returns the left channel.
std::vector<float> play (int prepared, bool ownWorkBuffers, const std::vector<int>& blocks, double rateAfter = 0.0)
{
    render::ScenarioPlayer player (*render::findScenario ("heavy"), 44100.0, prepared, 12, 1);
    auto& proc = player.processor();
    if (ownWorkBuffers)
    {
        auto& synth = proc.getSynthesiser();
        for (int i = 0; i < synth.getNumVoices(); ++i)
            if (auto* voice = dynamic_cast<TalvoraXLVoice*> (synth.getVoice (i)))
                voice->setScratch (nullptr);
        proc.prepareToPlay (44100.0, prepared);
    }

    std::vector<float> out;
    auto run = [&] {
        bool first = true;
        for (int n : blocks)
        {
            juce::MidiBuffer midi;
            if (first)
                player.addNoteOns (midi, 0);
            first = false;
            const auto& buffer = player.renderBlock (midi, n);
            out.insert (out.end(), buffer.getReadPointer (0), buffer.getReadPointer (0) + n);
        }
    };
    run();
    if (rateAfter > 0.0)
    {
        proc.setPlayConfigDetails (0, 2, rateAfter, prepared);
        proc.prepareToPlay (rateAfter, prepared);
        run();
    }
    return out;
}

double energy (const std::vector<float>& x)
{
    double e = 0.0;
    for (float v : x)
        e += (double) v * v;
    return e;
}
} // namespace

TEST (VoiceScratch, VoicesSharingTheInstanceBuffersPlayAsWithTheirOwn)
{
    const std::vector<int> blocks (40, 512);
    const auto shared = play (512, false, blocks);
    ASSERT_GT (energy (shared), 1.0);
    EXPECT_EQ (shared, play (512, true, blocks));
}

TEST (VoiceScratch, ALongerBlockThanPreparedStillPlaysAndPreparingAgainSharesOnceMore)
{
    // Prepared for 256 samples, then handed a block four times as long: the
    // voices fall back to buffers of their own for it. An instance prepared
    // for the long block plays the same sequence from its lent buffers. Both
    // are then prepared again at another rate and play on alike.
    std::vector<int> blocks (20, 256);
    blocks.insert (blocks.begin() + 10, 1024);
    const auto small = play (256, false, blocks, 96000.0);
    ASSERT_GT (energy (small), 1.0);
    EXPECT_EQ (small, play (1024, false, blocks, 96000.0));
}
