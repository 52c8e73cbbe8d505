// Colour schemes and the look-and-feel's drawing, probed pixel by pixel with
// the 3d look and the thin knob line off unless a case says otherwise.

#include <gtest/gtest.h>

#include "gui/CommonImages.h"
#include "gui/GuiPage.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"
#include "gui/PluginEditor.h"
#include "gui/TalvoraLookAndFeel.h"
#include "support/EditorRig.h"

namespace
{
constexpr float start = 1.2f * juce::MathConstants<float>::pi;
constexpr float end = 2.8f * juce::MathConstants<float>::pi;

class LookAndFeelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        images.createMissing();
        draw_shadows = false;
        thin_line_knobs = false;
    }

    void TearDown() override
    {
        draw_shadows = true;
        thin_line_knobs = true;
    }

    juce::Colour colour (int i) const { return laf.colors[i]; }

    // Draws a knob of the given width at a value and returns the image.
    juce::Image knobAt (float value, bool centred, int size = 50)
    {
        KevoJuceKnob knob;
        knob.centred = centred;
        return editorRig::drawToImage (size, size, [&] (juce::Graphics& g) {
            laf.drawRotarySlider (g, 0, 0, size, size, value, start, end, knob);
        });
    }

    juce::Image sliderAt (double value, bool bipolar)
    {
        KevoJuceSlider slider;
        slider.bipolar = bipolar;
        slider.setRange (0.0, 1.0, 0.0);
        slider.setValue (value, juce::dontSendNotification);
        return editorRig::drawToImage (100, 10, [&] (juce::Graphics& g) {
            laf.drawLinearSlider (g, 0, 0, 100, 10, 0.0f, 0.0f, 100.0f, juce::Slider::LinearHorizontal, slider);
        });
    }

    editorRig::AssertionsFailTests assertionsFail;
    Images images;
    TalvoraLookAndFeel laf { &images };
};

TEST_F (LookAndFeelTest, SchemesWrapRotateAndSetTheStyleFlags)
{
    laf.setColorScheme (11); // 11 mod 8: scheme 3, green channel up front
    EXPECT_EQ (laf.colors.schemeIndex, 3);
    EXPECT_EQ (colour (0).getARGB(), 0xFF82FF82u);
    EXPECT_EQ (colour (11).getARGB(), 0xFFE4DCE4u);
    EXPECT_EQ (colour (6).getARGB(), 0xC482FF82u); // alpha survives the rotation

    laf.setColorScheme (4);
    EXPECT_EQ (colour (0).getARGB(), 0xFFFF8282u);
    EXPECT_EQ (colour (11).getARGB(), 0xFFDCE4E4u);

    laf.setColorScheme (6);
    EXPECT_FALSE (laf.colors.flag1);
    EXPECT_FALSE (laf.colors.flag2);

    laf.setColorScheme (8);
    EXPECT_EQ (laf.colors.schemeIndex, 0);
    EXPECT_TRUE (laf.colors.flag1 && laf.colors.flag2);
    EXPECT_EQ (colour (7).getARGB(), 0xFF506478u);

    // A negative remainder selects nothing new.
    laf.setColorScheme (-3);
    EXPECT_EQ (colour (7).getARGB(), 0xFF506478u);

    // Every colour is written through its pointer into the same set.
    for (int i = 0; i < ColorSet::numColors; ++i)
        EXPECT_EQ (laf.colors.colorPointers[i], &laf.colors.colors[i]);
}

