// The scope widget on its own, linked to a capture block the test fills (or to
// a rendering processor), painted headless and probed pixel by pixel.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <limits>
#include <vector>

#include "core/EventAggregator.h"
#include "core/parameters.h"
#include "gui/Oscilloscope.h"
#include "support/EditorRig.h"
#include "support/PluginPlayer.h"

using namespace editorRig;

namespace
{
// The scope's place on the synth page.
constexpr int kWidth = 230, kHeight = 105;

struct ModeCounter : EventListener
{
    void receiveEvent (EventType type, int value) override
    {
        if (type == OscilloscopeModeChanged && value == 0)
            ++count;
    }
    int count = 0;
};

class OscilloscopeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        values = std::vector<ParameterValue> ((size_t) params::kNumValues);
        values[params::kOscilloscope] = 0.0;
        scope.setParameterValues (values.data());
        scope.setSize (kWidth, kHeight);
    }

    void fillSine (CaptureBlock& block)
    {
        for (int i = 0; i < CaptureBlock::kRingSize; ++i)
            block.setSample (i, (float) (0.8 * std::sin (2.0 * juce::MathConstants<double>::pi * i / 100.0)));
    }

    void clickTo (int mode)
    {
        for (int i = 0; i < Oscilloscope::numModes && scope.getMode() != mode; ++i)
            scope.mouseDown (mouseDown (scope, { 10.0f, 10.0f }, {}));
        ASSERT_EQ (scope.getMode(), mode);
    }

    // Row of the strongest trace pixel in each column (-1 where none).
    static std::vector<int> traceRows (const juce::Image& image)
    {
        std::vector<int> rows ((size_t) image.getWidth(), -1);
        for (int x = 0; x < image.getWidth(); ++x)
        {
            int best = 0;
            for (int y = 0; y < image.getHeight(); ++y)
                if (const int a = image.getPixelAt (x, y).getAlpha(); a > best && a > 100)
                {
                    best = a;
                    rows[(size_t) x] = y;
                }
        }
        return rows;
    }

    AssertionsFailTests assertionsFail;
    EventAggregator bus { "scope test" };
    Oscilloscope scope { &bus };
    CaptureBlock block;
    std::vector<ParameterValue> values;
};

TEST_F (OscilloscopeTest, SamplesPerPixelFollowTheTimeScaleSquaredAndStayInRange)
{
    block.setPosition (5000);
    scope.setLiveBlock (&block);
    scope.setBlur (false);
    const double scales[] = { 0.0, 0.25, 1.0 };
    const int expected[] = { 1, 19, 301 };
    for (int i = 0; i < 3; ++i)
    {
        values[params::kOscilloscope] = scales[i];
        Snapshot shot (scope, "scale");
        EXPECT_EQ (scope.getSamplesPerPixel(), expected[i]) << scales[i];
    }
    EXPECT_EQ (Oscilloscope::samplesPerPixelFor (-3.0), 1);
    EXPECT_EQ (Oscilloscope::samplesPerPixelFor (7.0), 301);
    EXPECT_EQ (Oscilloscope::samplesPerPixelFor (std::numeric_limits<double>::quiet_NaN()), 1);
}

TEST_F (OscilloscopeTest, ClicksCycleTheFiveModesAndAnnounceEach)
{
    ModeCounter counter;
    bus.registerForEvent (OscilloscopeModeChanged, &counter);
    scope.setLiveBlock (&block);

    EXPECT_EQ (scope.getMode(), Oscilloscope::triggerByOsc1);
    EXPECT_EQ (scope.getModeName(), "trigger by osc 1");
    EXPECT_EQ (scope.getSource(), &block);

    const char* names[] = { "pause", "vumeter", "no trigger", "trigger", "trigger by osc 1" };
    for (int i = 0; i < 5; ++i)
    {
        block.setSample (7, (float) i);
        scope.mouseDown (mouseDown (scope, { 3.0f, 3.0f }, {}));
        EXPECT_EQ (scope.getModeName(), names[i]);
        EXPECT_EQ (counter.count, i + 1);
        if (i == 0)
        {
            // Entering pause takes a copy, and the copy is what is drawn.
            EXPECT_EQ (scope.getSource(), &scope.getPausedCopy());
            EXPECT_EQ (scope.getPausedCopy().sample (7), 0.0f);
        }
        else
            EXPECT_EQ (scope.getSource(), &block);
    }
    bus.unregisterListener (&counter);
}

TEST_F (OscilloscopeTest, UnlinkedScopeDrawsNothing)
{
    scope.setClipFlash (1.0f);
    Snapshot shot (scope, "unlinked");
    for (int y = 0; y < kHeight; y += 7)
        for (int x = 0; x < kWidth; x += 7)
            ASSERT_EQ (shot.at (x, y).getAlpha(), 0) << x << "," << y;
}

