// Measured frequency responses of the voice filter routines: pass and stop
// bands, band-pass centre, resonance (plain and through its modulation),
// overdrive harmonics and the low-cutoff smoothing.

#include "dsp/FilterMeasure.h"

#include <gtest/gtest.h>

using namespace measure;

namespace
{
constexpr double kRate = 44100.0;

const char* typeName (int type)
{
    static const char* names[] = { "low-pass", "ladder", "high-pass", "double ladder", "band-pass", "zero-delay ladder" };
    return type >= 0 && type < 6 ? names[type] : "none";
}

FilterSetup setup (int type, double cutoff, double resonance = 0.0)
{
    FilterSetup s;
    s.type = type;
    s.cutoff = cutoff;
    s.resonance = resonance;
    return s;
}

double gainDb (const FilterSetup& s, double freq)
{
    return toDb (sineGain (filterMaker (s), freq, kRate));
}

double thdDb (FilterSetup s, double f0, double amplitude)
{
    const int n = (int) (kRate / 2);
    auto x = sine (f0, kRate, n, amplitude);
    auto process = filterMaker (s)();
    for (int i = 0; i < n; i += 256)
        process (x.data() + i, std::min (256, n - i));

    const double fundamental = amplitudeAt (x, (size_t) n / 2, (size_t) n, f0, kRate);
    double harmonics = 0.0;
    for (int k = 2; k <= 7; ++k)
    {
        const double a = amplitudeAt (x, (size_t) n / 2, (size_t) n, k * f0, kRate);
        harmonics += a * a;
    }
    return toDb (std::sqrt (harmonics) / fundamental);
}

const int kLowPassTypes[] = { Filter::lowPass12, Filter::ladderLowPass24,
                              Filter::doubleLadderLowPass, Filter::zeroDelayLadder };
} // namespace

TEST (FilterResponse, LowPassTypesPassLowsAndCutHighsAtLowCutoff)
{
    for (int type : kLowPassTypes)
    {
        SCOPED_TRACE (typeName (type));
        const auto s = setup (type, 0.05);
        EXPECT_NEAR (gainDb (s, 100.0), 0.0, 3.0);
        EXPECT_LT (gainDb (s, 10000.0), -30.0);
    }
}

TEST (FilterResponse, HighPassCutsLowsAndPassesHighs)
{
    const auto s = setup (Filter::highPass12, 0.2);
    EXPECT_LT (gainDb (s, 100.0), -30.0);
    EXPECT_NEAR (gainDb (s, 10000.0), 0.0, 3.0);

    // Raising the cutoff moves the stop band up.
    EXPECT_LT (gainDb (setup (Filter::highPass12, 0.6), 1000.0), gainDb (s, 1000.0) - 10.0);
}

TEST (FilterResponse, BandPassPeaksNearItsCentre)
{
    for (double cutoff : { 0.1, 0.2, 0.4 })
    {
        for (double resonance : { 0.5, 0.9 })
        {
            SCOPED_TRACE (::testing::Message() << "cutoff " << cutoff << " resonance " << resonance);
            const auto s = setup (Filter::bandPass, cutoff, resonance);
            // The state-variable tuning puts the centre at cutoff / 8 of the rate.
            const double centre = cutoff * kRate / 8.0;
            const auto peak = sweepPeak (filterMaker (s), centre / 16.0, std::min (centre * 16.0, 20000.0), 49, kRate);

            EXPECT_NEAR (std::log2 (peak.frequency / centre), 0.0, 1.0 / 3.0);
            EXPECT_LT (gainDb (s, centre / 8.0), peak.gainDb - 10.0);
            EXPECT_LT (gainDb (s, std::min (centre * 8.0, 20000.0)), peak.gainDb - 10.0);
        }
    }
}

TEST (FilterResponse, ResonanceRaisesThePeak)
{
    for (int type = 0; type < Filter::numTypes; ++type)
    {
        SCOPED_TRACE (typeName (type));
        const double cutoff = 0.2;
        const auto flat = sweepPeak (filterMaker (setup (type, cutoff, 0.1)), 50.0, 16000.0, 40, kRate);
        const auto resonant = sweepPeak (filterMaker (setup (type, cutoff, 0.95)), 50.0, 16000.0, 40, kRate);
        EXPECT_GT (resonant.gainDb, flat.gainDb + 3.0);
    }
}

TEST (FilterResponse, BandPassNarrowsWithResonance)
{
    auto selectivity = [] (double resonance) {
        const auto s = setup (Filter::bandPass, 0.2, resonance);
        const double centre = 0.2 * kRate / 8.0;
        return gainDb (s, centre) - 0.5 * (gainDb (s, centre / 2.0) + gainDb (s, centre * 2.0));
    };
    EXPECT_GT (selectivity (0.9), selectivity (0.2) + 6.0);
}

