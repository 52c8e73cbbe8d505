// The synth page as a user meets it: built by the editor from the placement
// tables, every control edited the way its widget reports an edit, and the
// result checked where it matters: the engine, the host, the value display
// and the sound.

#include <gtest/gtest.h>

#include "SynthPageFixture.h"

#include <atomic>
#include <cmath>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "core/parameters.h"
#include "dsp/LFOHelper.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"
#include "gui/LogoComponent.h"
#include "gui/MultiChoice.h"
#include "gui/Oscilloscope.h"
#include "gui/ParameterShower.h"
#include "gui/SplineComponent.h"
#include "gui/synth/SynthChoiceLists.h"
#include "gui/synth/SynthPage.h"
#include "gui/synth/SynthPageLayout.h"
#include "support/EditorRig.h"
#include "support/PluginPlayer.h"

using namespace editorRig;

namespace
{
// Everything the host hears, in order: 'b' gesture begin, 'c' change, 'e' gesture end.
class HostLog : public juce::AudioProcessorListener
{
public:
    void audioProcessorParameterChanged (juce::AudioProcessor*, int i, float) override { add ('c', i); }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
    void audioProcessorParameterChangeGestureBegin (juce::AudioProcessor*, int i) override { add ('b', i); }
    void audioProcessorParameterChangeGestureEnd (juce::AudioProcessor*, int i) override { add ('e', i); }

    std::vector<std::pair<char, int>> take()
    {
        const juce::ScopedLock sl (lock);
        auto all = std::move (events);
        events.clear();
        return all;
    }

private:
    void add (char kind, int index)
    {
        const juce::ScopedLock sl (lock);
        events.push_back ({ kind, index });
    }

    juce::CriticalSection lock;
    std::vector<std::pair<char, int>> events;
};

class EventCounter : public EventListener
{
public:
    EventCounter() : EventListener ("EventCounter") {}
    void receiveEvent (EventType, int) override { ++count; }
    std::atomic<int> count { 0 };
};

using Gestured = std::vector<std::pair<char, int>>;
Gestured oneGesture (int index) { return { { 'b', index }, { 'c', index }, { 'e', index } }; }

class SynthPageTest : public SynthPageFixture
{
protected:
    // What a widget does when the user drags or wheels it: the value changes
    // between a drag start and a drag end, listeners told at once.
    static void userSets (juce::Slider& control, double value)
    {
        juce::Slider::ScopedDragNotification drag (control);
        control.setValue (value, juce::sendNotificationSync);
    }

    // What a choice field does when the user picks an item.
    void userPicks (int index, double value)
    {
        auto* choice = page->getMultiChoice (index);
        ASSERT_NE (choice, nullptr) << index;
        choice->setValue (value);
        ASSERT_TRUE (sendFromWidget (MultiChoiceChanged, index));
    }

    bool sendFromWidget (EventType type, int value)
    {
        auto* bus = page->getProcessor()->getEventAggregator();
        const int before = received.count.load();
        bus->registerForEvent (type, &received);
        bus->sendEvent (type, value);
        bus->unregisterListener (&received);
        pump();
        return received.count.load() > before; // not dropped by a busy bus
    }

    // Edits a control of any kind to a value near `target`, returns the value it took.
    double edit (int index, double target)
    {
        if (auto* knob = page->getKnob (index))
            return userSets (*knob, target), knob->getValue();
        if (auto* slider = page->getSlider (index))
            return userSets (*slider, target), slider->getValue();
        if (auto* spline = page->getSpline (index))
            return userSets (*spline, target), spline->getValue();
        if (auto* choice = page->getMultiChoice (index))
        {
            const int item = std::min ((int) std::lround (target * 100.0), choice->getNumItems() - 1);
            userPicks (index, item / 100.0);
            return choice->getValue();
        }
        ADD_FAILURE() << "no control for " << index;
        return 0.0;
    }