TEST_F (OscilloscopeTest, TriggerLinesUpASineAtAnyPosition)
{
    fillSine (block);
    scope.setLiveBlock (&block);
    scope.setBlur (false);
    clickTo (Oscilloscope::trigger);

    for (const double scale : { 0.0, 0.25 })
    {
        values[params::kOscilloscope] = scale;
        std::vector<int> first;
        for (const int64_t position : { 0, 1234, 98765, 176399 })
        {
            block.setPosition (position);
            Snapshot shot (scope, "sine-" + juce::String (scale) + "-" + juce::String (position));
            const auto rows = traceRows (shot.image);
            if (first.empty())
            {
                first = rows;
                // A sine swinging over most of the height, not a flat line.
                int low = kHeight, high = -1;
                for (const int r : rows)
                    if (r >= 0)
                    {
                        low = std::min (low, r);
                        high = std::max (high, r);
                    }
                EXPECT_GT (high - low, 60);
                continue;
            }
            for (size_t x = 2; x + 1 < rows.size(); ++x)
                ASSERT_LE (std::abs (rows[x] - first[x]), 1) << "column " << x << " at position " << position;
        }
    }
}

TEST_F (OscilloscopeTest, StartIndexNeverLeavesTheRingAndBadWindowsMeanNoTrigger)
{
    // Silent ring, newest entry 0, slowest scale: the scan wraps below zero.
    const int k = Oscilloscope::samplesPerPixelFor (1.0);
    const int64_t base = CaptureBlock::kRingSize - (int64_t) k * kWidth;
    EXPECT_EQ (Oscilloscope::startIndex (block, Oscilloscope::trigger, k, kWidth, 100.0), base);
    EXPECT_EQ (CaptureBlock::wrap (-67724), CaptureBlock::kRingSize - 67724);
    EXPECT_EQ (CaptureBlock::wrap (-CaptureBlock::kRingSize), 0);

    scope.setLiveBlock (&block);
    values[params::kOscilloscope] = 1.0;
    clickTo (Oscilloscope::trigger);
    {
        Snapshot shot (scope, "silent-trigger");
        // The flat line of a silent ring at its middle height.
        const int row = traceRows (shot.image)[kWidth / 2];
        EXPECT_GE (row, (int) (0.5 * kHeight - 1.0) - 1);
        EXPECT_LE (row, (int) (0.5 * kHeight - 1.0));
    }

    block.setPosition (12345);
    for (const double window : { 0.0, -5.0, std::numeric_limits<double>::quiet_NaN(), 1.0e30, 0.4 })
    {
        EXPECT_EQ (Oscilloscope::startIndex (block, Oscilloscope::triggerByOsc1, 19, kWidth, window),
                   12345 + CaptureBlock::kRingSize - 19 * kWidth)
            << window;
        clickTo (Oscilloscope::triggerByOsc1);
        scope.setTriggerWindow (window);
        Snapshot shot (scope, "window");
    }

    // A usable window: every frame starts on the same phase of it.
    std::vector<int64_t> phases;
    for (const int64_t position : { 0, 777, 176399 })
    {
        block.setPosition (position);
        const int64_t start = Oscilloscope::startIndex (block, Oscilloscope::triggerByOsc1, 19, kWidth, 99.6);
        phases.push_back (((start % 100) + 100) % 100);
        EXPECT_LE (start, position + CaptureBlock::kRingSize - 19 * kWidth);
    }
    EXPECT_EQ (phases[0], phases[1]);
    EXPECT_EQ (phases[0], phases[2]);
}

TEST_F (OscilloscopeTest, MetersShowPeaksHoldThemAndAskForNewOnes)
{
    scope.setLiveBlock (&block);
    scope.setBlur (false);
    clickTo (Oscilloscope::vumeter);
    block.peakLeft = 0.5f;
    block.peakRight = 1.0f;
    block.peakReset = false;

    const auto colour0 = (*scope.getColors())[0];
    const int leftX = (int) (0.3 * kWidth), rightX = (int) (0.7 * kWidth);
    auto barHeight = [&] (const juce::Image& image, int x) {
        int n = 0;
        for (int y = kHeight - 1; y >= 0 && near (image.getPixelAt (x, y), colour0, 3) && image.getPixelAt (x, y).getAlpha() == 255; --y)
            ++n;
        return n;
    };

    {
        Snapshot shot (scope, "meters");
        EXPECT_NEAR (barHeight (shot.image, leftX), 52.5, 1.0);
        EXPECT_EQ (barHeight (shot.image, rightX), kHeight);
        EXPECT_TRUE (block.peakReset.load());
    }

    // The level falls: two paints keep the bar, the third lets it sink.
    block.peakLeft = 0.01f;
    std::vector<int> heights;
    for (int i = 0; i < 3; ++i)
    {
        Snapshot shot (scope, "falling");
        heights.push_back (barHeight (shot.image, leftX));
    }
    EXPECT_EQ (heights[0], heights[1]);
    EXPECT_LT (heights[2], heights[1] - 2);
}

