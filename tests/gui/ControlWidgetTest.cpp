// Knobs, sliders, curve controls and choice fields under synthetic mouse
// events, with the message queue pumped as the host's run loop would.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"
#include "gui/CommonImages.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"
#include "gui/MultiChoice.h"
#include "gui/SplineComponent.h"
#include "gui/TalvoraLookAndFeel.h"
#include "gui/synth/SynthPage.h"
#include "support/EditorRig.h"

using namespace editorRig;

namespace
{
const juce::ModifierKeys leftButton (juce::ModifierKeys::leftButtonModifier);
const juce::ModifierKeys rightButton (juce::ModifierKeys::rightButtonModifier);

class SliderCounter : public juce::Slider::Listener
{
public:
    void sliderValueChanged (juce::Slider*) override { ++changes; }
    void sliderDragStarted (juce::Slider*) override { ++dragStarts; }
    int changes = 0, dragStarts = 0;
};

class ChoiceCounter : public EventListener
{
public:
    explicit ChoiceCounter (EventAggregator& a) : bus (a) { bus.registerForEvent (MultiChoiceChanged, this); }
    ~ChoiceCounter() override { bus.unregisterListener (this); }
    void receiveEvent (EventType, int value) override
    {
        ++count;
        lastId = value;
    }
    EventAggregator& bus;
    std::atomic<int> count { 0 }, lastId { 0 };
};

class ControlWidgetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        images.createMissing();
        laf.setColorScheme (0);
        holder.setLookAndFeel (&laf);
        holder.setSize (400, 400);
    }
    void TearDown() override
    {
        holder.removeAllChildren();
        holder.setLookAndFeel (nullptr);
        draw_shadows = true;
        thin_line_knobs = true;
    }

    // A choice field of five items at a value.
    std::unique_ptr<MultiChoice> fiveItems (double value)
    {
        auto choice = std::make_unique<MultiChoice> ("choice", nullptr, 42, &bus);
        choice->setFieldNames ({ "a", "b", "c", "d", "e" });
        choice->setMenuNames ({ "A", "B", "C", "D", "E" });
        choice->setValue (value);
        choice->setBounds (0, 0, 100, 10);
        holder.addAndMakeVisible (*choice);
        return choice;
    }

    AssertionsFailTests assertionsFail;
    Images images;
    TalvoraLookAndFeel laf { &images };
    juce::Component holder;
    EventAggregator bus { "widget test" };
};

TEST_F (ControlWidgetTest, KnobClickAnnouncesItsValueOnceAndDoubleClickCentres)
{
    KevoJuceKnob knob;
    knob.setSliderStyle (juce::Slider::RotaryHorizontalVerticalDrag);
    knob.setRange (0.0, 1.0, 0.001);
    knob.setBounds (0, 0, 50, 50);
    holder.addAndMakeVisible (knob);
    SliderCounter counter;
    knob.addListener (&counter);

    for (double start : { 0.0, 0.3 })
    {
        knob.setValue (start, juce::dontSendNotification);
        counter.changes = 0;
        click (knob, { 25, 25 });
        pump();
        EXPECT_EQ (counter.changes, 1) << start;
        EXPECT_DOUBLE_EQ (knob.getValue(), start);
    }

    counter.changes = counter.dragStarts = 0;
    click (knob, { 25, 25 }, leftButton, 2);
    pump();
    EXPECT_DOUBLE_EQ (knob.getValue(), 0.5);
    EXPECT_EQ (counter.changes, 1);
    EXPECT_EQ (counter.dragStarts, 0);

    holder.setEnabled (false);
    EXPECT_NEAR (knob.getAlpha(), 0.5f, 0.01f);
    holder.setEnabled (true);
    EXPECT_FLOAT_EQ (knob.getAlpha(), 1.0f);
    knob.removeListener (&counter);
}

