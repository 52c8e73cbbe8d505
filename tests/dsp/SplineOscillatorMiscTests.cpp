#include "core/parameters.h"
#include "dsp/SplineOscillatorMisc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

namespace
{
using Values = std::vector<double>;

double field (const Values& v, int point, int f) { return v[(size_t) params::osc4PointIndex (point, f)]; }

// A chain as the editor keeps it: ordered x, the last point on the right
// edge, controls between their neighbours, every slot filled.
std::vector<SplineOscillatorPoint> randomChain (std::mt19937& gen, int count, double width, double height)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    std::uniform_int_distribution<int> curveType (1, 3), direction (0, 2), code (0, 8);

    std::vector<double> xs { 0.0 };
    for (int k = 1; k < count - 1; ++k)
        xs.push_back (unit (gen));
    std::sort (xs.begin() + 1, xs.end());
    xs.push_back (width);
    for (int k = 1; k < count - 1; ++k)
        xs[(size_t) k] *= width;

    std::vector<SplineOscillatorPoint> chain ((size_t) count);
    for (int k = 0; k < count; ++k)
    {
        auto& p = chain[(size_t) k];
        p.type = k == 0 ? splineStart : (SplinePointType) curveType (gen);
        p.width = width;
        p.height = height;
        const double left = k == 0 ? 0.0 : xs[(size_t) k - 1];
        p.x[0] = xs[(size_t) k];
        p.x[2] = left + (p.x[0] - left) * unit (gen);
        p.x[1] = left + (p.x[2] - left) * unit (gen);
        for (auto& y : p.y)
            y = unit (gen) * height;
        for (auto& s : p.slots)
        {
            s.direction = direction (gen);
            s.shape = code (gen);
            s.source = code (gen);
            s.depth = unit (gen);
            s.speed = 0.01 + unit (gen);
        }
    }
    chain.back().y[0] = chain.front().y[0];
    return chain;
}

Values junkBlock (std::mt19937& gen)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    Values v ((size_t) params::kNumValues, 0.0);
    for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
        v[(size_t) i] = unit (gen);
    return v;
}
} // namespace

TEST (Osc4Codec, RandomChainsSurviveEncodeAndDecode)
{
    std::mt19937 gen (1234);
    std::uniform_int_distribution<int> countDist (2, 16);
    std::uniform_real_distribution<double> sizeDist (100.0, 1200.0);

    for (int run = 0; run < 400; ++run)
    {
        const int count = countDist (gen);
        const double width = sizeDist (gen), height = sizeDist (gen);
        auto chain = randomChain (gen, count, width, height);
        const auto original = chain;

        Values values = junkBlock (gen);
        const Values before = values;
        ASSERT_TRUE (Osc4Codec::encodePoints (chain.data(), count, values.data()));

        // Editor side: the same chain comes back.
        std::vector<SplineOscillatorPoint> decoded (16);
        ASSERT_EQ (Osc4Codec::decodePoints (values.data(), width, height, decoded.data(), 16), count) << run;
        for (int k = 0; k < count; ++k)
        {
            const auto& a = original[(size_t) k];
            const auto& b = decoded[(size_t) k];
            EXPECT_EQ (b.index, k);
            EXPECT_EQ (b.type, a.type);
            for (int pair = 0; pair < 3; ++pair)
            {
                EXPECT_NEAR (b.x[pair], a.x[pair], 1e-9 * width);
                EXPECT_NEAR (b.y[pair], a.y[pair], 1e-9 * height);
            }
            for (int s = 0; s < 3; ++s)
            {
                EXPECT_EQ (b.slots[s].direction, a.slots[s].direction);
                EXPECT_EQ (b.slots[s].shape, a.slots[s].shape);
                EXPECT_EQ (b.slots[s].source, a.slots[s].source);
                EXPECT_NEAR (b.slots[s].depth, a.slots[s].depth, 1e-12);
                EXPECT_EQ (b.slots[s].speed, a.slots[s].speed);
            }
        }

        // After the chain only the type field changes, to the end marker.
        for (int k = count; k < 16; ++k)
            for (int f = 0; f < params::kOsc4ValuesPerPoint; ++f)
                EXPECT_EQ (field (values, k, f), f == osc4field::type ? 0.1 : field (before, k, f)) << k << " " << f;

        // Audio side: fractions and half ranges.
        Osc4PointSet set;
        ASSERT_TRUE (set.publishFromParameters (values.data()));
        Osc4Data data[16];
        ASSERT_TRUE (set.read (data));
        for (int k = 0; k < 16; ++k)
        {
            if (k >= count)
            {
                EXPECT_EQ (data[k].type, splineEndMarker);
                continue;
            }
            const auto& a = original[(size_t) k];
            EXPECT_EQ (data[k].type, a.type);
            for (int pair = 0; pair < 3; ++pair)
            {
                EXPECT_NEAR (data[k].x[pair], a.x[pair] / width, 1e-12);
                EXPECT_NEAR (data[k].y[pair], a.y[pair] / height, 1e-12);
            }
            for (int s = 0; s < 3; ++s)
            {
                EXPECT_EQ (data[k].slots[s].direction, a.slots[s].direction);
                EXPECT_EQ (data[k].slots[s].shape, a.slots[s].shape);
                EXPECT_EQ (data[k].slots[s].source, a.slots[s].source);
                EXPECT_NEAR (data[k].slots[s].depth, a.slots[s].depth * 0.5, 1e-12);
                EXPECT_EQ (data[k].slots[s].speed, a.slots[s].speed);
            }
        }
    }
}