TEST_F (OscilloscopeTest, ClipFlashAndTrailFadeByTheirFactors)
{
    scope.setLiveBlock (&block);
    scope.setBlur (false);
    clickTo (Oscilloscope::pausing);
    scope.setClipFlash (1.0f);
    const int expected[] = { 200, 180, 162 };
    for (int i = 0; i < 3; ++i)
    {
        Snapshot shot (scope, "flash");
        const auto c = shot.at (kWidth / 2, 10);
        EXPECT_NEAR (c.getAlpha(), expected[i], 1) << i;
        EXPECT_GT (c.getRed(), 250);
    }

    scope.setClipFlash (0.0f);
    scope.setBlur (true);
    {
        Snapshot first (scope, "trail-0");
    }
    juce::Image trail = scope.getBlurImage();
    ASSERT_TRUE (trail.isValid());
    trail.setPixelAt (5, 5, juce::Colours::white);
    const int faded[] = { 153, 91 };
    for (int i = 0; i < 2; ++i)
    {
        Snapshot shot (scope, "trail");
        EXPECT_EQ (trail.getPixelAt (5, 5).getAlpha(), faded[i]);
        EXPECT_EQ (shot.at (5, 5).getAlpha(), faded[i]);
    }
}

TEST_F (OscilloscopeTest, PauseFreezesTheTraceWhileAudioGoesOn)
{
    PluginPlayer player;
    player.warmUp();
    auto& processor = player.processor();
    scope.setLiveBlock (&processor.getCaptureBlock());
    scope.setParameterValues (processor.getParameterValues());
    scope.setBlur (false);

    juce::AudioBuffer<float> buffer (2, player.blockSize);
    juce::MidiBuffer midi;
    midi.addEvent (juce::MidiMessage::noteOn (1, 57, (juce::uint8) 100), 0);
    for (int i = 0; i < 20; ++i)
    {
        player.renderBlock (buffer, midi);
        midi.clear();
    }

    clickTo (Oscilloscope::pausing);
    Snapshot before (scope, "paused-before");
    for (int i = 0; i < 20; ++i)
        player.renderBlock (buffer, midi);
    Snapshot after (scope, "paused-after");
    int moving = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            if (before.at (x, y) != after.at (x, y))
                ++moving;
    EXPECT_EQ (moving, 0);

    clickTo (Oscilloscope::noTrigger);
    Snapshot live (scope, "live");
    int changed = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            if (before.at (x, y) != live.at (x, y))
                ++changed;
    EXPECT_GT (changed, 50);
}

// Run under ThreadSanitizer too: the editor's reads of ring, peaks and time
// scale and the capture's install meet a block rendering on another thread.
TEST_F (OscilloscopeTest, PaintsAndCapturesWhileAudioRenders)
{
    PluginPlayer player;
    player.warmUp();
    auto& processor = player.processor();
    scope.setLiveBlock (&processor.getCaptureBlock());
    scope.setParameterValues (processor.getParameterValues());

    std::atomic<bool> stop { false }, finite { true };
    std::atomic<int> blocks { 0 };
    std::thread audio ([&] {
        juce::AudioBuffer<float> buffer (2, 256);
        juce::MidiBuffer midi;
        for (int n = 0; ! stop.load(); ++n)
        {
            midi.clear();
            const int note = 36 + (n / 40) % 48;
            if (n % 40 == 0)
                midi.addEvent (juce::MidiMessage::noteOn (1, note, (juce::uint8) 110), 0);
            else if (n % 40 == 30)
                midi.addEvent (juce::MidiMessage::noteOff (1, note), 0);
            player.renderBlock (buffer, midi);
            if (! allFinite (buffer))
                finite = false;
            ++blocks;
        }
    });

    juce::Image frame (juce::Image::ARGB, kWidth, kHeight, true);
    for (int i = 0; i < 300; ++i)
    {
        if (processor.getClipLamp() > 0)
            scope.setClipFlash (1.0f);
        if (i % 50 == 49)
            scope.mouseDown (mouseDown (scope, { 4.0f, 4.0f }, {}));
        scope.setTriggerWindow (processor.getScopeWindow());
        {
            juce::Graphics g (frame);
            scope.paintEntireComponent (g, false);
        }
        if (i % 15 == 7)
            processor.captureWaveform();
    }
    stop = true;
    audio.join();

    EXPECT_TRUE (finite.load());
    EXPECT_GT (blocks.load(), 0);
    EXPECT_EQ (processor.getParameter (params::kOsc3Shape), 0.04f);
}
} // namespace
