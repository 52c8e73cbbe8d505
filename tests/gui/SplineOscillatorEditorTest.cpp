// The point editor: how it builds its list, what its menus offer and do, the
// double-click edits, the speed knob, the description, and that every edit
// reaches the block, the engine and the host the right way.

#include "SplineEditorRig.h"

#include <map>
#include <thread>

#include "gui/synth/SynthPage.h"

using namespace splineeditor;

namespace
{
struct MenuItems
{
    std::map<int, bool> ticked; // id -> ticked
    juce::StringArray subMenus;
    bool has (int id) const { return ticked.count (id) != 0; }
};

MenuItems itemsOf (const juce::PopupMenu& menu)
{
    MenuItems out;
    for (juce::PopupMenu::MenuItemIterator it (menu, true); it.next();)
    {
        const auto& item = it.getItem();
        if (item.subMenu != nullptr)
            out.subMenus.add (item.text);
        else if (item.itemID != 0)
            out.ticked[item.itemID] = item.isTicked;
    }
    return out;
}

/** Sixteen points: start, fourteen linear, linear end. */
std::vector<SplineOscillatorPoint> fullChain()
{
    std::vector<SplineOscillatorPoint> chain { pt (splineStart, 0.0, 60.0) };
    for (int k = 1; k < 15; ++k)
        chain.push_back (k == 7 ? withControls (pt (splineQuadratic, 35.0 * k, 30.0), 35.0 * k - 10.0, 100.0)
                                : pt (splineLinear, 35.0 * k, k % 2 == 0 ? 20.0 : 100.0));
    chain.push_back (pt (splineLinear, kW, 60.0));
    return chain;
}

struct HostWatch : juce::AudioProcessorListener
{
    void audioProcessorParameterChanged (juce::AudioProcessor*, int index, float) override
    {
        if (index >= params::kOsc4PointsFirst && index <= params::kOsc4PointsLast)
            ++pointParameterChanges;
    }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails& d) override
    {
        stateChanges += d.nonParameterStateChanged ? 1 : 0;
    }
    int pointParameterChanges = 0, stateChanges = 0;
};
} // namespace

TEST (SplineOscillatorEditor, BuildsFromAUsableBlockAndReplacesAnyOther)
{
    struct Case { const char* what; int index; double value; };
    const Case unusable[] = { { "all zero", -1, 0.0 },
                              { "value above 1", params::osc4PointIndex (2, 4), 1.5 },
                              { "NaN", params::osc4PointIndex (3, 12), std::nan ("") },
                              { "points 0 and 1 share x", params::osc4PointIndex (1, osc4field::x), 0.0 } };
    for (const auto& c : unusable)
    {
        Rig rig;
        if (c.index >= 0)
        {
            storeChain (rig.processor, mixedChain());
            rig.processor.getParameterValues()[c.index] = c.value;
        }
        PointEvents events (rig.processor.getEventAggregator());
        auto& editor = rig.open();
        EXPECT_EQ (rig.editor->getListIfBuilt(), nullptr) << "built before it was needed";

        // The default curve, written at once.
        auto& list = rig.list();
        EXPECT_EQ (list.size(), 4) << c.what;
        EXPECT_EQ (list.getFirst()->point.y[0], kH / 3.0) << c.what;
        EXPECT_EQ (list.getLast()->point.x[0], kW) << c.what;
        EXPECT_EQ (editor.getWriteCount(), 1) << c.what;
        EXPECT_EQ (events.count, 1) << c.what;
        EXPECT_TRUE (sameChain (list, *decoded (rig.processor), 1e-6)) << c.what;
    }

    // A usable block is shown as stored, and an idle editor writes nothing.
    Rig rig;
    storeChain (rig.processor, mixedChain());
    const auto before = pointBlock (rig.processor);
    PointEvents events (rig.processor.getEventAggregator());
    auto& editor = rig.open();
    SplinePointList expected (kW, kH);
    ASSERT_TRUE (load (expected, mixedChain()));
    EXPECT_TRUE (sameChain (rig.list(), expected, 1e-9));

    editorRig::drawToImage (575, 130, [&] (juce::Graphics& g) { editor.paint (g); });
    rig.move (100.0, 20.0);
    editor.mouseEnter (rig.at (300, 60));
    editor.mouseExit (rig.at (600, 60));
    editorRig::pumpFor (80);
    EXPECT_EQ (editor.getWriteCount(), 0);
    EXPECT_EQ (events.count, 0);
    EXPECT_EQ (pointBlock (rig.processor), before);
}

