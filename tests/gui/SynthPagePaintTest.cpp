// The synth page's drawing, its modulation grid and its controls following
// the host: snapshots probed by colour, the cached decoration counted, and
// parameters changed from other threads while the page ticks.

#include <gtest/gtest.h>

#include "SynthPageFixture.h"

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"
#include "core/parameters.h"
#include "gui/ColorSet.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"
#include "gui/MultiChoice.h"
#include "gui/Oscilloscope.h"
#include "gui/ParameterShower.h"
#include "gui/SplineComponent.h"
#include "gui/TalvoraLookAndFeel.h"
#include "gui/synth/SynthPage.h"
#include "gui/synth/SynthPageLayout.h"
#include "support/EditorRig.h"

using namespace editorRig;

namespace
{
class HostCounter : public juce::AudioProcessorListener
{
public:
    void audioProcessorParameterChanged (juce::AudioProcessor*, int, float) override { ++heard; }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
    void audioProcessorParameterChangeGestureBegin (juce::AudioProcessor*, int) override { ++heard; }
    void audioProcessorParameterChangeGestureEnd (juce::AudioProcessor*, int) override { ++heard; }
    std::atomic<int> heard { 0 };
};

class EventCounter : public EventListener
{
public:
    EventCounter() : EventListener ("EventCounter") {}
    void receiveEvent (EventType, int) override { ++count; }
    std::atomic<int> count { 0 };
};

class SynthPagePaintTest : public SynthPageFixture
{
protected:
    void SetUp() override
    {
        // Flat colours, scheme 0: the probes below read plain colours.
        sandbox.storeInt (settingsKeys::draw_shadows, 0);
        sandbox.storeInt (settingsKeys::color_set, 0);
    }

    void TearDown() override
    {
        draw_shadows = true;
        thin_line_knobs = true;
    }

    // One tick of the page's timer: its callback, one paint, the queue drained.
    void tick() override
    {
        page->repaintTimer.timerCallback();
        paintPage();
    }

    juce::Slider* sliderOf (int i) const
    {
        if (auto* c = page->getKnob (i)) return c;
        if (auto* c = page->getSlider (i)) return c;
        return page->getSpline (i);
    }

    // What the control shows, or NaN without a control.
    double shownBy (int i) const
    {
        if (auto* s = sliderOf (i))
            return s->getValue();
        if (auto* c = page->getMultiChoice (i))
            return c->getValue();
        return std::nan ("");
    }

    // True when the control shows the engine's value, up to its own steps.
    bool follows (int i, BrevonAudioProcessor& p) const
    {
        const double engine = p.getParameter (i);
        const double tolerance = sliderOf (i) != nullptr ? sliderOf (i)->getInterval() / 2.0 + 1.0e-9 : 1.0e-9;
        return std::abs (shownBy (i) - engine) <= tolerance;
    }

    std::vector<int> controlled() const
    {
        std::vector<int> all;
        for (int i = 0; i < GuiPage::numParameters; ++i)
            if (! std::isnan (shownBy (i)))
                all.push_back (i);
        return all;
    }

    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
};

juce::Colour colour (juce::uint32 argb) { return juce::Colour (argb); }
} // namespace

TEST_F (SynthPagePaintTest, ModulationGridHasAKnobPerSourceAndDestination)
{
    BrevonAudioProcessor p;
    p.setParameter (params::modAmountIndex (1, 13), 0.7f); // lfo2 -> cutoff, as a preset would carry it
    p.setParameter (params::modAmountIndex (4, 2), 0.25f);
    open (p);
    using namespace synthpage;

    std::set<int> grid;
    for (int i = params::kModAmountFirst; i <= params::kModAmountLast; ++i)
        if (auto* knob = page->getKnob (i))
        {
            grid.insert (i);
            EXPECT_EQ (knob->getWidth(), 23);
            EXPECT_EQ (page->getKnobLabel (i), nullptr);
        }
    std::set<int> expected;
    for (int r = 0; r < 5; ++r)
        for (int d = 0; d < 16; ++d)
            expected.insert (params::modAmountIndex (r, d));
    EXPECT_EQ (grid, expected);
    for (int i = params::kModAmountFirst; i <= params::kModAmountLast; ++i)
        if (expected.count (i) == 0)
            EXPECT_TRUE (std::isnan (shownBy (i))) << i;

    EXPECT_EQ (page->getKnob (572)->getPosition(), juce::Point<int> (250, 617)); // noise first
    EXPECT_EQ (page->getKnob (571)->getPosition(), juce::Point<int> (418, 617)); // pitch after the volumes
    EXPECT_EQ (page->getKnob (665)->getPosition(), juce::Point<int> (670, 697));

    const char* rows[] = { "lfo1", "lfo2", "amp env", "flt env", "velocity" };
    for (int r = 0; r < 5; ++r)
    {
        ASSERT_NE (page->getRowLabel (r), nullptr);
        EXPECT_EQ (page->getRowLabel (r)->getText(), rows[r]);
        EXPECT_EQ (page->getRowLabel (r)->getBounds(), juce::Rectangle<int> (150, 620 + 20 * r, 100, 15));
    }
    EXPECT_EQ (page->getRowLabel (5), nullptr);
    EXPECT_EQ (page->getColumnLabel (0)->getText(), "noise");
    EXPECT_EQ (page->getColumnLabel (1)->getText(), "o\nvol");
    EXPECT_EQ (page->getColumnLabel (6)->getText(), "o\nptc");
    EXPECT_EQ (page->getColumnLabel (15)->getBounds(), juce::Rectangle<int> (210 + 28 * 15, 600, 100, 15));

    EXPECT_NEAR (page->getKnob (params::modAmountIndex (1, 13))->getValue(), 0.7, 0.0005);
    EXPECT_NEAR (page->getKnob (params::modAmountIndex (4, 2))->getValue(), 0.25, 0.0005);
    close (p);
}

