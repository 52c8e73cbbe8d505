// The point editor as the user hears and sees it: drawn edits reach the
// engine (even while the bus is busy), survive a save and restore, and are
// painted in the scheme's colours.

#include "SplineEditorRig.h"

#include "support/PluginPlayer.h"

using namespace splineeditor;

namespace
{
// Oscillator 4 alone, no filter or effects.
void osc4Only (BrevonAudioProcessor& p)
{
    for (auto [index, value] : { std::pair<int, float> { 14, 0.0f }, { 20, 0.0f }, { 62, 0.0f }, { 80, 1.0f },
                                 { 38, 0.06f }, { 30, 0.0f }, { 44, 0.0f }, { 773, 0.0f } })
        p.setParameter (index, value);
}

juce::AudioBuffer<float> render (PluginPlayer& player, int blocks)
{
    juce::AudioBuffer<float> out (2, blocks * player.blockSize);
    for (int b = 0; b < blocks; ++b)
    {
        juce::AudioBuffer<float> block (2, player.blockSize);
        juce::MidiBuffer midi;
        player.renderBlock (block, midi);
        for (int ch = 0; ch < 2; ++ch)
            out.copyFrom (ch, b * player.blockSize, block, ch, 0, player.blockSize);
    }
    return out;
}

double frequencyWithoutOffset (const float* x, int n, double rate)
{
    double mean = 0.0;
    for (int i = 0; i < n; ++i)
        mean += x[i];
    mean /= n;
    std::vector<float> centred ((size_t) n);
    for (int i = 0; i < n; ++i)
        centred[(size_t) i] = (float) (x[i] - mean);
    return measureFrequency (centred.data(), n, rate);
}

/** Saved under the run's snapshot folder when TALVORA_KEEP_SNAPSHOTS is set, to look at. */
void keepSnapshot (const juce::Image& image, const juce::String& name)
{
    if (std::getenv ("TALVORA_KEEP_SNAPSHOTS") == nullptr)
        return;
    auto file = editorRig::snapshotFolder().getChildFile ("point-editor-" + name.replace (" ", "-") + ".png");
    file.deleteFile();
    juce::FileOutputStream out (file);
    juce::PNGImageFormat().writeImageToStream (image, out);
    std::fprintf (stderr, "snapshot kept: %s\n", file.getFullPathName().toRawUTF8());
}

/** Listens for one event and edits the points while its delivery runs. */
struct EditDuringDelivery : EventListener
{
    EditDuringDelivery (EventAggregator* b, std::function<void()> e) : bus (b), edit (std::move (e))
    {
        bus->registerForEvent (LogoClicked, this);
    }
    ~EditDuringDelivery() override { bus->unregisterListener (this); }
    void receiveEvent (EventType, int) override { edit(); }
    EventAggregator* bus;
    std::function<void()> edit;
};
} // namespace

TEST (SplineOscillatorEditorPlay, FlatCurveIsSilentAndADragMakesItSoundAtTheNote)
{
    PluginPlayer player;
    osc4Only (player.processor());
    storeChain (player.processor(), { pt (splineStart, 0.0, kH / 2.0), pt (splineLinear, kW / 2.0, kH / 2.0),
                                      pt (splineLinear, kW, kH / 2.0) });
    player.processor().getEventAggregator()->sendEvent (Osc4PointsChanged, 0);
    Rig rig (&player.processor());
    rig.open();
    ASSERT_EQ (rig.list().size(), 3);

    player.warmUp();
    juce::MidiBuffer noteOn;
    noteOn.addEvent (juce::MidiMessage::noteOn (1, 69, (juce::uint8) 100), 0);
    juce::AudioBuffer<float> first (2, player.blockSize);
    player.renderBlock (first, noteOn);
    const auto flat = render (player, 40);
    EXPECT_LT (rms (flat.getReadPointer (0), flat.getNumSamples()), 1e-4);

    rig.drag (kW / 2.0, kH / 2.0, kW / 2.0, 0.0);
    EXPECT_DOUBLE_EQ (rig.list().at (1)->point.y[0], 0.0);
    const auto next = render (player, 2);
    EXPECT_GT (rms (next.getReadPointer (0), next.getNumSamples()), 0.01) << "within two blocks";

    const auto held = render (player, 60);
    EXPECT_GT (rms (held.getReadPointer (0), held.getNumSamples()), 0.01);
    EXPECT_NEAR (frequencyWithoutOffset (held.getReadPointer (0), held.getNumSamples(), player.sampleRate), 220.0, 0.5);
}

TEST (SplineOscillatorEditorPlay, AnEditDuringAnotherEventsDeliveryStillReachesTheNextBlock)
{
    PluginPlayer player;
    player.warmUp();   // run alone, the process's first blocks are silent and copy no points
    auto& p = player.processor();
    storeChain (p, mixedChain());
    Rig rig (&p);
    rig.open();
    rig.list();
    juce::AudioBuffer<float> block (2, player.blockSize);
    juce::MidiBuffer midi;
    player.renderBlock (block, midi);
    const auto version = p.getOsc4Points().getVersion();

    // The busy flag is process-wide: another instance's delivery is enough.
    PointEvents events (p.getEventAggregator());
    EventAggregator otherInstance ("other instance");
    EditDuringDelivery during (&otherInstance, [&] { rig.drag (100.0, 20.0, 120.0, 110.0); });
    otherInstance.sendEvent (LogoClicked, 0);
    ASSERT_EQ (rig.editor->getWriteCount(), 1);
    EXPECT_EQ (events.count, 0) << "the bus was busy: the event is dropped";

    player.renderBlock (block, midi);
    EXPECT_GT (p.getOsc4Points().getVersion(), version);
    Osc4Data played[Osc4PointSet::kNumPoints];
    ASSERT_TRUE (p.getOsc4Points().read (played));
    EXPECT_NEAR (played[1].x[0] * kW, 120.0, 1e-6);
    EXPECT_NEAR (played[1].y[0] * kH, 110.0, 1e-6);
}