TEST (SplineOscillatorEditor, PointMenuOffersWhatThePointAllows)
{
    Rig rig;
    storeChain (rig.processor, mixedChain());
    rig.open();
    auto& list = rig.list();

    for (auto* end : { list.getFirst(), list.getLast() })
    {
        const auto items = itemsOf (rig.editor->buildPointMenu (end, 0));
        EXPECT_FALSE (items.has (4));
        EXPECT_FALSE (items.has (2));
        EXPECT_TRUE (items.has (1) && items.ticked.at (1)) << "off is ticked";
        EXPECT_TRUE (items.has (3));
        EXPECT_EQ (items.subMenus.size(), 0) << "no modulation submenus while off";
        EXPECT_EQ (items.has (1000), end != list.getLast());
    }

    // Control 1 of the quadratic point, modulated at half a beat.
    auto* quad = list.at (2);
    auto& slot = quad->point.slots[1];
    slot.direction = osc4mod::vertical;
    slot.source = osc4mod::ownShapeBeat;
    slot.speed = 0.015625;
    slot.shape = osc4mod::saw;
    auto items = itemsOf (rig.editor->buildPointMenu (quad, 1));
    EXPECT_TRUE (items.has (4) && items.has (2) && items.has (1000) && items.has (1002));
    EXPECT_TRUE (items.ticked.at (3));
    EXPECT_TRUE (items.ticked.at (223)) << "1/2 relative to beat";
    EXPECT_FALSE (items.ticked.at (123)) << "same value, other source";
    EXPECT_TRUE (items.ticked.at (13)) << "saw";
    EXPECT_FALSE (items.has (143)) << "the knob only for a speed in hertz";
    EXPECT_EQ (items.subMenus.size(), 4);

    // In hertz the page's knob joins the menu, set to the slot's speed.
    slot.source = osc4mod::ownShapeHz;
    slot.speed = 0.3;
    items = itemsOf (rig.editor->buildPointMenu (quad, 1));
    EXPECT_TRUE (items.has (143) && items.ticked.at (300));
    EXPECT_TRUE (items.ticked.at (13));
    EXPECT_DOUBLE_EQ (rig.knob.getValue(), 0.3);
    EXPECT_EQ (rig.knob.getSliderStyle(), juce::Slider::RotaryVerticalDrag);

    // Under an LFO the source is ticked, no shape.
    slot.source = osc4mod::lfo1;
    items = itemsOf (rig.editor->buildPointMenu (quad, 1));
    EXPECT_TRUE (items.ticked.at (21));
    EXPECT_FALSE (items.ticked.at (13) || items.ticked.at (300));

    // Sixteen points: nothing to add.
    Rig full;
    storeChain (full.processor, fullChain());
    full.open();
    ASSERT_EQ (full.list().size(), 16);
    items = itemsOf (full.editor->buildPointMenu (full.list().at (5), 0));
    EXPECT_FALSE (items.has (1000) || items.has (1001) || items.has (1002));
}

