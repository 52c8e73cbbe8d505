// The decimator measured on a pure tone: spectral images appear when it
// holds, the dry signal passes bit-exact below its threshold, small amounts
// crossfade, and its state survives block splits, rate drops and bad input.

#include "dsp/Decimator.h"
#include "dsp/FilterMeasure.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

using namespace measure;

namespace
{
constexpr double kRate = 44100.0;
constexpr double kTone = 1000.0;
constexpr int kLength = 32768;

struct ToneRun
{
    int type = 0;
    double amount = 1.0;
    double firstCutoff = 1.0;
    bool modulated = false;
    double modulation = 1.0;
    int block = 256;
};

std::vector<double> decimateTone (const ToneRun& r, std::vector<double> x)
{
    Decimator d;
    d.prepare (kRate);
    d.setType (r.type);
    std::vector<double> table ((size_t) r.block / 8 + 1, r.modulation);
    for (size_t i = 0; i < x.size(); i += (size_t) r.block)
    {
        const int n = (int) std::min<size_t> ((size_t) r.block, x.size() - i);
        d.processBlock (x.data() + i, n, r.amount, r.modulated, r.modulated ? table.data() : nullptr, r.firstCutoff);
    }
    return x;
}

// Power above 2 kHz relative to the 1 kHz tone: what the holds add.
double imagesDb (const std::vector<double>& x)
{
    return energyAboveDb (x, kLength / 2, kLength / 2, kTone, 2000.0, kRate);
}

std::vector<double> tone() { return sine (kTone, kRate, kLength, 0.5); }

double rmsDifference (const std::vector<double>& a, const std::vector<double>& b)
{
    double sum = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt (sum / (double) a.size());
}

void prepare (Decimator& d, int type)
{
    d.prepare (kRate);
    d.setType (type);
}

// Feeds x[from, to) through d in 256-sample blocks; a modulation table turns
// modulation on.
void feed (Decimator& d, std::vector<double>& x, double amount, double cutoff, const double* modulation = nullptr,
           size_t from = 0, size_t to = SIZE_MAX)
{
    for (size_t i = from; i + 256 <= std::min (to, x.size()); i += 256)
        d.processBlock (x.data() + i, 256, amount, modulation != nullptr, modulation, cutoff);
}
} // namespace

TEST (Decimator, EveryTypeReducesTheRateAudibly)
{
    ASSERT_LT (imagesDb (tone()), -120.0); // the input has nothing up there

    for (int type = 0; type < Decimator::numTypes; ++type)
    {
        SCOPED_TRACE (type);
        ToneRun r;
        r.type = type;
        const double images = imagesDb (decimateTone (r, tone()));
        // The sliding types smooth the steps, so their images are weaker.
        EXPECT_GT (images, type <= 1 ? -20.0 : -40.0);

        // A lower cutoff slows the holds: more, lower images.
        r.firstCutoff = 0.3;
        const auto slower = decimateTone (r, tone());
        EXPECT_GT (energyAboveDb (slower, kLength / 2, kLength / 2, kTone, 1200.0, kRate),
                   type <= 1 ? -15.0 : -35.0);
    }
}

TEST (Decimator, BelowTheThresholdTheSignalPassesUntouched)
{
    for (int type = 0; type < Decimator::numTypes; ++type)
    {
        SCOPED_TRACE (type);
        ToneRun r;
        r.type = type;
        r.firstCutoff = 0.01; // slow holds, so any processing would show

        for (double amount : { 0.0, 0.0005, Decimator::kActiveThreshold })
        {
            r.amount = amount;
            EXPECT_EQ (decimateTone (r, tone()), tone()) << "amount " << amount;
        }

        r.amount = 0.0015;
        EXPECT_GT (imagesDb (decimateTone (r, tone())), -70.0);
    }

    for (int type : { -1, 4, 9 })
    {
        ToneRun r;
        r.type = type;
        EXPECT_EQ (decimateTone (r, tone()), tone()) << "type " << type;
    }
}

TEST (Decimator, SmallAmountsCrossfadeWithTheDrySignal)
{
    // Same hold rate for both: amount 0.1 at cutoff 0.051 and amount 0.2 at
    // cutoff 0.101. Amount 0.2 is fully held; 0.1 sits halfway to the dry tone.
    for (int type : { 0, 1 })
    {
        SCOPED_TRACE (type);
        ToneRun half, full;
        half.type = full.type = type;
        half.amount = 0.1;
        half.firstCutoff = 0.051;
        full.amount = 0.2;
        full.firstCutoff = 0.101;

        const auto dry = tone();
        const double halfWet = rmsDifference (decimateTone (half, dry), dry);
        const double fullWet = rmsDifference (decimateTone (full, dry), dry);
        EXPECT_GT (fullWet, 0.01);
        EXPECT_NEAR (halfWet / fullWet, 0.5, 1.0e-6);
    }
}

TEST (Decimator, ModulationScalesTheAmountOfTheHoldTypesOnly)
{
    for (int type = 0; type < Decimator::numTypes; ++type)
    {
        SCOPED_TRACE (type);
        ToneRun r;
        r.type = type;
        r.amount = 0.5;
        r.modulated = true;

        r.modulation = 0.0;
        const auto closed = decimateTone (r, tone());
        r.modulation = 2.0;
        const auto opened = decimateTone (r, tone());
        ToneRun plain = r;
        plain.modulated = false;
        const auto unmodulated = decimateTone (plain, tone());

        if (type <= 1)
        {
            EXPECT_LT (imagesDb (closed), -120.0); // amount x 0 = dry
            EXPECT_GT (imagesDb (opened), -20.0);
        }
        else
        {
            EXPECT_EQ (closed, unmodulated);
            EXPECT_EQ (opened, unmodulated);
        }
    }
}

