#include "dsp/ZeroDelayLadder.h"

using namespace filtering;

namespace
{
// Rational approximation of tanh(x) / x: the stage gain at level x.
inline double saturationGain (double x) noexcept
{
    const double x2 = x * x;
    return ((x2 + 105.0) * x2 + 945.0) / ((15.0 * x2 + 420.0) * x2 + 945.0);
}

constexpr double kPi = 3.14159265358979323846;

// At cutoff 0 the integrators freeze and hold a DC level; this keeps about
// 2 Hz at 44.1 kHz so they always drain.
constexpr double kLowestCutoff = 1.0e-4;
} // namespace

void ZeroDelayLadder::reset() noexcept
{
    s1 = s2 = s3 = s4 = 0.0;
    previousInput = 0.0;
}

void ZeroDelayLadder::updateCoefficients (const GroupControl& control) noexcept
{
    const double c = clampValue (control.clampedCutoff(), kLowestCutoff, kMaxCutoff);
    G = std::tan (c * kPi / 2.0);

    const double r = control.effectiveResonance();
    if (control.resonanceModulated)
    {
        const double m = clampValue (control.modulationFactor(), 0.0, 1.0);
        K = r * 40.0 / 9.0 * m * 0.85;
        gain = 2.0 * m + 1.0;
    }
    else
    {
        K = 0.85 * r * 40.0 / 9.0;
        gain = 2.0 * r + 1.0;
    }
}

void ZeroDelayLadder::processGroup (double* x, int n) noexcept
{
    if (n <= 0)
        return;

    // State in locals for the loop (writes to x could alias the members).
    double z1 = s1, z2 = s2, z3 = s3, z4 = s4, last = previousInput;
    const double gc = G, kc = K, outGain = gain;

    for (int i = 0; i < n; ++i)
    {
        const double in = x[i];
        const double xa = (last + in) * 0.5;
        last = in;

        const double t0 = saturationGain (xa - kc * z4);
        const double t1 = saturationGain (z1);
        const double t2 = saturationGain (z2);
        const double t3 = saturationGain (z3);
        const double t4 = saturationGain (z4);

        const double d1 = 1.0 / (gc * t1 + 1.0);
        const double d2 = 1.0 / (gc * t2 + 1.0);
        const double d3 = 1.0 / (gc * t3 + 1.0);
        const double d4 = 1.0 / (gc * t4 + 1.0);

        const double A = gc * t3 * d4;
        const double B = gc * t2 * d3 * A;
        const double C = gc * t1 * d2 * B;
        const double E = gc * t0 * d1 * C;

        const double y4 = (in * E + C * d1 * z1 + B * d2 * z2 + A * d3 * z3 + d4 * z4) / (E * kc + 1.0);
        const double u = (in - kc * y4) * t0;
        const double y1 = (gc * u + z1) * d1 * t1;
        const double y2 = (gc * y1 + z2) * d2 * t2;
        const double y3 = (gc * y2 + z3) * d3 * t3;

        z1 += 2.0 * gc * (u - y1);
        z2 += 2.0 * gc * (y1 - y2);
        z3 += 2.0 * gc * (y2 - y3);
        z4 += 2.0 * gc * (y3 - t4 * y4);

        x[i] = clampValue (y4, -1.0, 1.0) * outGain;
    }
    s1 = z1;
    s2 = z2;
    s3 = z3;
    s4 = z4;
    previousInput = last;

    if (! groupIsFinite (x, n, s1 + s2 + s3 + s4 + previousInput))
    {
        reset();
        silence (x, n);
        return;
    }

    flushTiny (s1);
    flushTiny (s2);
    flushTiny (s3);
    flushTiny (s4);
    flushTiny (previousInput);
}
