#include "gui/Oscilloscope.h"

#include <cmath>

#include "core/EventAggregator.h"
#include "core/parameters.h"

namespace
{
// Drawn samples beyond this are off the widget anyway; the bound keeps the
// pixel arithmetic in range.
float boundedSample (float x) noexcept
{
    return std::isfinite (x) ? juce::jlimit (-4.0f, 4.0f, x) : 0.0f;
}
} // namespace

Oscilloscope::Oscilloscope (EventAggregator* agg) : Colorable ("oscilloscope", agg)
{
    modeName = nameOfMode (mode);
    setOpaque (false);
}

Oscilloscope::~Oscilloscope()
{
    blurImage = {};
}

const char* Oscilloscope::nameOfMode (int m) noexcept
{
    static const char* const names[] = { "no trigger", "trigger", "trigger by osc 1", "pause", "vumeter" };
    return m >= 0 && m < numModes ? names[m] : "";
}

int Oscilloscope::samplesPerPixelFor (double scale) noexcept
{
    const double p = std::isfinite (scale) ? juce::jlimit (0.0, 1.0, scale) : 0.0;
    return (int) (300.0 * p * p) + 1;
}

void Oscilloscope::setLiveBlock (CaptureBlock* block)
{
    live = block;
    source = (mode == pausing) ? &paused : live;
}

void Oscilloscope::setBlur (bool on)
{
    blur = on;
}

void Oscilloscope::mouseDown (const juce::MouseEvent&)
{
    mode = (mode + 1) % numModes;
    modeName = nameOfMode (mode);

    if (mode == pausing)
    {
        if (live != nullptr)
            paused.copyFrom (*live);
        source = &paused;
    }
    else
        source = live;

    if (aggregator != nullptr && ! EventAggregator::isSendInProgress())
        aggregator->sendEvent (OscilloscopeModeChanged, 0);
}

void Oscilloscope::fadeTrail (juce::Image& image)
{
    const juce::Image::BitmapData data (image, juce::Image::BitmapData::readWrite);
    for (int y = 0; y < data.height; ++y)
    {
        auto* line = data.getLinePointer (y);
        for (int x = 0; x < data.width; ++x)
        {
            auto* px = reinterpret_cast<juce::PixelARGB*> (line + x * data.pixelStride);
            const int a = px->getAlpha();
            if (a == 0)
                continue;
            const int faded = a * 3 / 5;
            // Premultiplied: the colour shrinks with its alpha.
            px->setARGB ((juce::uint8) faded, (juce::uint8) (px->getRed() * faded / a),
                         (juce::uint8) (px->getGreen() * faded / a), (juce::uint8) (px->getBlue() * faded / a));
        }
    }
}

void Oscilloscope::paint (juce::Graphics& g)
{
    if (! blur)
    {
        paintReal (g);
        return;
    }

    const int w = getWidth(), h = getHeight();
    if (w <= 0 || h <= 0)
        return;
    if (! blurImage.isValid() || blurImage.getWidth() != w || blurImage.getHeight() != h)
        blurImage = juce::Image (juce::Image::ARGB, w, h, true);

    fadeTrail (blurImage);
    frameToggle = ! frameToggle;
    {
        juce::Graphics ig (blurImage);
        paintReal (ig);
    }
    g.setOpacity (1.0f);
    g.drawImageAt (blurImage, 0, 0);
}

void Oscilloscope::paintReal (juce::Graphics& g)
{
    if (parameterValues == nullptr || source == nullptr || live == nullptr)
        return;

    const int w = getWidth(), h = getHeight();

    if (clipFlash > 0.01f)
    {
        g.setColour (juce::Colours::red.withAlpha ((juce::uint8) (int) (clipFlash * 200.0f)));
        g.fillRoundedRectangle (0.0f, 0.0f, (float) w, (float) h, 15.0f);
        clipFlash *= 0.9f;
    }

    if (mode == vumeter)
        paintMeters (g, w, h);
    else
        paintTrace (g, w, h);
}

