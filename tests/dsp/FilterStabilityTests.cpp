// Stability and robustness of the voice filter routines: loud noise over a
// grid of cutoff x resonance x overdrive x resonance modulation at two sample
// rates, long runs on the worst corners, and the guards against NaN, Inf,
// denormals, frozen states and printing on the audio thread.

#include "dsp/FilterMeasure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

using namespace measure;

namespace
{
enum class Modulation
{
    none,
    negative, // an LFO swing below zero
    half,
    strong,   // several sources stacked
    moving    // modulation and cutoff both moving every group
};

struct Corner
{
    double cutoff;
    double resonance;
    double overdrive;
    Modulation modulation;
};

std::ostream& operator<< (std::ostream& os, const Corner& c)
{
    return os << "cutoff " << c.cutoff << " resonance " << c.resonance << " overdrive " << c.overdrive
              << " modulation " << (int) c.modulation;
}

struct RunResult
{
    bool finite = true;
    double peak = 0.0;
    double firstSeconds = 0.0; // peak of the first two seconds
    double lastSeconds = 0.0;  // peak of the last two seconds
};

constexpr double kNoiseLevel = 2.0;   // loud: twice a full-scale oscillator
constexpr double kOutputBound = 50.0; // resonant peaks reach about 12x; a runaway goes far past this

RunResult runNoise (int type, double rate, const Corner& c, double seconds, uint64_t seed)
{
    Filter filter;
    filter.prepare (rate);
    filter.setType (type);
    filter.setOverdrive (c.overdrive);

    constexpr int kBlock = 256;
    std::vector<double> buffer (kBlock), cutoff (kBlock / 8), modulation (kBlock / 8);
    VoiceRandom rng (seed);

    const long total = (long) (seconds * rate);
    const long twoSeconds = (long) (2.0 * rate);
    long group = 0;
    RunResult result;

    for (long done = 0; done < total; done += kBlock)
    {
        const int n = (int) std::min<long> (kBlock, total - done);
        fillNoise (rng, buffer.data(), n, kNoiseLevel);

        for (int g = 0; g < (n + 7) / 8; ++g, ++group)
        {
            double cut = c.cutoff, mod = 1.0;
            switch (c.modulation)
            {
                case Modulation::none:     break;
                case Modulation::half:     mod = 0.5; break;
                case Modulation::negative: mod = -2.0; break;
                case Modulation::strong:   mod = 4.0; break;
                case Modulation::moving:
                    mod = 0.5 + 3.5 * std::sin (2.0 * kPi * (double) group / 173.0);
                    cut = c.cutoff * (0.5 + 0.5 * std::sin (2.0 * kPi * (double) group / 311.0));
                    break;
            }
            cutoff[(size_t) g] = cut;
            modulation[(size_t) g] = mod;
        }

        const bool modulated = c.modulation != Modulation::none;
        filter.processBlock (cutoff.data(), modulated ? modulation.data() : nullptr,
                             buffer.data(), n, modulated, c.resonance);

        for (int i = 0; i < n; ++i)
        {
            const double y = buffer[(size_t) i];
            if (! std::isfinite (y))
                result.finite = false;
            const double a = std::abs (y);
            result.peak = std::max (result.peak, a);
            if (done + i < twoSeconds)
                result.firstSeconds = std::max (result.firstSeconds, a);
            if (done + i >= total - twoSeconds)
                result.lastSeconds = std::max (result.lastSeconds, a);
        }
    }
    return result;
}

class FilterStability : public ::testing::TestWithParam<int>
{
};
} // namespace

