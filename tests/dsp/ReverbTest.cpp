#include "dsp/KevoReverb.h"
#include "dsp/KevoReverb2.h"

#include "MasterEffectsTestUtil.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

using namespace fxtest;

namespace
{
// Both reverb types behind one face, so every check runs on each.
struct AnyReverb
{
    Parameters p;
    std::unique_ptr<KevoReverb> one;
    std::unique_ptr<KevoReverb2> two;

    AnyReverb (int type, double sampleRate, int blockSize, double mix, double size, double colour)
    {
        p[params::kReverbMix] = mix;
        p[params::kReverbSize] = size;
        p[params::kReverbColor] = colour;
        if (type == 1)
            one = std::make_unique<KevoReverb>();
        else
            two = std::make_unique<KevoReverb2>();
        visit ([&] (auto& r) { r.setParameters (p.data()); r.prepare (sampleRate, blockSize); });
    }

    template <typename Fn>
    void visit (Fn&& fn) { one ? fn (*one) : fn (*two); }

    void process (float* l, float* r, int n) { visit ([=] (auto& rv) { rv.process (l, r, n); }); }

    void run (std::vector<float>& l, std::vector<float>& r, int blockSize)
    {
        inBlocks (l, r, blockSize, [this] (float* a, float* b, int n) { process (a, b, n); });
    }
};

// RMS of consecutive one-second windows of x from `from` on.
std::vector<double> secondWindows (const std::vector<float>& x, size_t from, int sampleRate)
{
    std::vector<double> levels;
    for (size_t w = from; w + (size_t) sampleRate <= x.size(); w += (size_t) sampleRate)
        levels.push_back (rms (x, w, w + (size_t) sampleRate));
    return levels;
}
} // namespace

TEST (Reverb, TailNeverRisesAfterTheInputStops)
{
    // Size 1 is the longest and most resonant setting; colour 0 and 1 are the
    // strongest tilts. Half a second of noise, then silence.
    for (int type : { 1, 2 })
        for (double rate : { 44100.0, 96000.0 })
            for (double colour : { 0.0, 1.0 })
            {
                AnyReverb rv (type, rate, 512, 1.0, 1.0, colour);
                const int sr = (int) rate;
                const int burst = sr / 2;
                auto left = noise (burst + 12 * sr, 31);
                std::fill (left.begin() + burst, left.end(), 0.0f);
                auto right = left;
                rv.run (left, right, 512);

                SCOPED_TRACE (testing::Message() << "type " << type << " rate " << rate << " colour " << colour);
                ASSERT_TRUE (allFinite (left) && allFinite (right));

                for (const auto* side : { &left, &right })
                {
                    const auto levels = secondWindows (*side, (size_t) burst, sr);
                    ASSERT_EQ (levels.size(), 12u);
                    EXPECT_GT (levels[0], 1.0e-4); // there is a tail
                    for (size_t k = 1; k < levels.size(); ++k)
                        EXPECT_LE (levels[k], levels[k - 1]) << "window " << k;
                    EXPECT_LT (levels.back(), levels[0] * 0.01); // and it dies away
                }
            }
}

TEST (Reverb, DecayTimeFollowsTheSize)
{
    // Type 1: combs decay 60 dB in 4 * size seconds, measured on the level
    // slope between 0.5 s and 1.5 s after the input. Above size 0.8 the
    // feedback is lifted towards 1: at size 1 the tail lasts over 6 s, not 4 s.
    for (double size : { 0.25, 0.5, 1.0 })
    {
        AnyReverb rv (1, 44100.0, 512, 1.0, size, 0.5);
        auto left = noise (44100 / 2 + 4 * 44100, 32);
        std::fill (left.begin() + 44100 / 2, left.end(), 0.0f);
        auto right = left;
        rv.run (left, right, 512);

        const size_t stop = 44100 / 2;
        const double early = rms (left, stop + 22050 - 2205, stop + 22050 + 2205);
        const double late = rms (left, stop + 3 * 22050 - 2205, stop + 3 * 22050 + 2205);
        const double expected = -60.0 / (4.0 * size);
        if (size < 0.8)
            EXPECT_NEAR (decibels (late / early), expected, std::abs (expected) * 0.3) << size;
        else
            EXPECT_GT (decibels (late / early), -10.0) << size;
    }
}