int64_t Oscilloscope::startIndex (const CaptureBlock& block, int m, int k, int width, double window) noexcept
{
    const int64_t p = block.getPosition();
    const int64_t base = p + CaptureBlock::kRingSize - (int64_t) k * width;

    if (m == trigger)
    {
        const int64_t from = base + 5 * (int64_t) k;
        double a = 0.0, q = 1.0;
        for (int64_t s = 0; s < CaptureBlock::kRingSize; ++s)
        {
            const double x = block.sample (from - s);
            if (x > a && x > q && std::abs (x) < 0.01)
                return base - s;
            a = 0.93 * a + 0.07 * x;
            q = x;
        }
        return base;
    }

    if (m == triggerByOsc1)
    {
        // An unusable window (not a number, under one sample, beyond the
        // ring) means no trigger.
        if (! std::isfinite (window) || window < 1.0 || window > (double) CaptureBlock::kRingSize)
            return base;
        const int64_t period = (int64_t) std::lrint (window);
        if (period < 1)
            return base;
        const int64_t r = p % period;
        return base - (r < 0 ? r + period : r);
    }

    return base;
}

void Oscilloscope::paintTrace (juce::Graphics& g, int w, int h)
{
    const int k = samplesPerPixelFor (parameterValues[params::kOscilloscope]);
    samplesPerPixel = k;
    if (w < 2)
        return;

    const int64_t start = startIndex (*source, mode, k, w, triggerWindow);
    const float scale = (float) (int) (0.8 * h);
    const float mid = 0.5f * (float) h - 1.0f;

    juce::Path path;
    for (int x = 1; x < w; ++x)
    {
        const float v = boundedSample (source->sample (start + (int64_t) k * x));
        const float y = (float) (int) (v * scale + mid);
        if (x == 1)
            path.startNewSubPath (1.0f, y);
        else
            path.lineTo ((float) x, y);
    }

    const juce::PathStrokeType::JointStyle joint = juce::PathStrokeType::mitered;
    const juce::PathStrokeType::EndCapStyle cap = juce::PathStrokeType::butt;
    g.setColour (juce::Colour ((juce::uint8) 140, (juce::uint8) 160, (juce::uint8) 220, (juce::uint8) 64));
    g.strokePath (path, juce::PathStrokeType (4.0f, joint, cap));
    g.setColour (juce::Colour ((juce::uint8) 160, (juce::uint8) 180, (juce::uint8) 220, (juce::uint8) 96));
    g.strokePath (path, juce::PathStrokeType (2.0f, joint, cap));
    g.setColour (juce::Colour ((juce::uint8) 200, (juce::uint8) 200, (juce::uint8) 220, (juce::uint8) 255));
    g.strokePath (path, juce::PathStrokeType (1.0f, joint, cap));
}

void Oscilloscope::paintMeters (juce::Graphics& g, int w, int h)
{
    const float values[2] = { juce::jlimit (0.01f, 1.0f, source->peakLeft.load (std::memory_order_relaxed)),
                              juce::jlimit (0.01f, 1.0f, source->peakRight.load (std::memory_order_relaxed)) };
    const float coefficients[2] = { 0.25f, 0.3f };
    const float barX[2] = { 0.1f * (float) w - 1.0f, 0.5f * (float) w + 1.0f };
    const float holdX[2] = { 0.1f * (float) w + 1.0f, 0.5f * (float) w + 3.0f };
    const float fw = (float) w, fh = (float) h;

    for (int i = 0; i < 2; ++i)
    {
        auto& bar = bars[i];
        const float v = values[i], c = coefficients[i];
        if (v > bar.fast)
        {
            bar.fast = bar.slow = v;
            bar.counter = 0;
        }
        else if (bar.counter++ >= 2)
        {
            bar.fast = c * v + (1.0f - c) * bar.fast;
            bar.slow = c * bar.fast + (1.0f - c) * bar.slow;
        }

        g.setColour ((*getColors())[0]);
        g.fillRoundedRectangle (barX[i], fh - bar.slow * fh, 0.4f * fw, bar.slow * fh, 1.5f);

        if (v > bar.hold)
        {
            bar.hold = v;
            bar.holdCounter = 0;
        }
        else if (bar.holdCounter++ >= 16)
            bar.hold = 0.05f * v + 0.95f * bar.hold;

        g.setColour ((*getColors())[2]);
        g.fillRoundedRectangle (holdX[i], fh - bar.hold * fh - 1.5f, 0.4f * fw - 4.0f, 1.5f, 0.5f);
    }

    source->peakReset.store (true, std::memory_order_relaxed);
}