TEST (Osc4Codec, ControlSpeedZeroIsReplacedOnlyInSlotOne)
{
    std::mt19937 gen (7);
    auto chain = randomChain (gen, 3, 400.0, 200.0);
    for (auto& p : chain)
        for (auto& s : p.slots)
            s.speed = 0.0;

    Values values ((size_t) params::kNumValues, 0.0);
    ASSERT_TRUE (Osc4Codec::encodePoints (chain.data(), 3, values.data()));

    for (int k = 0; k < 3; ++k)
    {
        EXPECT_EQ (chain[(size_t) k].slots[0].speed, 0.0);
        EXPECT_EQ (chain[(size_t) k].slots[1].speed, 0.49751243781094534);
        EXPECT_EQ (chain[(size_t) k].slots[2].speed, 0.0);
        EXPECT_EQ (field (values, k, osc4field::slotField (0, osc4field::slotSpeed)), 0.0);
        EXPECT_EQ (field (values, k, osc4field::slotField (1, osc4field::slotSpeed)), 0.49751243781094534);
        EXPECT_EQ (field (values, k, osc4field::slotField (2, osc4field::slotSpeed)), 0.0);
        EXPECT_EQ (field (values, k, osc4field::presence), 1.0);
    }
}

TEST (Osc4Codec, ChainLongerThanTheBlockStopsWithoutMarking)
{
    std::mt19937 gen (99);
    auto chain = randomChain (gen, 17, 500.0, 300.0);
    Values values ((size_t) params::kNumValues, 0.0);

    EXPECT_FALSE (Osc4Codec::encodePoints (chain.data(), 17, values.data()));
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ (Osc4Codec::readInt (field (values, k, osc4field::type)), (int) chain[(size_t) k].type);
    // Nothing past the block was touched.
    EXPECT_EQ (values[(size_t) params::kOsc4PointsLast + 1], 0.0);
}

TEST (Osc4Codec, ReadingStopsAtTheRightEdgeOrTheBlockEnd)
{
    std::mt19937 gen (5);
    Values values = junkBlock (gen);
    for (int k = 0; k < 16; ++k)
    {
        values[(size_t) params::osc4PointIndex (k, osc4field::x)] = 0.05 * k;
        values[(size_t) params::osc4PointIndex (k, osc4field::type)] = k == 0 ? 0.0 : 0.01;
    }

    std::vector<SplineOscillatorPoint> out (16);
    // No point reaches the edge: all 16 are read.
    EXPECT_EQ (Osc4Codec::decodePoints (values.data(), 300.0, 100.0, out.data(), 16), 16);

    // Point 3 on the edge ends the chain, whatever follows.
    values[(size_t) params::osc4PointIndex (3, osc4field::x)] = 1.0;
    EXPECT_EQ (Osc4Codec::decodePoints (values.data(), 300.0, 100.0, out.data(), 16), 4);
    EXPECT_DOUBLE_EQ (out[3].x[0], 300.0);

    // An end marker before the edge ends it too.
    values[(size_t) params::osc4PointIndex (2, osc4field::type)] = 0.1;
    EXPECT_EQ (Osc4Codec::decodePoints (values.data(), 300.0, 100.0, out.data(), 16), 2);

    // The output array bounds the read.
    EXPECT_EQ (Osc4Codec::decodePoints (values.data(), 300.0, 100.0, out.data(), 1), 1);
}

