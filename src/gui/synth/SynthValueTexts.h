#pragma once

// The texts the synth page's value display shows while the user edits: units,
// note offsets of the tuning knobs, tempo-sync ratios, percentages, and the
// item names of choice fields.
//
// Numbers are written as the C library writes them in the "C" locale, so a
// host that switches the process to a locale with decimal commas does not
// change them.

#include <optional>

#include <juce_core/juce_core.h>

#include "core/ParameterValue.h"

namespace synthpage
{
// What the page knows about the index besides the value it was handed. The
// first source that applies wins: the choice field's own value (its menu
// name), then the curve control's own value ("%.3f"), then the per-index rule
// applied to value.
struct ControlValues
{
    std::optional<double> choiceField;  // set when the page has a choice field for the index
    std::optional<double> curveControl; // set when the page has a curve control for the index
};

// The text for a parameter, or an empty string when nothing is to be shown
// (a choice value outside its list, a value that is not a number).
// parameterValues is the page's value array (1770 entries or more, may be
// null); the LFO rate texts read their tempo-sync switches, 54 and 56, from it
// at the moment of the call.
juce::String valueText (int index, float value, const double* parameterValues, const ControlValues& controls = {});
// The same over the engine's live value array.
juce::String valueText (int index, float value, const ParameterValue* parameterValues, const ControlValues& controls = {});

// The menu name of the item a choice value stands for, or "" outside the list.
juce::String choiceText (int index, double fieldValue);

// The coarse and fine tuning controls of oscillators 2 and 4: after showing
// their text the page tells every voice to re-read its tuning at once.
constexpr bool sendsTuningChanged (int index) noexcept
{
    return index == 25 || index == 26 || index == 81 || index == 82;
}

} // namespace synthpage
