#include "dsp/ColorEcho.h"

#include "MasterEffectsTestUtil.h"

#include <gtest/gtest.h>

#include <limits>

using namespace fxtest;

namespace
{
// Index of the first sample after `from` whose magnitude exceeds the
// threshold, or -1.
int firstAbove (const std::vector<float>& x, size_t from, double threshold = 1.0e-9)
{
    for (size_t i = from; i < x.size(); ++i)
        if (std::abs (x[i]) > threshold)
            return (int) i;
    return -1;
}

struct Click
{
    std::vector<float> left, right;
};

void setUp (ColorEcho& echo, double mix, double feedback, double time, double stereo, double colour,
            double sampleRate = 44100.0, int blockSize = 512)
{
    echo.prepare (sampleRate, blockSize);
    echo.updateEchoValues (mix, feedback, time, stereo, colour, 2.0);
}

void run (ColorEcho& echo, std::vector<float>& left, std::vector<float>& right, int blockSize = 512)
{
    inBlocks (left, right, blockSize, [&] (float* l, float* r, int n) { echo.process (l, r, n); });
}

// A second of silence, so that the colour has glided to its setting.
void settle (ColorEcho& echo)
{
    std::vector<float> l (44100, 0.0f), r (44100, 0.0f);
    run (echo, l, r);
}

Click clickThrough (ColorEcho& echo, int n, int blockSize = 512)
{
    Click c { std::vector<float> ((size_t) n, 0.0f), std::vector<float> ((size_t) n, 0.0f) };
    c.left[0] = c.right[0] = 1.0f;
    run (echo, c.left, c.right, blockSize);
    return c;
}
} // namespace

TEST (ColorEcho, ClickReturnsAfterTheComputedDelays)
{
    // Time 0.5 at 120 bpm is one beat, 22050 samples; stereo 0.05 spreads it
    // to 22050 -/+ 55.125, rounded to 21995 and 22105.
    ColorEcho echo;
    setUp (echo, 1.0, 0.0, 0.5, 0.05, 0.0);
    settle (echo);

    const auto c = clickThrough (echo, 30000);
    EXPECT_EQ (c.left[0], 1.0f); // the dry click passes
    EXPECT_EQ (firstAbove (c.left, 1), 21995);
    EXPECT_EQ (firstAbove (c.right, 1), 22105);

    // Colour 0 (settled): the repeat is w * click + (1 - w) * low-passed click
    // with w = 0.25 and a low-pass that passes nothing at once: a quarter.
    EXPECT_NEAR (c.left[21995], 0.25, 1.0e-3);
    EXPECT_NEAR (c.right[22105], 0.25, 1.0e-3);

    // Time 0 uses the minimum delay, ceil(44100 / (2 * 64)) = 345, on both sides.
    ColorEcho shortest;
    setUp (shortest, 1.0, 0.0, 0.0, 0.5, 1.0);
    const auto s = clickThrough (shortest, 2000);
    EXPECT_EQ (firstAbove (s.left, 1), 345);
    EXPECT_EQ (firstAbove (s.right, 1), 345);
}

TEST (ColorEcho, FeedbackIsKeptBelowOne)
{
    ColorEcho echo;
    setUp (echo, 1.0, 1.0, 0.1, 0.0, 1.0);
    EXPECT_EQ (echo.getFeedback(), 0.99);
    for (double bad : { 1.5, -0.1 })
    {
        echo.updateEchoValues (1.0, bad, 0.1, 0.0, 1.0, 2.0);
        EXPECT_EQ (echo.getFeedback(), 0.0) << bad;
    }

    // Measured: with colour 1 (settled) each repeat is 0.99 of the one before,
    // so the loop decays even at the highest setting.
    echo.updateEchoValues (1.0, 1.0, 0.1, 0.0, 1.0, 2.0);
    const int d = echo.getLeftDelaySamples();
    settle (echo);
    const auto c = clickThrough (echo, 12 * d);
    for (int k = 2; k < 10; ++k)
        EXPECT_NEAR (c.left[(size_t) (k * d)] / c.left[(size_t) ((k - 1) * d)], 0.99, 1.0e-4) << k;
    EXPECT_LT (std::abs (c.left[(size_t) (11 * d)]), std::abs (c.left[(size_t) d]));
}

TEST (ColorEcho, ABadTempoKeepsThePreviousOne)
{
    ColorEcho echo;
    setUp (echo, 1.0, 0.5, 0.5, 0.0, 0.5, 48000.0);
    const int oneBeat = echo.getLeftDelaySamples();
    EXPECT_EQ (oneBeat, 24000);

    for (double bad : { 0.0, -2.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity() })
    {
        echo.updateEchoValues (1.0, 0.5, 0.5, 0.0, 0.5, bad);
        EXPECT_EQ (echo.getLeftDelaySamples(), oneBeat) << bad;
        EXPECT_EQ (echo.getBeatsPerSecond(), 2.0);
    }

    echo.updateEchoValues (1.0, 0.5, 0.5, 0.0, 0.5, 4.0);
    EXPECT_EQ (echo.getLeftDelaySamples(), oneBeat / 2);
}

