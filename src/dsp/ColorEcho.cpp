#include "dsp/ColorEcho.h"

#include "dsp/EffectCommon.h"

#include <algorithm>
#include <cmath>

namespace
{
// Two beats at 15 bpm (8 s), plus the widest stereo offset (5 %).
constexpr double kLineSeconds = 8.0 * 1.05;

inline double finiteOr (double x, double fallback) noexcept
{
    return std::isfinite (x) ? x : fallback;
}

// One more than the longest delay, rounded up to a multiple of 8 so the
// colour smoothing stays on a steady 8-sample grid.
inline int lineLengthFor (double sampleRate) noexcept
{
    const int length = (int) std::ceil (kLineSeconds * sampleRate) + 1;
    return (length + 7) & ~7;
}
} // namespace

void ColorEcho::prepare (double rate, int)
{
    sampleRate = effects::sanitisedSampleRate (rate);

    const int length = lineLengthFor (sampleRate);

    if (length != lineLength)
    {
        lineLength = length;
        leftLine.allocate ((size_t) length);
        rightLine.allocate ((size_t) length);
        linesWritten = false;
        leftLowPass = rightLowPass = 0.0;
        position = 0;
    }

    computeDelays();
}

void ColorEcho::reset() noexcept
{
    // A mix held at zero resets on every echo parameter change, under the
    // lock the audio thread waits on: lines nothing wrote since need no pass.
    if (linesWritten)
    {
        std::fill (leftLine.begin(), leftLine.end(), 0.0f);
        std::fill (rightLine.begin(), rightLine.end(), 0.0f);
        linesWritten = false;
    }
    leftLowPass = rightLowPass = 0.0;
    position = 0;
}

void ColorEcho::updateEchoValues (double newMix, double newFeedback, double newTime, double newStereo,
                                  double newColour, double newBeatsPerSecond) noexcept
{
    // A stopped or confused host can report a tempo of 0: keep the last one.
    if (newBeatsPerSecond > 0.0 && std::isfinite (newBeatsPerSecond))
        beatsPerSecond = newBeatsPerSecond;

    time = finiteOr (newTime, time);
    stereo = finiteOr (newStereo, stereo);
    computeDelays();

    feedback = finiteOr (newFeedback, 0.0);
    mix = finiteOr (newMix, 0.0);
    colourTarget = finiteOr (newColour, colourTarget);

    if (mix < effects::kMixThreshold)
        reset();

    if (feedback == 1.0)
        feedback = 0.99;
    else if (feedback > 1.0 || feedback < 0.0)
        feedback = 0.0;
}

void ColorEcho::computeDelays() noexcept
{
    const double base = 2.0 * time * sampleRate / beatsPerSecond;
    const double offset = stereo * 0.05 * base;
    const double minimum = std::ceil (sampleRate / (beatsPerSecond * 64.0));

    leftDelay = std::max (minimum, base - offset);
    rightDelay = std::max (minimum, base + offset);

    // Delays longer than the line wrap around it; reduce before rounding so a
    // very slow tempo cannot overflow the integer. Before prepare() the line
    // length that the current rate will get stands in.
    const double length = lineLength > 0 ? lineLength : lineLengthFor (sampleRate);
    auto wrapped = [length] (double delay) {
        double d = std::round (delay >= length ? std::fmod (delay, length) : delay);
        if (d >= length)
            d -= length;
        return (int) std::max (0.0, d);
    };

    leftDelaySamples = wrapped (leftDelay);
    rightDelaySamples = wrapped (rightDelay);
}

void ColorEcho::process (float* left, float* right, int n) noexcept
{
    if (mix < effects::kMixThreshold || lineLength <= 0 || n <= 0)
        return;

    // Non-finite input becomes silence before it can reach the lines.
    effects::sanitiseBlock (left, n);
    effects::sanitiseBlock (right, n);

    // Both channels start from the same position and colour and end on the
    // same values.
    const int startPosition = position;
    const double startColour = colour;
    linesWritten = true;

    processChannel (left, n, leftLine, leftLowPass, leftDelaySamples);
    position = startPosition;
    colour = startColour;
    processChannel (right, n, rightLine, rightLowPass, rightDelaySamples);

    // Last line of defence: a state that overflowed anyway would ring forever.
    if (! std::isfinite (leftLowPass) || ! std::isfinite (rightLowPass))
        reset();

    effects::flushTiny (leftLowPass);
    effects::flushTiny (rightLowPass);
}

void ColorEcho::processChannel (float* samples, int n, LazyZeroBuffer<float>& line, double& lowPass,
                                int delaySamples) noexcept
{
    const int length = lineLength;
    // The delay may have been written by another thread since the block began.
    const int delay = delaySamples >= 0 && delaySamples < length ? delaySamples : 0;
    const double fb = feedback;
    const double wet = mix;
    const double target = colourTarget;

    double k = colour;
    double a = k * k, a1 = 1.0 - a;
    double w = 0.75 * k + 0.25, w1 = 1.0 - w;
    int pos = position;
    double lp = lowPass;

    for (int i = 0; i < n; ++i)
    {
        if ((pos & 7) == 0)
        {
            k = 0.995 * k + 0.005 * target;
            a = k * k;
            a1 = 1.0 - a;
            w = 0.75 * k + 0.25;
            w1 = 1.0 - w;
        }

        if (++pos >= length)
            pos = 0;

        const double x = samples[i];
        const double s = fb * line[(size_t) pos] + x;
        lp = a * s + a1 * lp;

        int writeIndex = pos + delay;
        if (writeIndex >= length)
            writeIndex -= length;
        line[(size_t) writeIndex] = (float) (w * s + w1 * lp);

        samples[i] = (float) (x + wet * line[(size_t) pos]);
    }

    position = pos;
    colour = k;
    lowPass = lp;
}
