// The wide stacked-oscillator kernels against the plain ones: the same
// phases and first-cycle flags bit for bit (a changed step or wrap would
// drift a voice's phases over minutes), the same sums within rounding, for
// every stack the wide path takes, on phases and increments that wrap, run
// backwards, overflow or are not numbers.

#include "dsp/OscillatorStacks.h"
#include "dsp/VectorPath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

using namespace oscstack;

namespace
{
constexpr int K = kMaxStack;
const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double infinite = std::numeric_limits<double>::infinity();

bool sameBits (double a, double b)
{
    uint64_t x, y;
    std::memcpy (&x, &a, sizeof (x));
    std::memcpy (&y, &b, sizeof (y));
    return x == y;
}

// Tables whose entries all differ, so a wrong index shows.
struct Tables
{
    std::vector<double> a = std::vector<double> (kTableSize), b = std::vector<double> (kTableSize);
    Tables()
    {
        for (int i = 0; i < kTableSize; ++i)
        {
            a[(size_t) i] = std::sin (i * 0.0371) + i * 1.0e-4;
            b[(size_t) i] = std::cos (i * 0.0213) - i * 2.0e-4;
        }
    }
};

// One stack's state and inputs over a run.
struct Run
{
    double phase[K] {};
    bool past[K] {};
    std::vector<double> increment, level, w, wOffset, out;
    StackSteps steps;

    Run (int n, const double* start, double baseIncrement, bool jumpy)
    {
        std::memcpy (phase, start, sizeof (phase));
        for (int i = 0; i < n; ++i)
        {
            // Steady stretches with changes, as the voice's increments move.
            const double inc = jumpy && i % 7 == 3 ? baseIncrement * (1.0 + 0.01 * i) : baseIncrement;
            increment.push_back (inc);
            level.push_back (0.5 + 0.01 * (i % 5));
            for (int j = 0; j < K; ++j)
            {
                const double width = std::sin (0.3 * i + j) * 0.9;
                w.push_back (width);
                wOffset.push_back (width * 2048.0 + 2048.0);
            }
        }
        out.assign ((size_t) n, 0.0);
    }
};

template <bool Oscillator1>
void compareKernels (int kind, int stack, const double* start, double increment, double spread, bool jumpy, int n,
                     const std::vector<double>* increments = nullptr, int pastEvery = 3)
{
    static const Tables tables;
    const StackTables in { tables.a.data(), tables.b.data(), 0.3, 0.7 };
    Run plain (n, start, increment, jumpy), wide (n, start, increment, jumpy);
    if (increments != nullptr)
        plain.increment = wide.increment = *increments;
    // Oscillator 1 starts some copies past their first cycle.
    for (int j = 0; j < K; j += pastEvery)
        plain.past[j] = wide.past[j] = Oscillator1;

    // Two runs in a row, the second longer than one pass of the wide kernel.
    const int split = n / 3;
    for (auto* r : { &plain, &wide })
    {
        const bool isWide = r == &wide;
        const StackRun run { r->level.data(), r->increment.data(), r->w.data(), r->wOffset.data(), nullptr };
        runStackCopy<Oscillator1> (isWide, kind, in, run, r->phase, Oscillator1 ? r->past : nullptr, r->steps, spread,
                                   stack, r->out.data(), 0, split);
        runStackCopy<Oscillator1> (isWide, kind, in, run, r->phase, Oscillator1 ? r->past : nullptr, r->steps, spread,
                                   stack, r->out.data(), split, n);
    }

    for (int j = 0; j < K; ++j)
    {
        // Any not-a-number phase acts alike (reads entry 0, never compares in range).
        EXPECT_TRUE (sameBits (plain.phase[j], wide.phase[j]) || (std::isnan (plain.phase[j]) && std::isnan (wide.phase[j])))
            << "copy " << j << " of " << stack << ": " << plain.phase[j] << " against " << wide.phase[j];
        EXPECT_EQ (plain.past[j], wide.past[j]) << "copy " << j << " of " << stack;
    }
    for (int i = 0; i < n; ++i)
        ASSERT_NEAR (plain.out[(size_t) i], wide.out[(size_t) i], 1.0e-12 * (1.0 + std::abs (plain.out[(size_t) i])))
            << "sample " << i << " of stack " << stack << ", kind " << kind;
}

class OscillatorStacks : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (! vectorpath::wideAvailable())
            GTEST_SKIP() << "this processor or build has no wide path";
    }
};
} // namespace