TEST_F (LookAndFeelTest, BoxInsidesUseTheirColourInSchemesZeroAndFive)
{
    for (int scheme : { 0, 5 })
    {
        laf.setColorScheme (scheme);
        juce::Component holder;
        holder.setLookAndFeel (&laf);
        GuiPage page (nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "page", images, nullptr);
        holder.addAndMakeVisible (page);
        draw_shadows = false; // a page reads the stored flags when it is built
        thin_line_knobs = false;

        auto boxes = [&] (juce::Graphics& g) {
            page.drawPrettyBox (g, 10, 10, 150, 100, 14, "plain", false, 0);
            page.drawPrettyBox (g, 10, 130, 150, 100, 7, "s", true, 0);
            page.drawPrettyBox (g, 180, 10, 150, 100, 14, "o-scope", false, 0);
        };
        auto flat = editorRig::drawToImage (340, 240, boxes);
        EXPECT_COLOUR_NEAR (flat.getPixelAt (60, 90), colour (7), 0);
        EXPECT_COLOUR_NEAR (flat.getPixelAt (100, 200), colour (8), 0);
        EXPECT_COLOUR_NEAR (flat.getPixelAt (250, 90), colour (4), 0);
        if (scheme == 5)
            EXPECT_EQ (flat.getPixelAt (60, 90).getARGB(), 0xFF3C3C3Cu);

        draw_shadows = true; // texture over the fill: still the box's colour to the eye
        auto textured = editorRig::drawToImage (340, 240, boxes);
        EXPECT_COLOUR_NEAR (textured.getPixelAt (60, 90), colour (7), 16);
        EXPECT_COLOUR_NEAR (textured.getPixelAt (100, 200), colour (8), 16);
        EXPECT_COLOUR_NEAR (textured.getPixelAt (250, 90), colour (4), 16);
        draw_shadows = false;
        holder.removeChildComponent (&page);
        holder.setLookAndFeel (nullptr);
    }
}

TEST_F (LookAndFeelTest, KnobArcFollowsTheValueAndStartsMidwayWhenCentred)
{
    const int right = 25 + 12, left = 25 - 12, mid = 25; // 0.5 R from the centre (R = 23)

    EXPECT_COLOUR_NEAR (knobAt (0.0f, false).getPixelAt (right, mid), colour (1), 2);
    EXPECT_COLOUR_NEAR (knobAt (1.0f, false).getPixelAt (right, mid), colour (2), 2);

    // At the middle value a centred knob has no arc; a plain one covers the left half.
    EXPECT_COLOUR_NEAR (knobAt (0.5f, true).getPixelAt (left, mid), colour (1), 2);
    EXPECT_FALSE (editorRig::near (knobAt (0.5f, true).getPixelAt (left, mid), colour (2), 2));
    EXPECT_COLOUR_NEAR (knobAt (0.5f, false).getPixelAt (left, mid), colour (2), 2);
    // Centred, the arc grows either way from the top.
    EXPECT_COLOUR_NEAR (knobAt (0.9f, true).getPixelAt (right, mid), colour (2), 2);
    EXPECT_COLOUR_NEAR (knobAt (0.9f, true).getPixelAt (left, mid), colour (1), 2);
    EXPECT_COLOUR_NEAR (knobAt (0.1f, true).getPixelAt (left, mid), colour (2), 2);

    // Thin line: a ring, the body shows inside it.
    thin_line_knobs = true;
    auto ring = knobAt (1.0f, false);
    EXPECT_COLOUR_NEAR (ring.getPixelAt (right, mid), colour (1), 2);
    EXPECT_COLOUR_NEAR (ring.getPixelAt (25 + 22, mid), colour (2), 40); // the rim is antialiased
}

TEST_F (LookAndFeelTest, LinearSliderBarsAndThumb)
{
    auto full = sliderAt (1.0, false);
    EXPECT_COLOUR_NEAR (full.getPixelAt (50, 4), colour (2), 2);
    EXPECT_COLOUR_NEAR (full.getPixelAt (90, 4), colour (0), 2);

    auto bipolar = sliderAt (0.25, true);
    EXPECT_COLOUR_NEAR (bipolar.getPixelAt (45, 4), colour (2), 2);
    EXPECT_COLOUR_NEAR (bipolar.getPixelAt (60, 4), colour (5), 2);
    EXPECT_COLOUR_NEAR (bipolar.getPixelAt (30, 4), colour (0), 2); // the thumb at 0.25

    auto upper = sliderAt (0.75, true);
    EXPECT_COLOUR_NEAR (upper.getPixelAt (55, 4), colour (2), 2);
    EXPECT_COLOUR_NEAR (upper.getPixelAt (45, 4), colour (5), 2);
}

TEST_F (LookAndFeelTest, ButtonFaceShowsIdleHoverAndPressed)
{
    juce::TextButton button ("b");
    button.setSize (100, 30);
    auto face = [&] (bool over, bool down) {
        return editorRig::drawToImage (100, 30, [&] (juce::Graphics& g) {
            laf.drawButtonBackground (g, button, juce::Colours::red, over, down);
        }).getPixelAt (50, 15);
    };
    EXPECT_COLOUR_NEAR (face (false, false), colour (4), 2);
    EXPECT_COLOUR_NEAR (face (true, false), colour (1), 2);
    EXPECT_COLOUR_NEAR (face (true, true), colour (2), 2);
}