TEST_F (ControlWidgetTest, DoubleClicksResetSlidersAndCurves)
{
    KevoJuceSlider plain, bipolar;
    bipolar.bipolar = true;
    SplineComponent curve ("curve", &bus), locked ("locked", &bus);
    locked.locked = true;
    SliderCounter lockedCounter;
    locked.addListener (&lockedCounter);
    for (juce::Slider* s : { (juce::Slider*) &plain, (juce::Slider*) &bipolar, (juce::Slider*) &curve, (juce::Slider*) &locked })
    {
        s->setRange (0.0, 1.0, 0.0);
        s->setValue (0.8, juce::dontSendNotification);
        s->setBounds (0, 0, 50, 40);
        holder.addAndMakeVisible (*s);
        click (*s, { 20, 5 }, leftButton, 2);
    }
    pump();
    EXPECT_DOUBLE_EQ (plain.getValue(), 0.0);
    EXPECT_DOUBLE_EQ (bipolar.getValue(), 0.5);
    EXPECT_DOUBLE_EQ (curve.getValue(), 0.5);
    EXPECT_DOUBLE_EQ (locked.getValue(), 0.8);
    EXPECT_EQ (lockedCounter.changes, 0);
    locked.removeListener (&lockedCounter);
}

TEST_F (ControlWidgetTest, CurveLineBendsWithTheValueAndShowsHoverAndDrag)
{
    SplineComponent curve ("curve", &bus);
    curve.curveStart = 1.0f;
    curve.curveEnd = 0.0f;
    curve.setRange (0.0, 1.0, 0.0);
    curve.setBounds (0, 0, 50, 40);
    holder.addAndMakeVisible (curve);

    // The row in column 25 where the line is drawn (colour 11 on a clear image).
    auto lineRow = [&] {
        auto image = drawToImage (50, 40, [&] (juce::Graphics& g) { curve.paint (g); });
        int best = -1, bestAlpha = 0;
        for (int y = 0; y < 40; ++y)
            if (image.getPixelAt (25, y).getAlpha() > bestAlpha)
                bestAlpha = image.getPixelAt (25, y).getAlpha(), best = y;
        return best;
    };
    curve.setValue (0.0, juce::dontSendNotification);
    EXPECT_NEAR (lineRow(), 20, 1);
    curve.setValue (1.0, juce::dontSendNotification);
    EXPECT_NEAR (lineRow(), 3, 1);

    auto corner = [&] { return drawToImage (50, 40, [&] (juce::Graphics& g) { curve.paint (g); }).getPixelAt (49, 39); };
    curve.mouseEnter (mouseAt (curve, { 10, 10 }, {}, { 10, 10 }));
    EXPECT_COLOUR_NEAR (corner(), laf.colors[1], 2);
    curve.mouseDown (mouseAt (curve, { 10, 10 }, leftButton, { 10, 10 }));
    EXPECT_COLOUR_NEAR (corner(), laf.colors[2], 2);

    laf.setColorScheme (6); // pressed items draw in colour 1 here
    curve.setValue (0.0, juce::dontSendNotification);
    auto dragged = drawToImage (50, 40, [&] (juce::Graphics& g) { curve.paint (g); });
    EXPECT_COLOUR_NEAR (dragged.getPixelAt (25, 20), laf.colors[1], 30);
    curve.mouseUp (mouseAt (curve, { 10, 10 }, {}, { 10, 10 }));

    SplineComponent locked ("locked", &bus);
    locked.locked = true;
    locked.curveStart = locked.curveEnd = 0.5f; // the flat sustain stage
    locked.setBounds (0, 0, 50, 40);
    holder.addAndMakeVisible (locked);
    locked.mouseEnter (mouseAt (locked, { 10, 10 }, {}, { 10, 10 }));
    EXPECT_EQ (drawToImage (50, 40, [&] (juce::Graphics& g) { locked.paint (g); }).getPixelAt (49, 39).getAlpha(), 0);
}