TEST_F (OscillatorStacks, WideRunsMatchThePlainOnesOnOrdinaryPhases)
{
    double start[K];
    for (int j = 0; j < K; ++j)
        start[j] = 4096.0 * j / K + 0.37 * j;
    for (int stack = 4; stack <= K; ++stack)
        for (int kind : { (int) stackCrossfade, (int) stackSawSquare, (int) stackSawSquarePwm })
        {
            // A high note wraps every few samples, a low one rarely; both directions.
            compareKernels<true> (kind, stack, start, 517.3, 0.016, true, 75);
            compareKernels<false> (kind, stack, start, 517.3, 0.012, true, 75);
            compareKernels<true> (kind, stack, start, 3.71, 0.016, false, 40);
            compareKernels<false> (kind, stack, start, -211.9, 0.012, true, 40);
        }
}

TEST_F (OscillatorStacks, WideRunsMatchThePlainOnesOnPhasesThatAreNotNumbers)
{
    // Not-a-number, infinite, negative and far-out phases, and the edge of the table.
    const double start[K] = { notANumber, infinite, -infinite, -3.5, 1.0e300, 4095.999999, 4096.0, -0.0, notANumber, 8191.5 };
    for (int stack = 4; stack <= K; ++stack)
        for (int kind : { (int) stackCrossfade, (int) stackSawSquare, (int) stackSawSquarePwm })
        {
            compareKernels<true> (kind, stack, start, 97.1, 0.02, true, 50);
            compareKernels<false> (kind, stack, start, 97.1, 0.02, true, 50);
            // Steps past twice the table, and steps that overflow the phase to infinity.
            compareKernels<true> (kind, stack, start, 9000.5, 0.02, false, 20);
            compareKernels<true> (kind, stack, start, 1.7e308, 0.02, false, 20);
            compareKernels<false> (kind, stack, start, 1.7e308, 0.02, false, 20);
            // Increments that are not numbers: oscillator 2 restarts such
            // phases, oscillator 1 restarts copy 0 at the next sample.
            for (const double bad : { notANumber, infinite, -infinite })
            {
                compareKernels<false> (kind, stack, start, bad, 0.02, false, 20);
                compareKernels<true> (kind, stack, start, bad, 0.02, false, 20);
            }
        }
}

TEST_F (OscillatorStacks, WideRunsMatchThePlainOnesWhenTheIncrementMovesEverySample)
{
    // The wide kernel works a row of steps out only when the increment
    // changes: a vibrato changes it every sample, a stale row would show at
    // once; a not-a-number increment is never equal to the one before.
    double start[K];
    for (int j = 0; j < K; ++j)
        start[j] = 409.6 * j + 0.11;
    const int n = 90;
    std::vector<double> moving, withGaps, nearATable;
    for (int i = 0; i < n; ++i)
    {
        moving.push_back (300.0 + 40.0 * std::sin (0.21 * i));
        withGaps.push_back (i % 3 == 0 ? 300.0 : (i == 40 || i == 41 ? notANumber : 120.5 + i));
        // Runs of steps just under a table, where the one-cycle wrap must
        // still be exact, between rows where some copy steps a table or
        // more, backwards, or not at all.
        const double edge[] = { 4030.75, 4095.5, 4031.0 + i, -0.0, 0.0, -3.0, 4000.0 };
        nearATable.push_back (edge[(i / 5) % 7]);
    }
    for (int stack : { 4, 5, 6, 7, 8, 9, 10 })
        for (int kind : { (int) stackCrossfade, (int) stackSawSquare, (int) stackSawSquarePwm })
            for (const auto* increments : { &moving, &withGaps, &nearATable })
            {
                compareKernels<true> (kind, stack, start, 0.0, 0.016, false, n, increments);
                compareKernels<false> (kind, stack, start, 0.0, 0.012, false, n, increments);
            }
}

TEST_F (OscillatorStacks, WideRunsMatchThePlainOnesWithSpreadsOutsideZeroToOne)
{
    // The wide kernel skips looking at a row of steps for increments up to
    // half a table only while the spread is in [0, 1]: wider spreads step
    // some copies past a whole table (or backwards) from such increments.
    double start[K];
    for (int j = 0; j < K; ++j)
        start[j] = 409.6 * j + 0.11;
    for (int stack = 4; stack <= K; ++stack)
        for (int kind : { (int) stackCrossfade, (int) stackSawSquare, (int) stackSawSquarePwm })
            for (const double spread : { 3.0, -2.5, 1.0000001, notANumber })
                for (const double increment : { 2000.0, 1500.0, 2048.0 })
                {
                    compareKernels<true> (kind, stack, start, increment, spread, true, 40);
                    compareKernels<false> (kind, stack, start, increment, spread, true, 40);
                }
}

