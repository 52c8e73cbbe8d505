#include "gui/TalvoraLookAndFeel.h"

#include <cmath>

#include "gui/CommonImages.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"

std::atomic<bool> draw_shadows { true };
std::atomic<bool> thin_line_knobs { true };

namespace
{
bool shadows() noexcept { return draw_shadows.load (std::memory_order_relaxed); }
bool thinLine() noexcept { return thin_line_knobs.load (std::memory_order_relaxed); }

juce::FillType texture (const juce::Image& image, const juce::AffineTransform& transform, float opacity)
{
    juce::FillType fill (image, transform);
    fill.setOpacity (opacity);
    return fill;
}

juce::Line<float> moved (const juce::Line<float>& line, float d)
{
    return { line.getStartX() + d, line.getStartY() + d, line.getEndX() + d, line.getEndY() + d };
}

juce::Colour halfAlpha (juce::Colour c)
{
    return c.withAlpha ((juce::uint8) juce::roundToInt (c.getAlpha() * 0.5f));
}
} // namespace

TalvoraLookAndFeel::TalvoraLookAndFeel (const Images* imageSet) : images (imageSet)
{
    colors.setStandardColors();
    colors.flag1 = colors.flag2 = true;
    colors.schemeIndex = 0;
}

void TalvoraLookAndFeel::setColorScheme (int index)
{
    colors.applyScheme (index);
}

void TalvoraLookAndFeel::setFont (int slot, const juce::Font& font)
{
    if (slot < 0 || slot >= numFonts)
        return;
    fonts[(size_t) slot] = font;
    hasFontInSlot[(size_t) slot] = true;
}

TalvoraLookAndFeel* TalvoraLookAndFeel::findFor (juce::Component& component)
{
    return dynamic_cast<TalvoraLookAndFeel*> (&component.getLookAndFeel());
}

const juce::Image* TalvoraLookAndFeel::image (int index) const
{
    if (images == nullptr || ! (*images)[index].isValid())
        return nullptr;
    return &(*images)[index];
}

bool TalvoraLookAndFeel::isDisabled (const juce::Component& c)
{
    return ! c.isEnabled(); // isEnabled is false when the component or a parent is disabled
}

//==============================================================================
void TalvoraLookAndFeel::drawButtonBackground (juce::Graphics& g, juce::Button& button, const juce::Colour&,
                                               bool isMouseOverButton, bool isButtonDown)
{
    const float w = (float) button.getWidth(), h = (float) button.getHeight();
    constexpr float corner = 12.0f;

    if (shadows() && ! isButtonDown)
    {
        g.setColour (colors[10]);
        g.fillRoundedRectangle (1.5f, 1.5f, w - 2.0f, h - 2.0f, corner);
    }

    g.setColour (isDisabled (button) ? halfAlpha (colors[6]) : colors[6]);
    if (isButtonDown)
        g.fillRoundedRectangle (1.0f, 1.0f, w - 2.0f, h - 2.0f, corner);
    else
        g.fillRoundedRectangle (0.0f, 0.0f, w - 2.0f, h - 2.0f, corner);

    g.setColour (isButtonDown ? colors[2] : (isMouseOverButton ? colors[1] : colors[4]));
    if (isButtonDown)
        g.fillRoundedRectangle (3.2f, 3.2f, w - 6.4f, h - 6.4f, corner);
    else
        g.fillRoundedRectangle (2.2f, 2.2f, w - 6.4f, h - 6.4f, corner);

    if (shadows())
        if (auto* tile = image (3))
        {
            g.setTiledImageFill (*tile, 0, 0, 7.0f / 255.0f);
            g.fillRoundedRectangle (2.2f, 2.2f, w - 6.4f, h - 6.4f, corner);
        }
}

juce::Font TalvoraLookAndFeel::getTextButtonFont (juce::TextButton&, int)
{
    return hasFontInSlot[1] ? fonts[1] : juce::Font (14.0f);
}

juce::Font TalvoraLookAndFeel::getPopupMenuFont()
{
    return hasFontInSlot[1] ? fonts[1] : juce::Font (10.0f);
}

void TalvoraLookAndFeel::drawButtonText (juce::Graphics& g, juce::TextButton& button, bool, bool isButtonDown)
{
    const int w = button.getWidth(), h = button.getHeight();
    const juce::Font font (getTextButtonFont (button, h));
    g.setFont (font);

    if (isDisabled (button))
        g.setColour (halfAlpha (colors[11]));
    else if (! colors.flag1 && button.getState() == juce::Button::buttonDown) // held, not toggled
        g.setColour (colors[1]);
    else
        g.setColour (colors[11]);

    const int yIndent = juce::jmin (4, juce::roundToInt ((float) h * 0.3f));
    const int corner = juce::jmin (w, h) / 2;
    const int fontHeight = juce::roundToInt (font.getHeight() * 0.6f);
    const int leftIndent = juce::jmin (fontHeight, 2 + corner / (button.isConnectedOnLeft() ? 4 : 2));
    const int rightIndent = juce::jmin (fontHeight, 2 + corner / (button.isConnectedOnRight() ? 4 : 2));
    const int o = shadows() ? (isButtonDown ? 1 : -1) : 0;

    g.drawFittedText (button.getButtonText(), leftIndent, yIndent, w + o - leftIndent - rightIndent,
                      h + o - 2 * yIndent, juce::Justification::centred, 2);
}