TEST (SplineOscillatorEditor, MenuResultsChangeTheSlotAndAreWrittenOnce)
{
    struct Case { int result; int source, shape, direction; double speed; };
    // Every result applied to control 1 of the quadratic point (vertical, LFO 1 first).
    const Case cases[] = {
        { 1, osc4mod::lfo1, 0, osc4mod::off, 0.25 },
        { 3, osc4mod::lfo1, 0, osc4mod::vertical, 0.25 },
        { 13, osc4mod::ownShapeNote, osc4mod::saw, osc4mod::vertical, 0.25 },   // shape under an LFO: own shape
        { 26, osc4mod::filterEnvelopeInverted, 0, osc4mod::vertical, 0.25 },
        { 136, osc4mod::ownShapeNote, 0, osc4mod::vertical, 3.0 / 8.0 },
        { 142, osc4mod::ownShapeNote, 0, osc4mod::vertical, 3.0 / 512.0 },
        { 223, osc4mod::ownShapeBeat, 0, osc4mod::vertical, 0.015625 },
        { 255, osc4mod::ownShapeBeat, 0, osc4mod::vertical, 8.0 / 32.0 },
        { 300, osc4mod::ownShapeHz, 0, osc4mod::vertical, 0.25 },
        { 777, osc4mod::lfo1, 0, osc4mod::vertical, 0.25 },                        // unknown: written as it is
    };
    for (const auto& c : cases)
    {
        Rig rig;
        storeChain (rig.processor, mixedChain());
        rig.open();
        HostWatch host;
        rig.processor.addListener (&host);
        auto* quad = rig.list().at (2);
        auto& slot = quad->point.slots[1];
        slot = { osc4mod::vertical, 0, 0.4, 0.25, osc4mod::lfo1 };

        rig.pick (quad, 1, c.result);
        EXPECT_EQ (slot.source, c.source) << c.result;
        EXPECT_EQ (slot.shape, c.shape) << c.result;
        EXPECT_EQ (slot.direction, c.direction) << c.result;
        EXPECT_DOUBLE_EQ (slot.speed, c.speed) << c.result;
        EXPECT_EQ (rig.editor->getWriteCount(), 1) << c.result;
        EXPECT_EQ (host.stateChanges, 1) << c.result;
        EXPECT_EQ (host.pointParameterChanges, 0) << c.result;
        EXPECT_TRUE (sameChain (rig.list(), *decoded (rig.processor), 1e-6)) << c.result;
        rig.processor.removeListener (&host);
    }

    Rig rig;
    storeChain (rig.processor, mixedChain());
    rig.open();
    auto& list = rig.list();

    // A speed of 0 in hertz becomes 0.1; half a beat is stored raw.
    rig.pick (list.at (1), 0, 300);
    EXPECT_EQ (list.at (1)->point.slots[0].speed, 0.1);
    rig.pick (list.at (1), 0, 223);
    EXPECT_EQ (rig.processor.getParameterValues()[params::osc4PointIndex (1, osc4field::slotField (0, osc4field::slotSpeed))].get(), 0.015625);

    // Horizontal on a point squeezed between its neighbours fits or is off.
    restore (rig.processor, stateWith ({ pt (splineStart, 0.0, 40.0), pt (splineLinear, 300.0, 20.0),
                                         pt (splineLinear, 310.0, 90.0), pt (splineLinear, 320.0, 20.0),
                                         pt (splineLinear, kW, 40.0) }));
    rig.pick (rig.list().at (2), 0, 2);
    const auto& squeezed = list.at (2)->point.slots[0];
    EXPECT_TRUE (squeezed.direction == osc4mod::off || (squeezed.direction == osc4mod::horizontal && squeezed.depth < 0.2));

    // Adding and deleting renumber before the block is written.
    rig.pick (list.at (1), 0, 1001);
    EXPECT_EQ (list.size(), 6);
    rig.pick (list.at (3), 0, 4);
    EXPECT_EQ (list.size(), 5);
    EXPECT_TRUE (sameChain (list, *decoded (rig.processor), 1e-6));

    // Background menu: randomize keeps a storable chain.
    const auto items = itemsOf (rig.editor->buildBackgroundMenu());
    EXPECT_TRUE (items.has (2000) && items.has (2001));
    rig.editor->makeMenuCallback() (2001);
    EXPECT_TRUE (holdsInvariants (list));
    EXPECT_DOUBLE_EQ (list.getHighestPoint (list.getFirst()), 0.0);
    EXPECT_DOUBLE_EQ (list.getLowestPoint (list.getFirst()), kH);
    EXPECT_TRUE (blockInRange (std::vector<double> (rig.processor.getParameterValues(),
                                                    rig.processor.getParameterValues() + params::kNumValues)));
}