TEST_F (OscillatorStacks, WideRunsMatchThePlainOnesOnceEveryCopyIsPastItsFirstCycle)
{
    // With every flag of oscillator 1 set the wide kernel stops keeping
    // them; the phases and sums must go on as before, through runs of one
    // step row, changes of row and unusual wraps alike.
    double start[K];
    for (int j = 0; j < K; ++j)
        start[j] = 4096.0 * j / K + 0.37 * j;
    const double broken[K] = { notANumber, 4095.999999, -3.5, 100.0, 1.0e300, 7.0, 4096.0, -0.0, 2048.0, 8191.5 };
    std::vector<double> steadyThenNot;
    for (int i = 0; i < 60; ++i)
        steadyThenNot.push_back (i < 25 ? 517.3 : (i == 40 ? notANumber : (i % 8 == 0 ? 400.25 : 333.0)));
    for (int stack = 4; stack <= K; ++stack)
        for (int kind : { (int) stackCrossfade, (int) stackSawSquare, (int) stackSawSquarePwm })
        {
            compareKernels<true> (kind, stack, start, 517.3, 0.016, false, 60, nullptr, 1);
            compareKernels<true> (kind, stack, start, 0.0, 0.016, false, 60, &steadyThenNot, 1);
            compareKernels<true> (kind, stack, broken, 0.0, 0.016, false, 60, &steadyThenNot, 1);
            // Most flags set: the last ones are set on the way.
            compareKernels<true> (kind, stack, start, 0.0, 0.016, false, 60, &steadyThenNot, 2);
        }
}

#if TALVORA_WIDE_PATH
TEST_F (OscillatorStacks, WidePulseRowsMatchThePlainOnes)
{
    initGlobalTables();
    constexpr int n = 32;
    // Held values that repeat, change, leave the clamp range, are not
    // numbers, or go from +0 to -0 (other bits, so a new row A).
    double held[n];
    for (int i = 0; i < n; ++i)
        held[i] = i < 12 ? 0.1 * (i / 8) : (i < 20 ? 1.5 : (i == 25 ? notANumber : (i >= 28 ? (i == 28 ? 0.0 : -0.0) : -0.2 * (i % 3))));
    double start[K];
    for (int j = 0; j < K; ++j)
        start[j] = j == 4 ? 0.9999 : 0.093 * j;
    double step[K];
    for (int j = 0; j < K; ++j)
        step[j] = 0.0021 * (j + 1) + (j == 4 ? 0.01 : 0.0);

    for (const bool rowsB : { false, true })
        for (int from = 0; from < 6; ++from)
            for (int to = from + 1; to <= K; ++to)
            {
                // Guards past the phases show a lane written past the run.
                double phaseAndGuards[K + 4], rows[n + 1][K] {}, offRows[n + 1][K] {}, kept[n][K] {}, offKept[n][K] {};
                double* phase = phaseAndGuards;
                std::memcpy (phase, start, K * sizeof (double));
                for (int g = K; g < K + 4; ++g)
                    phaseAndGuards[g] = -7.0;
                const uint64_t fresh = pulseRowsWide (phase, step, from, to, 0.6, held, n, rowsB, rows, offRows, kept, offKept);
                for (int g = K; g < K + 4; ++g)
                    ASSERT_EQ (phaseAndGuards[g], -7.0);
                for (int ci = 0; ci < n; ++ci)
                    ASSERT_EQ ((fresh >> ci) & 1, ! rowsB || ci == 0 || ! sameBits (held[ci], held[ci - 1]) ? 1u : 0u)
                        << "sample " << ci;

                // Every lane worked out afresh, sample by sample.
                double ref[K], a[n][K] {}, b[n][K] {};
                std::memcpy (ref, start, sizeof (ref));
                for (int ci = 0; ci < n; ++ci)
                    for (int j = from; j < to; ++j)
                    {
                        a[ci][j] = pulseWidth (ref[j], 0.6, held[ci]);
                        stepPulsePhase (ref[j], step[j]);
                        b[ci][j] = pulseWidth (ref[j], 0.6, held[ci]);
                    }
                for (int j = 0; j < K; ++j)
                    EXPECT_TRUE (sameBits (phase[j], j >= from && j < to ? ref[j] : start[j])) << "phase of copy " << j;

                // Rows A first; then, the rows B set aside put back, rows B
                // one row on. Lanes outside the run are left alone.
                auto expectRows = [&] (const double (*want)[K], int shift, const char* what) {
                    for (int ci = 0; ci < n; ++ci)
                        for (int j = 0; j < K; ++j)
                        {
                            const bool inRun = j >= from && j < to;
                            const double w = inRun ? want[ci][j] : 0.0;
                            ASSERT_TRUE (sameBits (w, rows[ci + shift][j])) << what << ", sample " << ci << ", copy " << j;
                            ASSERT_TRUE (sameBits (inRun ? w * 2048.0 + 2048.0 : 0.0, offRows[ci + shift][j]))
                                << what << " offset, sample " << ci << ", copy " << j;
                        }
                };
                expectRows (a, 0, "row A");
                if (! rowsB)
                    continue;
                restoreRows (fresh, rows, offRows, kept, offKept);
                expectRows (b, 1, "row B");
            }
}
#endif

