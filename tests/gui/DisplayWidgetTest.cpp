// The value display's fade, the logo's animation and the repaint timer,
// counted in paints as the page's timer drives them.

#include <gtest/gtest.h>

#include <cmath>

#include "core/EventAggregator.h"
#include "gui/CommonImages.h"
#include "gui/ComponentRepaintTimer.h"
#include "gui/LogoComponent.h"
#include "gui/ParameterShower.h"
#include "gui/TalvoraLookAndFeel.h"
#include "support/EditorRig.h"

using namespace editorRig;

namespace
{
class DisplayWidgetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        images.createMissing();
        holder.setLookAndFeel (&laf);
        holder.setSize (300, 200);
    }
    void TearDown() override
    {
        holder.removeAllChildren();
        holder.setLookAndFeel (nullptr);
    }

    AssertionsFailTests assertionsFail;
    Images images;
    TalvoraLookAndFeel laf { &images };
    juce::Component holder;
    EventAggregator bus { "display test" };
};

struct Fade
{
    int background, text;
};

Fade paintOnce (ParameterShower& shower)
{
    auto image = drawToImage (shower.getWidth(), shower.getHeight(), [&] (juce::Graphics& g) { shower.paint (g); });
    return { image.getPixelAt (1, 1).getAlpha(), shower.label.findColour (juce::Label::textColourId).getAlpha() };
}

TEST_F (DisplayWidgetTest, ShortTextHoldsThenFadesPaintByPaint)
{
    ParameterShower shower ("shower", nullptr);
    shower.setBounds (0, 0, 100, 40);
    shower.setShortTimeText ("cutoff 0.5");
    EXPECT_EQ (shower.getText(), "cutoff 0.5");

    double background = 1.0, text = 1.0;
    for (int paint = 1; paint <= 80; ++paint)
    {
        const auto fade = paintOnce (shower);
        const int expectedBackground = paint <= 16 ? 150 : (int) std::floor (150.0 * background);
        const int expectedText = paint <= 15 ? 255 : (int) std::floor (255.0 * text);
        ASSERT_NEAR (fade.background, expectedBackground, 1) << "paint " << paint;
        ASSERT_NEAR (fade.text, expectedText, 1) << "paint " << paint;
        if (paint >= 16)
            background *= 0.95;
        if (paint >= 15)
            text *= 0.985;
    }
}

TEST_F (DisplayWidgetTest, LongTextBlocksShortTextsForThirtyPaints)
{
    ParameterShower shower ("shower", nullptr);
    shower.setBounds (0, 0, 100, 40);
    shower.setLongTimeText ("talvora xl");
    for (int paint = 0; paint < 30; ++paint)
    {
        shower.setShortTimeText ("knob");
        EXPECT_EQ (shower.getText(), "talvora xl") << paint;
        paintOnce (shower);
    }
    shower.setShortTimeText ("knob");
    EXPECT_EQ (shower.getText(), "knob");
}

TEST_F (DisplayWidgetTest, ForwardsClicksOnlyToALivingTarget)
{
    struct Target : juce::Component
    {
        void mouseDown (const juce::MouseEvent&) override { ++downs; }
        int downs = 0;
    };
    ParameterShower shower ("shower", nullptr);
    shower.setBounds (0, 0, 100, 40);
    auto target = std::make_unique<Target>();
    shower.forwardTarget = target.get();
    shower.mouseDown (mouseDown (shower, { 5, 5 }, juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier)));
    EXPECT_EQ (target->downs, 1);
    target.reset();
    shower.mouseDown (mouseDown (shower, { 5, 5 }, juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier)));
    shower.mouseEnter (mouseDown (shower, { 5, 5 }, {}));
}

class LogoCounter : public EventListener
{
public:
    explicit LogoCounter (EventAggregator& a) : bus (a) { bus.registerForEvent (LogoClicked, this); }
    ~LogoCounter() override { bus.unregisterListener (this); }
    void receiveEvent (EventType, int) override { ++clicks; }
    EventAggregator& bus;
    int clicks = 0;
};

// Paints until the logo leaves the timer's list; returns the paint that did it.
int paintsUntilStill (LogoComponent& logo, ComponentRepaintTimer& timer, int limit = 2000)
{
    for (int paint = 1; paint <= limit; ++paint)
    {
        drawToImage (logo.getWidth(), logo.getHeight(), [&] (juce::Graphics& g) { logo.paint (g); });
        if (! timer.contains (&logo))
            return paint;
    }
    return -1;
}

