#include "dsp/WarmEq.h"

#include "core/parameters.h"
#include "dsp/EffectCommon.h"

#include <cmath>

namespace
{
// 2u - u|u| inside [-1, 1], the rails outside: a parabolic clip that meets
// the rails with zero slope.
inline double softClip (double u) noexcept
{
    if (u > 1.0)
        return 1.0;
    if (u < -1.0)
        return -1.0;
    return 2.0 * u - u * std::abs (u);
}

// Boost settings bend towards the top so the upper half of the knob is gentle.
inline double remap (double v) noexcept
{
    return v > 0.5 ? 0.5 + 2.0 * (v - 0.5) * (v - 0.5) : v;
}

inline double band (double z, double v) noexcept
{
    if (v <= 0.5)
        return 2.0 * v * z;
    return z + 0.6 * softClip (12.0 * (v - 0.5) * z);
}
} // namespace

void WarmEq::prepare (double, int) noexcept
{
    // Nothing depends on the rate or the block size; the state runs on.
}

void WarmEq::reset() noexcept
{
    x1 = a = aPrev = low = hPrev = b = bPrev = mid = 0.0;
}

void WarmEq::blockBasedWarmEq (float* samples, int n) noexcept
{
    if (values == nullptr)
        return;

    const double lowSetting = effects::parameter (values, params::kEqLow);
    const double midSetting = effects::parameter (values, params::kEqMid);
    const double highSetting = effects::parameter (values, params::kEqHigh);

    if (lowSetting == 0.5 && midSetting == 0.5 && highSetting == 0.5)
        return;

    const double vl = remap (lowSetting);
    const double vm = remap (midSetting);
    const double vh = remap (highSetting);

    for (int i = 0; i < n; ++i)
    {
        const double x = samples[i];

        aPrev = a;
        a = 0.96 * a + 0.02 * (x + x1);
        low = 0.96 * low + 0.02 * (a + aPrev);

        const double h = x - low;
        bPrev = b;
        b = 0.9 * b + 0.05 * (h + hPrev);
        mid = 0.9 * mid + 0.05 * (b + bPrev);
        hPrev = h;

        const double high = h - mid;
        x1 = x;

        samples[i] = (float) (band (low, vl) + band (mid, vm) + band (high, vh));
    }

    // A NaN input would otherwise stay in the states for good.
    if (! std::isfinite (x1 + a + low + hPrev + b + mid))
        reset();

    effects::flushTiny (a);
    effects::flushTiny (low);
    effects::flushTiny (b);
    effects::flushTiny (mid);
}
