#include "gui/synth/SynthValueTexts.h"

#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>

#include "core/parameters.h"
#include "dsp/LFOHelper.h"
#include "gui/synth/SynthChoiceLists.h"

namespace synthpage
{
namespace
{
std::ostringstream cLocaleStream()
{
    std::ostringstream out;
    out.imbue (std::locale::classic());
    return out;
}

// printf's "%.Nf" without its dependence on the process locale.
std::string fixed (double v, int decimals)
{
    auto out = cLocaleStream();
    out.setf (std::ios::fixed, std::ios::floatfield);
    out.precision (decimals);
    out << v;
    return out.str();
}

// A double as a stream writes it by default: six significant digits,
// trailing zeros dropped.
std::string general (double v)
{
    auto out = cLocaleStream();
    out << v;
    return out.str();
}

juce::String text (const std::string& s) { return juce::String (s); }

// Integer rules read knob positions; a value from a control is inside [0, 1],
// and clamping keeps anything else from overflowing the conversion.
float unit (float v) { return std::clamp (v, 0.0f, 1.0f); }

// The LFO rate texts depend on the two tempo-sync switches, read by the caller.
struct SyncSwitches
{
    bool lfo1 = false, lfo2 = false;
};

template <typename Value>
SyncSwitches syncSwitchesOf (const Value* parameterValues)
{
    if (parameterValues == nullptr)
        return {};
    return { (double) parameterValues[params::kLfo1Sync] != 0.0, (double) parameterValues[params::kLfo2Sync] != 0.0 };
}

juce::String lfoRateText (float v, bool synced)
{
    const double hz = (double) v * v * v * 30.0 + 0.05;
    if (! synced)
        return text (fixed (hz, 3) + " Hz");

    const auto entry = LFOHelper::instance().getSyncSpeedFromHz (hz);
    return juce::String ((int) entry.numerator) + "/" + juce::String ((int) entry.denominator) + " beat";
}

juce::String tableText (int index, float v, SyncSwitches syncs)
{
    switch (index)
    {
        case 15:
        case 21:
            return juce::String ((int) (unit (v) * 9.0f) + 1) + " oscillator(s)";

        case 25:
        case 81:
        {
            const int n = params::semitones (unit (v));
            if (n == 0)
                return "same note";
            return n > 0 ? juce::String (n) + " note(s) up" : juce::String (-n) + " note(s) down";
        }

        case 26:
        case 82:
            if (v == 0.5f)
                return "center";
            return v > 0.5f ? text (fixed ((v - 0.5) * 2.0, 2) + " note up")
                            : text (fixed ((0.5 - v) * 2.0, 2) + " note down");

        case 28:
            return v == 0.5f ? juce::String ("1x beat") : text (fixed (2.0 * v, 2) + " x beat");

        case 34:
            if (v == 0.5f)
                return "center";
            return v > 0.5f ? text (fixed ((v - 0.5) * 200.0, 0) + "% right")
                            : text (fixed ((0.5 - v) * 200.0, 0) + "% left");

        case 36:
            // The scope's own count of samples per pixel differs; this is what the knob says.
            return juce::String ((int) (unit (v) * 150.0f + 1.0f)) + " sample/px";

        case 45:
        case 46:
        case 47:
            if (v == 0.5f)
                return "+/- 0";
            return v > 0.5f ? text ("boost " + general ((v - 0.5) * 2.0)) : text ("cut " + general ((0.5 - v) * 2.0));

        case 53:
            return lfoRateText (v, syncs.lfo2);

        case 64:
            return lfoRateText (v, syncs.lfo1);

        case 87:
            return text (fixed ((double) v * v * 100.0, 3) + " Hz");

        default:
            return text (fixed (v, 3));
    }
}
} // namespace

juce::String choiceText (int index, double fieldValue)
{
    const auto* field = choiceFieldFor (index);
    if (field == nullptr || ! std::isfinite (fieldValue) || std::abs (fieldValue) > 1.0e6)
        return {};

    // Rounded half away from zero, as the engine reads a choice.
    const char* name = field->menuName (params::choiceIndex (fieldValue));
    return name != nullptr ? juce::String (name) : juce::String();
}

namespace
{
juce::String textFor (int index, float value, SyncSwitches syncs, const ControlValues& controls)
{
    if (controls.choiceField.has_value())
        return choiceText (index, *controls.choiceField);

    if (controls.curveControl.has_value())
        return std::isfinite (*controls.curveControl) ? text (fixed (*controls.curveControl, 3)) : juce::String();

    if (! std::isfinite (value))
        return {};

    if (index == params::kCapturedWavePresent && value > 0.0f)
        return "OH SNAP!";

    return tableText (index, value, syncs);
}
} // namespace

juce::String valueText (int index, float value, const double* parameterValues, const ControlValues& controls)
{
    return textFor (index, value, syncSwitchesOf (parameterValues), controls);
}

juce::String valueText (int index, float value, const ParameterValue* parameterValues, const ControlValues& controls)
{
    return textFor (index, value, syncSwitchesOf (parameterValues), controls);
}

} // namespace synthpage