TEST (SplineOscillatorEditor, DescribesTheModulationOfAPoint)
{
    struct Case { int source, shape; double speed; const char* text; };
    const Case cases[] = {
        { osc4mod::ownShapeNote, osc4mod::sine, 0.375, "sine\n3/8 rel2note " },
        { osc4mod::ownShapeBeat, osc4mod::saw, 1.0 / 64.0, "saw\n1/2 beat" },
        { osc4mod::ownShapeNote, osc4mod::square, 0.3141592653589793, "square\n60/191 rel2note " }, // first near fraction
        { osc4mod::ownShapeNote, osc4mod::triangle, 0.0001234, "triangle\n0.00012 rel2note " },
        { osc4mod::ownShapeHz, osc4mod::sampleAndGlide, 0.5, "random sample and glide\n25.000000 Hz" },
        { osc4mod::lfo1, osc4mod::sine, 0.0, "lfo 1" },
        { osc4mod::filterEnvelopeInverted, 40, 0.0, "filter envelope\ninversed" },
        { osc4mod::ownShapeNote, 9, 0.5, "" },
        { 9, osc4mod::sine, 0.5, "" },
    };
    for (const auto& c : cases)
    {
        auto p = pt (splineLinear, 100.0, 50.0);
        p.slots[0] = { osc4mod::vertical, c.shape, 0.3, c.speed, c.source };
        EXPECT_EQ (SplineOscillatorEditor::describeModulation (p), juce::String (c.text)) << c.source << " " << c.speed;
    }

    // Control 2 of a cubic point speaks over control 1 and the point; a direction above 2 is vertical.
    auto cubic = withControls (pt (splineCubic, 300.0, 50.0), 200.0, 20.0, 250.0, 90.0);
    cubic.slots[0] = { osc4mod::vertical, 0, 0.3, 0.5, osc4mod::lfo1 };
    cubic.slots[2] = { 7, 0, 0.3, 0.5, osc4mod::lfo2 };
    EXPECT_EQ (SplineOscillatorEditor::describeModulation (cubic), "lfo 2");
    EXPECT_EQ (SplineOscillatorEditor::describeModulation (pt (splineLinear, 1.0, 1.0)), "");

    // Through the timer: a hovered modulated point is described on the page's display.
    Rig rig;
    auto chain = mixedChain();
    chain[1].slots[0] = { osc4mod::vertical, osc4mod::sine, 0.4, 0.375, osc4mod::ownShapeNote };
    storeChain (rig.processor, chain);
    rig.open();
    rig.move (100.0, 20.0);
    EXPECT_TRUE (rig.editor->getPointInfoTimer().isTimerRunning());
    editorRig::pumpFor (600);
    EXPECT_EQ (rig.shower.getText(), "sine\n3/8 rel2note ");

    // Hovered, deleted by a double click, then the timer fires: nothing is read.
    rig.shower.setShortTimeText ("before");
    rig.move (100.0, 20.0);
    rig.doubleClick (100.0, 20.0);
    EXPECT_EQ (rig.list().size(), 4);
    EXPECT_FALSE (rig.editor->getPointInfoTimer().isTimerRunning());
    rig.editor->onPointInfoTimerTimeout();
    EXPECT_EQ (rig.shower.getText(), "before");
}