    juce::String shown() { return page->getValueDisplay().getText(); }

    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
    EventCounter received;
};

int controlsOf (const SynthPage& page, int i)
{
    return (page.getKnob (i) != nullptr) + (page.getSlider (i) != nullptr) + (page.getSpline (i) != nullptr)
           + (page.getMultiChoice (i) != nullptr);
}

juce::Component* controlOf (const SynthPage& page, int i)
{
    if (auto* c = page.getKnob (i)) return c;
    if (auto* c = page.getSlider (i)) return c;
    if (auto* c = page.getSpline (i)) return c;
    return page.getMultiChoice (i);
}

juce::Rectangle<int> rectOf (const synthpage::Box& b) { return { b.x, b.y, b.width, b.height }; }

// A knob of the modulation grid: destinations 0 to 15 of the five sources.
bool isGridKnob (int i)
{
    return i >= params::modAmountIndex (0, 0) && i < params::modAmountIndex (synthpage::kGridRows, 0)
           && (i - params::modAmountIndex (0, 0)) % params::kModDestinations < synthpage::kGridColumns;
}

bool isTabled (int i) { return synthpage::controlKindOf (i) != synthpage::ControlKind::none; }

// Positions a slider can take, by walking it across its range.
int positionsOf (juce::Slider& s)
{
    const double before = s.getValue();
    std::set<double> seen;
    for (int i = 0; i <= 1000; ++i)
    {
        s.setValue (i / 1000.0, juce::dontSendNotification);
        seen.insert (s.getValue());
    }
    s.setValue (before, juce::dontSendNotification);
    return (int) seen.size();
}
} // namespace

TEST_F (SynthPageTest, EveryTabledControlStandsWhereTheTablesSay)
{
    BrevonAudioProcessor p;
    open (p);
    using namespace synthpage;

    int knobCount = 0, labelCount = 0, sliderCount = 0, curveCount = 0, choiceCount = 0;
    for (int i = 0; i < GuiPage::numParameters; ++i)
    {
        EXPECT_LE (controlsOf (*page, i), 1) << "index " << i << " has two controls";
        EXPECT_EQ (controlsOf (*page, i) == 1, isTabled (i) || isGridKnob (i)) << "index " << i;
        if (! isTabled (i))
            continue;
        if (auto* c = controlOf (*page, i))
        {
            EXPECT_EQ (c->getParentComponent(), page) << i;
            EXPECT_EQ (c->getBounds(), rectOf (*controlBounds (i))) << i;
        }
        knobCount += page->getKnob (i) != nullptr;
        labelCount += page->getKnobLabel (i) != nullptr;
        sliderCount += page->getSlider (i) != nullptr;
        curveCount += page->getSpline (i) != nullptr;
        choiceCount += page->getMultiChoice (i) != nullptr;
    }
    EXPECT_EQ (knobCount, 52);
    EXPECT_EQ (labelCount, 48);
    EXPECT_EQ (sliderCount, 12);
    EXPECT_EQ (curveCount, 8);
    EXPECT_EQ (choiceCount, 15);
    for (int none : { 55, 60, 65, 66, 88, 89, 90, 569, 770, 771 })
        EXPECT_EQ (controlsOf (*page, none), 0) << none;

    for (const auto& k : knobs())
    {
        auto* knob = page->getKnob (k.index);
        EXPECT_EQ (knob->getName(), juce::String (k.index) + k.text);
        EXPECT_EQ (knob->centred, k.centred) << k.index;
        EXPECT_EQ (knob->isVisible(), ! k.hidden && isShownIn (viewOfParameter (k.index), false)) << k.index;
        auto* label = page->getKnobLabel (k.index);
        ASSERT_EQ (label != nullptr, juce::String (k.text).isNotEmpty()) << k.index;
        if (label != nullptr)
        {
            EXPECT_EQ (label->getText(), k.text);
            EXPECT_EQ (label->getY(), k.y + k.size) << "label under its knob " << k.index;
        }
    }
    for (int stepped : { 15, 21 })
        EXPECT_EQ (positionsOf (*page->getKnob (stepped)), 10) << stepped;
    for (int coarse : { 25, 81 })
        EXPECT_EQ (positionsOf (*page->getKnob (coarse)), 49) << coarse;
    EXPECT_EQ (positionsOf (*page->getSlider (63)), 5);
    EXPECT_TRUE (page->getSlider (63)->bipolar);
    for (int bipolar : { 45, 46, 47 })
        EXPECT_TRUE (page->getSlider (bipolar)->bipolar) << bipolar;
    EXPECT_FALSE (page->getSlider (48)->bipolar);
    EXPECT_EQ (page->getSlider (774)->getName(), "774uni. det.");

    for (const auto& c : curves())
    {
        auto* spline = page->getSpline (c.index);
        EXPECT_EQ (spline->getBounds(), juce::Rectangle<int> (c.x, 213, 50, 40));
        EXPECT_EQ (spline->curveStart, c.curveStart);
        EXPECT_EQ (spline->curveEnd, c.curveEnd);
        EXPECT_EQ (spline->locked, c.locked);
        EXPECT_EQ (spline->getName(), juce::String (c.index) + c.name);
    }

    // Fields in creation order: their position among the page's children.
    std::vector<int> counts, creationOrder;
    for (int i = 0; i < page->getNumChildComponents(); ++i)
        if (auto* choice = dynamic_cast<MultiChoice*> (page->getChildComponent (i)))
        {
            creationOrder.push_back (choice->getId());
            counts.push_back (choice->getNumItems());
            const auto* field = choiceFieldFor (choice->getId());
            ASSERT_NE (field, nullptr);
            EXPECT_EQ (choice->menuNames, field->menuNameList());
            EXPECT_EQ (choice->fieldNames, field->fieldNameList());
        }
    EXPECT_EQ (creationOrder, (std::vector<int> { 773, 49, 38, 61, 70, 58, 57, 52, 56, 54, 83, 51, 37, 71, 86 }));
    EXPECT_EQ (counts, (std::vector<int> { 3, 4, 5, 5, 6, 6, 2, 2, 2, 2, 6, 2, 3, 24, 2 }));
    EXPECT_EQ (page->getMultiChoice (71)->menuNames[11], "12");
    EXPECT_EQ (page->getMultiChoice (83)->getBounds(), juce::Rectangle<int> (725, 507, 45, 10));
    close (p);
}