TEST (Reverb, SizeZeroHasNoCombFeedback)
{
    // The combs stop at once; only the all-pass diffusion rings briefly. A
    // quarter second after a burst the tail is far below the burst and far
    // below the tail of a medium size.
    auto tailAfterBurst = [] (AnyReverb& reverb) {
        auto left = noise (44100, 33);
        std::fill (left.begin() + 4410, left.end(), 0.0f);
        auto right = left;
        reverb.process (left.data(), right.data(), 44100);
        EXPECT_TRUE (allFinite (left));
        return rms (left, 4410 + 11025, 44100);
    };
    AnyReverb rv (1, 44100.0, 512, 1.0, 0.0, 0.5), medium (1, 44100.0, 512, 1.0, 0.5, 0.5);
    for (int i = 0; i < KevoReverb::kNumCombs; ++i)
        EXPECT_EQ (rv.one->getComb (i).getFeedback(), 0.0) << i;
    const double noSize = tailAfterBurst (rv);
    EXPECT_LT (decibels (noSize / rms (noise (4410, 33))), -30.0);
    EXPECT_LT (decibels (noSize / tailAfterBurst (medium)), -12.0);
}

TEST (Reverb, ClearSilencesEveryLine)
{
    // The processor clears both reverbs when the type changes: afterwards
    // silence in must give exact silence out.
    for (int type : { 1, 2 })
    {
        AnyReverb rv (type, 48000.0, 512, 1.0, 1.0, 0.3);
        auto l = noise (48000, 34), r = noise (48000, 35);
        rv.run (l, r, 512);

        rv.visit ([] (auto& reverb) { reverb.clear(); });
        std::vector<float> silentL (96000, 0.0f), silentR (96000, 0.0f);
        rv.run (silentL, silentR, 512);
        EXPECT_EQ (maxAbs (silentL), 0.0) << type;
        EXPECT_EQ (maxAbs (silentR), 0.0) << type;
    }
}

TEST (Reverb, MixThresholdWetOnlyFullMixAndStereoSpread)
{
    for (int type : { 1, 2 })
    {
        SCOPED_TRACE (type);
        AnyReverb dry (type, 44100.0, 512, 0.009, 0.5, 0.5);
        auto l = noise (8192, 36), r = noise (8192, 37);
        const auto dryL = l, dryR = r;
        dry.run (l, r, 512);
        EXPECT_EQ (l, dryL);
        EXPECT_EQ (r, dryR);

        // At mix 1 the right input plays no part: only the (left) input's
        // reverb comes out on both sides.
        AnyReverb a (type, 44100.0, 512, 1.0, 0.5, 0.5), b (type, 44100.0, 512, 1.0, 0.5, 0.5);
        auto l1 = noise (8192, 38), r1 = noise (8192, 39);
        auto l2 = l1;
        std::vector<float> r2 (8192, 0.0f);
        a.run (l1, r1, 512);
        b.run (l2, r2, 512);
        EXPECT_EQ (l1, l2);
        EXPECT_EQ (r1, r2);

        // Yet a mono input comes out different on the two sides.
        AnyReverb wide (type, 44100.0, 512, 1.0, 0.7, 0.5);
        auto monoL = noise (44100, 40), monoR = monoL;
        wide.run (monoL, monoR, 512);
        std::vector<float> difference (monoL.size());
        for (size_t i = 0; i < monoL.size(); ++i)
            difference[i] = monoL[i] - monoR[i];
        EXPECT_GT (rms (difference), 0.1 * rms (monoL));
    }
}

TEST (Reverb, LongBlocksMatchShortBlocks)
{
    // Blocks longer than the pre-delay line are processed in pieces: the
    // result is the same as with the host's usual short blocks.
    for (double rate : { 44100.0, 192000.0 })
    {
        AnyReverb whole (1, rate, 512, 0.8, 1.0, 0.8), pieces (1, rate, 512, 0.8, 1.0, 0.8);
        const int n = (int) (3 * rate);
        ASSERT_LT (whole.one->getMaxSubBlock(), n);

        auto l1 = noise (n, 41), r1 = noise (n, 42);
        auto l2 = l1, r2 = r1;
        whole.process (l1.data(), r1.data(), n);
        pieces.run (l2, r2, 512);
        EXPECT_EQ (l1, l2) << rate;
        EXPECT_EQ (r1, r2) << rate;
    }
}