TEST_F (LookAndFeelTest, UnfocusedPasswordBoxHidesItsText)
{
    juce::TextEditor box ("passwordTextBox"), plain ("other");
    for (auto* editor : { &box, &plain })
        editorRig::drawToImage (100, 20, [&] (juce::Graphics& g) { laf.drawTextEditorOutline (g, 100, 20, *editor); });
    EXPECT_EQ (box.getPasswordCharacter(), TalvoraLookAndFeel::maskCharacterFor (box.getFont()));
    EXPECT_NE (box.getPasswordCharacter(), (juce::juce_wchar) 0);
    EXPECT_EQ (plain.getPasswordCharacter(), (juce::juce_wchar) 0);

    // Of the embedded faces, the second one (the text boxes') has no glyph
    // for the usual round mask but draws a bullet; the display face has
    // neither and falls back to a middle dot.
    const juce::Font second (BrevonAudioProcessorEditor::loadSecondTypeface());
    const juce::Font display (BrevonAudioProcessorEditor::loadDisplayTypeface());
    EXPECT_EQ (TalvoraLookAndFeel::maskCharacterFor (second), (juce::juce_wchar) 0x2022);
    EXPECT_EQ (TalvoraLookAndFeel::maskCharacterFor (display), (juce::juce_wchar) 0x00b7);
}

TEST_F (LookAndFeelTest, TexturesAreFixedAndNotFlat)
{
    Images again;
    again.createMissing();
    const int widths[] = { 1280, 900, 1280, 24 }, heights[] = { 800, 900, 800, 24 };
    for (int i = 0; i < Images::numImages; ++i)
    {
        EXPECT_EQ (images[i].getWidth(), widths[i]);
        EXPECT_EQ (images[i].getHeight(), heights[i]);
        EXPECT_EQ (images[i].hasAlphaChannel(), i == 1 || i == 3);
        int differ = 0, distinct = 0;
        const juce::Colour first = images[i].getPixelAt (0, 0);
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 24; ++x)
            {
                differ += images[i].getPixelAt (x * 7 % images[i].getWidth(), y) != again[i].getPixelAt (x * 7 % images[i].getWidth(), y);
                distinct += images[i].getPixelAt (x, y) != first;
            }
        EXPECT_EQ (differ, 0) << "image " << i;
        EXPECT_GT (distinct, 100) << "image " << i;
    }
}
} // namespace

#include "core/EventAggregator.h"
#include "gui/MultiChoice.h"

namespace
{
class GlobalCounter : public EventListener
{
public:
    explicit GlobalCounter (EventAggregator& a) : aggregator (a) { aggregator.registerForEvent (GlobalAppearanceChanged, this); }
    ~GlobalCounter() override { aggregator.unregisterListener (this); }
    void receiveEvent (EventType, int) override { ++count; }
    EventAggregator& aggregator;
    int count = 0;
};

TEST (Colorable, WithoutOurLookAndFeelAsksOnceAndDrawsTheDefaultScheme)
{
    editorRig::AssertionsFailTests assertionsFail;
    ASSERT_EQ (dynamic_cast<TalvoraLookAndFeel*> (&juce::LookAndFeel::getDefaultLookAndFeel()), nullptr);
    EventAggregator bus ("colorable test");
    GlobalCounter counter (bus);
    MultiChoice widget ("choice", nullptr, 1, &bus);
    widget.setSize (40, 10);

    for (int paint = 0; paint < 5; ++paint)
        editorRig::drawToImage (40, 10, [&] (juce::Graphics& g) { widget.paint (g); });
    EXPECT_EQ (counter.count, 1);
    EXPECT_EQ (widget.getColors(), &Colorable::getDefaultColors());
    EXPECT_EQ (widget.getColors()->colors[7].getARGB(), 0xFF506478u);

    // Once ours is in force, the widget draws with it from then on.
    Images images;
    TalvoraLookAndFeel laf (&images);
    laf.setColorScheme (5);
    widget.setLookAndFeel (&laf);
    EXPECT_EQ (widget.getColors(), &laf.colors);
    widget.setLookAndFeel (nullptr);
    EXPECT_EQ (counter.count, 1);
}
} // namespace
