#include "gui/synth/SynthChoiceLists.h"

namespace synthpage
{
namespace
{
constexpr const char* kUnisonMenu[] = { "1 voice", "2 unison voices", "4 unison voices" };
constexpr const char* kUnisonField[] = { "1 unison", "2 unison", "4 unison" };

constexpr const char* kDecimatorMenu[] = { "decimate 1", "decimate 2", "decimate 3", "decimate 4" };
constexpr const char* kDecimatorField[] = { "dec 1", "dec 2", "dec 3", "dec 4" };

constexpr const char* kFilterMenu[] = { "lowpass 12db", "moog ladder lowpass 24db", "highpass 12db",
                                        "double ladder lowpass 24db", "bandpass" };
constexpr const char* kFilterField[] = { "lowpass", "ladder lowp.", "highpass", "2*ladder lowp", "bandpass" };

constexpr const char* kOsc3Shapes[] = { "sine", "triangle", "saw", "square", "OH SNAP!" };
constexpr const char* kLfoShapes[] = { "sine", "rev saw", "saw", "triangle", "square", "OH SNAP!" };
constexpr const char* kLfoModes[] = { "loop", "one shot" };

constexpr const char* kSyncMenu[] = { "free", "tempo sync" };
constexpr const char* kSyncField[] = { "free", "sync" };

constexpr const char* kSaturationMenu[] = { "classic 1", "classic 2", "tube 1", "tube 2", "compressor", "Bolvo Tube" };
constexpr const char* kSaturationField[] = { "cl.1", "cl.2", "tube1", "tube2", "comp", "B.Tube" };

constexpr const char* kShapeModes[] = { "morph", "switch" };

constexpr const char* kVoiceModeMenu[] = { "polyphonic", "retrigger", "monophonic" };
constexpr const char* kVoiceModeField[] = { "polyphonic", "retrig", "monophonic" };

// Item k is k + 1 semitones.
constexpr const char* kBendRanges[] = { "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "10", "11", "12",
                                        "13", "14", "15", "16", "17", "18", "19", "20", "21", "22", "23", "24" };

constexpr const char* kReverbMenu[] = { "reverb type 1", "reverb type 2" };
constexpr const char* kReverbField[] = { "mix 1", "mix 2" };

// Menu and field names of one field; both lists must have the same length
// (the deduction fails otherwise), or the field would read past the shorter.
template <std::size_t N>
constexpr ChoicePlace field (int index, int x, int y, int width, const char* const (&menu)[N],
                             const char* const (&names)[N], int placedFrom = -1, int offsetX = 0, int offsetY = 0)
{
    return { index, x, y, width, menu, names, (int) N, placedFrom, offsetX, offsetY };
}

// In creation order: index, x, y, width, menu names, field names
constexpr ChoicePlace kFields[] = {
    field (773, 724, 135, 83, kUnisonMenu, kUnisonField),
    field (49, 439, 244, 53, kDecimatorMenu, kDecimatorField),
    field (38, 350, 320, 90, kFilterMenu, kFilterField),
    field (61, 658, 46, 80, kOsc3Shapes, kOsc3Shapes),
    field (70, 37, 507, 65, kLfoShapes, kLfoShapes),
    field (58, 135, 507, 65, kLfoShapes, kLfoShapes),
    field (57, 37, 522, 65, kLfoModes, kLfoModes),
    field (52, 135, 522, 65, kLfoModes, kLfoModes),
    field (56, 37, 537, 65, kSyncMenu, kSyncField),
    field (54, 135, 537, 65, kSyncMenu, kSyncField),
    // Sits under the saturation drive knob, wherever that is.
    field (83, 0, 0, 45, kSaturationMenu, kSaturationField, 35, -5, 37),
    field (51, 25, 80, 55, kShapeModes, kShapeModes),
    field (37, 735, 655, 75, kVoiceModeMenu, kVoiceModeField),
    field (71, 735, 635, 50, kBendRanges, kBendRanges),
    field (86, 546, 556, 40, kReverbMenu, kReverbField),
};

std::vector<std::string> listOf (const char* const* texts, int count)
{
    return std::vector<std::string> (texts, texts + count);
}
} // namespace

Box ChoicePlace::bounds() const noexcept
{
    if (placedFrom >= 0 && placedFrom != index)
        if (const auto anchor = controlBounds (placedFrom))
            return { anchor->x + offsetX, anchor->y + offsetY, width, kChoiceHeight };
    return { x, y, width, kChoiceHeight };
}

const char* ChoicePlace::menuName (int item) const noexcept
{
    return item >= 0 && item < itemCount ? menuNames[item] : nullptr;
}

const char* ChoicePlace::fieldName (int item) const noexcept
{
    return item >= 0 && item < itemCount ? fieldNames[item] : nullptr;
}

std::vector<std::string> ChoicePlace::menuNameList() const { return listOf (menuNames, itemCount); }
std::vector<std::string> ChoicePlace::fieldNameList() const { return listOf (fieldNames, itemCount); }

Rows<ChoicePlace> choiceFields() { return { kFields, sizeof (kFields) / sizeof (kFields[0]) }; }

const ChoicePlace* choiceFieldFor (int index) noexcept
{
    for (const auto& row : kFields)
        if (row.index == index)
            return &row;
    return nullptr;
}

} // namespace synthpage