TEST_F (SynthPagePaintTest, DecorationColoursByViewAndScheme)
{
    BrevonAudioProcessor p;
    open (p);
    ASSERT_FALSE (draw_shadows);

    struct Probe { int x, y; juce::uint32 argb; const char* what; };
    const Probe probes[] = {
        { 820, 300, 0xFF5A788Cu, "background" }, { 20, 240, 0xFF506478u, "amplitude box" },
        { 300, 495, 0xFF41535Fu, "o-scope box" }, { 30, 640, 0xFF64788Cu, "LFO box" },
        { 705, 700, 0xFF506478u, "lfo & mod panel" }, { 460, 325, 0xFF506478u, "filter panel" },
        { 537, 200, 0xFF5A788Cu, "filter panel waist" }, { 615, 130, 0xFF5A788Cu, "below osc3" },
    };
    {
        Snapshot shot (*page, "scheme0-osc13");
        for (const auto& probe : probes)
            EXPECT_EQ (shot.at (probe.x, probe.y), colour (probe.argb)) << probe.what;

        // The waveform icons take colour 11 where they are solid.
        const auto& icons = page->getWaveformIcons();
        int solid = 0;
        for (int y = 0; y < icons.getHeight(); ++y)
            for (int x = 0; x < icons.getWidth(); ++x)
                if (icons.getPixelAt (x, y).getAlpha() == 255)
                {
                    ++solid;
                    EXPECT_EQ (shot.at (277 + x, 29 + y), colour (0xFF000000u)) << x << "," << y;
                }
        EXPECT_GT (solid, 0);
    }

    page->getViewButton().triggerClick();
    pump();
    {
        Snapshot shot (*page, "scheme0-osc4");
        EXPECT_EQ (shot.at (615, 130), colour (0xFF506478u)) << "osc4 box";
    }

    // Another instance picks scheme 1 and tells every editor.
    sandbox.storeInt (settingsKeys::color_set, 1);
    EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
    pump();
    {
        Snapshot shot (*page, "scheme1");
        EXPECT_EQ (shot.at (820, 300), colour (0xFF643030u));
    }
    const auto text = (*page->getColors())[11];
    EXPECT_EQ (text, colour (0xFFE4E4DCu));
    for (int i = 0; i < GuiPage::numParameters; ++i)
        if (auto* label = page->getKnobLabel (i))
            EXPECT_EQ (label->findColour (juce::Label::textColourId), text) << i;
    for (int r = 0; r < 5; ++r)
        EXPECT_EQ (page->getRowLabel (r)->findColour (juce::Label::textColourId), text);
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ (page->getColumnLabel (c)->findColour (juce::Label::textColourId), text);
    close (p);
}

