// The modulated read-out's group loop sums, clamps and scales two output
// samples side by side (four on the wide path, whose positions inside one
// binade are at + n step); each must be bit for bit what the one-by-one loop
// below gives, and the position must move by exactly the same additions.

#include "dsp/SplineOscillatorMisc.h"
#include "dsp/VectorPath.h"

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

namespace
{
// Starts and speeds where the step of the wide path is easy to get wrong:
// just below and at a power of two, a binade crossed inside a group, speeds
// exactly halfway between two units of the start's binade (a tie: the sums
// round to even, not by one step), zero, positions below one and tiny ones.
struct ReadCase
{
    double start;
    double p;
};

std::vector<ReadCase> edgeCases (std::mt19937_64& rng)
{
    std::vector<ReadCase> cases;
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    for (int e = -3; e <= 11; ++e)
    {
        const double top = std::ldexp (1.0, e + 1);
        const double u = std::ldexp (1.0, e - 52);
        const double speeds[] = { 0.0, 0.3 * unit (rng), 1.0 + unit (rng), 16.0 * unit (rng),
                                  std::floor (unit (rng) * 1.0e6) * u + 0.5 * u,      // a tie in this binade
                                  std::floor (unit (rng) * std::min (1.0e15, 15.0 / u)) * u + 0.5 * u };
        for (double p : speeds)
        {
            cases.push_back ({ std::max (0.0, top - 20.0 * std::max (p, u)), p });   // crosses into the next binade
            cases.push_back ({ std::ldexp (1.0, e) + u * std::floor (unit (rng) * 4096.0), p });
            cases.push_back ({ top - u, p });
        }
    }
    for (double start : { 0.0, 1.0e-310, 1.0e-300, 0x1p-960, 0.49999999999999994, 1.0 })
        cases.push_back ({ start, 0.75 });
    return cases;
}
} // namespace

TEST (SplineReadGroup, ExactStepsAreThoseOfTheChainOfAdditions)
{
    std::mt19937_64 rng (5);
    int exact = 0, refused = 0;
    for (const auto& c : edgeCases (rng))
        for (int n : { 1, 4, 8, 40, 80 })
        {
            const double step = splineread::exactStep (c.start, c.p, n);
            double at = c.start;
            bool chainIsSteps = step >= 0.0;
            for (int k = 1; k <= n; ++k)
            {
                at += c.p;
                if (step >= 0.0)
                    ASSERT_TRUE (same (at, c.start + k * step)) << c.start << " + " << k << " * " << c.p;
            }
            chainIsSteps ? ++exact : ++refused;
        }
    // Both kinds occur: the cases reach the step and the refusal alike.
    EXPECT_GT (exact, 100);
    EXPECT_GT (refused, 100);

    // A tie, a crossing, no start and a speed that is not a number are refused.
    const double u = std::ldexp (1.0, 10 - 52);
    EXPECT_LT (splineread::exactStep (1500.0, 3.0 * u + 0.5 * u, 8), 0.0);
    EXPECT_LT (splineread::exactStep (2047.0, 0.5, 8), 0.0);
    EXPECT_LT (splineread::exactStep (0.0, 0.5, 8), 0.0);
    EXPECT_LT (splineread::exactStep (10.0, std::numeric_limits<double>::quiet_NaN(), 8), 0.0);
    EXPECT_GE (splineread::exactStep (2047.0, 0.5, 1), 0.0);
}

TEST (SplineReadGroup, WideGroupsAreThoseOfTheOneByOneLoop)
{
    if (! vectorpath::wideAvailable())
        GTEST_SKIP() << "no wide path on this processor";

    std::mt19937_64 rng (23);
    std::uniform_real_distribution<double> height (-2.5, 2.5);
    std::vector<double> cycle (8192);
    for (auto& v : cycle)
        v = height (rng);
    for (int k = 0; k < 64; ++k)
        cycle[rng() % cycle.size()] = k % 2 == 0 ? 5.0 : std::numeric_limits<double>::quiet_NaN();

    auto cases = edgeCases (rng);
    for (int trial = 0; trial < 2000; ++trial)
        cases.push_back ({ std::uniform_real_distribution<double> (0.0, 4000.0) (rng),
                           trial % 9 == 0 ? 1.0 : std::uniform_real_distribution<double> (0.0, 16.0) (rng) });

    for (size_t c = 0; c < cases.size(); ++c)
    {
        const int f = 1 + (int) (c % 11);   // 11 reads as 10
        const int count = c % 3 == 0 ? 1 + (int) (rng() % 8) : 8;
        const double perSubSample = 1.0 / std::clamp (f, 1, 10);
        std::vector<double> expected (8), actual (8);
        for (int i = 0; i < 8; ++i)
            expected[(size_t) i] = actual[(size_t) i] = 0.01 * i - 0.03;
        double expectedPosition = cases[c].start, actualPosition = cases[c].start;
        readOneByOne (f, cycle.data(), expectedPosition, cases[c].p, expected.data(), count, 0.8, perSubSample);
        splineread::readGroupWide (f, cycle.data(), actualPosition, cases[c].p, actual.data(), count, 0.8, perSubSample);

        ASSERT_TRUE (same (expectedPosition, actualPosition)) << "case " << c << " start " << cases[c].start;
        for (int i = 0; i < 8; ++i)
            ASSERT_TRUE (same (expected[(size_t) i], actual[(size_t) i]))
                << "case " << c << " f " << f << " count " << count << " sample " << i;
    }
}