TEST_F (ControlWidgetTest, ChoiceFieldStepsWrapsAndReportsItsId)
{
    ChoiceCounter counter (bus);
    auto choice = fiveItems (0.04);
    click (*choice, { 80, 5 });
    EXPECT_EQ (choice->getItem(), 0);
    EXPECT_EQ (counter.count.load(), 1);
    EXPECT_EQ (counter.lastId.load(), 42);

    click (*choice, { 20, 5 });
    EXPECT_EQ (choice->getItem(), 4);
    for (int i = 0; i < 5; ++i)
        click (*choice, { 80, 5 });
    EXPECT_EQ (choice->getItem(), 4);

    // A value from the array that is no item: no text, and the next step starts over.
    choice->setValue (0.57);
    choice->mouseExit (mouseAt (*choice, { 80, 5 }, {}, { 80, 5 }));
    auto blank = drawToImage (100, 10, [&] (juce::Graphics& g) { choice->paint (g); });
    bool anyText = false;
    for (int x = 0; x < 100; ++x)
        anyText |= blank.getPixelAt (x, 5) != blank.getPixelAt (2, 2);
    EXPECT_FALSE (anyText);
    click (*choice, { 80, 5 });
    EXPECT_EQ (choice->getItem(), 0);

    MultiChoice empty ("empty", nullptr, 7, &bus);
    empty.setBounds (0, 0, 100, 10);
    click (empty, { 80, 5 });
    EXPECT_EQ (empty.getValue(), 0.0);
}

TEST_F (ControlWidgetTest, ChoiceMenuChangesNothingUntilAResultArrives)
{
    ChoiceCounter counter (bus);
    auto choice = fiveItems (0.01);
    const auto menu = choice->buildMenu();
    int n = 0;
    for (juce::PopupMenu::MenuItemIterator it (menu); it.next(); ++n)
    {
        EXPECT_EQ (it.getItem().itemID, n + 1);
        EXPECT_FALSE (it.getItem().isTicked);
    }
    EXPECT_EQ (n, 5);

    MultiChoice::menuCallback (0, choice.get());
    EXPECT_EQ (counter.count.load(), 0);
    EXPECT_DOUBLE_EQ (choice->getValue(), 0.01);
    MultiChoice::menuCallback (3, choice.get());
    EXPECT_DOUBLE_EQ (choice->getValue(), 0.02);
    EXPECT_EQ (counter.count.load(), 1);
}

TEST_F (ControlWidgetTest, ChoiceHalvesShowHoverAndPress)
{
    auto choice = fiveItems (0.0);
    auto halves = [&] {
        auto image = drawToImage (100, 10, [&] (juce::Graphics& g) { choice->paint (g); });
        return std::make_pair (image.getPixelAt (3, 1), image.getPixelAt (97, 1));
    };
    auto idle = halves();
    EXPECT_COLOUR_NEAR (idle.first, laf.colors[4], 2);
    EXPECT_COLOUR_NEAR (idle.second, laf.colors[4], 2);

    choice->mouseMove (mouseAt (*choice, { 80, 5 }, {}, { 80, 5 }));
    EXPECT_COLOUR_NEAR (halves().second, laf.colors[1], 2);

    choice->mouseDown (mouseAt (*choice, { 20, 5 }, leftButton, { 20, 5 }));
    auto pressed = halves();
    EXPECT_COLOUR_NEAR (pressed.first, laf.colors[2], 2);
    EXPECT_COLOUR_NEAR (pressed.second, laf.colors[4], 2);

    // Text of the shown item in colour 11: some pixel in the middle carries it.
    auto image = drawToImage (100, 10, [&] (juce::Graphics& g) { choice->paint (g); });
    bool textSeen = false;
    for (int x = 40; x < 60; ++x)
        for (int y = 2; y < 8; ++y)
            textSeen |= near (image.getPixelAt (x, y), laf.colors[11], 40);
    EXPECT_TRUE (textSeen);
}