void TalvoraLookAndFeel::drawTickBox (juce::Graphics& g, juce::Component&, float x, float y, float w, float h,
                                      bool ticked, bool isEnabled, bool isMouseOverButton, bool isButtonDown)
{
    g.setColour (colors[6]);
    g.fillRoundedRectangle (1.0f, h * 0.5f - 1.0f, w, h, 3.0f);

    g.setColour (isButtonDown ? colors[2] : (isMouseOverButton ? colors[1] : colors[4]));
    g.fillRoundedRectangle (2.4f, h * 0.5f + 0.4f, w - 2.8f, h - 2.8f, 3.0f);

    if (ticked)
    {
        juce::Path tick;
        tick.startNewSubPath (1.5f, 3.0f);
        tick.lineTo (3.0f, 6.0f);
        tick.lineTo (6.0f, 0.0f);
        g.setColour (isEnabled ? colors[11] : juce::Colours::grey);
        g.strokePath (tick, juce::PathStrokeType (2.5f),
                      juce::AffineTransform::scale (w / 9.0f, h / 9.0f).translated (x, y));
    }
}

void TalvoraLookAndFeel::drawToggleButton (juce::Graphics& g, juce::ToggleButton& button, bool isMouseOverButton,
                                           bool isButtonDown)
{
    const float h = (float) button.getHeight();
    const float fontSize = juce::jmin (15.0f, h * 0.75f);
    const float tickWidth = fontSize * 1.1f;

    drawTickBox (g, button, 4.0f, (h - tickWidth) * 0.5f, tickWidth, tickWidth, button.getToggleState(),
                 button.isEnabled(), isMouseOverButton, isButtonDown);

    g.setColour (colors[11]);
    g.setFont (hasFontInSlot[1] ? fonts[1] : juce::Font (fontSize));
    if (isDisabled (button))
        g.setOpacity (0.5f);

    const int tick = (int) std::floor (tickWidth);
    g.drawFittedText (button.getButtonText(), tick + 5, 0, button.getWidth() - tick - 7, button.getHeight(),
                      juce::Justification::centredLeft, 10);
}

void TalvoraLookAndFeel::fillTextEditorBackground (juce::Graphics& g, int, int, juce::TextEditor& editor)
{
    auto c = editor.findColour (juce::TextEditor::backgroundColourId);
    if (isDisabled (editor))
        c = juce::Colour ((juce::uint8) (c.getRed() * 2 / 3), (juce::uint8) (c.getGreen() * 2 / 3),
                          (juce::uint8) (c.getBlue() * 2 / 3), c.getAlpha());
    g.fillAll (c);
}

juce::juce_wchar TalvoraLookAndFeel::maskCharacterFor (const juce::Font& font)
{
    auto face = font.getTypefacePtr();
    if (face == nullptr)
        return '*';

    const auto outline = [&face] (juce::juce_wchar c)
    {
        juce::Array<int> glyphs;
        juce::Array<float> offsets;
        face->getGlyphPositions (juce::String::charToString (c), glyphs, offsets);
        juce::Path shape;
        if (glyphs.size() == 1)
            face->getOutlineForGlyph (glyphs.getFirst(), shape);
        return shape;
    };

    // A face without the character draws its missing-glyph box instead, the
    // same shape it gives a code point no font maps.
    const juce::Path missing = outline ((juce::juce_wchar) 0xffff);
    for (const juce::juce_wchar c : { (juce::juce_wchar) 0x25cf, (juce::juce_wchar) 0x2022, (juce::juce_wchar) 0x00b7 })
    {
        const juce::Path shape = outline (c);
        if (! shape.isEmpty() && shape != missing)
            return c;
    }
    return '*';
}

