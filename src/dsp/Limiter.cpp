#include "dsp/Limiter.h"

#include <cmath>

void Limiter::prepare (double, int) noexcept
{
    reset();
}

int Limiter::process (float* samples, int n) noexcept
{
    int clips = 0;

    for (int i = 0; i < n; ++i)
    {
        double x = samples[i];

        if (! std::isfinite (x))
        {
            // Nothing to scale: drop it rather than pass NaN or Inf on.
            samples[i] = 0.0f;
            ++clips;
            gain = gain * 0.9999 + 0.0001;
            continue;
        }

        const double magnitude = std::abs (x);
        if (magnitude >= 1.0)
        {
            ++clips;
            if (gain > 1.0 / magnitude)
                gain = 1.0 / magnitude;
        }
        if (gain > 1.0)
            gain = 1.0;

        x *= gain;
        // Rounding to float may land a hair above 1.
        if (x > 1.0)
            x = 1.0;
        else if (x < -1.0)
            x = -1.0;

        samples[i] = (float) x;
        gain = gain * 0.9999 + 0.0001;
    }

    return clips;
}