TEST (FilterResponse, ResonanceModulationScalesTheResonance)
{
    for (int type = 0; type < Filter::numTypes; ++type)
    {
        SCOPED_TRACE (typeName (type));
        const double cutoff = 0.2;

        // Knob at full, so the modulation alone decides how much resonance.
        auto modulated = setup (type, cutoff, 1.0);
        modulated.modulated = true;

        modulated.modulation = 0.0;
        const auto none = sweepPeak (filterMaker (modulated), 50.0, 16000.0, 40, kRate);
        modulated.modulation = -1.5; // a negative LFO swing: no resonance, and stable
        const auto negative = sweepPeak (filterMaker (modulated), 50.0, 16000.0, 40, kRate);
        modulated.modulation = 1.0;
        const auto full = sweepPeak (filterMaker (modulated), 50.0, 16000.0, 40, kRate);

        EXPECT_NEAR (negative.gainDb, none.gainDb, 0.01);
        EXPECT_GT (full.gainDb, none.gainDb + 3.0);

        if (type != Filter::zeroDelayLadder)
        {
            // Resonance 0.45 doubled by the modulation sounds like resonance 0.9
            // (at a cutoff where the low-cutoff smoothing is off).
            auto doubled = setup (type, 0.5, 0.45);
            doubled.modulated = true;
            doubled.modulation = 2.0;
            const auto plain = sweepPeak (filterMaker (setup (type, 0.5, 0.9)), 50.0, 16000.0, 40, kRate);
            EXPECT_NEAR (sweepPeak (filterMaker (doubled), 50.0, 16000.0, 40, kRate).gainDb, plain.gainDb, 0.01);
        }
    }
}

TEST (FilterResponse, OverdriveAddsHarmonics)
{
    // Cutoffs chosen so the 220 Hz tone and its first harmonics are passed.
    const std::pair<int, double> cases[] = { { Filter::lowPass12, 0.6 }, { Filter::ladderLowPass24, 0.6 },
                                             { Filter::highPass12, 0.02 }, { Filter::doubleLadderLowPass, 0.6 },
                                             { Filter::bandPass, 0.04 } };
    for (const auto& [type, cutoff] : cases)
    {
        SCOPED_TRACE (typeName (type));
        auto s = setup (type, cutoff, 0.3);
        const double clean = thdDb (s, 220.0, 0.8);
        s.overdrive = 1.0;
        const double driven = thdDb (s, 220.0, 0.8);
        EXPECT_LT (clean, -80.0);
        EXPECT_GT (driven, -35.0);
    }
}

TEST (FilterResponse, LowCutoffSmoothingTakesOffHighsOnlyAtLowCutoffs)
{
    // The smoothing stage is keyed on the resonance knob (below 0.8), not on
    // the modulated resonance: knob 0.45 and knob 0.9 halved by modulation
    // resonate alike but only the first is smoothed.
    for (int type : { Filter::lowPass12, Filter::ladderLowPass24 })
    {
        SCOPED_TRACE (typeName (type));
        for (double cutoff : { 0.1, 0.5 })
        {
            auto smoothed = setup (type, cutoff, 0.45);
            auto plain = setup (type, cutoff, 0.9);
            plain.modulated = true;
            plain.modulation = 0.5;

            EXPECT_NEAR (gainDb (smoothed, 100.0), gainDb (plain, 100.0), 0.1);
            if (cutoff < 0.2)
                EXPECT_LT (gainDb (smoothed, 8000.0), gainDb (plain, 8000.0) - 4.0);
            else
                EXPECT_NEAR (gainDb (smoothed, 8000.0), gainDb (plain, 8000.0), 0.01);
        }
    }
}

TEST (FilterResponse, CutoffFollowsTheTablePerGroup)
{
    // A cutoff table that steps from low to high mid-block: the level of a
    // 5 kHz tone jumps at that group, not before.
    for (int type : kLowPassTypes)
    {
        SCOPED_TRACE (typeName (type));
        Filter filter;
        filter.prepare (kRate);
        filter.setType (type);
        const int n = 4096;
        auto x = sine (5000.0, kRate, n, 0.1);
        std::vector<double> cutoff (n / 8, 0.02);
        std::fill (cutoff.begin() + n / 16, cutoff.end(), 0.9);
        filter.processBlock (cutoff.data(), nullptr, x.data(), n, false, 0.0);

        double before = 0.0, after = 0.0;
        for (int i = n / 2 - 1024; i < n / 2; ++i)
            before = std::max (before, std::abs (x[(size_t) i]));
        for (int i = n - 1024; i < n; ++i)
            after = std::max (after, std::abs (x[(size_t) i]));
        EXPECT_LT (toDb (before / 0.1), -30.0);
        EXPECT_GT (toDb (after / 0.1), -6.0);
    }
}