TEST_F (SynthPageTest, ChildrenButtonsAndDisplayAsBuilt)
{
    BrevonAudioProcessor p;
    open (p);
    using namespace synthpage;

    EXPECT_EQ (page->getBounds().getWidth(), 829);
    EXPECT_EQ (page->getBounds().getHeight(), 740);
    EXPECT_EQ (page->getPresetsButton().getButtonText(), "presets");
    EXPECT_EQ (page->getCaptureButton().getButtonText(), "oh snap");
    EXPECT_EQ (page->getViewButton().getButtonText(), kViewButtonOsc4Text);
    for (auto* button : { &page->getPresetsButton(), &page->getViewButton(), &page->getCaptureButton() })
        EXPECT_TRUE (button->getClickingTogglesState());

    auto& display = page->getValueDisplay();
    EXPECT_EQ (display.getName(), "parametershower");
    EXPECT_EQ (display.getText(), "talvora xl");
    bool clicksSelf = true, clicksChildren = true;
    display.getInterceptsMouseClicks (clicksSelf, clicksChildren);
    EXPECT_FALSE (clicksSelf);
    EXPECT_FALSE (clicksChildren);
    EXPECT_TRUE (page->repaintTimer.contains (&display));
    EXPECT_TRUE (page->repaintTimer.isTimerRunning());
    EXPECT_EQ (page->repaintTimer.getTimerInterval(), 33);

    for (const auto& child : children())
    {
        juce::Component* c = nullptr;
        switch (child.child)
        {
            case Child::presetsButton: c = &page->getPresetsButton(); break;
            case Child::viewButton: c = &page->getViewButton(); break;
            case Child::captureButton: c = &page->getCaptureButton(); break;
            case Child::valueDisplay: c = &display; break;
            case Child::splineEditor: c = &page->getSplineEditor(); break;
            case Child::logo: c = &page->getLogo(); break;
            case Child::oscilloscope: c = &page->getOscilloscope(); break;
            default: ADD_FAILURE() << child.text; continue;
        }
        EXPECT_EQ (c->getParentComponent(), page) << child.text;
        EXPECT_EQ (c->getBounds(), rectOf (child.bounds)) << child.text;
    }
    EXPECT_EQ (page->getSplineEditor().getName(), "osc4");
    EXPECT_EQ (page->getLogo().getName(), "LogoComponent");
    EXPECT_EQ (page->getOscilloscope().getTriggerWindow(), 100.0);
    EXPECT_EQ (page->getOscilloscope().getSource(), &p.getCaptureBlock());
    EXPECT_EQ (display.forwardTarget, &page->getOscilloscope());

    // The scope's blur follows the settings menu's item once the menu closes.
    for (bool expected : { false, true })
    {
        GuiPage::rightClickMenuCallback (GuiPage::menuScopeBlur, page);
        pump();
        EXPECT_EQ (page->getOscilloscope().getBlur(), expected);
    }
    close (p);
}