TEST_P (FilterStability, LoudNoiseStaysFiniteAndBoundedEverywhere)
{
    const int type = GetParam();

    std::vector<Corner> grid;
    for (double cutoff : { 0.0, 0.03, 0.35, 1.0 })
        for (double resonance : { 0.0, 0.6, 1.0 })
            for (double overdrive : { 0.0, 0.5, 1.0 })
                for (auto mod : { Modulation::none, Modulation::negative, Modulation::half,
                                  Modulation::strong, Modulation::moving })
                    grid.push_back ({ cutoff, resonance, overdrive, mod });

    for (double rate : { 44100.0, 96000.0 })
    {
        std::vector<std::pair<double, Corner>> ranked;
        for (const auto& corner : grid)
        {
            const auto r = runNoise (type, rate, corner, 0.2, 11);
            ASSERT_TRUE (r.finite) << "rate " << rate << " " << corner;
            ASSERT_LT (r.peak, kOutputBound) << "rate " << rate << " " << corner;
            ranked.push_back ({ r.peak, corner });
        }

        // The full ten seconds on the corners that rang hardest, and on the
        // fastest-moving extreme.
        std::sort (ranked.begin(), ranked.end(),
                   [] (const auto& a, const auto& b) { return a.first > b.first; });
        std::vector<Corner> worst = { ranked[0].second, ranked[1].second,
                                      { 1.0, 1.0, 0.0, Modulation::moving } };
        for (const auto& corner : worst)
        {
            const auto r = runNoise (type, rate, corner, 10.0, 23);
            EXPECT_TRUE (r.finite) << "rate " << rate << " " << corner;
            EXPECT_LT (r.peak, kOutputBound) << "rate " << rate << " " << corner;
            // No slow build-up: the end is no louder than the start.
            EXPECT_LE (r.lastSeconds, 2.0 * r.firstSeconds + 1.0e-9) << "rate " << rate << " " << corner;
        }
    }
}

TEST_P (FilterStability, NonFiniteInputIsContainedAndTheFilterRecovers)
{
    const int type = GetParam();
    const double rate = 44100.0;

    auto level = [&] (bool poison) {
        Filter filter;
        filter.prepare (rate);
        filter.setType (type);
        filter.setOverdrive (0.3);
        std::vector<double> cutoff (64, 0.3);

        VoiceRandom rng (5);
        std::vector<double> noise (512);
        fillNoise (rng, noise.data(), 512, 1.0);
        if (poison)
        {
            noise[100] = std::numeric_limits<double>::quiet_NaN();
            noise[300] = std::numeric_limits<double>::infinity();
        }
        filter.processBlock (cutoff.data(), nullptr, noise.data(), 512, false, 0.7);
        for (int i = 0; i < 512; ++i)
            EXPECT_TRUE (std::isfinite (noise[(size_t) i])) << "sample " << i;

        const int n = (int) (rate / 2);
        auto x = sine (200.0, rate, n, 0.1);
        for (int i = 0; i < n; i += 256)
            filter.processBlock (cutoff.data(), nullptr, x.data() + i, std::min (256, n - i), false, 0.7);
        for (double y : x)
            EXPECT_TRUE (std::isfinite (y));
        return amplitudeAt (x, (size_t) n / 2, (size_t) n, 200.0, rate);
    };

    const double clean = level (false);
    const double recovered = level (true);
    EXPECT_GT (clean, 0.0);
    EXPECT_NEAR (toDb (recovered), toDb (clean), 0.1);
}

TEST_P (FilterStability, SilenceDecaysToZeroWithoutDenormals)
{
    const int type = GetParam();
    const double rate = 44100.0;

    // Cutoff 0 is reachable (knob at 0, or negative cutoff modulation); a
    // filter must not hold a level there, or the voice would never go quiet.
    for (double cutoffValue : { 0.01, 0.0 })
    {
        SCOPED_TRACE (::testing::Message() << "cutoff " << cutoffValue);
        Filter filter;
        filter.prepare (rate);
        filter.setType (type);
        std::vector<double> loud (64, 0.4), closed (64, cutoffValue), buffer (256);

        VoiceRandom rng (9);
        for (int b = 0; b < 100; ++b)
        {
            fillNoise (rng, buffer.data(), 256, 1.0);
            filter.processBlock (loud.data(), nullptr, buffer.data(), 256, false, 0.5);
        }

        int subnormals = 0;
        double lastSecondPeak = 0.0;
        const int blocks = (int) (10.0 * rate / 256);
        for (int b = 0; b < blocks; ++b)
        {
            std::fill (buffer.begin(), buffer.end(), 0.0);
            filter.processBlock (closed.data(), nullptr, buffer.data(), 256, false, 0.5);
            for (double y : buffer)
            {
                if (std::fpclassify (y) == FP_SUBNORMAL)
                    ++subnormals;
                if (b >= blocks - (int) (rate / 256))
                    lastSecondPeak = std::max (lastSecondPeak, std::abs (y));
            }
        }
        EXPECT_EQ (subnormals, 0);
        EXPECT_LT (toDb (lastSecondPeak), -100.0);
        if (cutoffValue > 0.0)
            EXPECT_EQ (buffer.back(), 0.0);
    }
}