TEST (Decimator, StateCarriesAcrossBlocks)
{
    // Odd block sizes must give the same output as one long block.
    for (int type = 0; type < Decimator::numTypes; ++type)
    {
        SCOPED_TRACE (type);
        ToneRun whole;
        whole.type = type;
        whole.amount = 0.7;
        whole.firstCutoff = 0.6;
        whole.block = kLength;

        auto split = tone();
        Decimator d;
        prepare (d, type);
        VoiceRandom rng (2);
        for (size_t i = 0; i < split.size();)
        {
            const int n = (int) std::min<size_t> (1 + (size_t) (rng.nextUnit() * 100), split.size() - i);
            d.processBlock (split.data() + i, n, whole.amount, false, nullptr, whole.firstCutoff);
            i += (size_t) n;
        }
        EXPECT_EQ (split, decimateTone (whole, tone()));
    }
}

TEST (Decimator, RateChangesTakeEffectCleanly)
{
    // A falling cutoff slows the holds; the linear slide must stop at its
    // target instead of running on until the next, much later hold.
    for (int type : { 2, 3 })
    {
        Decimator d;
        prepare (d, type);
        auto x = sine (3000.0, kRate, kLength, 1.0);
        feed (d, x, 1.0, 1.0, nullptr, 0, kLength / 4);
        feed (d, x, 1.0, 0.002, nullptr, kLength / 4);
        for (double y : x)
            ASSERT_LE (std::abs (y), 1.0) << type;
    }

    // A long stretch with the modulation near zero (holding every sample),
    // then full amount: decimation must be audible in the very next block.
    Decimator d;
    prepare (d, 1);
    const std::vector<double> zero (40, 0.0), one (40, 2.0);
    auto x = sine (kTone, kRate, (int) kRate * 4, 0.5), y = tone();
    feed (d, x, 0.5, 1.0, zero.data());
    feed (d, y, 0.5, 1.0, one.data());
    EXPECT_GT (energyAboveDb (y, 0, 4096, kTone, 2000.0, kRate), -20.0);
}

TEST (Decimator, NonFiniteInputIsContainedAndSilenceStaysSilent)
{
    for (int type = 0; type < Decimator::numTypes; ++type)
    {
        SCOPED_TRACE (type);
        Decimator d;
        prepare (d, type);
        auto x = tone();
        x[500] = std::numeric_limits<double>::quiet_NaN();
        x[9000] = -std::numeric_limits<double>::infinity();
        feed (d, x, 1.0, 1.0);
        for (double y : x)
            ASSERT_TRUE (std::isfinite (y));
        EXPECT_GT (imagesDb (x), type <= 1 ? -20.0 : -40.0); // still decimating

        // After the tone, silence with the cutoff closed: no level is held.
        std::vector<double> quiet (256 * 200, 0.0);
        feed (d, quiet, 1.0, 0.0);
        EXPECT_EQ (quiet.back(), 0.0);
    }
}

// A voice's two sides through processBlockPair and through processBlock
// each: the same samples for every type, amount and modulation, including
// after one side went non-finite and restarted alone (its hold clock then
// runs apart from the other side's).
TEST (Decimator, PairedSidesEqualEachSideAlone)
{
    constexpr int kBlock = 203;   // a partial last group
    for (int type = 0; type < Decimator::numTypes; ++type)
        for (double amount : { 0.1, 0.2, 0.7 })
            for (bool modulated : { false, true })
            {
                SCOPED_TRACE (testing::Message() << "type " << type << ", amount " << amount << ", modulated " << modulated);
                Decimator single[2], paired[2];
                for (Decimator* d : { &single[0], &single[1], &paired[0], &paired[1] })
                    d->setType (type);

                uint64_t state = 12345;
                auto next = [&state] {
                    state = state * 6364136223846793005ull + 1442695040888963407ull;
                    return (double) (state >> 11) * 0x1.0p-53;
                };
                std::vector<double> modulation (kBlock / 8 + 1);
                for (int block = 0; block < 8; ++block)
                {
                    for (auto& m : modulation)
                        m = 0.2 + 1.5 * next();
                    const double cutoff = 0.05 + 0.9 * next();
                    std::vector<double> expected[2], actual[2];
                    for (int s = 0; s < 2; ++s)
                    {
                        expected[s].resize (kBlock);
                        for (auto& x : expected[s])
                            x = next() - 0.5 * (s + 1);
                    }
                    if (block == 2)
                        expected[0][37] = std::numeric_limits<double>::quiet_NaN();
                    if (block == 5)
                        expected[1][200] = -std::numeric_limits<double>::infinity();
                    if (block == 6)   // finite samples whose group sum overflows
                        for (int i = 64; i < 72; ++i)
                            expected[1][(size_t) i] = 1.0e308;
                    actual[0] = expected[0];
                    actual[1] = expected[1];

                    for (int s = 0; s < 2; ++s)
                        single[s].processBlock (expected[s].data(), kBlock, amount, modulated, modulation.data(), cutoff);
                    Decimator::processBlockPair (paired[0], paired[1], actual[0].data(), actual[1].data(), kBlock,
                                                 amount, modulated, modulation.data(), cutoff);
                    for (int s = 0; s < 2; ++s)
                        for (int i = 0; i < kBlock; ++i)
                            ASSERT_EQ (actual[s][(size_t) i], expected[s][(size_t) i])
                                << "block " << block << ", side " << s << ", sample " << i;
                }
            }
}