TEST (SplineOscillatorEditor, DoubleClickEditsAreWrittenOnceAndRespectTheLimit)
{
    Rig rig;
    storeChain (rig.processor, mixedChain());
    auto& editor = rig.open();
    auto& list = rig.list();
    PointEvents events (rig.processor.getEventAggregator());

    // A linear point goes: the block is renumbered and holds one point fewer.
    rig.doubleClick (100.0, 20.0);
    EXPECT_EQ (list.size(), 4);
    EXPECT_EQ (editor.getWriteCount(), 1);
    EXPECT_EQ (events.count, 1);
    EXPECT_TRUE (sameChain (list, *decoded (rig.processor), 1e-6));

    // Control 1 of the cubic point (now point 2) becomes a linear point before it.
    rig.doubleClick (290.0, 120.0);
    ASSERT_EQ (list.size(), 5);
    EXPECT_EQ (list.at (2)->getType(), splineLinear);
    EXPECT_NEAR (list.at (2)->point.x[0], 290.0, 1e-9);
    EXPECT_EQ (list.at (3)->getType(), splineQuadratic);
    EXPECT_EQ (editor.getWriteCount(), 2);

    // A click right of a quadratic point's control 1 makes it cubic with control 2 at the click.
    auto* quad = list.at (3);
    quad->point.slots[1] = { osc4mod::horizontal, 0, 0.05, 0.5, 0 };
    rig.doubleClick (365.0, 100.0);   // inside control 1's range: control 2 still goes to the click
    EXPECT_EQ (quad->getType(), splineCubic);
    EXPECT_NEAR (quad->point.x[2], 365.0, 1e-9);
    EXPECT_NEAR (quad->point.y[2], 100.0, 1e-9);
    EXPECT_TRUE (sameChain (list, *decoded (rig.processor), 1e-6));
    EXPECT_TRUE (holdsInvariants (list));

    // Full list: edits that insert are refused whole, nothing written.
    Rig full;
    storeChain (full.processor, fullChain());
    full.open();
    const auto before = pointBlock (full.processor);
    full.doubleClick (235.0, 100.0);                // control 1 of the quadratic point 7
    full.doubleClick (20.0, 110.0);                 // background before a linear point: becomes quadratic, no insert
    EXPECT_EQ (full.list().size(), 16);
    EXPECT_EQ (full.list().at (7)->getType(), splineQuadratic);
    EXPECT_EQ (full.list().at (1)->getType(), splineQuadratic);
    EXPECT_EQ (full.editor->getWriteCount(), 1);
    EXPECT_NE (pointBlock (full.processor), before);
    EXPECT_TRUE (sameChain (full.list(), *decoded (full.processor), 1e-6));
}

TEST (SplineOscillatorEditor, NormalisingKeepsUnusedPairsInsideSoTheNextEditorShowsTheSameCurve)
{
    Rig rig;
    auto chain = std::vector<SplineOscillatorPoint> { pt (splineStart, 0.0, 60.0), pt (splineLinear, 200.0, 70.0),
                                                     pt (splineLinear, 400.0, 65.0), pt (splineLinear, kW, 60.0) };
    // Unused control pairs far from the curve, as older blocks hold them.
    chain[1].y[1] = 129.0;
    chain[1].y[2] = 1.0;
    storeChain (rig.processor, chain);
    rig.open();
    rig.editor->normalizePoints();
    EXPECT_EQ (rig.editor->getWriteCount(), 1);
    EXPECT_NEAR (rig.list().getHighestPoint (rig.list().getFirst()), 0.0, 1e-9);
    EXPECT_NEAR (rig.list().getLowestPoint (rig.list().getFirst()), kH, 1e-9);
    EXPECT_TRUE (blockInRange (std::vector<double> (rig.processor.getParameterValues(),
                                                    rig.processor.getParameterValues() + params::kNumValues)));

    Rig next (&rig.processor);
    next.open (99);
    EXPECT_TRUE (sameChain (next.list(), rig.list(), 1e-6)) << "a new editor would show a random curve";

    // A flat curve stays as it is.
    Rig flat;
    storeChain (flat.processor, { pt (splineStart, 0.0, 65.0), pt (splineLinear, 300.0, 65.0), pt (splineLinear, kW, 65.0) });
    flat.open();
    flat.editor->normalizePoints();
    EXPECT_EQ (flat.editor->getWriteCount(), 0);
}