TEST (Reverb, RecomputingUnchangedSettingsLeavesTheTailAlone)
{
    // A recompute that changes no delay length (same size, or only the
    // colour) must not move the lines: the tail runs on as if untouched.
    for (int type : { 1, 2 })
        for (double rate : { 44100.0, 96000.0 })
        {
            SCOPED_TRACE (testing::Message() << "type " << type << " at " << rate);
            AnyReverb plain (type, rate, 512, 1.0, 0.8, 0.5), touched (type, rate, 512, 1.0, 0.8, 0.5);
            const int n = (int) (1.5 * rate);
            auto l1 = noise ((int) (0.2 * rate), 43);
            l1.resize ((size_t) n, 0.0f);
            auto r1 = std::vector<float> ((size_t) n, 0.0f);
            auto l2 = l1, r2 = r1;
            plain.run (l1, r1, 512);

            int block = 0;
            inBlocks (l2, r2, 512, [&] (float* a, float* b, int count) {
                if (++block % 37 == 0)
                    touched.visit ([] (auto& r) { r.updateReverb(); });
                touched.process (a, b, count);
            });
            EXPECT_EQ (l1, l2);
            EXPECT_EQ (r1, r2);
        }
}

TEST (Reverb, HighRatesAndExtremeSettingsStayInBounds)
{
    for (int type : { 1, 2 })
        for (double rate : { 96000.0, 192000.0 })
            for (double size : { 0.0, 1.0 })
                for (double colour : { 0.0, 0.5, 1.0 })
                {
                    AnyReverb rv (type, rate, 2048, 1.0, size, colour);
                    auto l = noise ((int) rate, 43), r = noise ((int) rate, 44);
                    rv.run (l, r, 2048);
                    EXPECT_TRUE (allFinite (l) && allFinite (r));
                    EXPECT_LT (maxAbs (l), 20.0);
                }

    // The longest comb at 96 kHz (1931 samples at 44.1 kHz) keeps its full
    // scaled delay; the line grows with the rate instead of capping it.
    AnyReverb rv (1, 96000.0, 512, 1.0, 0.5, 0.5);
    EXPECT_NEAR (rv.one->getComb (3).getBaseDelay(), 1931.0 * 96000.0 / 44100.0, 1.0e-9);
    EXPECT_GE (rv.one->getComb (3).getLineSize(), (int) (1936.0 * 96000.0 / 44100.0));
}

TEST (Reverb, NonFiniteInputNeverEntersTheLines)
{
    for (int type : { 1, 2 })
    {
        AnyReverb rv (type, 44100.0, 512, 0.5, 0.9, 0.5);
        auto l = noise (44100, 45), r = noise (44100, 46);
        l[100] = std::numeric_limits<float>::quiet_NaN();
        l[5000] = std::numeric_limits<float>::infinity();
        r[7000] = -std::numeric_limits<float>::infinity();
        rv.run (l, r, 512);
        EXPECT_TRUE (allFinite (l) && allFinite (r)) << type;

        auto tailL = noise (2 * 44100, 47), tailR = noise (2 * 44100, 48);
        rv.run (tailL, tailR, 512);
        EXPECT_TRUE (allFinite (tailL)) << type;
        EXPECT_GT (rms (tailL), 0.1) << type;
    }
}

TEST (Reverb, PreDelayIsAHundredthOfASecondPlusTheSize)
{
    // The input reaches the combs twice, at once and after the pre-delay
    // max(16, sr / 100 + size^2 sr / 10). The all-pass network has a flat
    // spectrum, so the wet answer to a click correlates with itself only at
    // lag 0 and at the pre-delay (give or take the 7-sample sweep); the comb
    // repeats come later than the window searched.
    for (double rate : { 44100.0, 96000.0 })
        for (double size : { 0.0, 0.1 })
        {
            SCOPED_TRACE (testing::Message() << rate << " Hz, size " << size);
            AnyReverb r (1, rate, 512, 1.0, size, 0.5);
            const int n = 1 << 16;
            std::vector<float> l ((size_t) n, 0.0f), rr ((size_t) n, 0.0f);
            l[0] = 1.0f;
            r.run (l, rr, 512);
            const double expected = rate / 100.0 + size * size * rate / 10.0;
            const int from = (int) expected - 100, to = (int) expected + 100;
            ASSERT_LT (to, (int) (613 * rate / 44100.0));

            auto correlation = [&] (int lag) {
                double sum = 0.0;
                for (int i = 0; i + lag < n; ++i)
                    sum += (double) l[(size_t) i] * l[(size_t) (i + lag)];
                return sum;
            };
            int best = from;
            double peak = 0.0, elsewhere = 0.0;
            std::vector<double> c ((size_t) (to - from + 1));
            for (int lag = from; lag <= to; ++lag)
            {
                c[(size_t) (lag - from)] = correlation (lag);
                if (c[(size_t) (lag - from)] > peak)
                {
                    peak = c[(size_t) (lag - from)];
                    best = lag;
                }
            }
            for (int lag = from; lag <= to; ++lag)
                if (std::abs (lag - expected) > 12)
                    elsewhere = std::max (elsewhere, std::abs (c[(size_t) (lag - from)]));
            EXPECT_NEAR (best, expected, 8.0);
            EXPECT_GT (peak, 3.0 * elsewhere);
        }
}

