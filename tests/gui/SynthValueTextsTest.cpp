// What the synth page's value display says for each kind of control, with
// values as the controls produce them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <locale>
#include <vector>

#include "dsp/LFOHelper.h"
#include "gui/synth/SynthValueTexts.h"

using synthpage::valueText;

namespace
{
std::string text (int index, float value, const double* parameterValues = nullptr,
                  const synthpage::ControlValues& controls = {})
{
    return valueText (index, value, parameterValues, controls).toStdString();
}

// Position k of a stepped control: its range snaps to an interval of
// 1 / (steps - 1) formed in single precision, and the page hands the
// value on as a float.
float stepValue (int k, int steps)
{
    const double interval = (double) (1.0f / (float) (steps - 1));
    return (float) std::min (k * interval, 1.0);
}

struct Tempo120
{
    double before = LFOHelper::instance().getTempo();
    Tempo120() { LFOHelper::instance().setTempo (120.0); }
    ~Tempo120() { LFOHelper::instance().setTempo (before); }
};

// Decimal commas and digit grouping, as a host's locale might ask for.
struct CommaNumbers : std::numpunct<char>
{
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};
} // namespace

TEST (SynthValueTexts, SteppedKnobsNameTheirPosition)
{
    EXPECT_EQ (text (15, 0.0f), "1 oscillator(s)");
    for (int index : { 15, 21 })
        for (int k = 0; k < 10; ++k)
            EXPECT_EQ (text (index, stepValue (k, 10)), std::to_string (k + 1) + " oscillator(s)") << index << " " << k;

    for (int index : { 25, 81 })
    {
        EXPECT_EQ (text (index, stepValue (24, 49)), "same note");
        EXPECT_EQ (text (index, 0.5f), "same note");
        EXPECT_EQ (text (index, stepValue (0, 49)), "24 note(s) down");
        EXPECT_EQ (text (index, stepValue (48, 49)), "24 note(s) up");
        for (int k = 0; k < 49; ++k)
        {
            const int n = k - 24;
            const std::string expected = n == 0 ? "same note"
                                         : n > 0 ? std::to_string (n) + " note(s) up"
                                                 : std::to_string (-n) + " note(s) down";
            EXPECT_EQ (text (index, stepValue (k, 49)), expected) << index << " step " << k;
            // The exact fraction too: a host may store k / 48 rather than the knob's snapped value.
            EXPECT_EQ (text (index, (float) (k / 48.0)), expected) << index << " step " << k;
        }
    }
}

TEST (SynthValueTexts, CentredControlsAroundTheirMiddle)
{
    for (int index : { 26, 82 })
    {
        EXPECT_EQ (text (index, 0.75f), "0.50 note up");
        EXPECT_EQ (text (index, 0.25f), "0.50 note down");
        EXPECT_EQ (text (index, 0.5f), "center");
        EXPECT_EQ (text (index, 1.0f), "1.00 note up");
    }

    EXPECT_EQ (text (28, 0.5f), "1x beat");
    EXPECT_EQ (text (28, 0.3f), "0.60 x beat");

    EXPECT_EQ (text (34, 0.25f), "50% left");
    EXPECT_EQ (text (34, 0.6f), "20% right");
    EXPECT_EQ (text (34, 0.5f), "center");

    for (int index : { 45, 46, 47 })
    {
        EXPECT_EQ (text (index, 0.75f), "boost 0.5");
        EXPECT_EQ (text (index, 0.5f), "+/- 0");
        EXPECT_EQ (text (index, 0.1f), "cut 0.8");
        EXPECT_EQ (text (index, 1.0f), "boost 1");
    }
}

TEST (SynthValueTexts, UnitsOfScopeSpeedAndPlainValues)
{
    EXPECT_EQ (text (36, 0.0f), "1 sample/px");
    EXPECT_EQ (text (36, 1.0f), "151 sample/px");

    EXPECT_EQ (text (87, 0.5f), "25.000 Hz");

    // The capture flag reads as a number unless it was just set.
    EXPECT_EQ (text (60, 0.0f), "0.000");
    EXPECT_EQ (text (60, 1.0f), "OH SNAP!");

    // Capture size, a grid knob, a knob without a rule of its own.
    EXPECT_EQ (text (772, 0.25f), "0.250");
    EXPECT_EQ (text (600, 0.1234f), "0.123");
    EXPECT_EQ (text (1, 0.5f), "0.500");
}