TEST (ColorEcho, MixBelowThresholdBypassesAndClears)
{
    ColorEcho echo;
    setUp (echo, 1.0, 0.8, 0.2, 0.3, 0.5);

    // Twice: lines filled after a clear must be cleared again.
    for (int round = 0; round < 2; ++round)
    {
        auto l = noise (44100, 21 + round), r = noise (44100, 22 + round);
        echo.process (l.data(), r.data(), 44100);

        // Mix 0.009: the signal passes untouched; repeated changes keep it so.
        for (int change = 0; change < 3; ++change)
            echo.updateEchoValues (0.009, 0.8, 0.2 + 0.01 * change, 0.3, 0.5, 2.0);
        auto l2 = noise (4096, 23), r2 = noise (4096, 24);
        const auto dry = l2;
        echo.process (l2.data(), r2.data(), 4096);
        EXPECT_EQ (l2, dry);

        // ... and turning it back up starts from silent lines.
        echo.updateEchoValues (1.0, 0.8, 0.2, 0.3, 0.5, 2.0);
        std::vector<float> silentL (88200, 0.0f), silentR (88200, 0.0f);
        echo.process (silentL.data(), silentR.data(), 88200);
        EXPECT_EQ (maxAbs (silentL), 0.0) << "round " << round;
        EXPECT_EQ (maxAbs (silentR), 0.0) << "round " << round;
    }
}

TEST (ColorEcho, NonFiniteInputNeverEntersTheLines)
{
    ColorEcho echo;
    setUp (echo, 1.0, 0.9, 0.05, 0.5, 0.5);
    auto l = noise (44100, 25), r = noise (44100, 26);
    l[1000] = std::numeric_limits<float>::quiet_NaN();
    r[2000] = std::numeric_limits<float>::infinity();
    l[3000] = -std::numeric_limits<float>::infinity();
    run (echo, l, r);
    EXPECT_TRUE (allFinite (l) && allFinite (r));

    // The repeats that follow stay finite and still carry the signal.
    auto tailL = noise (4 * 44100, 27), tailR = noise (4 * 44100, 28);
    run (echo, tailL, tailR);
    EXPECT_TRUE (allFinite (tailL) && allFinite (tailR));
    EXPECT_GT (rms (tailL), 0.5);
}

TEST (ColorEcho, LongDelaysFitTheLineAtHighRates)
{
    // Two beats at 15 bpm with full stereo spread: 8.4 s on the right,
    // at 96 and 192 kHz as at 44.1 kHz, without wrapping.
    for (double rate : { 44100.0, 96000.0, 192000.0 })
    {
        ColorEcho echo;
        echo.prepare (rate, 4096);
        echo.updateEchoValues (1.0, 0.0, 1.0, 1.0, 1.0, 0.25);

        const int expectedLeft = (int) std::lround (8.0 * rate * 0.95);
        const int expectedRight = (int) std::lround (8.0 * rate * 1.05);
        const auto c = clickThrough (echo, expectedRight + 100, 4096);
        EXPECT_EQ (firstAbove (c.left, 1), expectedLeft) << rate;
        EXPECT_EQ (firstAbove (c.right, 1), expectedRight) << rate;
    }
}

TEST (ColorEcho, BlockSizeDoesNotChangeTheResult)
{
    ColorEcho a, b;
    setUp (a, 0.7, 0.6, 0.05, 0.4, 0.2, 48000.0);
    setUp (b, 0.7, 0.6, 0.05, 0.4, 0.2, 48000.0);
    auto l1 = noise (48000, 29), r1 = noise (48000, 30);
    auto l2 = l1, r2 = r1;
    a.process (l1.data(), r1.data(), 48000);
    run (b, l2, r2, 100);
    EXPECT_EQ (l1, l2);
    EXPECT_EQ (r1, r2);
}

TEST (ColorEcho, LinesTakeMemoryOnlyOnceTheEchoPlays)
{
    // Eight seconds of line per side at 192 kHz: nothing of it while the mix
    // is off, and once it plays about what has been written and read (a read
    // of a page never written maps the system's zero page, counted here).
    ColorEcho echo;
    setUp (echo, 0.0, 0.5, 0.5, 0.05, 0.5, 192000.0);
    std::vector<float> l (96000, 0.25f), r (96000, 0.25f);
    run (echo, l, r);
    EXPECT_EQ (echo.getResidentBytes(), 0u);

    echo.updateEchoValues (0.5, 0.5, 0.5, 0.05, 0.5, 2.0);
    run (echo, l, r);
    const std::size_t written = 2 * 96000 * sizeof (float);
    EXPECT_GE (echo.getResidentBytes(), written);
    EXPECT_LE (echo.getResidentBytes(), 2 * written + 8 * lazyzero::pageSize());
    EXPECT_LT (echo.getResidentBytes(), 2 * (std::size_t) echo.getLineLength() * sizeof (float) / 4);
}