TEST (Reverb, ColourTiltsTheWetOutputAsItsFiltersSay)
{
    // Colour acts only at the outputs: the colour-1 and colour-0 outputs are
    // the neutral (0.5) output passed through the tilt filters,
    //   bright (c > 0.51): z += (y - z) kb, y - (2c - 1) z, kb = (2500 + 5000 (2c - 1)^2) / sr
    //   dark (c < 0.49): q = (1 - kd) q + (1 - kd / 2) (y - y'), (1 + md)(y - md q),
    //                    md = 1 - 2c, kd = (40 + 2500 (2c)^2) / sr.
    const double rate = 44100.0;
    const int n = 22050;
    auto wet = [&] (double colour) {
        AnyReverb r (1, rate, 512, 1.0, 0.6, colour);
        auto l = noise (n, 77, 0.3f);
        std::vector<float> rr ((size_t) n, 0.0f);
        r.run (l, rr, 512);
        return l;
    };
    const auto neutral = wet (0.5);
    for (double colour : { 1.0, 0.8, 0.0, 0.2 })
    {
        SCOPED_TRACE (colour);
        const auto coloured = wet (colour);
        std::vector<float> expected ((size_t) n);
        double z = 0.0, q = 0.0, previous = 0.0;
        const double c = (float) colour;
        const double mb = (float) (2.0 * c - 1.0), kb = (float) ((2500.0 + 5000.0 * mb * mb) / rate);
        const double md = (float) (1.0 - 2.0 * c), kd = (float) ((40.0 + 2500.0 * (2.0 * c) * (2.0 * c)) / rate);
        for (int i = 0; i < n; ++i)
        {
            const double y = neutral[(size_t) i];
            if (c > 0.51)
            {
                z += (y - z) * kb;
                expected[(size_t) i] = (float) (y - mb * z);
            }
            else
            {
                q = (1.0 - kd) * q + (1.0 - kd / 2.0) * (y - previous);
                previous = y;
                expected[(size_t) i] = (float) ((1.0 + md) * (y - md * q));
            }
        }
        double worst = 0.0, change = 0.0;
        for (int i = 0; i < n; ++i)
        {
            worst = std::max (worst, (double) std::abs (expected[(size_t) i] - coloured[(size_t) i]));
            change = std::max (change, (double) std::abs (neutral[(size_t) i] - coloured[(size_t) i]));
        }
        EXPECT_LT (worst, 1.0e-4);
        EXPECT_GT (change, 100.0 * worst);
    }
}

TEST (Reverb, LinesTakeMemoryOnlyOnceTheReverbPlays)
{
    // An instance holds both types and plays at most one: the silent one's
    // lines must cost nothing, at the highest rate too.
    // Resident line memory after a second of an impulse at the given mix.
    auto residentAfterPlaying = [] (int type, double mix) {
        AnyReverb reverb (type, 192000.0, 512, mix, 0.8, 0.5);
        std::vector<float> l (192000, 0.0f), r (192000, 0.0f);
        l[0] = r[0] = 1.0f;
        reverb.run (l, r, 512);
        std::size_t bytes = 0;
        reverb.visit ([&] (auto& rv) { bytes = rv.getResidentBytes(); });
        return bytes;
    };
    for (int type : { 1, 2 })
    {
        EXPECT_EQ (residentAfterPlaying (type, 0.0), 0u) << type;
        EXPECT_GT (residentAfterPlaying (type, 0.5), 64u * 1024u) << type;
    }
}