#if TALVORA_WIDE_PATH
TEST_F (OscillatorStacks, WideOscillator3MatchesThePlainOneBitForBit)
{
    static const Tables tables;
    constexpr int n = 40, stride = 48;
    // Increments of every copy against pitch products that wrap once, run
    // backwards, jump past a table, overflow or are not numbers.
    const double increments[][4] = { { 37.1, 37.2, 36.9, 37.05 }, { 4095.0, 4000.5, -12.5, 0.0 },
                                     { 9000.0, -9000.0, 1.0e308, -0.0 }, { notANumber, infinite, 5.0, -infinite } };
    const double starts[][4] = { { 0.0, 1000.25, 4095.999999, 2048.0 }, { notANumber, -3.0, 4096.0, infinite } };
    double common[n], held[n], level[n];
    for (int i = 0; i < n; ++i)
    {
        common[i] = i == 17 ? notANumber : 1.0 + 0.01 * std::sin (0.4 * i);
        held[i] = i == 29 ? 1.0e300 : (i == 30 ? -2.0 : 1.0 + 0.001 * (i % 8));
        level[i] = 0.4 + 0.01 * (i % 5);
    }
    for (const auto& increment : increments)
        for (const auto& start : starts)
            for (const double octave : { 1.0, 0.5, 2.0 })
            {
                double plainPhase[4], widePhase[4], plainValues[4 * stride] {}, wideValues[4 * stride] {};
                std::memcpy (plainPhase, start, sizeof (plainPhase));
                std::memcpy (widePhase, start, sizeof (widePhase));
                // Two runs in a row, as two chunks of a block.
                for (const int from : { 0, 23 })
                {
                    const int len = from == 0 ? 23 : n - 23;
                    osc3Run<4> (plainPhase, increment, common + from, held + from, octave, tables.a.data(), level + from,
                                plainValues + from, stride, len);
                    osc3RunQuad (widePhase, increment, common + from, held + from, octave, tables.a.data(), level + from,
                                 wideValues + from, stride, len);
                }
                for (int k = 0; k < 4; ++k)
                    EXPECT_TRUE (sameBits (plainPhase[k], widePhase[k])) << "copy " << k << ": " << plainPhase[k] << " against " << widePhase[k];
                for (int i = 0; i < 4 * stride; ++i)
                    ASSERT_TRUE (sameBits (plainValues[i], wideValues[i])) << "value " << i << " of copy " << i / stride;
            }
}
#endif