TEST_F (SynthPageTest, ViewButtonSwapsTheOscillatorControlsWithoutOverlaps)
{
    BrevonAudioProcessor p;
    open (p);

    // Counts the visible controls of the view, all inside the page and apart.
    auto checkView = [&] (bool osc4) {
        std::vector<std::pair<int, juce::Rectangle<int>>> shown;
        for (int i = 0; i < GuiPage::numParameters; ++i)
            if (! isTabled (i))
                continue;
            else if (auto* c = controlOf (*page, i); c != nullptr && c->isVisible())
            {
                shown.push_back ({ i, c->getBounds() });
                if (auto* label = page->getKnobLabel (i))
                    EXPECT_TRUE (label->isVisible()) << i;
            }
            else if (auto* label = page->getKnobLabel (i))
                EXPECT_FALSE (label->isVisible()) << "label follows its knob " << i;

        for (size_t a = 0; a < shown.size(); ++a)
        {
            EXPECT_TRUE (juce::Rectangle<int> (829, 740).contains (shown[a].second)) << shown[a].first;
            for (size_t b = a + 1; b < shown.size(); ++b)
                EXPECT_FALSE (shown[a].second.intersects (shown[b].second))
                    << shown[a].first << " and " << shown[b].first << (osc4 ? " in osc-4" : " in osc 1-3");
        }
        EXPECT_EQ (page->getCaptureButton().isVisible(), ! osc4);
        EXPECT_EQ (page->getSplineEditor().isVisible(), osc4);
        return (int) shown.size();
    };

    EXPECT_FALSE (page->isOsc4ViewOn());
    EXPECT_EQ (checkView (false), 82);
    EXPECT_TRUE (page->getKnob (13)->isVisible());
    EXPECT_FALSE (page->getKnob (80)->isVisible());

    page->getViewButton().triggerClick();
    pump();
    EXPECT_TRUE (page->isOsc4ViewOn());
    EXPECT_EQ (page->getViewButton().getButtonText(), synthpage::kViewButtonOsc1to3Text);
    tick(); // the view changes with the next paint
    EXPECT_EQ (checkView (true), 63);
    EXPECT_FALSE (page->getKnob (87)->isVisible());
    EXPECT_FALSE (page->getKnob (772)->isVisible());

    page->getViewButton().triggerClick();
    pump();
    tick();
    EXPECT_FALSE (page->isOsc4ViewOn());
    EXPECT_EQ (page->getViewButton().getButtonText(), synthpage::kViewButtonOsc4Text);
    EXPECT_EQ (checkView (false), 82);

    // Other buttons leave the view alone.
    page->getCaptureButton().triggerClick();
    pump();
    EXPECT_FALSE (page->isOsc4ViewOn());
    close (p);
}

TEST_F (SynthPageTest, EveryUserEditReachesEngineAndHostAsOneGesture)
{
    BrevonAudioProcessor p;
    open (p);
    HostLog host;
    p.addListener (&host);

    int edited = 0;
    for (int i = 0; i < GuiPage::numParameters; ++i)
    {
        auto* control = controlOf (*page, i);
        if (! isTabled (i) || control == nullptr || ! control->isVisible())
            continue;
        // Away from the current value, whatever the control's steps.
        const double before = p.getParameter (i);
        double target = before < 0.5 ? 0.8 : 0.02;
        if (auto* choice = page->getMultiChoice (i))
            target = ((std::lround (before * 100.0) + 1) % choice->getNumItems()) / 100.0;
        const double value = edit (i, target);
        ASSERT_NE (value, before) << i;
        EXPECT_EQ (p.getParameter (i), (float) value) << i;
        EXPECT_EQ (host.take(), oneGesture (i)) << "index " << i;
        ++edited;
    }
    EXPECT_EQ (edited, 82); // the osc 1-3 view

    page->getViewButton().triggerClick();
    pump();
    tick();
    for (int i : { 80, 81, 82 })
    {
        const double value = edit (i, 0.9);
        EXPECT_EQ (p.getParameter (i), (float) value) << i;
        EXPECT_EQ (host.take(), oneGesture (i)) << "index " << i;
    }

    tick();
    EXPECT_TRUE (host.take().empty()) << "a paint after edits writes nothing back";

    p.removeListener (&host);
    close (p);
}

