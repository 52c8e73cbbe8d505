// Renders every scenario of the render tool and compares it with the stored
// reference renders in tests/data: the sound must stay within -120 dB of what
// it was when the references were made (speed work must not change it).
//
// After an intended change of the sound, regenerate the file with
//   talvora_render --write-reference tests/data/reference_renders.txt
// and say why in the commit.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "RenderScenarios.h"
#include "dsp/VectorPath.h"

namespace
{
// tests/data, found from this file's own path (sources compile by absolute path).
std::string referenceText()
{
    const std::string self = __FILE__;
    const std::string tests = self.substr (0, self.rfind ("/core/"));
    const std::string path = tests + "/data/reference_renders.txt";
    std::ifstream in (path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
} // namespace

namespace
{
void expectEveryScenarioMatchesItsReference()
{
    const auto stored = render::parseFingerprints (referenceText());
    ASSERT_FALSE (stored.empty()) << "no reference renders found";

    for (const auto& spec : render::referenceSpecs())
    {
        SCOPED_TRACE (spec.key());
        const render::Fingerprint* ref = nullptr;
        for (const auto& s : stored)
            if (s.key == spec.key())
                ref = &s;
        ASSERT_NE (ref, nullptr) << "no stored reference";

        const auto now = render::renderFingerprint (spec);
        ASSERT_EQ (now.samples, spec.samples);

        // Not silent: a reference of silence would catch nothing.
        double loudest = 0.0;
        for (const auto& channel : now.windows)
            for (const auto& w : channel)
                loudest = std::max (loudest, w[0]);
        EXPECT_GT (loudest, 0.01);

        const double d = render::difference (now, *ref);
        EXPECT_LE (d, render::kTolerance) << "differs from the reference by " << 20.0 * std::log10 (d) << " dB";
    }
}

// Puts the vector path back to the one chosen at start.
struct ForcedVectorPath
{
    explicit ForcedVectorPath (int mode) { vectorpath::force (mode); }
    ~ForcedVectorPath() { vectorpath::force (-1); }
};
} // namespace

TEST (ReferenceRender, EveryScenarioMatchesItsReference)
{
    expectEveryScenarioMatchesItsReference();
}

// The plain path every x86-64 processor runs and the wide one chosen where
// the processor has it: both within the references.
TEST (ReferenceRender, BothVectorPathsMatchTheReferences)
{
    {
        const ForcedVectorPath plain (0);
        ASSERT_FALSE (vectorpath::useWide());
        SCOPED_TRACE ("plain path");
        expectEveryScenarioMatchesItsReference();
    }
    if (! vectorpath::wideAvailable())
        GTEST_SKIP() << "this processor or build has no wide path";
    const ForcedVectorPath wide (1);
    ASSERT_TRUE (vectorpath::useWide());
    SCOPED_TRACE ("wide path");
    expectEveryScenarioMatchesItsReference();
}

// The fingerprint must see a change far below hearing but above -120 dB, and
// a render must repeat exactly whatever the process played before it.
TEST (ReferenceRender, FingerprintSeesSmallChangesAndRendersRepeat)
{
    render::RenderSpec spec;
    spec.scenario = "heavy";
    spec.voices = 4;
    spec.samples = 4096;
    spec.releaseAt = 3000;

    const auto* scenario = render::findScenario (spec.scenario);
    ASSERT_NE (scenario, nullptr);
    render::ScenarioPlayer first (*scenario, spec.sampleRate, spec.blockSize, spec.voices, spec.seed);
    auto audio = first.play (spec.samples, spec.releaseAt);
    const auto a = render::fingerprint (spec.key(), audio);

    // A different history in between: another scenario at another rate.
    render::renderFingerprint ({ "filter-zdf", 96000.0, 64, 2, 2048, -1, 7 });
    const auto b = render::renderFingerprint (spec);
    EXPECT_EQ (a.hash, b.hash);
    EXPECT_LE (render::difference (a, b), 1.0e-9);

    // A -100 dB tone added to one stretch must show; one at -160 dB must not.
    for (double level : { 1.0e-5, 1.0e-8 })
    {
        auto changed = audio;
        for (int i = 1000; i < 1500; ++i)
            changed.setSample (1, i, changed.getSample (1, i) + (float) (level * std::sin (i * 0.3)));
        const double d = render::difference (a, render::fingerprint (spec.key(), changed));
        if (level > render::kTolerance)
            EXPECT_GT (d, render::kTolerance);
        else
            EXPECT_LT (d, render::kTolerance);
    }

    // A change that keeps the level (a sign flip of a window) must show too.
    auto flipped = audio;
    for (int i = 2 * render::kWindow; i < 3 * render::kWindow; ++i)
        flipped.setSample (0, i, -flipped.getSample (0, i));
    EXPECT_GT (render::difference (a, render::fingerprint (spec.key(), flipped)), 1.0e-3);
}
