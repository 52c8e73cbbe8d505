#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "core/globalStuff.h"
#include "core/parameters.h"

namespace
{
struct Tables : ::testing::Test
{
    static void SetUpTestSuite() { initGlobalTables(); }
};
} // namespace

TEST_F (Tables, NoteFrequenciesFollowExtendedPrecisionProduct)
{
    EXPECT_EQ (freqtab[0], 8.175798915643709);
    EXPECT_EQ (freqtab[69], 440.00000000000136);
    EXPECT_EQ (freqtab[127], 12543.853951416047);

    // Every octave doubles, to within the rounding of a long product.
    for (int n = 0; n + 12 < 128; ++n)
        EXPECT_NEAR (freqtab[n + 12] / freqtab[n], 2.0, 1e-12) << n;
}

TEST_F (Tables, SineAndTriangleKeyPoints)
{
    EXPECT_EQ (sineTable[0], 0.0);
    EXPECT_NEAR (sineTable[1024], 1.0, 1e-14);
    EXPECT_NEAR (sineTable[3072], -1.0, 1e-14);

    for (int k = 0; k < kBandLimitedRows; ++k)
    {
        EXPECT_EQ (bandLimitedTriangle[k][0], 0.0);
        EXPECT_EQ (bandLimitedTriangle[k][512], 0.5);
        EXPECT_EQ (bandLimitedTriangle[k][1024], 1.0);
        EXPECT_EQ (bandLimitedTriangle[k][3072], -1.0);
    }
}

TEST_F (Tables, SquareIsSawMinusHalfCycleShiftedSaw)
{
    for (int k = 0; k < kBandLimitedRows; ++k)
        for (int i = 0; i < kTableSize; i += 7)
            ASSERT_EQ (bandLimitedSquare[k][i],
                       bandLimitedSawtooth[k][i] - bandLimitedSawtooth[k][(i + 2048) % kTableSize]);
}

TEST_F (Tables, SawRowsAreBandLimitedAndFadeTheirTopHarmonics)
{
    // The top row keeps only the first harmonic at 0.2 of its weight.
    EXPECT_NEAR (bandLimitedSawtooth[11][1024], -0.2 * 0.636619772367582, 1e-12);
    EXPECT_NEAR (bandLimitedSawtooth[11][3072], 0.2 * 0.636619772367582, 1e-12);

    // Row 0 is a full sawtooth: close to -1 just after the start, +1 just before the end.
    EXPECT_LT (bandLimitedSawtooth[0][20], -0.9);
    EXPECT_GT (bandLimitedSawtooth[0][4075], 0.9);

    // Harmonic content of each row measured by projection: harmonic H-1 (the
    // last one) carries 0.2/h, harmonic H none at all.
    for (int k = 0; k < kBandLimitedRows; ++k)
    {
        const int harmonics = (int) (17000.0 / freqtab[(k * 128) / 12]);
        auto amplitude = [&] (int h) {
            double s = 0.0;
            for (int i = 0; i < kTableSize; ++i)
                s += bandLimitedSawtooth[k][i] * std::sin (2.0 * M_PI * h * i / kTableSize);
            return s * 2.0 / kTableSize;
        };
        const int top = harmonics - 1;
        if (top >= kTableSize / 2)
            continue; // row 0 reaches past the table's own Nyquist limit
        EXPECT_NEAR (amplitude (top), -0.636619772367582 * 0.2 / top, 1e-6) << "row " << k;
        if (harmonics < 2048)
            EXPECT_NEAR (amplitude (harmonics), 0.0, 1e-9) << "row " << k;
    }
}

TEST (TableInitialisation, ConcurrentCallsBuildOnceAndAllSeeCompleteTables)
{
    // In a process of its own this races the first build; either way at most
    // one caller builds and every caller returns to complete tables.
    std::vector<std::thread> threads;
    std::vector<int> built (4, 0);
    std::vector<double> seen (4, 0.0);
    for (size_t t = 0; t < 4; ++t)
        threads.emplace_back ([&, t] {
            built[t] = initGlobalTables() ? 1 : 0;
            seen[t] = sineTable[1024] + bandLimitedSawtooth[11][1024];
        });
    for (auto& t : threads)
        t.join();
    EXPECT_LE (built[0] + built[1] + built[2] + built[3], 1);
    for (double v : seen)
        EXPECT_NEAR (v, 1.0 - 0.2 * 0.636619772367582, 1e-12);
    EXPECT_FALSE (initGlobalTables());
}

TEST (ParameterEncodings, SemitonesAndChoicesReadBackBothWays)
{
    // Every stored semitone step decodes to its own step (a product formed in
    // double precision misses some of them).
    for (int k = 0; k <= 48; ++k)
    {
        EXPECT_EQ (params::semitones ((float) k / 48.0f), k - 24) << k;
        EXPECT_EQ (params::semitones (params::semitoneValue (k - 24)), k - 24) << k;
    }

    for (int item = 0; item < 25; ++item) // the longest choice list has 24 items
    {
        const float stored = (float) params::choiceValue (item);
        EXPECT_EQ (params::choiceIndex (stored), item);
        EXPECT_EQ (params::choiceIndexTruncated (stored), item) << item;
    }
    EXPECT_EQ (params::clampedChoice (0.99, 3), 2);
    EXPECT_EQ (params::clampedChoice (-0.5, 3), 0);
    EXPECT_EQ (params::octaveStep (0.5), 2);
    EXPECT_EQ (params::octaveStep (1.0), 4);
}