TEST_F (SynthPageTest, ClickedFieldsStepAndWrapAsOneGestureEach)
{
    BrevonAudioProcessor p;
    open (p);
    releaseStartText();
    HostLog host;
    auto* reverb = page->getMultiChoice (86);
    edit (86, 0.01); // the last of its two items
    p.addListener (&host);

    auto click = [&] (float x) {
        const juce::ModifierKeys left (juce::ModifierKeys::leftButtonModifier);
        reverb->mouseDown (mouseDown (*reverb, { x, 5.0f }, left));
        reverb->mouseUp (mouseDown (*reverb, { x, 5.0f }, {}));
        pump();
    };
    click (reverb->getWidth() * 0.75f); // right half: forward, past the end to the first
    EXPECT_EQ (reverb->getValue(), 0.0);
    EXPECT_EQ (p.getParameter (86), 0.0f);
    EXPECT_EQ (host.take(), oneGesture (86));
    EXPECT_EQ (shown(), "reverb type 1");

    click (reverb->getWidth() * 0.25f); // left half: back, before the first to the last
    EXPECT_EQ (p.getParameter (86), 0.01f);
    EXPECT_EQ (host.take(), oneGesture (86));
    EXPECT_EQ (shown(), "reverb type 2");

    // Unison's second item: the sides of a voice part.
    auto* unison = page->getMultiChoice (773);
    ASSERT_EQ (unison->getValue(), 0.0);
    unison->mouseDown (mouseDown (*unison, { unison->getWidth() * 0.75f, 5.0f },
                                  juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier)));
    pump();
    EXPECT_EQ (p.getParameter (773), 0.01f);
    EXPECT_EQ (shown(), "2 unison voices");

    p.removeListener (&host);
    close (p);
}

TEST_F (SynthPageTest, ChoiceEventsWithoutAFieldChangeNothing)
{
    BrevonAudioProcessor p;
    for (int i : { 0, 5, 90, 1769 })
        p.setParameter (i, 0.37f);
    open (p);
    HostLog host;
    p.addListener (&host);

    for (int id : { 0, 5, 90, 1769, -1, 1770, 1 << 30 })
        EXPECT_TRUE (sendFromWidget (MultiChoiceChanged, id)) << id;
    for (int i : { 0, 5, 90, 1769 })
        EXPECT_EQ (p.getParameter (i), 0.37f) << i;
    EXPECT_TRUE (host.take().empty());

    p.removeListener (&host);
    close (p);
}

TEST_F (SynthPageTest, OpeningAndIdlingWriteNothing)
{
    BrevonAudioProcessor p;
    // Values between the steps of stepped controls and outside choice lists:
    // a control that announced its snapped value would change them.
    juce::Random random (21);
    for (int i = 0; i < GuiPage::numParameters; ++i)
        p.setParameter (i, random.nextFloat());
    std::vector<float> before;
    for (int i = 0; i < GuiPage::numParameters; ++i)
        before.push_back (p.getParameter (i));

    HostLog host;
    p.addListener (&host);
    open (p);
    for (int i = 0; i < 20; ++i)
        tick();
    page->getViewButton().triggerClick();
    pump();
    tick();
    close (p);
    p.removeListener (&host);

    EXPECT_TRUE (host.take().empty());
    for (int i = 0; i < GuiPage::numParameters; ++i)
    {
        // Random values make an unusable point block, which the shown point
        // editor replaces by its default curve (the host is not told).
        if (i >= params::kOsc4PointsFirst && i <= params::kOsc4PointsLast)
            continue;
        ASSERT_EQ (p.getParameter (i), before[(size_t) i]) << "parameter " << i;
    }
}