TEST (SplineOscillatorEditorPlay, PointsSetThroughTheEditorSurviveSaveAndRestore)
{
    Rig rig;
    storeChain (rig.processor, { pt (splineStart, 0.0, 60.0), pt (splineLinear, 80.0, 30.0),
                                 withControls (pt (splineQuadratic, 180.0, 90.0), 130.0, 10.0),
                                 withControls (pt (splineCubic, 300.0, 40.0), 220.0, 120.0, 260.0, 5.0),
                                 pt (splineLinear, 380.0, 100.0), withControls (pt (splineQuadratic, 480.0, 20.0), 430.0, 115.0),
                                 pt (splineLinear, kW, 60.0) });
    rig.open();
    auto& list = rig.list();
    ASSERT_EQ (list.size(), 7);

    // Slots of every kind, each set through the point menu.
    const struct { int point, slot; std::vector<int> results; } picks[] = {
        { 1, 0, { 3, 21 } },  { 2, 1, { 2, 136 } }, { 3, 2, { 3, 300 } }, { 3, 0, { 3, 250 } },
        { 4, 0, { 3, 15 } },  { 5, 1, { 3, 142 } }, { 3, 1, { 3, 26 } },  { 0, 0, { 3, 17, 224 } },
    };
    for (const auto& p : picks)
        for (int result : p.results)
            rig.pick (list.at (p.point), p.slot, result);
    EXPECT_EQ (list.at (1)->point.slots[0].source, osc4mod::lfo1);
    EXPECT_EQ (list.at (0)->point.slots[0].shape, osc4mod::capturedWave);

    juce::MemoryBlock state;
    rig.processor.getStateInformation (state);
    Rig fresh;
    restore (fresh.processor, state);
    fresh.open (123);
    // The state holds single precision: codes exact, the rest within float rounding.
    ASSERT_EQ (fresh.list().size(), list.size());
    for (int k = 0; k < list.size(); ++k)
    {
        const auto& a = fresh.list().at (k)->point;
        const auto& b = list.at (k)->point;
        EXPECT_EQ (a.type, b.type) << k;
        for (int pair = 0; pair < 3; ++pair)
        {
            EXPECT_NEAR (a.x[pair], b.x[pair], 1e-3) << k;
            EXPECT_NEAR (a.y[pair], b.y[pair], 1e-3) << k;
        }
        for (int s = 0; s < 3; ++s)
        {
            EXPECT_EQ (a.slots[s].direction, b.slots[s].direction) << k << " " << s;
            EXPECT_EQ (a.slots[s].source, b.slots[s].source) << k << " " << s;
            EXPECT_EQ (a.slots[s].shape, b.slots[s].shape) << k << " " << s;
            EXPECT_NEAR (a.slots[s].depth, b.slots[s].depth, 1e-6) << k << " " << s;
            EXPECT_NEAR (a.slots[s].speed, b.slots[s].speed, 1e-6) << k << " " << s;
        }
    }
    EXPECT_EQ (fresh.editor->getWriteCount(), 0);
}

TEST (SplineOscillatorEditorPlay, PaintsHandlesRangesAndCurveInTheSchemeColours)
{
    const double y = 65.5; // the curve's line then covers whole pixels
    auto chain = std::vector<SplineOscillatorPoint> { pt (splineStart, 0.0, y), pt (splineLinear, 150.0, y),
                                                     pt (splineLinear, 300.0, y), pt (splineLinear, 450.0, y),
                                                     pt (splineLinear, kW, y) };
    chain[2].slots[0] = { osc4mod::vertical, 0, 0.8, 0.5, osc4mod::lfo1 };
    Rig rig;
    storeChain (rig.processor, chain);
    auto& editor = rig.open();

    auto shot = [&] (const char* name) {
        const auto image = editorRig::drawToImage (575, 130, [&] (juce::Graphics& g) {
            g.fillAll (juce::Colours::black);
            editor.paint (g);
        });
        keepSnapshot (image, name);
        return image;
    };

    auto image = shot ("idle");
    const auto composited = juce::Colours::black.overlaidWith (juce::Colour (0x80C8C8C8));
    EXPECT_COLOUR_NEAR (image.getPixelAt (150, 62), composited, 2);
    EXPECT_COLOUR_NEAR (image.getPixelAt (300, 30), juce::Colour (0xFF90AEC8), 2);
    EXPECT_COLOUR_NEAR (image.getPixelAt (75, 65), rig.colors[0], 2);

    rig.move (150.0, y);
    image = shot ("hovered");
    EXPECT_COLOUR_NEAR (image.getPixelAt (150, 62), juce::Colour (0xFFC8FFC8), 2);

    rig.press (300.0, y);
    image = shot ("selected");
    EXPECT_COLOUR_NEAR (image.getPixelAt (300, 30), juce::Colour (0xFFE6A064), 2);
    EXPECT_COLOUR_NEAR (image.getPixelAt (300, 62), juce::Colour (0xFFC8FFC8), 2);

    rig.colors.applyScheme (3);
    image = shot ("scheme 3");
    const auto curve = image.getPixelAt (75, 65);
    EXPECT_COLOUR_NEAR (curve, rig.colors[0], 2);
    EXPECT_GT (curve.getGreen(), curve.getRed() + 40);
    EXPECT_GT (curve.getGreen(), curve.getBlue() + 40);
}