void TalvoraLookAndFeel::drawTextEditorOutline (juce::Graphics& g, int width, int height, juce::TextEditor& editor)
{
    if (isDisabled (editor))
        return;

    const bool isPassword = editor.getName() == "passwordTextBox";

    if (editor.hasKeyboardFocus (true) && ! editor.isReadOnly())
    {
        g.setColour (colors[2]);
        g.drawRect (juce::Rectangle<float> (0.0f, 0.0f, (float) width, (float) height), 2.5f);
        // Focused: the owner sees what they type.
        if (isPassword && editor.getPasswordCharacter() != 0)
            editor.setPasswordCharacter (0);
        return;
    }

    if (isPassword && editor.getPasswordCharacter() == 0)
        editor.setPasswordCharacter (maskCharacterFor (editor.getFont()));

    g.setColour (colors[6]);
    g.drawRect (juce::Rectangle<float> (0.0f, 0.0f, (float) width, (float) height), 1.5f);
    g.setColour (colors[6].withAlpha ((juce::uint8) 0x40));
    g.drawRect (juce::Rectangle<float> (1.5f, 1.5f, (float) width - 3.0f, (float) height - 3.0f), 1.5f);
}

//==============================================================================
void TalvoraLookAndFeel::drawRotarySlider (juce::Graphics& g, int x, int y, int width, int height, float sliderPos,
                                           float rotaryStartAngle, float rotaryEndAngle, juce::Slider& slider)
{
    const bool shadow = shadows(), thin = thinLine();
    if (shadow)
    {
        const int shrink = width < 30 ? 1 : 2;
        width -= shrink;
        height -= shrink;
    }

    const auto* knob = dynamic_cast<KevoJuceKnob*> (&slider);
    const bool centred = knob != nullptr && knob->centred;

    const float radius = (float) (juce::jmin (width / 2, height / 2) - 2);
    const float cx = (float) x + (float) width * 0.5f, cy = (float) y + (float) height * 0.5f;
    const float rx = cx - radius, ry = cy - radius, d = radius * 2.0f;
    const float angle = rotaryStartAngle + sliderPos * (rotaryEndAngle - rotaryStartAngle);
    const auto rotation = juce::AffineTransform::rotation (angle, cx, cy);

    if (shadow)
    {
        const float o = (float) (width / 25 + 1);
        g.setColour (colors[10]);
        g.fillEllipse (rx + o, ry + o, d, d);
    }

    g.setColour (colors[1]);
    g.fillEllipse (rx, ry, d, d);

    if (thin && shadow)
        if (auto* metal = image (1))
        {
            g.setFillType (texture (*metal, rotation, 12.0f / 255.0f));
            g.fillEllipse (rx, ry, d, d);
        }

    // Value arc: a ring segment with the thin line, a full wedge without.
    float inner = 0.0f;
    if (thin)
        inner = width >= 40 ? 0.9f : 0.9f - (float) (40 - width) / 200.0f;
    juce::Path arc;
    arc.addPieSegment (rx, ry, d, d, centred ? (rotaryStartAngle + rotaryEndAngle) * 0.5f : rotaryStartAngle,
                       angle, inner);
    if (shadow)
    {
        g.setColour (colors[10]);
        g.fillPath (arc, juce::AffineTransform::translation (1.0f, 1.0f));
    }
    g.setColour (colors[2]);
    g.fillPath (arc);

    if (thin && shadow)
    {
        juce::Path star;
        star.addStar ({ cx, cy }, 6, radius * 0.85f, radius * 0.75f, angle);
        const float s = juce::jmin (0.8f, (float) width / 40.0f);
        g.setColour (juce::Colours::white.withAlpha ((juce::uint8) 0x14));
        g.fillPath (star, juce::AffineTransform::translation (-s, -s));
        g.setColour (juce::Colours::black.withAlpha ((juce::uint8) 0x14));
        g.fillPath (star, juce::AffineTransform::translation (s, s));
        g.setColour (colors[1]);
        g.fillPath (star);
        if (auto* tile = image (3))
        {
            g.setFillType (texture (*tile, rotation, 5.0f / 255.0f));
            g.fillPath (star);
        }
    }

    const float px = rx + d * 0.5f, py = ry + d * 0.5f;
    const juce::Line<float> pointer (px, py, px + std::cos (angle - juce::MathConstants<float>::halfPi) * d * 0.5f,
                                     py + std::sin (angle - juce::MathConstants<float>::halfPi) * d * 0.5f);
    if (shadow)
    {
        g.setColour (colors[10]);
        g.drawLine (moved (pointer, 1.0f), 1.7f);
        g.drawLine (moved (pointer, 2.0f), 1.0f);
    }
    g.setColour (colors[0]);
    g.drawLine (pointer, 1.7f);

    if (shadow)
    {
        // A soft highlight on the upper left rim and shade on the lower right.
        const float q = (d + 0.5f) * 0.5f;
        juce::Path highlight;
        highlight.startNewSubPath (2.0f, (float) height * 0.5f);
        highlight.addCentredArc (px, py, d * 0.5f, d * 0.5f, 0.0f, -1.57f, 0.785f, false);
        highlight.addCentredArc (rx + 1.0f + q, ry + 1.0f + q, q, q, 0.0f, 0.785f, -1.57f, false);
        highlight.closeSubPath();
        const float hx = (float) ((width + 1) / 2), hy = (float) ((height + 1) / 2);
        g.setColour (juce::Colour (0x30FAFAFAu));
        g.fillPath (highlight);
        g.setColour (juce::Colour (0x30000000u));
        g.fillPath (highlight, juce::AffineTransform::rotation (2.3562f, hx, hy));
        g.fillPath (highlight, juce::AffineTransform::rotation (3.14f, hx, hy));
    }
}

