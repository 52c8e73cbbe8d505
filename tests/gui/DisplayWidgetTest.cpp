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

// A display that steps by the clock: painted at any rate, at time t it shows
// what a display painted once per step shows after floor(t / step) paints.
TEST_F (DisplayWidgetTest, ElapsedTimePaceKeepsThePaintedPaceWhateverThePaintRate)
{
    ParameterShower reference ("reference", nullptr);
    reference.setBounds (0, 0, 100, 40);
    reference.setShortTimeText ("preset saved");
    std::vector<Fade> perStep { { 150, 255 } };
    for (int paint = 1; paint <= 120; ++paint)
        perStep.push_back (paintOnce (reference));

    double now = 1000.0;
    ParameterShower shower ("shower", nullptr);
    shower.clock = [&now] { return now; };
    shower.setBounds (0, 0, 100, 40);
    shower.setPace (ParameterShower::Pace::elapsedTime);
    const double appeared = now = 1234.5;
    shower.setShortTimeText ("preset saved");

    // Bursts of paints, single ones and gaps of several steps.
    const double gaps[] = { 0.0, 0.0, 3.0, 11.0, 19.0, 0.0, 33.0, 70.0, 5.0, 140.0 };
    double lastFull = 0.0, firstBelowHalf = -1.0;
    for (int i = 0; now - appeared < 118 * ParameterShower::kStepMs; ++i)
    {
        now += gaps[i % 10];
        const auto fade = paintOnce (shower);
        const auto steps = (size_t) std::floor ((now - appeared) / ParameterShower::kStepMs);
        ASSERT_NEAR (fade.background, perStep[steps].background, 1) << (now - appeared) << " ms";
        ASSERT_NEAR (fade.text, perStep[steps].text, 1) << (now - appeared) << " ms";
        if (fade.text == 255)
            lastFull = now - appeared;
        if (fade.text <= 127 && firstBelowHalf < 0.0)
            firstBelowHalf = now - appeared;
    }
    // About half a second at full strength, half strength at about two seconds.
    EXPECT_GE (lastFull, 400.0);
    EXPECT_LT (lastFull, 560.0);
    EXPECT_GT (firstBelowHalf, 1900.0);
    EXPECT_LT (firstBelowHalf, 2150.0);
}

TEST_F (DisplayWidgetTest, QueuedTextsWaitForTheHoldAndOnlyTheNewestComes)
{
    double now = 0.0;
    ParameterShower shower ("shower", nullptr);
    shower.clock = [&now] { return now; };
    shower.setBounds (0, 0, 100, 40);
    shower.setPace (ParameterShower::Pace::elapsedTime);
    const auto textAlpha = [&shower] { return shower.label.findColour (juce::Label::textColourId).getAlpha(); };
    const auto paintAt = [&] (double ms) {
        now = ms;
        paintOnce (shower);
    };

    // A long text keeps short ones out for 30 steps; the newest of them follows.
    shower.showOrQueue ("get presets", true);
    shower.showOrQueue ("updating preset list", false);
    shower.showOrQueue ("preset list updated", false);
    EXPECT_EQ (shower.getText(), "get presets");
    EXPECT_EQ (shower.getWaitingText(), "preset list updated");
    paintAt (29.5 * ParameterShower::kStepMs);
    EXPECT_EQ (shower.getText(), "get presets");
    paintAt (30.5 * ParameterShower::kStepMs);
    EXPECT_EQ (shower.getText(), "preset list updated");
    EXPECT_EQ (textAlpha(), 255);
    EXPECT_EQ (shower.getWaitingText(), "");
    // A short text over a short one comes at once.
    shower.showOrQueue ("preset saved", false);
    EXPECT_EQ (shower.getText(), "preset saved");

    // An error holds 3 s: nothing replaces it, a long text waits too, and
    // the last word comes when the hold ends, unpainted meanwhile or not.
    const double errorAt = now = 5000.0;
    shower.setHeldText ("wrong e-mail or password", 3000.0);
    shower.showOrQueue ("get presets", true);
    for (double ms = errorAt; ms < errorAt + 2990.0; ms += 250.0)
    {
        shower.showOrQueue ("updating preset list", false);
        paintAt (ms);
        ASSERT_EQ (shower.getText(), "wrong e-mail or password") << ms - errorAt;
        ASSERT_EQ (textAlpha(), 255) << ms - errorAt;
    }
    shower.showOrQueue ("preset list updated", false);
    paintAt (errorAt + 3300.0);
    EXPECT_EQ (shower.getText(), "preset list updated");
    EXPECT_EQ (textAlpha(), 255);
    // It started when the hold ended: 15 steps later it fades.
    paintAt (errorAt + 3000.0 + 16.5 * ParameterShower::kStepMs);
    EXPECT_LT (textAlpha(), 255);

    // Another error replaces a held one at once and drops what waited.
    now = 20000.0;
    shower.setHeldText ("problem connecting to server", 3000.0);
    shower.showOrQueue ("no presets found", false);
    now = 20100.0;
    shower.setHeldText ("wrong e-mail or password", 3000.0);
    EXPECT_EQ (shower.getText(), "wrong e-mail or password");
    EXPECT_EQ (shower.getWaitingText(), "");
    paintAt (24000.0);
    EXPECT_EQ (shower.getText(), "wrong e-mail or password");

    // The plain setters still drop what a hold keeps out.
    now = 30000.0;
    shower.setLongTimeText ("talvora xl");
    shower.setShortTimeText ("knob");
    EXPECT_EQ (shower.getWaitingText(), "");
    paintAt (30000.0 + 31 * ParameterShower::kStepMs);
    EXPECT_EQ (shower.getText(), "talvora xl");
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