#if TALVORA_WIDE_PATH
TEST_F (OscillatorStacks, ChainBesideOscillator3IsEachRunAlone)
{
    // The two loops interleaved sample by sample must leave both results as
    // each alone does, on ordinary and on broken phases, pitches and widths.
    static const Tables tables;
    constexpr int n = 40, stride = 48;
    const double increment[4] = { 4095.0, 37.2, notANumber, -12.5 };
    const double start[4] = { 0.0, 4095.999999, -3.0, infinite };
    double common[n], held[n], level[n], pulseHeld[n];
    for (int i = 0; i < n; ++i)
    {
        common[i] = i == 17 ? notANumber : 1.0 + 0.01 * std::sin (0.4 * i);
        held[i] = i == 29 ? 1.0e300 : 1.0 + 0.001 * (i % 8);
        level[i] = 0.4 + 0.01 * (i % 5);
        pulseHeld[i] = i < 10 ? 0.05 * (i / 4) : (i == 21 ? notANumber : -0.3 * (i % 3));
    }
    for (const double lfoStart : { 0.0, 0.9999, notANumber })
    {
        double aloneOsc3[4], besideOsc3[4], aloneValues[4 * stride] {}, besideValues[4 * stride] {};
        double aloneLfo = lfoStart, besideLfo = lfoStart;
        double aloneA[n][K] {}, aloneOffA[n][K] {}, aloneW[n][4] {}, aloneOff[n][4] {};
        double besideA[n][K] {}, besideOffA[n][K] {}, besideW[n][4] {}, besideOff[n][4] {};
        std::memcpy (aloneOsc3, start, sizeof (aloneOsc3));
        std::memcpy (besideOsc3, start, sizeof (besideOsc3));
        pulseChainWide<4> (aloneLfo, 0.013, 0.6, pulseHeld, n, aloneA, aloneOffA, aloneW, aloneOff);
        osc3RunQuad (aloneOsc3, increment, common, held, 2.0, tables.a.data(), level, aloneValues, stride, n);
        pulseChainBesideOsc3 (besideLfo, 0.013, 0.6, pulseHeld, besideA, besideOffA, besideW, besideOff, besideOsc3,
                              increment, common, held, 2.0, tables.a.data(), level, besideValues, stride, n);

        EXPECT_TRUE (sameBits (aloneLfo, besideLfo));
        for (int k = 0; k < 4; ++k)
            EXPECT_TRUE (sameBits (aloneOsc3[k], besideOsc3[k])) << "copy " << k;
        EXPECT_EQ (std::memcmp (aloneValues, besideValues, sizeof (aloneValues)), 0);
        EXPECT_EQ (std::memcmp (aloneA, besideA, sizeof (aloneA)), 0);
        EXPECT_EQ (std::memcmp (aloneOffA, besideOffA, sizeof (aloneOffA)), 0);
        EXPECT_EQ (std::memcmp (aloneW, besideW, sizeof (aloneW)), 0);
        EXPECT_EQ (std::memcmp (aloneOff, besideOff, sizeof (aloneOff)), 0);
    }
}
#endif

#if TALVORA_WIDE_PATH
template <int Copies>
void compareChain (double start, double step)
{
    constexpr int n = 40;
    double held[n];
    for (int i = 0; i < n; ++i)
        held[i] = i < 10 ? 0.05 * (i / 4) : (i < 16 ? 1.5 : (i == 21 ? notANumber : -0.3 * (i % 3)));
    double phase = start, a[n][K] {}, offA[n][K] {}, widths[n][4] {}, offsets[n][4] {};
    pulseChainWide<Copies> (phase, step, 0.6, held, n, a, offA, widths, offsets);

    double ref = start;
    for (int ci = 0; ci < n; ++ci)
        for (int k = 0; k < Copies; ++k)
        {
            const double wk = pulseWidth (ref, 0.6, held[ci]);
            ASSERT_TRUE (sameBits (wk, k == 0 ? a[ci][0] : widths[ci][k])) << "sample " << ci << ", unison copy " << k;
            ASSERT_TRUE (sameBits (wk * 2048.0 + 2048.0, k == 0 ? offA[ci][0] : offsets[ci][k]));
            stepPulsePhase (ref, step);
        }
    EXPECT_TRUE (sameBits (phase, ref));
    // Only lane 0 of the rows belongs to this chain.
    for (int ci = 0; ci < n; ++ci)
        for (int j = 1; j < K; ++j)
            ASSERT_EQ (a[ci][j] + offA[ci][j], 0.0);
}

TEST_F (OscillatorStacks, WidePulseChainStepsOncePerUnisonCopy)
{
    initGlobalTables();
    // Phases that wrap within a sample's steps, at the end of the range, and stand still.
    for (const double start : { 0.0, 0.37, 0.9999, 1.0 })
        for (const double step : { 0.0, 1.3e-4, 0.0123, 0.49 })
        {
            compareChain<1> (start, step);
            compareChain<2> (start, step);
            compareChain<4> (start, step);
        }
}
#endif
