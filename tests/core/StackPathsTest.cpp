// Oscillators 1 and 2 with pulse width on the wide path share one set of
// pulse-width rows between the unison copies (copy 0 reads row A of a
// sample, the others row B, which is the next sample's row A while the held
// value stays), and the copies' stacks run in wide kernels. The voices must
// sound as on the plain path, within rounding, for one, two and four unison
// copies and every stack size, with the pulse width modulated (held values
// changing inside chunks) and not.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "RenderScenarios.h"
#include "dsp/VectorPath.h"

namespace
{
struct ForcedPath
{
    explicit ForcedPath (int mode) { vectorpath::force (mode); }
    ~ForcedPath() { vectorpath::force (-1); }
};

std::vector<float> play (int unison, int stack, bool modulatedWidth, bool wide)
{
    const ForcedPath path (wide ? 1 : 0);
    const auto* heavy = render::findScenario ("heavy");
    render::ScenarioPlayer player (*heavy, 44100.0, 256, 3, 11);
    auto& proc = player.processor();
    render::setChoice (proc, params::kUnison, unison);
    render::set (proc, params::kOsc1Stack, (stack - 0.5) / 9.0);
    render::set (proc, params::kOsc2Stack, (stack - 0.5) / 9.0);
    render::set (proc, params::kNoiseVolume, 0.0);
    if (! modulatedWidth)
        for (int source = 0; source < params::kModSources; ++source)
        {
            render::set (proc, params::modAmountIndex (source, 11), 0.0);
            render::set (proc, params::modAmountIndex (source, 12), 0.0);
        }
    const auto out = player.play (3 * 256 + 77, 2 * 256 + 40);
    std::vector<float> samples;
    for (int ch = 0; ch < 2; ++ch)
        samples.insert (samples.end(), out.getReadPointer (ch), out.getReadPointer (ch) + out.getNumSamples());
    return samples;
}
} // namespace

TEST (StackPaths, WideRowsAndKernelsSoundAsThePlainPath)
{
    if (! vectorpath::wideAvailable())
        GTEST_SKIP() << "no wide path on this processor";
    for (const bool modulatedWidth : { true, false })
        for (int unison = 0; unison <= 2; ++unison)
            for (int stack = 1; stack <= 10; ++stack)
            {
                SCOPED_TRACE (testing::Message() << (1 << unison) << " unison copies, stacks of " << stack
                                                 << (modulatedWidth ? ", modulated width" : ", steady width"));
                const auto plain = play (unison, stack, modulatedWidth, false);
                const auto wide = play (unison, stack, modulatedWidth, true);
                ASSERT_EQ (plain.size(), wide.size());
                float loudest = 0.0f, worst = 0.0f;
                for (size_t i = 0; i < plain.size(); ++i)
                {
                    loudest = std::max (loudest, std::abs (plain[i]));
                    worst = std::max (worst, std::abs (plain[i] - wide[i]));
                }
                EXPECT_GT (loudest, 0.01f);
                EXPECT_LT (worst, 1.0e-6f);
            }
}