TEST_F (SynthPageTest, ValueDisplayShowsEachEditsText)
{
    // Sync texts below are at 120 bpm; the tempo table is process-wide and an
    // earlier test's host may have left another tempo in it.
    LFOHelper::instance().setTempo (120.0);
    BrevonAudioProcessor p;
    open (p);
    releaseStartText();

    EventCounter tuning;
    p.getEventAggregator()->registerForEvent (TuningChanged, &tuning);
    auto tuningSends = [&] { return tuning.count.exchange (0); };

    // Every position of the stepped knobs, as the user reaches it.
    auto* voices = page->getKnob (15);
    for (int k = 9; k >= 0; --k)
    {
        userSets (*voices, k / 9.0);
        EXPECT_EQ (shown(), juce::String (k + 1) + " oscillator(s)");
    }
    auto* coarse = page->getKnob (25);
    for (int k = 0; k <= 48; ++k)
    {
        userSets (*coarse, k / 48.0);
        const int n = k - 24;
        EXPECT_EQ (shown(), n == 0 ? juce::String ("same note")
                            : n > 0 ? juce::String (n) + " note(s) up"
                                    : juce::String (-n) + " note(s) down") << k;
        EXPECT_EQ (tuningSends(), 1) << k;
    }

    auto expectText = [&] (int index, double value, const char* text, int tuningEvents = 0) {
        // From elsewhere first, so the edit really changes the control.
        if (page->getMultiChoice (index) != nullptr)
            edit (index, std::lround (value * 100.0) == 0 ? 0.01 : 0.0);
        else
            edit (index, value < 0.5 ? 0.9 : 0.1);
        tuningSends();
        edit (index, value);
        EXPECT_EQ (shown(), text) << index << " at " << value;
        EXPECT_EQ (tuningSends(), tuningEvents) << index;
    };
    expectText (26, 0.75, "0.50 note up", 1);
    expectText (26, 0.5, "center", 1);
    expectText (28, 0.5, "1x beat");
    expectText (28, 0.3, "0.60 x beat");
    expectText (34, 0.25, "50% left");
    expectText (34, 0.6, "20% right");
    expectText (36, 0.0, "1 sample/px");
    expectText (36, 1.0, "151 sample/px");
    expectText (45, 0.75, "boost 0.5");
    expectText (45, 0.5, "+/- 0");
    expectText (45, 0.1, "cut 0.8");
    expectText (64, 0.0, "0.050 Hz");
    expectText (64, 1.0, "30.050 Hz");

    // The sync switch is read at the moment of the edit, from what the user just picked.
    expectText (56, 0.01, "tempo sync");
    expectText (64, 0.0, "32/1 beat");
    expectText (64, 0.5, "1/2 beat");
    expectText (64, 1.0, "1/16 beat");
    expectText (54, 0.0, "free");
    expectText (53, 1.0, "30.050 Hz");

    // Choices show their menu names from the field's own value.
    expectText (38, 0.02, "highpass 12db");
    expectText (71, 0.11, "12");
    expectText (83, 0.05, "Bolvo Tube");

    // A curve control shows its own value.
    expectText (74, 0.25, "0.250");

    // Knobs lent to menus speak through the page too.
    expectText (87, 0.5, "25.000 Hz");
    userSets (*page->getKnob (772), 0.125);
    EXPECT_EQ (shown(), "0.125");

    for (int tune : { 81, 82 })
    {
        page->setParameterShowerText (tune, 0.5f);
        EXPECT_EQ (tuningSends(), 1) << tune;
    }
    page->setParameterShowerText (60, 0.0f);
    EXPECT_EQ (shown(), "0.000");
    page->setParameterShowerText (60, 1.0f);
    EXPECT_EQ (shown(), "OH SNAP!");

    // Nothing shown: a reverb type outside its list, an index outside the parameters.
    page->getMultiChoice (86)->setValue (0.07);
    page->setParameterShowerText (86, 0.0f);
    page->setParameterShowerText (-1, 0.5f);
    page->setParameterShowerText (1770, 0.5f);
    EXPECT_EQ (shown(), "OH SNAP!");
    EXPECT_EQ (tuningSends(), 0);

    p.getEventAggregator()->unregisterListener (&tuning);
    close (p);
}