TEST (Osc4Codec, IntegerFieldsRoundAndPresenceMarksAreWritten)
{
    EXPECT_EQ (Osc4Codec::readInt (0.029999), 3);
    EXPECT_EQ (Osc4Codec::readInt (0.1), 10);
    EXPECT_EQ (Osc4Codec::readInt (0.0149), 1);
    EXPECT_EQ (Osc4Codec::readInt (std::nan ("")), 0);

    Values values ((size_t) params::kNumValues, 0.0);
    values[(size_t) params::osc4PointIndex (4, osc4field::slotField (2, osc4field::slotShape))] = 0.029999;
    values[(size_t) params::osc4PointIndex (6, osc4field::y)] = std::numeric_limits<double>::infinity();
    Osc4Data data[16];
    Osc4Codec::decodeParameters (values.data(), data);
    EXPECT_EQ (data[4].slots[2].shape, 3);
    EXPECT_EQ (data[6].y[0], 0.0);

    Osc4Codec::writePresenceMarks (values.data());
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ (field (values, k, osc4field::presence), 1.0);
    EXPECT_EQ (values[(size_t) params::kOsc4PointsFirst - 1], 0.0);
    EXPECT_EQ (values[(size_t) params::kOsc4PointsLast + 1], 0.0);
}

//==============================================================================
TEST (Osc4PointSet, StartsAsEndMarkersAndCountsPublishes)
{
    Osc4PointSet set;
    Osc4Data data[16];
    uint32_t version = 99;
    ASSERT_TRUE (set.read (data, &version));
    EXPECT_EQ (version, 0u);
    for (const auto& p : data)
        EXPECT_EQ (p.type, splineEndMarker);

    Values values ((size_t) params::kNumValues, 0.0);
    for (int n = 1; n <= 20; ++n)
    {
        values[(size_t) params::osc4PointIndex (0, osc4field::y)] = n / 100.0;
        ASSERT_TRUE (set.publishFromParameters (values.data()));
        EXPECT_EQ (set.getVersion(), (uint32_t) n);
        EXPECT_EQ (set.getChangeCounter(), n % 16);
        ASSERT_TRUE (set.read (data, &version));
        EXPECT_EQ (version, (uint32_t) n);
        EXPECT_EQ (data[0].y[0], n / 100.0);
    }
}

// A publisher rewrites the set continuously while a reader copies it: every
// copy the reader accepts must come from one publish, never a mixture.
TEST (Osc4PointSet, ReadersNeverSeeAHalfWrittenSet)
{
    Osc4PointSet set;
    std::atomic<bool> stop { false };
    std::atomic<long> published { 0 };

    std::thread writer ([&]
    {
        Osc4Data points[16];
        for (int n = 1; ! stop.load(); ++n)
        {
            for (auto& p : points)
            {
                for (int pair = 0; pair < 3; ++pair)
                    p.x[pair] = p.y[pair] = n;
                p.type = n;
                for (auto& s : p.slots)
                {
                    s.direction = s.shape = s.source = n;
                    s.depth = s.speed = n;
                }
            }
            if (set.publish (points))
                published.fetch_add (1);
        }
    });

    long accepted = 0, mixed = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds (300);
    Osc4Data copy[16];
    while (std::chrono::steady_clock::now() < until)
    {
        uint32_t version = 0;
        if (! set.read (copy, &version) || version == 0)
            continue;
        ++accepted;

        const int n = copy[0].type;
        for (const auto& p : copy)
        {
            bool same = p.type == n;
            for (int pair = 0; pair < 3; ++pair)
                same = same && p.x[pair] == n && p.y[pair] == n;
            for (const auto& s : p.slots)
                same = same && s.direction == n && s.shape == n && s.source == n && s.depth == n && s.speed == n;
            mixed += same ? 0 : 1;
        }
    }

    stop = true;
    writer.join();

    EXPECT_GT (published.load(), 100);
    EXPECT_GT (accepted, 100);
    EXPECT_EQ (mixed, 0);
}
