// The host's view of the 1770 parameters: defaults, names, texts, and what
// happens at and beyond the edges of the index space.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "core/PluginProcessor.h"
#include "core/globalStuff.h"

TEST (Parameters, FreshInstanceStartsAtDefaults)
{
    BrevonAudioProcessor p;
    const auto& hostParameters = p.getParameters();
    ASSERT_EQ (hostParameters.size(), 1770);

    const std::pair<int, float> expected[] = { { 1, 0.5f }, { 71, 0.11f }, { 86, 0.01f }, { 772, 0.5f },
                                               { 774, 0.3f }, { 33, 0.5f }, { 18, 0.65f }, { 0, 0.0f } };
    for (auto [index, value] : expected)
    {
        EXPECT_FLOAT_EQ (p.getParameter (index), value) << index;
        EXPECT_FLOAT_EQ (hostParameters[index]->getValue(), value) << index;
        EXPECT_FLOAT_EQ (hostParameters[index]->getDefaultValue(), value) << index;
    }
    // 771 is the format version; the very first instance of a process writes the older one.
    EXPECT_TRUE (std::abs (p.getParameter (771) - 0.0103f) < 1e-7f || std::abs (p.getParameter (771) - 0.0102f) < 1e-7f);
    BrevonAudioProcessor later;
    EXPECT_FLOAT_EQ (later.getParameter (771), 0.0103f);

    for (int i = 775; i < 1770; ++i)
        ASSERT_EQ (p.getParameter (i), 0.0f) << i;
    for (int i = 90; i < 770; ++i)
        ASSERT_EQ (p.getParameter (i), 0.0f) << i;
}

TEST (Parameters, NamesAsTheEngineGivesThem)
{
    BrevonAudioProcessor p;
    for (auto [index, name] : { std::pair { 0, "decimate" }, { 45, "warm eq " }, { 51, "osc morph mode" }, { 54, "par 54" },
                                { 64, "lfo 1 ra" }, { 85, "overdriv" }, { 1234, "par 123" }, { -1, "par -1" } })
        EXPECT_EQ (p.getParameterName (index), name) << index;
    EXPECT_EQ (p.getParameters()[1234]->getName (64), "par 123");
}

TEST (Parameters, DisplayTextsFormatTheGivenValue)
{
    BrevonAudioProcessor p;
    EXPECT_EQ (p.getParameterText (1), "0.50000");
    EXPECT_EQ (p.getParameterText (60), "0.000000");
    p.setParameter (60, 0.5f);
    EXPECT_EQ (p.getParameterText (60), "0.500000");
    EXPECT_EQ (p.getParameterText (25), "0");
    EXPECT_EQ (p.getParameterText (36), "1");

    auto* coarse = p.getParameters()[25];
    EXPECT_EQ (coarse->getText (0.0f, 100), "-24");
    EXPECT_EQ (coarse->getText (1.0f, 100), "24");
    EXPECT_EQ (p.getParameters()[1]->getText (0.25f, 100), "0.25000");
    EXPECT_EQ (p.getParameters()[49]->getText (1.0f, 100), "1");

    // Outside the index space: nothing, and no read past the array.
    EXPECT_EQ (p.getParameterText (1770), "");
    EXPECT_EQ (p.getParameterText (-5), "");
    EXPECT_EQ (p.getParameter (1770), 0.0f);
    EXPECT_EQ (p.getParameter (-1), 0.0f);
}

TEST (Parameters, WritesAreClampedAndNonFiniteIgnored)
{
    BrevonAudioProcessor p;
    p.setParameter (2, 1.5f);
    EXPECT_EQ (p.getParameter (2), 1.0f);
    p.setParameter (2, -3.0f);
    EXPECT_EQ (p.getParameter (2), 0.0f);
    p.setParameter (2, 0.25f);
    p.setParameter (2, std::numeric_limits<float>::quiet_NaN());
    p.setParameter (2, std::numeric_limits<float>::infinity());
    EXPECT_EQ (p.getParameter (2), 0.25f);
    p.setParameter (5000, 0.5f); // no effect, no crash
    p.setParameter (-1, 0.5f);

    // Host writes go through the same path.
    p.getParameters()[7]->setValueNotifyingHost (0.75f);
    EXPECT_EQ (p.getParameter (7), 0.75f);
    p.setParameterNotifyingHost (8, 0.125f);
    EXPECT_EQ (p.getParameter (8), 0.125f);
}

TEST (Parameters, DerivedEngineValues)
{
    BrevonAudioProcessor p;
    auto* perf = p.getEngine()->getParametersStruct();
    for (int k = 0; k <= 48; ++k)
    {
        p.setParameter (25, (float) k / 48.0f);
        EXPECT_EQ (perf->coarseTune, k - 24) << k;
    }
    p.setParameter (37, 0.02f);
    EXPECT_EQ (perf->voiceMode, 2);
    p.setParameter (38, 0.03f);
    EXPECT_EQ (perf->filterType, 3);

    const double expectedOffsets[] = { -24, -12, 0, 12, 24 };
    for (int k = 0; k <= 4; ++k)
    {
        p.setParameter (63, (float) k / 4.0f);
        EXPECT_EQ (p.getParameterValues()[params::kOsc3OctaveOffset], expectedOffsets[k]);
        EXPECT_EQ (p.getParameterValues()[params::kOsc3OctaveRatio], std::pow (2.0, k - 2));
    }
}

TEST (Parameters, PitchBendAndModWheelFromMidi)
{
    BrevonAudioProcessor p;
    auto* engine = p.getEngine();
    auto* perf = engine->getParametersStruct();
    for (auto [high, ratio] : { std::pair { 0, 0.5 }, { 127, 2.0 }, { 64, 1.0 } })
    {
        engine->handleMidiMessage (0xE0, 0, high);
        EXPECT_DOUBLE_EQ (perf->pitchBendRatio, ratio) << high;
    }
    engine->handleMidiMessage (0xB0, 1, 127);
    EXPECT_DOUBLE_EQ (perf->modWheelAmount, 1.0);
}

TEST (Parameters, TwoInstancesConstructedAtOnceSeeCompleteTables)
{
    std::unique_ptr<BrevonAudioProcessor> a, b;
    std::thread ta ([&] { a = std::make_unique<BrevonAudioProcessor>(); });
    std::thread tb ([&] { b = std::make_unique<BrevonAudioProcessor>(); });
    ta.join();
    tb.join();
    EXPECT_NEAR (sineTable[1024], 1.0, 1e-14);
    EXPECT_EQ (freqtab[0], 8.175798915643709);
    for (int i = 0; i < 4096; i += 64)
        EXPECT_EQ (a->getEngine()->getWaveBuffer (0)[i], b->getEngine()->getWaveBuffer (0)[i]);
}
