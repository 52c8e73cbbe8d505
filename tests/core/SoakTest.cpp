// Soak: a hostile but legal host for a long stretch of audio. Every block a
// new parameter vector, random MIDI and a block size hosts really use, at the
// sample rates hosts really run. The output must stay finite and every block
// must finish: a block far slower than real time means an endless loop.
//
// TALVORA_SOAK_SECONDS sets the seconds of audio per sample rate (short by
// default, for CI); under the address sanitizer build it is the soak of the
// README's development section.

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdlib>
#include <iterator>

#include "support/PluginPlayer.h"
#include "support/RandomHost.h"

namespace
{
double soakSeconds()
{
    if (const char* text = std::getenv ("TALVORA_SOAK_SECONDS"))
        if (const double s = std::atof (text); s > 0.0)
            return s;
    return 4.0;
}

// A block may take ten times its own duration. Time is the rendering
// thread's own CPU time: an endless loop burns it, while a thread that the
// scheduler set aside on a busy machine does not. Below the floor the clock's
// granularity and cache misses of a first touch dominate.
constexpr double kSlowFactor = 10.0;
constexpr double kFloorSeconds = 0.05;

double threadSeconds()
{
    timespec t {};
    clock_gettime (CLOCK_THREAD_CPUTIME_ID, &t);
    return (double) t.tv_sec + 1.0e-9 * (double) t.tv_nsec;
}

class Soak : public ::testing::TestWithParam<double>
{
};
} // namespace

TEST_P (Soak, RandomParametersMidiAndBlockSizesStayFiniteAndInTime)
{
    const double sampleRate = GetParam();
    const double seconds = soakSeconds();

    PluginPlayer player (sampleRate, RandomHost::kMaxBlockSize);
    auto& p = player.processor();
    p.setRandomSeed (7);
    player.warmUp();

    RandomHost host ((uint64_t) sampleRate);
    juce::AudioBuffer<float> buffer (2, RandomHost::kMaxBlockSize);
    juce::MidiBuffer midi;
    midi.ensureSize (4096);

    const auto target = (int64_t) (seconds * sampleRate);
    int64_t rendered = 0, blocks = 0, loudBlocks = 0;
    double worstRatio = 0.0;        // block time / block duration, blocks of 255 samples and more
    double worstWallRatio = 0.0;    // the same by the wall clock, for information
    int64_t worstBlock = -1;
    int worstSize = 0;
    double windowTime = 0.0, windowAudio = 0.0, worstWindowRatio = 0.0;

    while (rendered < target)
    {
        const int n = host.blockSize();
        host.drawParameters (p);
        host.fillMidi (midi, n, sampleRate);
        buffer.setSize (2, n, false, false, true);

        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = threadSeconds();
        player.renderBlock (buffer, midi);
        const double took = threadSeconds() - cpuStart;
        const double wall = std::chrono::duration<double> (std::chrono::steady_clock::now() - start).count();

        const double duration = n / sampleRate;
        ASSERT_LT (took, std::max (kSlowFactor * duration, kFloorSeconds))
            << "block of " << n << " samples at " << sampleRate << " Hz took " << took << " s (block " << blocks << ")";
        worstWallRatio = std::max (worstWallRatio, n >= 255 ? wall / duration : 0.0);
        if (n >= 255 && took / duration > worstRatio)
        {
            worstRatio = took / duration;
            worstBlock = blocks;
            worstSize = n;
        }

        // Small blocks are judged together, a tenth of a second at a time.
        windowTime += took;
        windowAudio += duration;
        if (windowAudio >= 0.1)
        {
            const double ratio = windowTime / windowAudio;
            worstWindowRatio = std::max (worstWindowRatio, ratio);
            ASSERT_LT (ratio, kSlowFactor) << "audio at " << sampleRate << " Hz rendered " << ratio << " times slower than real time";
            windowTime = windowAudio = 0.0;
        }

        for (int ch = 0; ch < 2; ++ch)
        {
            const float* x = buffer.getReadPointer (ch);
            for (int i = 0; i < n; ++i)
                ASSERT_TRUE (std::isfinite (x[i])) << "sample " << i << " of block " << blocks;
        }
        if (buffer.getMagnitude (0, n) > 1.0e-3f)
            ++loudBlocks;

        rendered += n;
        ++blocks;
    }

    // The synth was not silent all along: the stress reached the voices.
    EXPECT_GT (loudBlocks, 0);

    // Afterwards a plain patch still sounds: no state was left poisoned.
    for (int i = 0; i < params::kNumParameters; ++i)
        if (i != params::kUnison)
            p.setParameter (i, (float) params::defaultValue (i));
    p.setParameter (params::kUnison, 0.0f);
    p.getSynthesiser().allNotesOff (0, false);
    player.play ((int64_t) (sampleRate * 4.0)); // let echo and reverb ring out
    const auto out = player.play ((int64_t) (sampleRate * 0.5), { { 0, juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100) } });
    EXPECT_TRUE (allFinite (out));
    EXPECT_GT (rms (out.getReadPointer (0, out.getNumSamples() / 2), out.getNumSamples() / 2), 0.01);

    std::printf ("soak %.0f Hz: %.1f s of audio in %lld blocks, worst block %.2fx real time in CPU time (block %lld, %d samples; "
                 "%.2fx by the wall clock), worst 0.1 s window %.2fx\n",
                 sampleRate, rendered / sampleRate, (long long) blocks, worstRatio, (long long) worstBlock, worstSize,
                 worstWallRatio, worstWindowRatio);
}

INSTANTIATE_TEST_SUITE_P (SampleRates, Soak, ::testing::Values (22050.0, 44100.0, 96000.0, 192000.0),
                          [] (const auto& info) { return std::to_string ((int) info.param) + "Hz"; });