TEST_F (DisplayWidgetTest, LogoSqueezesSpringsBackSpinsAndTilts)
{
    ComponentRepaintTimer timer;
    LogoCounter counter (bus);
    LogoComponent logo ("kevo audio\ntalvora xl", "LogoComponent", nullptr, nullptr, &bus, &timer);
    logo.setBounds (0, 0, 225, 90);
    holder.addAndMakeVisible (logo);
    const juce::Point<float> middle (100, 45);
    const juce::ModifierKeys left (juce::ModifierKeys::leftButtonModifier);

    logo.mouseDown (mouseAt (logo, middle, left, middle));
    EXPECT_DOUBLE_EQ (logo.scale, 0.65);
    EXPECT_EQ (counter.clicks, 1);
    EXPECT_TRUE (timer.contains (&logo));
    logo.mouseUp (mouseAt (logo, middle, {}, middle));
    EXPECT_DOUBLE_EQ (logo.scale, 1.15);
    EXPECT_EQ (paintsUntilStill (logo, timer), 36);

    logo.mouseDown (mouseAt (logo, middle, juce::ModifierKeys (juce::ModifierKeys::rightButtonModifier), middle));
    EXPECT_TRUE (logo.spinMode);
    EXPECT_EQ (paintsUntilStill (logo, timer), 456);

    logo.mouseDown (mouseAt (logo, middle, left, middle));
    for (int dy = -200; dy <= 200; dy += 7)
    {
        logo.mouseDrag (mouseAt (logo, { 20, 45.0f + (float) dy }, left, middle, 1, true));
        ASSERT_LE (std::abs (logo.tilt), 0.3 + 1e-12) << dy;
    }
    for (int dy = 200; dy >= -200; dy -= 7)
        logo.mouseDrag (mouseAt (logo, { 200, 45.0f + (float) dy }, left, middle, 1, true));
    EXPECT_LE (std::abs (logo.tilt), 0.3 + 1e-12);
    EXPECT_NE (logo.tilt, 0.0);
}

TEST_F (DisplayWidgetTest, LogoTextIsDrawnOnceUntilTheAppearanceChanges)
{
    LogoComponent logo ("kevo audio\ntalvora xl", "LogoComponent", nullptr, nullptr, &bus, nullptr);
    logo.setBounds (0, 0, 225, 90);
    holder.addAndMakeVisible (logo);
    for (int paint = 0; paint < 100; ++paint)
        drawToImage (225, 90, [&] (juce::Graphics& g) { logo.paint (g); });
    EXPECT_EQ (logo.imageRenders, 1);
    bus.sendEvent (AppearanceChanged, 0);
    for (int paint = 0; paint < 10; ++paint)
        drawToImage (225, 90, [&] (juce::Graphics& g) { logo.paint (g); });
    EXPECT_EQ (logo.imageRenders, 2);
    EXPECT_EQ (LogoComponent::getVersionLine(), "version 1.3");

    // The text is there, in colour 11.
    auto image = drawToImage (225, 90, [&] (juce::Graphics& g) { logo.paint (g); });
    int lit = 0;
    for (int y = 0; y < 90; ++y)
        for (int x = 0; x < 225; ++x)
            lit += image.getPixelAt (x, y).getAlpha() > 200 && near (image.getPixelAt (x, y), laf.colors[11], 40);
    EXPECT_GT (lit, 50);
}

TEST_F (DisplayWidgetTest, RepaintTimerListsOnceAndSkipsDeletedComponents)
{
    auto timer = std::make_unique<ComponentRepaintTimer>();
    juce::Component a, b;
    timer->addComponent (&a);
    timer->addComponent (&a);
    timer->addComponent (nullptr);
    EXPECT_EQ (timer->getNumComponents(), 1);
    timer->removeComponent (&a);
    EXPECT_EQ (timer->getNumComponents(), 0);

    auto doomed = std::make_unique<juce::Component>();
    timer->addComponent (doomed.get());
    timer->addComponent (&b);
    doomed.reset();
    timer->timerCallback();
    EXPECT_EQ (timer->getNumComponents(), 1);
    EXPECT_TRUE (timer->contains (&b));

    timer->startTimer (1);
    EXPECT_TRUE (timer->isTimerRunning());
    timer.reset();
    pumpFor (20);
}
} // namespace
