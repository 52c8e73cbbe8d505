#pragma once

#include <JuceHeader.h>

#include <array>
#include <atomic>

#include "gui/ColorSet.h"

struct Images;

// Process-wide drawing flags, on at load: shadows and textures ("3d look") and
// the thin ring arc of knobs. The settings menu changes them for every instance.
extern std::atomic<bool> draw_shadows;
extern std::atomic<bool> thin_line_knobs;

// The one look-and-feel all open editors share: every custom colour comes from
// its ColorSet, and it draws knobs, sliders, buttons, tick boxes, text-editor
// frames and table headers in the editor's style.
class TalvoraLookAndFeel : public juce::LookAndFeel_V3
{
public:
    static constexpr int numFonts = 4;

    // Scheme 0 with both flags on; images may be null (then nothing is textured).
    explicit TalvoraLookAndFeel (const Images* images);

    void setColorScheme (int index);

    // Copies the font into a slot (0: 17-pt display, 1: 14-pt display,
    // 2: 9-pt display, 3: 9-pt second face). Copies keep their typeface alive,
    // so an editor closing first takes nothing away from the others.
    void setFont (int slot, const juce::Font& font);
    bool hasFont (int slot) const { return hasFontInSlot[(size_t) slot]; }

    // The look-and-feel in force for a component (its own, a parent's or the
    // default) when that is ours, else null.
    static TalvoraLookAndFeel* findFor (juce::Component& component);

    // The first round masking character the font's face really draws (an
    // embedded face may lack the usual one), else '*'.
    static juce::juce_wchar maskCharacterFor (const juce::Font& font);

    ColorSet colors;
    const Images* images;

    //==============================================================================
    void drawButtonBackground (juce::Graphics&, juce::Button&, const juce::Colour& backgroundColour,
                               bool isMouseOverButton, bool isButtonDown) override;
    juce::Font getTextButtonFont (juce::TextButton&, int buttonHeight) override;
    void drawButtonText (juce::Graphics&, juce::TextButton&, bool isMouseOverButton, bool isButtonDown) override;
    void drawTickBox (juce::Graphics&, juce::Component&, float x, float y, float w, float h, bool ticked,
                      bool isEnabled, bool isMouseOverButton, bool isButtonDown) override;
    void drawToggleButton (juce::Graphics&, juce::ToggleButton&, bool isMouseOverButton, bool isButtonDown) override;
    void fillTextEditorBackground (juce::Graphics&, int width, int height, juce::TextEditor&) override;
    void drawTextEditorOutline (juce::Graphics&, int width, int height, juce::TextEditor&) override;
    juce::Font getPopupMenuFont() override;
    void drawRotarySlider (juce::Graphics&, int x, int y, int width, int height, float sliderPos,
                           float rotaryStartAngle, float rotaryEndAngle, juce::Slider&) override;
    int getSliderThumbRadius (juce::Slider&) override;
    void drawLinearSlider (juce::Graphics&, int x, int y, int width, int height, float sliderPos, float minSliderPos,
                           float maxSliderPos, juce::Slider::SliderStyle, juce::Slider&) override;
    void drawTableHeaderBackground (juce::Graphics&, juce::TableHeaderComponent&) override;
    void drawTableHeaderColumn (juce::Graphics&, juce::TableHeaderComponent&, const juce::String& columnName,
                                int columnId, int width, int height, bool isMouseOver, bool isMouseDown,
                                int columnFlags) override;

private:
    const juce::Image* image (int index) const;
    static bool isDisabled (const juce::Component&);

    std::array<juce::Font, numFonts> fonts;
    std::array<bool, numFonts> hasFontInSlot {};

    JUCE_DECLARE_NON_COPYABLE (TalvoraLookAndFeel)
};
