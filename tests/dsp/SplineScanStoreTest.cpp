// Oscillator-4 copies of an instance keep their curve scans in one store.
// A scan that a drawing still replays or records must survive the other
// copies' recordings, and whatever the store keeps or drops, every copy must
// sound exactly as it does with a store of its own.

#include "SplineTestRig.h"

#include "dsp/SplineScanStore.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

using namespace splinetest;

namespace
{
SplineScanStore::Layout layoutWithX (double x)
{
    SplineScanStore::Layout l {};
    l.type[0] = splineStart;
    l.type[1] = splineCubic;
    l.x[1][0] = x;
    return l;
}

// A note's rising chain of every kind of segment, controls inside their stretch.
std::vector<SplineOscillatorPoint> chainFor (std::mt19937& rng)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    std::vector<SplineOscillatorPoint> chain { point (splineStart, 0.0, unit (rng)) };
    const int segments = 5 + (int) (rng() % 8);
    for (int k = 1; k <= segments; ++k)
    {
        const double x0 = (k - 1) / (double) segments, x = k / (double) segments;
        auto p = point (k % 3 == 0 ? splineLinear : (k % 3 == 1 ? splineQuadratic : splineCubic), x, unit (rng));
        p.x[1] = x0 + 0.3 * (x - x0);
        p.x[2] = x0 + 0.7 * (x - x0);
        p.y[1] = unit (rng);
        p.y[2] = unit (rng);
        chain.push_back (p);
    }
    return chain;
}

std::vector<SplineOscillatorPoint> withNewHeights (std::vector<SplineOscillatorPoint> chain, std::mt19937& rng)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    for (auto& p : chain)
        for (double& y : p.y)
            y = unit (rng);
    return chain;
}
} // namespace

TEST (SplineScanStore, PinnedScansAreNeverOverwrittenAndOnlyWholeRecordingsAreKept)
{
    SplineScanStore store;
    store.prepare (1000, 4);
    int counts[SplineScanStore::kNumPoints] {};
    counts[1] = 300;
    const auto layoutA = layoutWithX (0.5), layoutB = layoutWithX (0.25);
    const auto keyA = SplineScanStore::keyOf (layoutA, counts), keyB = SplineScanStore::keyOf (layoutB, counts);
    EXPECT_NE (keyA, keyB);

    // Recording A: its room is pinned while it records.
    splinecurve::ScanRecord recordA {}, recordB {};
    auto* a = store.beginRecording (500, recordA);
    ASSERT_NE (a, nullptr);
    ASSERT_GE (recordA.capacity, 500);
    // No room left that A does not hold: B finds none rather than take A's.
    EXPECT_EQ (store.beginRecording (500, recordB), nullptr);
    EXPECT_EQ (recordB.places, nullptr);

    recordA.count = 400;
    for (int i = 0; i < 400; ++i)
        recordA.places[i] = i * 0.5;
    store.endRecording (a, recordA, true, keyA, layoutA, counts);
    ASSERT_EQ (store.acquire (keyB, layoutB, counts), nullptr);

    // A replayed is pinned again: a recording that would need its places fails.
    auto* replay = store.acquire (keyA, layoutA, counts);
    ASSERT_EQ (replay, a);
    EXPECT_EQ (store.places (*replay)[399], 199.5);
    EXPECT_EQ (store.beginRecording (800, recordB), nullptr);
    // What A did not use is free.
    auto* b = store.beginRecording (300, recordB);
    ASSERT_NE (b, nullptr);
    EXPECT_GE (recordB.places, store.places (*a) + 400);
    recordB.overflow = true;   // ran out of room: not kept
    store.endRecording (b, recordB, true, keyB, layoutB, counts);
    EXPECT_EQ (store.acquire (keyB, layoutB, counts), nullptr);

    // Released, A gives way to a recording that needs its room.
    store.release (replay);
    auto* c = store.beginRecording (800, recordB);
    ASSERT_NE (c, nullptr);
    EXPECT_EQ (store.acquire (keyA, layoutA, counts), nullptr);
    store.endRecording (c, recordB, false, keyB, layoutB, counts);

    // Longer than the whole store: never recorded.
    EXPECT_EQ (store.beginRecording (2000, recordB), nullptr);
}

TEST (SplineScanStore, CopiesSharingASmallStoreSoundAsCopiesWithStoresOfTheirOwn)
{
    // Six copies at 192 kHz, low notes: their cycles run to thousands of
    // entries and are drawn over many small blocks, so recordings and
    // replays stay pinned while the other copies draw. Copies in pairs play
    // the same chain and note, so one replays what the other recorded. The
    // store holds a few long cycles only: scans crowd each other out.
    constexpr int kCopies = 6;
    constexpr double kRate = 192000.0;
    std::mt19937 rng (4711);
    SplineScanStore shared;
    shared.prepare (3 * SplineOscillator::cycleLimitFor (kRate), 16);

    std::vector<std::unique_ptr<Rig>> together, alone;
    std::vector<std::vector<SplineOscillatorPoint>> chains;
    for (int c = 0; c < kCopies; ++c)
    {
        together.push_back (std::make_unique<Rig> (kRate, 512));
        alone.push_back (std::make_unique<Rig> (kRate, 512));
        together.back()->osc.setScanStore (&shared);
        chains.push_back (c % 2 == 1 ? chains.back() : chainFor (rng));
    }

    const int notes[kCopies] = { 24, 24, 31, 31, 38, 38 };
    for (int round = 0; round < 3; ++round)
    {
        for (int c = 0; c < kCopies; ++c)
        {
            if (c % 2 == 0)
                chains[(size_t) c] = withNewHeights (chains[(size_t) c], rng);
            else
                chains[(size_t) c] = chains[(size_t) c - 1];
            for (auto* rig : { together[(size_t) c].get(), alone[(size_t) c].get() })
            {
                rig->setPoints (chains[(size_t) c]);
                rig->startNote (notes[c]);
            }
        }
        // Blocks of a few hundred samples, the copies in turn.
        const int block = 97 + 60 * round;
        for (int start = 0; start < 24000; start += block)
            for (int c = 0; c < kCopies; ++c)
            {
                const double inc = together[(size_t) c]->incrementFor (notes[c]);
                const auto mine = together[(size_t) c]->render (inc, block, block);
                const auto own = alone[(size_t) c]->render (inc, block, block);
                for (int i = 0; i < block; ++i)
                    ASSERT_EQ (mine[(size_t) i], own[(size_t) i]) << "round " << round << " copy " << c << " at " << start + i;
            }
    }
    EXPECT_GT (shared.getReplayCount(), 0u);   // the copies did share scans
}