TEST (SynthValueTexts, LfoRatesFollowTheirOwnSyncSwitchAtTheMomentOfAsking)
{
    Tempo120 tempo;
    std::vector<double> values (1773, 0.0);

    for (int rate : { 53, 64 })
    {
        EXPECT_EQ (text (rate, 0.0f, values.data()), "0.050 Hz");
        EXPECT_EQ (text (rate, 1.0f, values.data()), "30.050 Hz");
    }

    values[56] = 0.01; // LFO 1 synced, LFO 2 free
    EXPECT_EQ (text (64, 0.0f, values.data()), "32/1 beat");
    EXPECT_EQ (text (64, 0.5f, values.data()), "1/2 beat");
    EXPECT_EQ (text (64, 1.0f, values.data()), "1/16 beat");
    EXPECT_EQ (text (53, 0.5f, values.data()), "3.800 Hz");

    values[56] = 0.0;
    values[54] = 0.01;
    EXPECT_EQ (text (53, 1.0f, values.data()), "1/16 beat");
    EXPECT_EQ (text (64, 1.0f, values.data()), "30.050 Hz");

    // A different tempo picks a different entry for the same rate.
    LFOHelper::instance().setTempo (60.0);
    EXPECT_EQ (text (53, 0.5f, values.data()), "1/4 beat");

    // Without the value array every LFO runs free.
    EXPECT_EQ (text (53, 0.0f), "0.050 Hz");
}

TEST (SynthValueTexts, ChoiceAndCurveControlsSpeakForThemselves)
{
    using synthpage::ControlValues;

    // A field's own value decides, not the argument.
    EXPECT_EQ (text (38, 0.9f, nullptr, ControlValues { 0.02, {} }), "highpass 12db");
    EXPECT_EQ (text (71, 0.0f, nullptr, ControlValues { 0.11, {} }), "12");
    EXPECT_EQ (text (86, 0.0f, nullptr, ControlValues { 0.01, {} }), "reverb type 2");
    EXPECT_EQ (text (61, 0.0f, nullptr, ControlValues { 0.04, {} }), "OH SNAP!");
    // Menu names, not the field's abbreviations.
    EXPECT_EQ (text (83, 0.0f, nullptr, ControlValues { 0.05, {} }), "Bolvo Tube");

    // Outside the list: nothing to show.
    EXPECT_EQ (text (86, 0.0f, nullptr, ControlValues { 0.07, {} }), "");
    EXPECT_EQ (text (37, 0.0f, nullptr, ControlValues { -0.02, {} }), "");
    EXPECT_EQ (text (37, 0.0f, nullptr, ControlValues { std::nan (""), {} }), "");
    // Half an item rounds away from zero, as the engine reads it.
    EXPECT_EQ (synthpage::choiceText (37, 0.005).toStdString(), "retrigger");

    EXPECT_EQ (text (74, 0.9f, nullptr, ControlValues { {}, 0.25 }), "0.250");
}

TEST (SynthValueTexts, NothingShownForValuesThatAreNotNumbers)
{
    const float bad[] = { std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity() };
    for (float v : bad)
        for (int index : { 15, 25, 26, 34, 36, 45, 64, 87, 1 })
            EXPECT_EQ (text (index, v), "") << index;
}

TEST (SynthValueTexts, NumbersIgnoreTheProcessLocale)
{
    Tempo120 tempo;
    const std::locale before = std::locale::global (std::locale (std::locale::classic(), new CommaNumbers));

    const std::string pan = text (34, 0.25f), fine = text (26, 0.75f), eq = text (45, 0.75f), hz = text (87, 1.0f);
    std::locale::global (before);

    EXPECT_EQ (pan, "50% left");
    EXPECT_EQ (fine, "0.50 note up");
    EXPECT_EQ (eq, "boost 0.5");
    EXPECT_EQ (hz, "100.000 Hz");
}

TEST (SynthValueTexts, OnlyTheTuningControlsRetuneTheVoices)
{
    std::vector<int> retuning;
    for (int i = 0; i < 1770; ++i)
        if (synthpage::sendsTuningChanged (i))
            retuning.push_back (i);
    EXPECT_EQ (retuning, (std::vector<int> { 25, 26, 81, 82 }));
}