std::string typeTestName (const ::testing::TestParamInfo<int>& info)
{
    static const char* names[] = { "LowPass", "Ladder", "HighPass", "DoubleLadder", "BandPass", "ZeroDelayLadder" };
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P (AllTypes, FilterStability, ::testing::Range (0, (int) Filter::numTypes), typeTestName);

TEST (ZeroDelayLadder, CutoffOneIsLimitedLikeTheOtherRoutines)
{
    // At cutoff 1 the tangent would reach infinity; it is held at the same
    // limit as the other routines, so the response is that of 0.995.
    for (double resonance : { 0.0, 0.9 })
    {
        FilterSetup top;
        top.type = Filter::zeroDelayLadder;
        top.resonance = resonance;
        top.cutoff = 1.0;
        FilterSetup limit = top;
        limit.cutoff = 0.995;
        for (double f : { 1000.0, 15000.0 })
            EXPECT_NEAR (toDb (sineGain (filterMaker (top), f, 44100.0)),
                         toDb (sineGain (filterMaker (limit), f, 44100.0)), 1.0e-9);
    }

    // Loud noise at cutoff 1 and full resonance: finite and within the output
    // gain (resonance 1 gives a gain of 3 after the clamp).
    const auto r = runNoise (Filter::zeroDelayLadder, 44100.0, { 1.0, 1.0, 0.0, Modulation::none }, 1.0, 3);
    EXPECT_TRUE (r.finite);
    EXPECT_LE (r.peak, 3.0);
}

TEST (ZeroDelayLadder, NegativeResonanceModulationActsAsNoResonance)
{
    FilterSetup s;
    s.type = Filter::zeroDelayLadder;
    s.cutoff = 0.3;
    s.resonance = 1.0;
    s.modulated = true;
    s.modulation = -3.0;
    const auto peak = sweepPeak (filterMaker (s), 50.0, 16000.0, 40, 44100.0);
    EXPECT_LT (peak.gainDb, 0.5); // a plain low-pass: no resonant bump

    const auto r = runNoise (Filter::zeroDelayLadder, 44100.0, { 0.6, 1.0, 0.0, Modulation::negative }, 2.0, 4);
    EXPECT_TRUE (r.finite);
    EXPECT_LE (r.peak, 1.0);
}

TEST (BandPass, DrivenBandPassPrintsNothing)
{
    Filter filter;
    filter.prepare (44100.0);
    filter.setType (Filter::bandPass);
    filter.setOverdrive (1.0);
    std::vector<double> cutoff (64, 0.2), buffer (256);
    VoiceRandom rng (1);

    ::testing::internal::CaptureStdout();
    for (int b = 0; b < 50; ++b) // 1600 groups
    {
        fillNoise (rng, buffer.data(), 256, 1.0);
        filter.processBlock (cutoff.data(), nullptr, buffer.data(), 256, false, 0.8);
    }
    EXPECT_EQ (::testing::internal::GetCapturedStdout(), "");
}

TEST (Filter, TypeOutsideTheRangeLeavesSamplesUntouched)
{
    for (int type : { -1, 6, 42 })
    {
        Filter filter;
        filter.prepare (44100.0);
        filter.setType (type);
        EXPECT_FALSE (filter.isActive());
        std::vector<double> cutoff (64, 0.1);
        auto x = sine (3000.0, 44100.0, 512, 0.5);
        const auto original = x;
        filter.processBlock (cutoff.data(), nullptr, x.data(), 512, false, 0.9);
        EXPECT_EQ (x, original);
    }
}

TEST (Filter, PerGroupCallsMatchTheBlockCall)
{
    // The voice may drive the filter one 8-sample group at a time; that must
    // sound exactly like handing it the whole block with its tables.
    for (int type = 0; type < Filter::numTypes; ++type)
    {
        SCOPED_TRACE (type);
        Filter byBlock, byGroup;
        for (auto* f : { &byBlock, &byGroup })
        {
            f->prepare (48000.0);
            f->setType (type);
            f->setOverdrive (0.6);
        }

        VoiceRandom rng (17);
        const int n = 203; // a partial last group
        std::vector<double> cutoff (26), modulation (26);
        for (int block = 0; block < 20; ++block)
        {
            for (size_t g = 0; g < cutoff.size(); ++g)
            {
                cutoff[g] = 0.05 + 0.9 * rng.nextUnit();
                modulation[g] = 3.0 * rng.nextUnit() - 1.0;
            }
            std::vector<double> a ((size_t) n);
            fillNoise (rng, a.data(), n, 1.0);
            auto b = a;

            byBlock.processBlock (cutoff.data(), modulation.data(), a.data(), n, true, 0.8);

            byGroup.startBlock();
            for (int start = 0; start < n; start += 8)
            {
                byGroup.updateCoefficients (cutoff[(size_t) start / 8], 0.8, true, modulation[(size_t) start / 8]);
                byGroup.processGroup (b.data() + start, std::min (8, n - start));
            }
            ASSERT_EQ (a, b);
        }
    }
}

TEST (Filter, TwoPoleBlockMatchesPerGroupCallsAcrossItsBranches)
{
    // The two-pole routine has its own block loop: it must match the group
    // calls without and with overdrive, with the low-cutoff smoothing, with
    // no resonance table, and when a group goes non-finite and restarts.
    struct Setting
    {
        double overdrive, resonance, cutoffLow, cutoffHigh;
        bool modulated;
    };
    const Setting settings[] = { { 0.0, 0.3, 0.01, 0.2, false }, { 0.0, 0.95, 0.05, 1.0, true },
                                 { 0.4, 0.5, 0.01, 0.3, true }, { 0.0, 0.7, 0.0, 1.2, false } };
    for (const auto& set : settings)
    {
        SCOPED_TRACE (set.overdrive + set.resonance);
        Filter byBlock, byGroup;
        for (auto* f : { &byBlock, &byGroup })
        {
            f->prepare (44100.0);
            f->setType (Filter::lowPass12);
            f->setOverdrive (set.overdrive);
        }

        VoiceRandom rng (5);
        const int n = 61;
        std::vector<double> cutoff (8), modulation (8);
        for (int block = 0; block < 40; ++block)
        {
            for (size_t g = 0; g < cutoff.size(); ++g)
            {
                cutoff[g] = set.cutoffLow + (set.cutoffHigh - set.cutoffLow) * rng.nextUnit();
                modulation[g] = 2.0 * rng.nextUnit();
            }
            std::vector<double> a ((size_t) n);
            fillNoise (rng, a.data(), n, block % 3 == 0 ? 8.0 : 1.0);
            if (block == 7)
                a[20] = std::numeric_limits<double>::quiet_NaN();
            if (block == 11)
                a[60] = std::numeric_limits<double>::infinity();
            auto b = a;

            const double* table = set.modulated ? modulation.data() : nullptr;
            byBlock.processBlock (cutoff.data(), table, a.data(), n, set.modulated, set.resonance);

            byGroup.startBlock();
            for (int start = 0; start < n; start += 8)
            {
                byGroup.updateCoefficients (cutoff[(size_t) start / 8], set.resonance, set.modulated,
                                            set.modulated ? modulation[(size_t) start / 8] : 1.0);
                byGroup.processGroup (b.data() + start, std::min (8, n - start));
            }
            ASSERT_EQ (0, std::memcmp (a.data(), b.data(), sizeof (double) * (size_t) n)) << "block " << block;
            if (block == 7)
                EXPECT_EQ (0.0, a[20]);
        }
    }
}

TEST (Filter, ATypeChangeStartsTheNewRoutineFromRest)
{
    // A routine picked again must not replay what it held when it was last
    // left (a burst of an old note): after every switch, silence in gives
    // silence out, whatever ran before.
    for (int first = 0; first < Filter::numTypes; ++first)
        for (int second = 0; second < Filter::numTypes; ++second)
        {
            if (first == second)
                continue;
            SCOPED_TRACE (testing::Message() << first << " -> " << second << " -> " << first);
            Filter filter;
            filter.prepare (44100.0);
            filter.setOverdrive (0.3);
            std::vector<double> cutoff (64, 0.3);
            VoiceRandom rng (5);
            std::vector<double> loud (512);

            for (int type : { first, second })
            {
                filter.setType (type);
                fillNoise (rng, loud.data(), 512, 1.0);
                filter.processBlock (cutoff.data(), nullptr, loud.data(), 512, false, 0.95);
            }
            filter.setType (first);
            std::vector<double> quiet (512, 0.0);
            filter.processBlock (cutoff.data(), nullptr, quiet.data(), 512, false, 0.95);
            EXPECT_EQ (*std::max_element (quiet.begin(), quiet.end()), 0.0);
            EXPECT_EQ (*std::min_element (quiet.begin(), quiet.end()), 0.0);
        }
}