TEST_F (SynthPageTest, EditsChangeTheSound)
{
    PluginPlayer player;
    auto& p = player.processor();
    for (int wet : { 27, 30, 40 })
        p.setParameter (wet, 0.0f); // dry: the sides differ only by what the voice does
    player.warmUp();
    open (p);

    // One note, then a rest long enough for its release. Measured while it
    // sustains: level, brightness (level of the sample-to-sample change) and
    // how far the two sides differ.
    struct Sound { double level, brightness, sidesApart; };
    auto note = [&] {
        const auto out = player.play (44100, { { 0, juce::MidiMessage::noteOn (1, 60, 0.8f) },
                                               { 22050, juce::MidiMessage::noteOff (1, 60) } });
        const int from = 4410, n = 13230;
        const float* l = out.getReadPointer (0);
        const float* r = out.getReadPointer (1);
        std::vector<float> change ((size_t) n), apart ((size_t) n);
        for (int i = 0; i < n; ++i)
        {
            change[(size_t) i] = l[from + i] - l[from + i - 1];
            apart[(size_t) i] = l[from + i] - r[from + i];
        }
        return Sound { rms (l + from, n), rms (change.data(), n), rms (apart.data(), n) };
    };

    edit (1, 0.5);
    const auto base = note();
    ASSERT_GT (base.level, 1.0e-3);
    ASSERT_LT (base.sidesApart, 1.0e-3 * base.level);

    edit (1, 0.05);
    const auto closed = note();
    EXPECT_LT (closed.brightness, 0.99 * base.brightness) << "cutoff knob";

    edit (1, 0.5);
    edit (38, 0.02);
    const auto highpass = note();
    EXPECT_GT (std::abs (highpass.level - base.level), 0.01 * base.level) << "filter type field";
    EXPECT_GT (highpass.brightness, 1.01 * base.brightness) << "filter type field";

    edit (38, 0.0);
    edit (773, 0.01);
    player.play (512); // the unison change applies on the next block
    const auto unison = note();
    EXPECT_GT (unison.sidesApart, 0.01 * unison.level) << "unison field";

    close (p);
}

TEST_F (SynthPageTest, TuningEditsWhileTheAudioThreadRenders)
{
    PluginPlayer player;
    auto& p = player.processor();
    player.warmUp();
    open (p);

    std::atomic<bool> stop { false };
    std::thread audio ([&] {
        juce::AudioBuffer<float> buffer (2, 256);
        juce::MidiBuffer midi;
        midi.addEvent (juce::MidiMessage::noteOn (1, 60, 0.8f), 0);
        while (! stop.load())
        {
            player.renderBlock (buffer, midi);
            midi.clear();
        }
    });
    for (int n = 0; n < 300; ++n)
    {
        edit (25 + n % 2, (n % 49) / 48.0);
        if (n % 30 == 0)
            tick();
    }
    stop = true;
    audio.join();

    const auto out = player.play (4096);
    EXPECT_TRUE (allFinite (out));
    close (p);
}

TEST_F (SynthPageTest, ControlsLentElsewhereDieWithThePage)
{
    BrevonAudioProcessor p;
    open (p);
    juce::Component::SafePointer<KevoJuceKnob> speed (page->getKnob (87)), captureSize (page->getKnob (772));
    juce::Component::SafePointer<juce::Component> display (&page->getValueDisplay()), logo (&page->getLogo());
    // As the point editor's menu and the settings menu leave them.
    page->removeChildComponent (speed.getComponent());
    { auto menu = page->buildSettingsMenu(); }
    EXPECT_EQ (speed->getParentComponent(), nullptr);

    close (p);
    EXPECT_EQ (speed, nullptr);
    EXPECT_EQ (captureSize, nullptr);
    EXPECT_EQ (display, nullptr);
    EXPECT_EQ (logo, nullptr);
}

TEST_F (SynthPageTest, PresetsButtonWithoutAnEditorDoesNothing)
{
    BrevonAudioProcessor p;
    open (p);
    {
        SynthPage alone (&p, &editor->getSmallFont(), &editor->getLargeFont(), &editor->getTitleFont(),
                         &editor->getSmallSecondFont(), p.getEventAggregator(), nullptr, "alone",
                         *editor->getImages(), p.getParameterValues());
        alone.getPresetsButton().triggerClick();
        pump();
        EXPECT_NE (editor->getSynthPage(), nullptr);
    }

    page->getPresetsButton().triggerClick();
    pump();
    tick();
    juce::Image tiny (juce::Image::ARGB, 1, 1, true);
    {
        juce::Graphics g (tiny);
        editor->paint (g);
    }
    EXPECT_EQ (editor->getSynthPage(), nullptr);
    EXPECT_NE (editor->getPresetsPage(), nullptr);
    page = nullptr;
    closeEditor (p, editor);
}