TEST (SplineOscillatorEditor, SpeedKnobWritesLaterAndIsReturnedWhenTheMenuCloses)
{
    Rig rig;
    auto chain = mixedChain();
    chain[1].slots[0] = { osc4mod::vertical, 0, 0.4, 0.2, osc4mod::ownShapeHz };
    storeChain (rig.processor, chain);
    rig.open();
    const int speedIndex = params::osc4PointIndex (1, osc4field::slotField (0, osc4field::slotSpeed));

    rig.press (100.0, 20.0, true);
    ASSERT_EQ (rig.menusShown, 1);
    ASSERT_TRUE (itemsOf (rig.menu).has (143));
    rig.knob.setValue (0.6, juce::sendNotificationSync);
    EXPECT_EQ (rig.editor->getWriteCount(), 0) << "not at once";
    rig.knob.setValue (0.7, juce::sendNotificationSync);
    EXPECT_TRUE (rig.editor->getUpdateParamsTimer().isPending());
    editorRig::pumpFor (250);
    EXPECT_EQ (rig.editor->getWriteCount(), 2);
    EXPECT_NEAR (rig.processor.getParameterValues()[speedIndex].get(), 0.7, 1e-9);

    // Closed: the knob is the page's again.
    rig.callback (0);
    rig.knob.setValue (0.9, juce::sendNotificationSync);
    editorRig::pumpFor (80);
    EXPECT_NEAR (rig.list().at (1)->point.slots[0].speed, 0.7, 1e-9);
    EXPECT_EQ (rig.editor->getWriteCount(), 2);
}

TEST (SplineOscillatorEditor, MenuResultsReachOnlyTheirOwnEditorAndNeverAClosedOne)
{
    Rig a, b;
    storeChain (a.processor, mixedChain());
    storeChain (b.processor, mixedChain());
    a.open();
    b.open();
    a.press (100.0, 20.0, true);
    b.press (420.0, 60.0, true);
    ASSERT_TRUE (a.callback && b.callback);

    const auto blockB = pointBlock (b.processor);
    a.callback (3);
    EXPECT_EQ (a.list().at (1)->point.slots[0].direction, osc4mod::vertical);
    EXPECT_EQ (pointBlock (b.processor), blockB);
    const auto blockA = pointBlock (a.processor);
    b.callback (3);
    EXPECT_EQ (b.list().at (3)->point.slots[0].direction, osc4mod::vertical);
    EXPECT_EQ (pointBlock (a.processor), blockA);

    // Editor and page gone: the shown menu's callback does nothing.
    a.press (100.0, 20.0, true);
    auto pointMenu = a.callback;
    a.press (500.0, 5.0, true);
    auto backgroundMenu = a.callback;
    a.editor.reset();
    const auto kept = pointBlock (a.processor);
    pointMenu (4);
    pointMenu (1001);
    backgroundMenu (2001);
    EXPECT_EQ (pointBlock (a.processor), kept);

    // The menu's point deleted meanwhile: its result changes nothing.
    b.press (100.0, 20.0, true);
    auto stale = b.callback;
    b.doubleClick (100.0, 20.0);
    const int writes = b.editor->getWriteCount();
    stale (3);
    EXPECT_EQ (b.editor->getWriteCount(), writes);
}

TEST (SplineOscillatorEditor, RestoreWhileOpenReplacesTheShownCurveBeforeAnyEdit)
{
    const auto curveA = mixedChain();
    const std::vector<SplineOscillatorPoint> curveB { pt (splineStart, 0.0, 100.0), pt (splineLinear, 150.0, 10.0),
                                                      pt (splineLinear, 300.0, 110.0), pt (splineLinear, kW, 100.0) };
    // B as a restore leaves it (the stored state holds single precision).
    BrevonAudioProcessor holder;
    restore (holder, stateWith (curveB));
    const auto restoredB = decoded (holder);
    const auto& listB = *restoredB;

    for (bool otherThread : { false, true })
    {
        Rig rig;
        storeChain (rig.processor, curveA);
        rig.open();
        ASSERT_EQ (rig.list().size(), 5);

        const auto stateB = stateWith (curveB);
        if (otherThread)
            std::thread ([&] { restore (rig.processor, stateB); }).join();
        else
            restore (rig.processor, stateB);

        if (! otherThread)
        {
            editorRig::pumpFor (100);
            ASSERT_NE (rig.editor->getListIfBuilt(), nullptr);
            EXPECT_TRUE (sameChain (*rig.editor->getListIfBuilt(), listB, 1e-9)) << "within 100 ms";
        }

        // The next drag edits B: one point moves, nothing of A comes back.
        rig.drag (150.0, 10.0, 160.0, 30.0);
        const auto stored = decoded (rig.processor);
        ASSERT_EQ (stored->size(), 4);
        int moved = 0;
        for (int k = 0; k < 4; ++k)
            moved += std::abs (stored->at (k)->point.x[0] - listB.at (k)->point.x[0]) > 1e-6
                     || std::abs (stored->at (k)->point.y[0] - listB.at (k)->point.y[0]) > 1e-6;
        EXPECT_EQ (moved, 1);
    }

    // Restores racing edits: every write is whole and after the restore it follows.
    Rig rig;
    storeChain (rig.processor, curveA);
    rig.open();
    const juce::MemoryBlock states[] = { stateWith (curveB), stateWith (curveA) };
    std::atomic<bool> done { false };
    std::thread restorer ([&] {
        for (int i = 0; i < 200; ++i)
            restore (rig.processor, states[i % 2]);
        done = true;
    });
    while (! done)
        rig.drag (150.0, 10.0, 151.0, 11.0);
    restorer.join();
    rig.drag (150.0, 10.0, 151.0, 11.0);
    EXPECT_TRUE (holdsInvariants (rig.list()));
    EXPECT_TRUE (sameChain (rig.list(), *decoded (rig.processor), 1e-6));
}

