// The waveform capture: the rows built from the output ring, the rows a
// restore derives from the saved row alone, and their installation into a
// processor that renders at the same time.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "core/CaptureBlock.h"
#include "core/WaveCapture.h"
#include "core/parameters.h"
#include "support/PluginPlayer.h"

namespace
{
constexpr int R = CaptureBlock::kRingSize;
constexpr int N = WaveRows::kRowSize;
const double twoPi = 2.0 * std::acos (-1.0);

void fill (CaptureBlock& block, double (*signal) (int))
{
    for (int i = 0; i < R; ++i)
        block.setSample (i, (float) signal (i));
}

double sine100 (int i) { return 0.8 * std::sin (twoPi * i / 100.0); }
double dcHalf (int) { return 0.5; }
double square200 (int i) { return (i / 100) % 2 == 0 ? 0.5 : -0.5; }
double square4096 (int i) { return (i / 2048) % 2 == 0 ? 0.6 : -0.6; }

double peakOf (const double* row)
{
    double p = 0.0;
    for (int i = 0; i < N; ++i)
        p = std::max (p, std::abs (row[i]));
    return p;
}

std::unique_ptr<WaveRows> buildRows (const CaptureBlock& block, double captureSize, double rate = 44100.0)
{
    auto rows = std::make_unique<WaveRows>();
    waveCapture::build (block.entries(), R, block.getPosition(), captureSize, rate, *rows);
    return rows;
}

// The rows a restore gets: row 0 as the record stores it, the rest derived.
std::unique_ptr<WaveRows> restoredRows (const WaveRows& built, double rate = 44100.0)
{
    auto rows = std::make_unique<WaveRows>();
    for (int i = 0; i < N; ++i)
        rows->rows[0][i] = (double) (float) std::clamp (built.rows[0][i], -1.0, 1.0);
    waveCapture::deriveFromRow0 (*rows, rate);
    return rows;
}

double largestRowDifference (const WaveRows& a, const WaveRows& b, int& worstRow)
{
    double worst = 0.0;
    for (int k = 0; k < WaveRows::kNumRows; ++k)
        for (int i = 0; i < N; ++i)
            if (const double d = std::abs (a.rows[k][i] - b.rows[k][i]); d > worst)
            {
                worst = d;
                worstRow = k;
            }
    return worst;
}

TEST (WaveCapture, StepStaysUsableAndEveryRunEndsBeforeTheNewestSample)
{
    EXPECT_DOUBLE_EQ (waveCapture::stepFor (0.0), 1.0);
    EXPECT_DOUBLE_EQ (waveCapture::stepFor (0.5), 0.5);
    EXPECT_DOUBLE_EQ (waveCapture::stepFor (1.0), 0.25);
    for (const double bad : { -1.0, 2.0, 1.0e300, -1.0e300, std::numeric_limits<double>::quiet_NaN() })
    {
        const double s = waveCapture::stepFor (bad);
        EXPECT_GE (s, 0.25) << bad;
        EXPECT_LE (s, 1.0) << bad;
    }

    // Entries numbered by index: the slots show which were taken.
    CaptureBlock block;
    fill (block, [] (int i) { return (double) i; });
    block.setPosition (100);
    std::vector<double> slots ((size_t) N);

    waveCapture::resample (block.entries(), R, 100, 0.0, slots.data());
    for (int j = 0; j < N; ++j)
        ASSERT_EQ (slots[(size_t) j], (double) ((172404 + j) % R)) << j;

    for (const double size : { 0.5, 1.0, 0.3, -4.0, 7.0 })
    {
        waveCapture::resample (block.entries(), R, 100, size, slots.data());
        EXPECT_EQ (slots[N - 1], 99.0) << size;
        const double s = waveCapture::stepFor (size);
        // Consecutive entries, about 1/s of them per slot, back from entry 99.
        EXPECT_NEAR (std::fmod (99.0 - slots[0] + R, (double) R), (N - 1) / s, 1.0 / s + 1.0) << size;
    }

    // Near the start of the ring the run wraps to its end.
    waveCapture::resample (block.entries(), R, 5, 0.0, slots.data());
    EXPECT_EQ (slots[0], (double) (R - 4096 + 5));
    EXPECT_EQ (slots[N - 1], 4.0);
}

TEST (WaveCapture, SilenceDcAndSineGiveTheirRows)
{
    CaptureBlock block;
    block.setPosition (4321);
    {
        const auto rows = buildRows (block, 0.5);
        for (int k = 0; k < WaveRows::kNumRows; ++k)
            EXPECT_EQ (peakOf (rows->rows[k]), 0.0) << k;
    }

    fill (block, dcHalf);
    {
        const auto rows = buildRows (block, 0.5);
        for (int k = 0; k <= 8; ++k)
            for (int i = 0; i < N; ++i)
                ASSERT_NEAR (rows->rows[k][i], 1.0, 1.0e-8) << k << " " << i;
        const auto* row11 = rows->rows[11];
        EXPECT_NEAR (*std::min_element (row11, row11 + N), 0.5458, 5.0e-4);
        EXPECT_NEAR (*std::max_element (row11, row11 + N), 0.9767, 5.0e-4);
    }

    // The rows' peaks fall with pitch range, wherever the ring stands (as
    // long as the run does not start on a crest: its first sample is not
    // smoothed and then sets the gain).
    fill (block, sine100);
    const double peaks[] = { 1.0085, 0.9956, 0.9472, 0.7947 };
    for (const int64_t position : { 0, 100, 12345, 54361, R - 1 })
    {
        block.setPosition (position);
        const auto rows = buildRows (block, 0.0);
        for (int k = 0; k < 4; ++k)
            EXPECT_NEAR (peakOf (rows->rows[k]), peaks[k], 1.0e-3) << "row " << k << " at " << position;
        EXPECT_LT (peakOf (rows->rows[6]), 0.05) << position;
    }
}

TEST (WaveCapture, RowZeroAloneRebuildsTheOtherRows)
{
    CaptureBlock block;
    block.setPosition (77777);

    // Row 0 within [-1, 1]: the saved row gives back every row.
    for (auto* signal : { dcHalf, square200, square4096 })
    {
        fill (block, signal);
        for (const double rate : { 44100.0, 22050.0, 96000.0 })
        {
            const auto built = buildRows (block, 0.5, rate);
            const auto restored = restoredRows (*built, rate);
            int row = -1;
            EXPECT_LT (largestRowDifference (*built, *restored, row), 1.0e-6) << "rate " << rate << " row " << row;
        }
    }

    // A sine's row 0 passes 1 and is saved clamped: the rebuilt rows stay
    // close, and within range.
    fill (block, sine100);
    const auto built = buildRows (block, 0.0);
    const auto restored = restoredRows (*built);
    int row = -1;
    EXPECT_LT (largestRowDifference (*built, *restored, row), 0.03) << "row " << row;
    for (int k = 0; k < WaveRows::kNumRows; ++k)
        EXPECT_LE (peakOf (restored->rows[k]), 1.0);

    // Whatever row 0 holds, the derived rows are finite and in range.
    WaveRows noisy;
    uint32_t seed = 12345;
    for (auto& v : noisy.rows[0])
    {
        seed = seed * 1664525u + 1013904223u;
        v = (double) (seed >> 8) / (double) (1u << 23) - 1.0;
    }
    waveCapture::deriveFromRow0 (noisy, 8000.0);
    for (int k = 0; k < WaveRows::kNumRows; ++k)
        for (int i = 0; i < N; ++i)
            ASSERT_TRUE (std::isfinite (noisy.rows[k][i]) && std::abs (noisy.rows[k][i]) <= 1.0) << k << " " << i;
}

//==============================================================================
juce::MemoryBlock saveState (BrevonAudioProcessor& p)
{
    juce::MemoryBlock block;
    p.getStateInformation (block);
    return block;
}

// Only oscillator 3 sounds, so the notes play the wave buffers.
void oscillatorThreeOnly (BrevonAudioProcessor& p)
{
    p.setParameter (params::kOsc1Volume, 0.0f);
    p.setParameter (params::kOsc2Volume, 0.0f);
    p.setParameter (params::kNoiseVolume, 0.0f);
    p.setParameter (params::kOsc3Volume, 1.0f);
}

std::vector<float> playNote (PluginPlayer& player, int note)
{
    player.processor().setRandomSeed (7);
    const auto out = player.play (8192, { { 0, juce::MidiMessage::noteOn (1, note, (juce::uint8) 100) },
                                          { 6000, juce::MidiMessage::noteOff (1, note) } });
    player.play (44100); // let it die away before the next note
    return std::vector<float> (out.getReadPointer (0), out.getReadPointer (0) + out.getNumSamples());
}

float largestDifference (const std::vector<float>& a, const std::vector<float>& b)
{
    float d = 0.0f;
    for (size_t i = 0; i < a.size(); ++i)
        d = std::max (d, std::abs (a[i] - b[i]));
    return d;
}

TEST (WaveCapture, ProcessorCaptureOfSilenceSelectsTheEmptyShape)
{
    BrevonAudioProcessor p;
    p.captureWaveform();
    for (int k = 0; k < WaveRows::kNumRows; ++k)
        EXPECT_EQ (peakOf (p.getEngine()->getWaveBuffer (k)), 0.0) << k;
    EXPECT_EQ (p.getParameter (params::kOsc3Shape), 0.04f);
}

TEST (WaveCapture, SavedCaptureRestoresAllRowsAndPlaysTheSameAtEveryPitch)
{
    for (auto* signal : { sine100, square4096 })
    {
        PluginPlayer captured, restored, plain;
        for (auto* player : { &captured, &restored, &plain })
        {
            player->warmUp();
            oscillatorThreeOnly (player->processor());
        }

        auto& block = captured.processor().getCaptureBlock();
        fill (block, signal);
        block.setPosition (31415);
        captured.processor().setParameter (params::kCaptureResampling, 0.0f);
        captured.processor().captureWaveform();

        auto* a = captured.processor().getEngine();
        auto before = std::make_unique<WaveRows>();
        for (int k = 0; k < WaveRows::kNumRows; ++k)
            std::copy (a->getWaveBuffer (k), a->getWaveBuffer (k) + N, before->rows[k]);

        const auto state = saveState (captured.processor());
        restored.processor().setStateInformation (state.getData(), (int) state.getSize());
        EXPECT_EQ (restored.processor().getParameter (params::kOsc3Shape), 0.04f);

        auto* b = restored.processor().getEngine();
        for (int k = 0; k < WaveRows::kNumRows; ++k)
            for (int i = 0; i < N; ++i)
            {
                ASSERT_NEAR (before->rows[k][i], b->getWaveBuffer (k)[i], 1.0e-6) << "row " << k << " sample " << i;
                ASSERT_LE (std::abs (b->getWaveBuffer (k)[i]), 1.0);
            }

        // The same shape plays at every pitch; a plain instance on the same
        // settings but with the stock rows sounds different. The captured
        // instance loads its own state too, so both start their notes from
        // the same reset; its rows stay as they were.
        captured.processor().setStateInformation (state.getData(), (int) state.getSize());
        for (int k = 0; k < WaveRows::kNumRows; ++k)
            ASSERT_TRUE (std::equal (before->rows[k], before->rows[k] + N, a->getWaveBuffer (k))) << k;
        plain.processor().setParameter (params::kOsc3Shape, 0.04f);
        plain.processor().setParameter (params::kCaptureResampling, 0.0f);
        for (const int note : { 60, 96 })
        {
            const auto x = playNote (captured, note);
            const auto y = playNote (restored, note);
            const auto z = playNote (plain, note);
            if (signal == square4096) // the sine's high rows are filtered nearly away
                EXPECT_GT (rms (x.data(), (int) x.size()), 1.0e-2) << note;
            EXPECT_LT (largestDifference (x, y), 1.0e-5f) << note;
            EXPECT_GT (largestDifference (x, z), 0.05f) << note;
        }
    }
}

TEST (WaveCapture, ReaderUnderTheCallbackLockNeverSeesAMixedInstall)
{
    BrevonAudioProcessor p;
    auto plus = std::make_unique<WaveRows>(), minus = std::make_unique<WaveRows>();
    for (int k = 0; k < WaveRows::kNumRows; ++k)
        for (int i = 0; i < N; ++i)
        {
            plus->rows[k][i] = 1.0;
            minus->rows[k][i] = -1.0;
        }

    p.installWaveRows (*plus);
    std::atomic<bool> done { false };
    std::thread installer ([&] {
        for (int n = 0; n < 2000; ++n)
            p.installWaveRows (n % 2 == 0 ? *plus : *minus);
        done = true;
    });

    int looks = 0, mixed = 0;
    while (! done.load() || looks == 0)
    {
        // As a host holds it around the block.
        const juce::ScopedLock sl (p.getCallbackLock());
        const double first = p.getEngine()->getWaveBuffer (0)[0];
        for (int k = 0; k < WaveRows::kNumRows; ++k)
            for (int i = 0; i < N; ++i)
                if (p.getEngine()->getWaveBuffer (k)[i] != first)
                    ++mixed;
        ++looks;
    }
    installer.join();
    EXPECT_EQ (mixed, 0) << "over " << looks << " looks";
}
} // namespace
