#include "gui/synth/SynthPageLayout.h"

#include "gui/synth/SynthChoiceLists.h"

namespace synthpage
{
namespace
{
template <typename Row, std::size_t N>
constexpr Rows<Row> rowsOf (const Row (&table)[N]) noexcept
{
    return { table, N };
}

// index, x, y, size, steps, centred, text, hidden
constexpr KnobPlace kKnobs[] = {
    { 0, 448, 207, 37, 0, false, "", false },
    { 1, 354, 220, 75, 0, false, "cutoff", false },
    { 2, 297, 207, 37, 0, false, "resonance", false },
    { 3, 515, 230, 50, 0, false, "mod", false },
    { 4, 730, 520, 37, 0, false, "glide", false },
    { 5, 33, 255, 50, 0, false, "attack", false },
    { 6, 84, 255, 50, 0, false, "decay", false },
    { 7, 135, 255, 50, 0, false, "sustain", false },
    { 8, 186, 255, 50, 0, false, "release", false },
    { 9, 588, 255, 50, 0, false, "attack", false },
    { 10, 639, 255, 50, 0, false, "decay", false },
    { 11, 690, 255, 50, 0, false, "sustain", false },
    { 12, 741, 255, 50, 0, false, "release", false },
    { 13, 196, 100, 37, 0, false, "detune", false },
    { 14, 30, 92, 50, 0, false, "volume", false },
    { 15, 196, 53, 37, 10, false, "voices", false },
    { 16, 121, 53, 37, 0, false, "amount", false },
    { 17, 121, 100, 37, 0, false, "speed", false },
    { 18, 30, 28, 50, 0, false, "shape", false },
    { 19, 456, 100, 37, 0, false, "detune", false },
    { 20, 290, 92, 50, 0, false, "volume", false },
    { 21, 456, 53, 37, 10, false, "voices", false },
    { 22, 381, 53, 37, 0, false, "amount", false },
    { 23, 381, 100, 37, 0, false, "speed", false },
    { 24, 290, 28, 50, 0, false, "shape", false },
    { 25, 531, 53, 37, 49, true, "detune", false },
    { 26, 531, 100, 37, 0, true, "finetune", false },
    { 27, 540, 378, 50, 0, false, "mix", false },
    { 28, 640, 378, 50, 0, false, "time", false },
    { 29, 690, 378, 50, 0, false, "stereo", false },
    { 30, 543, 505, 50, 0, false, "mix", false },
    { 31, 594, 505, 50, 0, false, "size", false },
    { 32, 645, 505, 50, 0, false, "color", false },
    { 33, 775, 520, 37, 0, false, "volume", false },
    { 34, 775, 470, 37, 0, true, "panning", false },
    { 35, 730, 470, 37, 0, false, "", false },
    { 39, 448, 262, 37, 0, false, "key follow", false },
    { 40, 33, 378, 50, 0, false, "mix", false },
    { 41, 84, 378, 50, 0, false, "mod", false },
    { 42, 135, 378, 50, 0, false, "rate", false },
    { 43, 186, 378, 50, 0, false, "time", false },
    { 53, 148, 577, 50, 0, false, "rate", false },
    { 64, 47, 577, 50, 0, false, "rate", false },
    { 67, 104, 581, 37, 0, false, "lfo1->2", false },
    { 68, 740, 378, 50, 0, false, "color", false },
    { 69, 590, 378, 50, 0, false, "fdback", false },
    { 80, 625, 92, 50, 0, false, "volume", false },
    { 81, 710, 53, 37, 49, true, "detune", false },
    { 82, 710, 100, 37, 0, true, "finetune", false },
    { 85, 297, 262, 37, 0, false, "overdrive", false },
    { 87, 0, 0, 50, 0, false, "", true },   // the spline editor's point menu shows it
    { 772, 0, 0, 50, 0, false, "", true },  // the settings menu shows it
};

// index, x, y, length, steps, bipolar, name
constexpr SliderPlace kSliders[] = {
    { 36, 315, 480, 150, 0, false, "kOscilloscopeMode" },
    { 44, 638, 135, 70, 0, false, "v. sat." },
    { 45, 735, 585, 80, 0, true, "kEqLow" },
    { 46, 735, 595, 80, 0, true, "kEqMid" },
    { 47, 735, 605, 80, 0, true, "kEqHigh" },
    { 48, 40, 705, 100, 0, false, "velocity 2 vol" },
    { 50, 638, 153, 70, 0, false, "noise" },
    { 59, 37, 563, 65, 0, false, "offset" },
    { 62, 658, 63, 100, 0, false, "kOsc3Volume" },
    { 63, 658, 80, 100, 5, true, "kOsc3Octave" },
    { 84, 135, 563, 65, 0, false, "offset" },
    { 774, 748, 153, 60, 0, false, "uni. det." },
};

// index, x, curve start, curve end, locked, name
constexpr CurvePlace kCurves[] = {
    { 72, 36, 1.0f, 0.0f, false, "kAmplitudeAttackShape" },
    { 73, 86, 0.0f, 0.5f, false, "kAmplitudeDecayShape" },
    { 74, 136, 0.5f, 0.5f, true, "kAmplitudeSustainShape" },
    { 75, 186, 0.5f, 1.0f, false, "kAmplitudeReleaseShape" },
    { 76, 591, 1.0f, 0.0f, false, "kFilterAttackShape" },
    { 77, 641, 0.0f, 0.5f, false, "kFilterDecayShape" },
    { 78, 691, 0.5f, 0.5f, true, "kFilterSustainShape" },
    { 79, 741, 0.5f, 1.0f, false, "kFilterReleaseShape" },
};

constexpr ChildPlace kChildren[] = {
    { Child::presetsButton, "presets", { 725, 700, 90, 30 } },
    { Child::viewButton, kViewButtonOsc4Text, { 780, 10, 30, 120 } },
    { Child::captureButton, "oh snap", { 640, 94, 100, 25 } },
    { Child::oscilloscope, "oscilloscope", { 275, 370, 230, 105 } },
    { Child::valueDisplay, "parametershower", { 275, 390, 226, 45 } },
    { Child::splineEditor, "osc4", { 30, 25, 575, 130 } },
    { Child::logo, "LogoComponent", { 275, 505, 225, 90 } },
};

// Everything one view hides. Knob labels go with their knobs.
constexpr ViewMember kViewMembers[] = {
    { 13, 26, Child::none, View::osc1to3 },
    { 44, 44, Child::none, View::osc1to3 },
    { 50, 51, Child::none, View::osc1to3 },
    { 61, 63, Child::none, View::osc1to3 },
    { 773, 774, Child::none, View::osc1to3 },
    { -1, -1, Child::captureButton, View::osc1to3 },
    { 80, 82, Child::none, View::osc4 },
    { -1, -1, Child::splineEditor, View::osc4 },
};
} // namespace

Rows<KnobPlace> knobs() { return rowsOf (kKnobs); }
Rows<SliderPlace> sliders() { return rowsOf (kSliders); }
Rows<CurvePlace> curves() { return rowsOf (kCurves); }
Rows<ChildPlace> children() { return rowsOf (kChildren); }
Rows<ViewMember> viewMembers() { return rowsOf (kViewMembers); }

const ChildPlace& childPlace (Child child)
{
    for (const auto& row : kChildren)
        if (row.child == child)
            return row;
    return kChildren[0];
}

View viewOfParameter (int index) noexcept
{
    for (const auto& row : kViewMembers)
        if (row.child == Child::none && index >= row.firstIndex && index <= row.lastIndex)
            return row.view;
    return View::both;
}

View viewOfChild (Child child) noexcept
{
    for (const auto& row : kViewMembers)
        if (child != Child::none && row.child == child)
            return row.view;
    return View::both;
}

ControlKind controlKindOf (int index) noexcept
{
    for (const auto& row : kKnobs)
        if (row.index == index)
            return ControlKind::knob;
    for (const auto& row : kSliders)
        if (row.index == index)
            return ControlKind::slider;
    for (const auto& row : kCurves)
        if (row.index == index)
            return ControlKind::curve;
    if (choiceFieldFor (index) != nullptr)
        return ControlKind::choice;
    return ControlKind::none;
}

std::optional<Box> controlBounds (int index) noexcept
{
    for (const auto& row : kKnobs)
        if (row.index == index)
            return row.bounds();
    for (const auto& row : kSliders)
        if (row.index == index)
            return row.bounds();
    for (const auto& row : kCurves)
        if (row.index == index)
            return row.bounds();
    if (const auto* field = choiceFieldFor (index))
        return field->bounds();
    return std::nullopt;
}

} // namespace synthpage