TEST (SplineOscillatorEditor, OnTheSynthPageItEditsItsProcessorThroughKnob87)
{
    editorRig::AssertionsFailTests assertionsFail;
    BrevonAudioProcessor processor;
    auto chain = mixedChain();
    chain[1].slots[0] = { osc4mod::vertical, 0, 0.4, 0.2, osc4mod::ownShapeHz };
    storeChain (processor, chain);
    auto* window = editorRig::openEditor (processor);
    ASSERT_NE (window, nullptr);
    auto* page = window->getSynthPage();
    ASSERT_NE (page, nullptr);
    auto* editor = dynamic_cast<SplineOscillatorEditor*> (&page->getSplineEditor());
    ASSERT_NE (editor, nullptr);
    EXPECT_EQ (editor->getName(), "osc4");
    EXPECT_EQ (editor->getBounds(), juce::Rectangle<int> (30, 25, 575, 130));

    // Shown in the oscillator-4 view; its first paint builds the list from the block and writes nothing.
    EXPECT_FALSE (editor->isVisible());
    page->buttonClicked (&page->getViewButton());
    EXPECT_EQ (editor->getListIfBuilt(), nullptr);
    for (int i = 0; i < 2; ++i)
        editorRig::drawToImage (829, 740, [&] (juce::Graphics& g) { page->paintEntireComponent (g, false); });
    EXPECT_TRUE (editor->isVisible());
    editorRig::Snapshot shot (*page, "osc4 view");
    ASSERT_NE (editor->getListIfBuilt(), nullptr);
    EXPECT_EQ (editor->getListIfBuilt()->size(), 5);
    EXPECT_EQ (editor->getWriteCount(), 0);

    // The point menu lends the page's knob 87; turning it sets the point's speed.
    juce::PopupMenu shown;
    std::function<void (int)> result;
    editor->menuPresenter = [&] (juce::PopupMenu m, std::function<void (int)> cb) {
        shown = std::move (m);
        result = std::move (cb);
    };
    editor->mouseMove (editorRig::mouseDown (*editor, { 100.0f, 20.0f }, {}));
    editor->mouseDown (editorRig::mouseDown (*editor, { 100.0f, 20.0f }, juce::ModifierKeys::rightButtonModifier));
    ASSERT_TRUE (result);
    auto* knob = page->getKnob (87);
    ASSERT_NE (knob, nullptr);
    EXPECT_DOUBLE_EQ (knob->getValue(), 0.2);
    knob->setValue (0.5, juce::sendNotificationSync);
    editorRig::pumpFor (120);
    result (0);
    EXPECT_NEAR (processor.getParameterValues()[params::osc4PointIndex (1, osc4field::slotField (0, osc4field::slotSpeed))].get(),
                 0.5, 1e-9);
    EXPECT_GE (editor->getWriteCount(), 1);
    editorRig::closeEditor (processor, window);
}