TEST_F (ControlWidgetTest, ChoiceClickDroppedByABusyBusIsDeliveredLater)
{
    // A listener on another thread holds the bus busy, as automation on the
    // audio thread can.
    class Blocker : public EventListener
    {
    public:
        void receiveEvent (EventType, int) override
        {
            entered.signal();
            release.wait (5000);
        }
        juce::WaitableEvent entered, release;
    } blocker;
    bus.registerForEvent (TuningChanged, &blocker);
    ChoiceCounter counter (bus);
    auto choice = fiveItems (0.01);

    std::thread automation ([&] { bus.sendEvent (TuningChanged, 0); });
    ASSERT_TRUE (blocker.entered.wait (5000));
    click (*choice, { 80, 5 });
    EXPECT_EQ (counter.count.load(), 0);
    EXPECT_TRUE (choice->isReportPending());
    blocker.release.signal();
    automation.join();

    pumpFor (100);
    EXPECT_EQ (counter.count.load(), 1);
    EXPECT_EQ (counter.lastId.load(), 42);
    EXPECT_EQ (choice->getItem(), 2);
    EXPECT_FALSE (choice->isReportPending());
    bus.unregisterListener (&blocker);
}

TEST_F (ControlWidgetTest, ChoiceReadsTheArrayOnlyForParameterIds)
{
    std::vector<ParameterValue> values (1770, ParameterValue (0.03));
    MultiChoice parameter ("p", nullptr, 37, &bus), presets ("q", nullptr, 100002, &bus);
    for (auto* c : { &parameter, &presets })
    {
        c->setParameterValues (values.data());
        c->setFieldNames ({ "a", "b", "c", "d", "e" });
        c->setMenuNames ({ "a", "b", "c", "d", "e" });
    }
    EXPECT_EQ (parameter.getItem(), 3);
    EXPECT_EQ (presets.getItem(), 0);
}

class GestureHost : public juce::AudioProcessorListener
{
public:
    void audioProcessorParameterChanged (juce::AudioProcessor*, int index, float) override { changes += index == watched; }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
    void audioProcessorParameterChangeGestureBegin (juce::AudioProcessor*, int index) override { begins += index == watched; }
    void audioProcessorParameterChangeGestureEnd (juce::AudioProcessor*, int index) override { ends += index == watched; }
    int watched = 5;
    int begins = 0, ends = 0, changes = 0;
};

TEST (ControlGestures, AKnobDragIsOneGestureAndADoubleClickAnother)
{
    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    auto* knob = editor->getSynthPage()->getKnob (5);
    GestureHost host;
    p.addListener (&host);

    const juce::Point<float> centre (25, 25);
    knob->mouseDown (mouseAt (*knob, centre, leftButton, centre));
    pump();
    for (int dy = 5; dy <= 40; dy += 5)
        knob->mouseDrag (mouseAt (*knob, centre.translated (0, (float) -dy), leftButton, centre, 1, true));
    knob->mouseUp (mouseAt (*knob, centre.translated (0, -40), {}, centre, 1, true));
    pump();
    EXPECT_EQ (host.begins, 1);
    EXPECT_EQ (host.ends, 1);
    EXPECT_GT (host.changes, 0);
    EXPECT_GT (p.getParameter (5), 0.0f);

    host.begins = host.ends = 0;
    click (*knob, centre, leftButton, 2);
    pump();
    EXPECT_EQ (host.begins, 1);
    EXPECT_EQ (host.ends, 1);
    EXPECT_FLOAT_EQ (p.getParameter (5), 0.5f);

    p.removeListener (&host);
    closeEditor (p, editor);
}
} // namespace

namespace
{
TEST (CurveWithoutLookAndFeel, AsksTheEditorsOnceAndDrawsNothing)
{
    AssertionsFailTests assertionsFail;
    ASSERT_EQ (dynamic_cast<TalvoraLookAndFeel*> (&juce::LookAndFeel::getDefaultLookAndFeel()), nullptr);
    struct Counter : EventListener
    {
        void receiveEvent (EventType, int) override { ++count; }
        int count = 0;
    } counter;
    EventAggregator bus ("curve test");
    bus.registerForEvent (GlobalAppearanceChanged, &counter);
    SplineComponent curve ("curve", &bus);
    curve.setBounds (0, 0, 50, 40);

    juce::Image last;
    for (int paint = 0; paint < 5; ++paint)
        last = drawToImage (50, 40, [&] (juce::Graphics& g) { curve.paint (g); });
    EXPECT_EQ (counter.count, 1);
    EXPECT_EQ (last.getPixelAt (25, 20).getAlpha(), 0);
    bus.unregisterListener (&counter);
}
} // namespace
