// Oscillator-4 copies of an instance keep their curve scans in one store.
// A scan that a drawing still records must survive the other copies'
// recordings, and whatever the store keeps or drops, every copy must sound
// exactly as it does with a store of its own.

#include "SplineTestRig.h"

#include "dsp/SplineScanStore.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

using namespace splinetest;

namespace
{
SplineScanStore::CurveKey cubicKey (int samples, double a1)
{
    SplineScanStore::CurveKey k;
    k.type = splineCubic;
    k.samples = samples;
    k.a1 = a1;
    k.a2 = 0.5;
    k.shape = SplineScanStore::shapeHash (k);
    return k;
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

TEST (SplineScanStore, PinnedRecordingsAreNeverOverwrittenAndOnlyWholeOnesAreKept)
{
    SplineScanStore store;
    store.prepare (1000, 16);
    const auto keyA = cubicKey (300, 0.5), keyB = cubicKey (300, 0.25);
    SplineScanStore::Found found;

    // Recording A: its room is pinned while it records.
    splinecurve::ScanRecord recordA {}, recordB {};
    SplineScanStore::Recording a, b;
    ASSERT_TRUE (store.beginRecording (500, recordA, a));
    ASSERT_GE (recordA.capacity, 500);
    // No room left that A does not hold: B finds none rather than take A's.
    EXPECT_FALSE (store.beginRecording (500, recordB, b));
    EXPECT_EQ (recordB.places, nullptr);

    recordA.count = 400;
    for (int i = 0; i < 400; ++i)
    {
        recordA.places[i] = i * 0.5;
        recordA.twice[i] = (uint8_t) (i % 7 == 0);
    }
    store.endRecording (a, recordA, true, keyA, true);
    EXPECT_FALSE (store.find (keyB, found));
    EXPECT_FALSE (store.find (cubicKey (301, 0.5), found));   // another count is another walk

    ASSERT_TRUE (store.find (keyA, found));
    EXPECT_EQ (found.count, 400);
    EXPECT_EQ (found.places[399], 199.5);
    EXPECT_EQ (found.twice[399], 1);
    EXPECT_TRUE (found.stoppedAtEnd);

    // What A did not use is free; an overflowing recording is not kept and
    // gives its room back.
    ASSERT_TRUE (store.beginRecording (300, recordB, b));
    EXPECT_EQ (recordB.places, found.places + 400);
    recordB.count = recordB.capacity;
    recordB.overflow = true;
    store.endRecording (b, recordB, true, keyB, false);
    EXPECT_FALSE (store.find (keyB, found));
    ASSERT_TRUE (store.find (keyA, found));

    // A recording that needs A's room takes it once A is no longer pinned.
    SplineScanStore::Recording c;
    ASSERT_TRUE (store.beginRecording (800, recordB, c));
    EXPECT_FALSE (store.find (keyA, found));
    store.endRecording (c, recordB, false, keyB, false);

    // Longer than the whole store: never recorded.
    EXPECT_FALSE (store.beginRecording (2000, recordB, c));

    // A recording still open when the store is prepared again ends quietly
    // and leaves the new store's room alone.
    ASSERT_TRUE (store.beginRecording (100, recordA, a));
    store.prepare (1000, 16);
    store.endRecording (a, recordA, true, keyA, false);
    EXPECT_FALSE (store.find (keyA, found));
    ASSERT_TRUE (store.beginRecording (500, recordB, b));
    EXPECT_FALSE (store.beginRecording (500, recordA, a));   // only b is pinned, and it blocks
}

TEST (SplineScanStore, AFullSetKeepsItsMostRecentlyUsedScans)
{
    // One set of four slots: a fifth key pushes out the one used longest ago.
    SplineScanStore store;
    store.prepare (10000, 1);
    ASSERT_EQ (store.getSlotCount(), 4);
    SplineScanStore::Found found;
    SplineScanStore::Ref refs[5];
    for (int k = 0; k < 5; ++k)
    {
        if (k == 4)
            ASSERT_TRUE (store.find (cubicKey (10, 0.0), found));   // the first is used again
        splinecurve::ScanRecord record {};
        SplineScanStore::Recording r;
        ASSERT_TRUE (store.beginRecording (10, record, r));
        record.count = 10;
        for (int i = 0; i < 10; ++i)
            record.places[i] = k + i * 0.01;
        store.endRecording (r, record, true, cubicKey (10, k * 0.1), false, &refs[k]);
        ASSERT_GE (refs[k].slot, 0);
    }
    ASSERT_TRUE (store.find (cubicKey (10, 0.0), found));
    EXPECT_EQ (found.places[3], 0.03);
    EXPECT_FALSE (store.find (cubicKey (10, 0.1), found));
    for (int k = 2; k < 5; ++k)
    {
        ASSERT_TRUE (store.find (cubicKey (10, k * 0.1), found)) << k;
        EXPECT_EQ (found.places[0], (double) k);
    }
    EXPECT_EQ (store.getReplayCount(), 5u);

    // Found again by reference while kept; the pushed-out one's slot now
    // holds the fifth scan, which its reference must not find.
    for (int k : { 0, 2, 3, 4 })
    {
        ASSERT_TRUE (store.findAgain (refs[k], found)) << k;
        EXPECT_EQ (found.places[1], k + 0.01);
    }
    EXPECT_EQ (refs[1].slot, refs[4].slot);
    EXPECT_FALSE (store.findAgain (refs[1], found));

    // Once the ring comes round to their places, references find nothing.
    for (int lap = 0; lap < 2; ++lap)
    {
        splinecurve::ScanRecord record {};
        SplineScanStore::Recording r;
        ASSERT_TRUE (store.beginRecording (8000, record, r));
        record.count = 8000;
        store.endRecording (r, record, true, cubicKey (8000, lap), false);
        if (lap == 0)
            ASSERT_TRUE (store.findAgain (refs[4], found));   // not reached yet
    }
    EXPECT_FALSE (store.findAgain (refs[4], found));
    EXPECT_FALSE (store.find (cubicKey (10, 4 * 0.1), found));
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
