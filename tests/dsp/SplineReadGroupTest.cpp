// The modulated read-out's group loop sums, clamps and scales two output
// samples side by side; each must be bit for bit what the one-by-one loop
// below gives, and the position must move by exactly the same additions.

#include "dsp/SplineOscillatorMisc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace
{
void readOneByOne (int f, const double* cycle, double& position, double p, double* out, int count, double gain,
                   double perSubSample)
{
    f = std::clamp (f, 1, 10);
    double at = position;
    for (int i = 0; i < count; ++i)
    {
        double sum = 0.0;
        for (int s = 0; s < f; ++s)
        {
            sum += cycle[(int) at];
            at += p;
        }
        const float clamped = std::clamp ((float) sum, -4.0f, 4.0f);
        out[i] += gain * ((double) clamped * perSubSample - 0.5);
    }
    position = at;
}

bool same (double a, double b)
{
    return (std::isnan (a) && std::isnan (b)) || std::memcmp (&a, &b, sizeof (a)) == 0;
}
} // namespace

TEST (SplineReadGroup, SideBySideSamplesAreThoseOfTheOneByOneLoop)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Ordinary heights, the clamp's edges and beyond, sums past float's
    // range, signed zeros and values that are not finite.
    const double specials[] = { 0.0, -0.0, 4.0, -4.0, 4.0000001, -4.0000001, 1.9999999, 5.0, -7.5,
                                1.0e39, -1.0e39, 1.0e300, inf, -inf, nan, 1.0e-320 };

    std::mt19937_64 rng (11);
    std::uniform_real_distribution<double> height (-2.5, 2.5);
    std::vector<double> cycle (4096);
    for (int trial = 0; trial < 3000; ++trial)
    {
        for (auto& v : cycle)
            v = height (rng);
        if (trial % 3 != 0)
            for (int k = 0; k < 64; ++k)
                cycle[rng() % cycle.size()] = specials[rng() % (sizeof (specials) / sizeof (specials[0]))];

        const int f = 1 + (int) (rng() % 11);   // 11 reads as 10
        const int count = 1 + (int) (rng() % 8);
        const double p = trial % 7 == 0 ? 0.0 : std::uniform_real_distribution<double> (0.0, 16.0) (rng);
        const double start = std::uniform_real_distribution<double> (0.0, 2000.0) (rng);
        const double gain = trial % 5 == 0 ? -1.3 : 0.8;
        const double perSubSample = 1.0 / std::clamp (f, 1, 10);

        std::vector<double> expected (8), actual (8);
        for (int i = 0; i < 8; ++i)
            expected[(size_t) i] = actual[(size_t) i] = 0.01 * i - 0.03;
        double expectedPosition = start, actualPosition = start;
        readOneByOne (f, cycle.data(), expectedPosition, p, expected.data(), count, gain, perSubSample);
        splineread::readGroup (f, cycle.data(), actualPosition, p, actual.data(), count, gain, perSubSample);

        ASSERT_TRUE (same (expectedPosition, actualPosition)) << trial;
        for (int i = 0; i < 8; ++i)
            ASSERT_TRUE (same (expected[(size_t) i], actual[(size_t) i]))
                << "trial " << trial << " f " << f << " count " << count << " sample " << i << ": "
                << expected[(size_t) i] << " vs " << actual[(size_t) i];
    }
}