// In a scheme without the light-text flag the text of a held button turns to
// colour 1; a button that is only toggled keeps colour 11, or the view
// button's text would sit blue on its blue face while oscillator 4 shows.
TEST_F (SynthPagePaintTest, ButtonTextFollowsThePressNotTheToggle)
{
    sandbox.storeInt (settingsKeys::color_set, 6);
    BrevonAudioProcessor p;
    open (p);
    const ColorSet& colours = *page->getColors();
    ASSERT_FALSE (colours.flag1);

    auto& view = page->getViewButton();

    // Pixels of the text area near a colour (the faces take neither).
    auto count = [&] (const char* name, juce::Colour wanted) {
        Snapshot shot (view, name);
        int n = 0;
        for (int y = 4; y < view.getHeight() - 4; ++y)
            for (int x = 6; x < view.getWidth() - 6; ++x)
                n += near (shot.at (x, y), wanted, 12);
        return n;
    };

    // A click flashes the pressed state, which a paint and a timer end.
    view.triggerClick();
    pump();
    ASSERT_EQ (view.getState(), juce::Button::buttonDown);
    EXPECT_GT (count ("view-flash", colours[1]), 10);
    pumpFor (300);
    ASSERT_TRUE (view.getToggleState());
    ASSERT_EQ (view.getState(), juce::Button::buttonNormal);
    EXPECT_GT (count ("view-toggled", colours[11]), 10);
    EXPECT_EQ (count ("view-toggled-c1", colours[1]), 0);

    view.setState (juce::Button::buttonDown);
    EXPECT_GT (count ("view-held", colours[1]), 10);
    EXPECT_EQ (count ("view-held-c11", colours[11]), 0);

    view.setState (juce::Button::buttonNormal);
    close (p);
}

TEST_F (SynthPagePaintTest, DecorationIsRedrawnOnlyWhenItChanges)
{
    BrevonAudioProcessor p;
    open (p);
    const int first = page->getDecorationRedraws();
    EXPECT_EQ (first, 1);
    for (int i = 0; i < 100; ++i)
        tick();
    EXPECT_EQ (page->getDecorationRedraws(), first);

    page->getViewButton().triggerClick();
    pump();
    for (int i = 0; i < 10; ++i)
        tick();
    EXPECT_EQ (page->getDecorationRedraws(), first + 1);

    GuiPage::rightClickMenuCallback (GuiPage::menuFirstScheme + 3, page);
    pump();
    for (int i = 0; i < 10; ++i)
        tick();
    EXPECT_EQ (page->getDecorationRedraws(), first + 2);
    close (p);
}

TEST_F (SynthPagePaintTest, CaptionsOnlyBesideSlidersAndFields)
{
    BrevonAudioProcessor p;
    open (p);
    auto inked = [] (const juce::Image& image, juce::Rectangle<int> area) {
        int n = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                n += image.getPixelAt (x, y).getAlpha() != 0;
        return n;
    };
    auto draw = [&] (bool left, int index) {
        return drawToImage (829, 740, [&] (juce::Graphics& g) {
            left ? page->textLeftOfComponent (g, index, "caption") : page->textOverComponent (g, index, "caption");
        });
    };

    const auto eq = draw (true, 45); // slider at 735, 585, 80 long
    EXPECT_GT (inked (eq, { 635, 584, 96, 10 }), 0);
    EXPECT_EQ (inked (eq, eq.getBounds()), inked (eq, { 635, 584, 96, 10 }));
    const auto bend = draw (false, 71); // field at 735, 635, 50 wide
    EXPECT_GT (inked (bend, { 735, 624, 50, 10 }), 0);
    EXPECT_EQ (inked (bend, bend.getBounds()), inked (bend, { 735, 624, 50, 10 }));

    for (int none : { 1, 72, 90, 1770, -1 }) // a knob, a curve control, no control, outside
    {
        EXPECT_EQ (inked (draw (true, none), { 0, 0, 829, 740 }), 0) << none;
        EXPECT_EQ (inked (draw (false, none), { 0, 0, 829, 740 }), 0) << none;
    }
    close (p);
}

TEST_F (SynthPagePaintTest, EventsAndStatusOnTheValueDisplay)
{
    BrevonAudioProcessor p;
    open (p);
    auto& display = page->getValueDisplay();
    juce::Image image (juce::Image::ARGB, 300, 60, true);
    for (int i = 0; i < 60; ++i) // the start text runs out
    {
        juce::Graphics g (image);
        display.paintEntireComponent (g, false);
    }

    p.getEventAggregator()->sendEvent (LogoClicked, 0);
    EXPECT_EQ (display.getText(), "version 1.3");

    page->getOscilloscope().mouseDown (mouseDown (page->getOscilloscope(), { 5, 5 }, {}));
    pump();
    p.getEventAggregator()->sendEvent (OscilloscopeModeChanged, 0);
    EXPECT_EQ (display.getText(), page->getOscilloscope().getModeName());
    EXPECT_TRUE (display.getText().isNotEmpty());

    juce::AudioBuffer<float> mono (1, 64);
    juce::MidiBuffer midi;
    p.processBlock (mono, midi);
    ASSERT_TRUE (p.isNotStereo());
    tick();
    EXPECT_EQ (display.getText(), "Only supports stereo!");
    close (p);
}

