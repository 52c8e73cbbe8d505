#include "dsp/Saturator.h"

#include "core/parameters.h"
#include "dsp/EffectCommon.h"

#include <algorithm>
#include <cmath>

namespace
{
inline float clampf (float x, float lo, float hi) noexcept
{
    return x < lo ? lo : (x > hi ? hi : x);
}

// The "classic 2" shaper: a fourth-order odd polynomial that saturates at
// |u| = 1 after the input has been limited to [-4, 4] and scaled by 1/4.
inline float polyShape (float u) noexcept
{
    u = clampf (u, -4.0f, 4.0f) * 0.25f;
    const float r = (std::abs (u) - 2.0f) * u;
    return (std::abs (r) - 2.0f) * r;
}

constexpr double kTwoPi = 6.283185307179586;
} // namespace

void Saturator::prepare (double, int) noexcept
{
    // Nothing depends on the rate or the block size; the state runs on.
}

void Saturator::reset() noexcept
{
    normaliser = 1.0f;
    drive = 1.0f;
    coefficient = (float) (1.0 - std::exp (-kTwoPi * 200.0 / 44100.0));
    envelope = 0.0;
    slowLevel = gain = target1 = 1.0f;
    slowLevel2 = gain2 = target2 = 1.0f;
    previous = 0.0f;
    level = 1.0f;
}

void Saturator::blockBasedSaturate (float* samples, int n) noexcept
{
    if (values == nullptr || n <= 0)
        return;

    const double p = effects::parameter (values, params::kSaturation);
    drive = (float) (p * p * 20.0);
    if (! (drive > 0.01f))
        return;

    normaliser = drive > 1.0f ? std::sqrt (drive - 1.0f) + 1.0f : drive;

    const int type = (int) std::lround ((float) (effects::parameter (values, params::kSaturationType) * 100.0));
    const float pf = (float) p;

    switch (type)
    {
        case 0: classic1 (samples, n); break;
        case 1: classic2 (samples, n); break;
        case 2: tube1 (samples, n, pf); break;
        case 3: tube2 (samples, n, pf); break;
        case 4: compressor (samples, n, pf); break;
        case 5: bolvoTube (samples, n, pf); break;
        default: return;
    }

    // A non-finite input must not stay in the running state for good.
    if (! std::isfinite (envelope) || ! std::isfinite (previous) || ! std::isfinite (level)
        || ! std::isfinite (slowLevel) || ! std::isfinite (gain)
        || ! std::isfinite (slowLevel2) || ! std::isfinite (gain2))
        reset();
}

void Saturator::classic1 (float* samples, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        samples[i] = std::atan (drive * samples[i]) / normaliser;
}

void Saturator::classic2 (float* samples, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        samples[i] = polyShape (drive * samples[i]) / normaliser;
}

void Saturator::tube1 (float* samples, int n, float p) noexcept
{
    const float preGain = drive * 0.0625f + 1.0f;
    const double attack = 0.1 * p * p;

    for (int i = 0; i < n; ++i)
    {
        const float x = preGain * samples[i];
        double k = attack;
        if (! (std::abs (x) > previous))
            k *= 0.2;

        envelope = (1.0 - k) * envelope + k * std::abs (x);
        envelope = std::min (std::max (envelope, 0.0), 0.99);
        previous = x;
        samples[i] = (float) ((1.0 - envelope) * x);
    }
}

void Saturator::tube2 (float* samples, int n, float p) noexcept
{
    const float preGain = drive * 0.25f + 1.0f;
    const float a = 0.2f * p;

    for (int i = 0; i < n; ++i)
    {
        const float x = samples[i];
        envelope = envelope * (0.9f - a) + a * std::atan (std::abs (previous * preGain));
        const float w = (float) (1.0 - p * envelope);

        const float x1 = x + polyShape (preGain * x * w);
        const float y = x1 + p * polyShape (2.0f * w * x1);
        previous = y;

        if (std::abs (y) > 0.5f)
            level -= 0.003f;
        level = clampf (level + 0.001f, 0.5f, 1.0f);

        samples[i] = y * level;
    }
}

void Saturator::compressor (float* samples, int n, float p) noexcept
{
    // Stage 1: programme-dependent gain riding, slow attack and slower release.
    const float g = 0.6f * p + 1.0f;
    const float alpha = 0.998f - 0.09f * p * p;
    const float beta = 0.9998f - 0.001f * p * p;
    const float tau = 0.8f * std::sqrt (p) + 0.2f;

    for (int i = 0; i < n; ++i)
    {
        const float x = g * samples[i];
        const float mu = std::abs (x) + 0.0001f;
        target1 = clampf (0.7f * tau / mu + (1.0f - tau), 0.0f, 1.0f);

        if (mu > 0.7f && gain >= target1)
        {
            slowLevel = alpha * slowLevel + (1.0f - alpha) * target1;
            gain = alpha * gain + (1.0f - alpha) * slowLevel;
        }
        else
        {
            slowLevel = beta * slowLevel + (1.0f - beta) * target1;
            gain = beta * gain + (1.0f - beta) * slowLevel;
        }
        samples[i] = x * gain;
    }

    // Stage 2: a brick-wall catch above 1.0 with a slow recovery.
    if (p < 0.001f)
        return;

    const float tau2 = 0.8f * p * p + 0.2f;
    const float keep = 0.9995f;
    const float take = 1.0f - keep;

    for (int i = 0; i < n; ++i)
    {
        const float x = samples[i];
        const float mu = std::abs (x) + 0.0001f;
        target2 = clampf (tau2 / mu + (1.0f - tau2), 0.0f, 1.0f);

        if (mu > 1.0f && gain2 >= target2)
        {
            slowLevel2 = target2;
            gain2 = target2;
        }
        else
        {
            slowLevel2 = keep * slowLevel2 + take * target2;
            gain2 = take * slowLevel2 + keep * gain2;
        }
        samples[i] = x * gain2;
    }
}

void Saturator::bolvoTube (float* samples, int n, float p) noexcept
{
    driveParameter = p;
    const float theta = 0.9f - 0.5f * p;
    const float inputGain = (float) (0.6 * p + 1.0);
    const float outputGain = (float) (0.2 * p * p + 1.0);
    const float lambda = 0.9f - 0.2f * p;
    const float outputScale = 1.0f - 0.1f * p;

    for (int i = 0; i < n; ++i)
    {
        const double kappa = 1.0 - envelope;
        const float x = (float) (samples[i] * (inputGain * kappa));
        const float ax = std::abs (x);

        if (ax > theta)
            envelope += coefficient * (ax - theta) * kappa * kappa;
        else
            envelope -= ((theta - ax) * coefficient) * (0.6 * p + envelope);

        // A loud step can push the envelope past 1; beyond it the input gain
        // 1 - e changes sign and the loop runs away to Inf. Ordinary levels
        // approach 1 only asymptotically, so the clamp never touches them.
        if (envelope > 1.0)
            envelope = 1.0;

        float y = x * outputGain;
        if (y > lambda)
            y = (y - lambda) / (std::abs (y - lambda) + 1.0f) + lambda;
        else if (y < -lambda)
            y = (y + lambda) / (std::abs (y + lambda) + 1.0f) - lambda;

        samples[i] = y * outputScale;
    }
}