int TalvoraLookAndFeel::getSliderThumbRadius (juce::Slider&)
{
    return 20;
}

void TalvoraLookAndFeel::drawLinearSlider (juce::Graphics& g, int, int, int width, int, float, float, float,
                                           juce::Slider::SliderStyle, juce::Slider& slider)
{
    const float w = (float) width;
    const float v = (float) juce::jlimit (0.0, 1.0, slider.getValue());

    g.fillAll (slider.findColour (juce::Slider::backgroundColourId));

    g.setColour (colors[5]);
    g.fillRoundedRectangle (0.0f, 0.0f, w, 8.0f, 5.0f);

    g.setColour (colors[2]);
    const auto* kevo = dynamic_cast<KevoJuceSlider*> (&slider);
    if (kevo != nullptr && kevo->bipolar)
    {
        // Bipolar: the bar grows from the middle towards the value.
        if (v <= 0.5f)
        {
            const int left = juce::jmax (12, (int) std::floor (w * v));
            g.fillRect (left, 0, width / 2 - left, 8);
        }
        else
        {
            g.fillRect (width / 2, 0, (int) std::floor (w * 0.8f * (v - 0.5f)), 8);
        }
    }
    else
    {
        g.fillRoundedRectangle (0.0f, 0.0f, w * 0.8f * v + 10.0f, 8.0f, 4.0f);
    }

    if (shadows())
    {
        g.setColour (colors[10]);
        g.fillRoundedRectangle (w * 0.8f * v + 3.0f, 3.0f, w * 0.2f, 8.0f, 4.0f);
    }

    g.setColour (colors[0]);
    g.fillRoundedRectangle (w * 0.8f * v, 0.0f, w * 0.2f, 8.0f, 4.0f);
    if (shadows())
        if (auto* tile = image (3))
        {
            g.setFillType (texture (*tile, juce::AffineTransform::translation (w * v, 0.0f), 10.0f / 255.0f));
            g.fillRoundedRectangle (w * 0.8f * v, 0.0f, w * 0.2f, 8.0f, 4.0f);
        }
}

//==============================================================================
void TalvoraLookAndFeel::drawTableHeaderBackground (juce::Graphics& g, juce::TableHeaderComponent& header)
{
    const float w = (float) header.getWidth(), h = (float) header.getHeight();
    g.setColour (colors[4]);
    g.fillRoundedRectangle (0.0f, 0.0f, w, h, 5.0f);
    g.fillRect (0.0f, 10.0f, w, h - 10.0f);

    g.setColour (colors[5]);
    for (int i = header.getNumColumns (true); --i >= 0;)
    {
        const int right = header.getColumnPosition (i).getRight() - 1;
        g.drawVerticalLine (right, 0.0f, h - 1.0f);
    }
}

void TalvoraLookAndFeel::drawTableHeaderColumn (juce::Graphics& g, juce::TableHeaderComponent&,
                                                const juce::String& columnName, int, int width, int height,
                                                bool isMouseOver, bool isMouseDown, int columnFlags)
{
    if (isMouseDown)
        g.fillAll (juce::Colour (0x8899AADDu));
    else if (isMouseOver)
        g.fillAll (juce::Colour (0x5599AADDu));

    int right = width - 4;
    const bool forwards = (columnFlags & juce::TableHeaderComponent::sortedForwards) != 0;
    const bool backwards = (columnFlags & juce::TableHeaderComponent::sortedBackwards) != 0;
    if (forwards || backwards)
    {
        const float top = (float) height * (forwards ? 0.35f : 0.65f);
        const float bottom = (float) height - top;
        const float a = (float) height * 0.5f;
        const float left = (float) right - a * 1.25f;
        juce::Path triangle;
        triangle.addTriangle (left, bottom, left + a * 0.5f, top, left + a, bottom);
        g.setColour (juce::Colour (0x99000000u));
        g.fillPath (triangle);
        right = (int) std::floor (left);
    }

    g.setColour (colors[11]);
    g.setFont (juce::Font ((float) height * 0.5f, juce::Font::bold));
    g.drawFittedText (columnName, 4, 0, right - 4, height, juce::Justification::centredLeft, 1);
}