TEST_F (SynthPagePaintTest, ScopeTakesTheWindowWithinAHundredPaints)
{
    BrevonAudioProcessor p;
    open (p);
    page->setScopeWindow (321.0);
    for (int i = 0; i < 100; ++i)
        tick();
    EXPECT_EQ (page->getOscilloscope().getTriggerWindow(), 321.0);
    close (p);
}

TEST_F (SynthPagePaintTest, ControlsFollowTheHostOnTheNextTick)
{
    BrevonAudioProcessor p;
    open (p);
    HostCounter host;
    p.addListener (&host);
    const auto indices = controlled();
    ASSERT_EQ (indices.size(), 167u); // 85 on show, 2 lent to menus, 80 in the grid

    std::thread ([&] { p.setParameter (1, 0.8f); }).join();
    tick();
    EXPECT_NEAR (page->getKnob (1)->getValue(), 0.8, 0.0005);

    // Many at once, parameter 0 among them: none lost.
    std::thread ([&] {
        for (size_t k = 0; k < 100; ++k)
            p.setParameter (indices[k], (float) ((k % 7) / 100.0));
    }).join();
    tick();
    for (size_t k = 0; k < 100; ++k)
        EXPECT_TRUE (follows (indices[k], p)) << indices[k];
    EXPECT_EQ (indices[0], 0);

    const double before = shownBy (5);
    p.setParameter (-1, 0.3f);
    tick();
    EXPECT_EQ (shownBy (5), before);

    // A whole state from elsewhere: every control shows it after one tick.
    {
        BrevonAudioProcessor other;
        juce::Random random (22);
        for (int i : indices)
        {
            double v = random.nextDouble();
            if (auto* choice = page->getMultiChoice (i))
                v = random.nextInt (choice->getNumItems()) / 100.0;
            other.setParameter (i, (float) v);
        }
        juce::MemoryBlock state;
        other.getStateInformation (state);
        p.setStateInformation (state.getData(), (int) state.getSize());
    }
    tick();
    for (int i : indices)
        EXPECT_TRUE (follows (i, p)) << i << ": " << shownBy (i) << " vs " << p.getParameter (i);
    pump();
    p.removeListener (&host);
    EXPECT_EQ (host.heard.load(), 0) << "following the host writes nothing back";
    close (p);
}

TEST_F (SynthPagePaintTest, IdleEditorWritesNothing)
{
    BrevonAudioProcessor p;
    juce::Random random (23);
    for (int i = 0; i < GuiPage::numParameters; ++i)
        p.setParameter (i, random.nextFloat());
    std::vector<float> before;
    for (int i = 0; i < GuiPage::numParameters; ++i)
        before.push_back (p.getParameter (i));

    HostCounter host;
    p.addListener (&host);
    open (p);
    for (int i = 0; i < 100; ++i)
        tick();
    close (p);
    p.removeListener (&host);

    EXPECT_EQ (host.heard.load(), 0);
    for (int i = 0; i < GuiPage::numParameters; ++i)
        ASSERT_EQ (p.getParameter (i), before[(size_t) i]) << "parameter " << i;
}

TEST_F (SynthPagePaintTest, ForeignLookAndFeelIsReportedOncePerSpell)
{
    BrevonAudioProcessor p;
    open (p);
    EventCounter global;
    p.getEventAggregator()->registerForEvent (GlobalAppearanceChanged, &global);

    juce::LookAndFeel_V4 foreign;
    juce::Image image (juce::Image::ARGB, 829, 740, true);
    auto paints = [&] (int n) {
        for (int i = 0; i < n; ++i)
        {
            juce::Graphics g (image);
            page->paint (g);
            pump();
        }
    };

    page->setLookAndFeel (&foreign);
    paints (100);
    EXPECT_EQ (global.count.load(), 1);

    page->setLookAndFeel (nullptr);
    paints (1);
    page->setLookAndFeel (&foreign);
    paints (100);
    EXPECT_EQ (global.count.load(), 2) << "a new spell asks again";

    page->setLookAndFeel (nullptr);
    p.getEventAggregator()->unregisterListener (&global);
    close (p);
}

TEST_F (SynthPagePaintTest, AutomationAtFullRateAgainstAnOpenPage)
{
    BrevonAudioProcessor p;
    open (p);
    const auto indices = controlled();
    std::atomic<bool> stop { false };
    std::thread automation ([&] {
        juce::Random random (24);
        while (! stop.load())
            p.setParameter (indices[(size_t) random.nextInt ((int) indices.size())], random.nextFloat());
    });
    for (int i = 0; i < 300; ++i)
        tick();
    stop = true;
    automation.join();

    tick();
    for (int i : indices)
        EXPECT_TRUE (follows (i, p)) << i;
    close (p);
}
