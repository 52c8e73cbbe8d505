// On the wide path the processor renders voices in twos with their filters
// run together. The output must be the same, bit for bit, as rendering them
// one by one: odd and even numbers of voices, notes starting and ending
// inside blocks, mono and stereo voices, single and double ladders, other
// filter types, drive on and off, shared and own LFOs.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "RenderScenarios.h"
#include "dsp/VectorPath.h"

namespace
{
struct ForcedWide
{
    ForcedWide() { vectorpath::force (1); }
    ~ForcedWide() { vectorpath::force (-1); }
};

constexpr int kBlock = 256;
constexpr int kBlocks = 72;

// One run of a fixed script: notes come and go at odd places inside blocks,
// and every twelve blocks the settings change.
std::vector<float> playScript (bool pairing, bool masterLfos)
{
    const auto* heavy = render::findScenario ("heavy");
    render::ScenarioPlayer player (*heavy, 44100.0, kBlock, 0, 7);
    auto& proc = player.processor();
    proc.setVoicePairing (pairing);
    render::set (proc, params::kAmplitudeRelease, 0.05);   // voices end within a few blocks
    if (masterLfos)
    {
        render::setChoice (proc, params::kLfo1Mode, 0);
        render::setChoice (proc, params::kLfo2Mode, 0);
    }

    std::vector<float> out;
    int nextNote = 30;
    std::vector<int> held;
    for (int block = 0; block < kBlocks; ++block)
    {
        switch (block)
        {
            case 12: render::setChoice (proc, params::kFilterType, 1); break;   // single ladder
            case 24: render::set (proc, params::kOverdrive, 0.0); break;
            case 30: render::set (proc, params::kCutoff, 0.02); break;          // low cutoff: smoothing
            case 36: render::setChoice (proc, params::kUnison, 0); break;       // mono voices
            case 48: render::setChoice (proc, params::kUnison, 1); break;       // stereo again
            case 54: render::setChoice (proc, params::kFilterType, 4); break;   // band-pass
            case 60: render::setChoice (proc, params::kFilterType, 3); break;   // double ladder again
            default: break;
        }

        juce::MidiBuffer midi;
        // Every third block one to three notes start and the oldest one or two
        // stop, at different places in the block, so the count goes odd and
        // even and voices end part way through a block.
        if (block % 3 == 0)
        {
            const int starts = 1 + block % 3 + (block / 3) % 3;
            for (int k = 0; k < starts && held.size() < 9; ++k)
            {
                midi.addEvent (juce::MidiMessage::noteOn (1, nextNote, (juce::uint8) (60 + 7 * k)), 17 + 61 * k);
                held.push_back (nextNote);
                nextNote = nextNote >= 90 ? 30 : nextNote + 5;
            }
        }
        if (block % 3 == 1 && block > 6)
        {
            const int stops = std::min ((int) held.size(), 1 + (block / 3) % 2);
            for (int k = 0; k < stops; ++k)
                midi.addEvent (juce::MidiMessage::noteOff (1, held[(size_t) k]), 40 + 97 * k);
            held.erase (held.begin(), held.begin() + stops);
        }

        const auto& b = player.renderBlock (midi, kBlock);
        for (int ch = 0; ch < 2; ++ch)
            out.insert (out.end(), b.getReadPointer (ch), b.getReadPointer (ch) + kBlock);
    }
    return out;
}

void expectSameBits (const std::vector<float>& alone, const std::vector<float>& paired)
{
    ASSERT_EQ (alone.size(), paired.size());
    for (size_t i = 0; i < alone.size(); ++i)
        ASSERT_EQ (std::memcmp (&alone[i], &paired[i], sizeof (float)), 0)
            << "block " << i / (2 * kBlock) << ", channel " << (i / kBlock) % 2 << ", sample " << i % kBlock
            << ": " << alone[i] << " vs " << paired[i];
}
} // namespace

TEST (VoicePairing, RendersTheSameAsVoiceByVoice)
{
    if (! vectorpath::wideAvailable())
        GTEST_SKIP() << "no wide path on this processor";
    const ForcedWide wide;

    for (bool masterLfos : { false, true })
    {
        SCOPED_TRACE (masterLfos ? "master LFOs" : "own LFOs");
        const auto alone = playScript (false, masterLfos);
        const auto paired = playScript (true, masterLfos);

        // Not silent in any stretch of the script.
        for (int part = 0; part < kBlocks / 12; ++part)
        {
            float loudest = 0.0f;
            for (int block = part * 12 + 2; block < (part + 1) * 12; ++block)
                for (int i = 0; i < 2 * kBlock; ++i)
                    loudest = std::max (loudest, std::abs (alone[(size_t) (block * 2 * kBlock + i)]));
            EXPECT_GT (loudest, 0.001f) << "part " << part;
        }

        expectSameBits (alone, paired);
    }
}
