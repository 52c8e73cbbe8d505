#pragma once

// A point editor on a real processor, as the synth page sets it up, and the
// mouse as a user drives it.

#include "SplinePointListRig.h"

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "gui/ColorSet.h"
#include "gui/KevoJuceKnob.h"
#include "gui/ParameterShower.h"
#include "gui/synth/SplineOscillatorEditor.h"
#include "support/EditorRig.h"

#include <memory>
#include <vector>

namespace splineeditor
{
using namespace splinelist;
using Node = SplinePointList::Node;

/** Counts Osc4PointsChanged on a bus. */
struct PointEvents : EventListener
{
    explicit PointEvents (EventAggregator* b) : bus (b) { bus->registerForEvent (Osc4PointsChanged, this); }
    ~PointEvents() override { bus->unregisterListener (this); }
    void receiveEvent (EventType, int) override { ++count; }
    EventAggregator* bus;
    int count = 0;
};

/** Parameters 90 to 569 of a processor. */
inline std::vector<double> pointBlock (BrevonAudioProcessor& p)
{
    return { p.getParameterValues() + params::kOsc4PointsFirst, p.getParameterValues() + params::kOsc4PointsLast + 1 };
}

/** Puts a chain into the processor's block directly (no restore). */
inline void storeChain (BrevonAudioProcessor& p, std::vector<SplineOscillatorPoint> chain)
{
    const auto values = blockOf (std::move (chain));
    for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
        p.getParameterValues()[i] = values[(size_t) i];
}

/** A whole processor state with this chain in it. */
inline juce::MemoryBlock stateWith (std::vector<SplineOscillatorPoint> chain)
{
    BrevonAudioProcessor other;
    storeChain (other, std::move (chain));
    juce::MemoryBlock state;
    other.getStateInformation (state);
    return state;
}

inline void restore (BrevonAudioProcessor& p, const juce::MemoryBlock& state)
{
    p.setStateInformation (state.getData(), (int) state.getSize());
}

/** The chain the block holds, read by a list of its own. */
inline std::unique_ptr<SplinePointList> decoded (BrevonAudioProcessor& p)
{
    auto list = std::make_unique<SplinePointList> (kW, kH);
    const std::vector<double> values (p.getParameterValues(), p.getParameterValues() + params::kNumValues);
    if (! list->updateValuesFromParams (values.data()))
        ADD_FAILURE() << "stored block is not usable";
    return list;
}

struct Rig
{
    explicit Rig (BrevonAudioProcessor* existing = nullptr)
        : owned (existing == nullptr ? std::make_unique<BrevonAudioProcessor>() : nullptr),
          processor (existing != nullptr ? *existing : *owned)
    {
        shower.setBounds (0, 0, 226, 45);
        page.setSize (829, 740);
        page.addAndMakeVisible (shower);
    }

    /** Makes the editor (its list is built at the first call that needs it). */
    SplineOscillatorEditor& open (uint64_t seed = 7)
    {
        editor = std::make_unique<SplineOscillatorEditor> (&colors, processor.getParameterValues(),
                                                           processor.getEventAggregator(), &shower, &knob, &processor);
        editor->setRandomSeed (seed);
        editor->setBounds (30, 25, 575, 130);
        page.addAndMakeVisible (*editor);
        editor->menuPresenter = [this] (juce::PopupMenu m, std::function<void (int)> cb) {
            menu = std::move (m);
            callback = std::move (cb);
            ++menusShown;
        };
        return *editor;
    }

    SplinePointList& list() { return editor->getList(); }

    juce::MouseEvent at (double x, double y, juce::ModifierKeys mods = {}, int clicks = 1)
    {
        return editorRig::mouseDown (*editor, { (float) x, (float) y }, mods, clicks);
    }

    void move (double x, double y) { editor->mouseMove (at (x, y)); }
    void press (double x, double y, bool right = false)
    {
        editor->mouseMove (at (x, y));
        editor->mouseDown (at (x, y, right ? juce::ModifierKeys::rightButtonModifier : juce::ModifierKeys::leftButtonModifier));
    }
    void drag (double x0, double y0, double x1, double y1)
    {
        press (x0, y0);
        editor->mouseDrag (at (x1, y1, juce::ModifierKeys::leftButtonModifier));
        editor->mouseUp (at (x1, y1));
    }
    void doubleClick (double x, double y)
    {
        editor->mouseMove (at (x, y));
        editor->mouseDoubleClick (at (x, y, juce::ModifierKeys::leftButtonModifier, 2));
    }

    /** Opens the point menu of a node on a slot and picks an item. */
    void pick (Node* n, int slot, int result)
    {
        menu = editor->buildPointMenu (n, slot);
        editor->makeMenuCallback() (result);
    }

    editorRig::AssertionsFailTests assertionsFail;
    std::unique_ptr<BrevonAudioProcessor> owned;
    BrevonAudioProcessor& processor;
    ColorSet colors;
    ParameterShower shower { "parametershower", nullptr };
    KevoJuceKnob knob { "87" };
    juce::Component page;
    std::unique_ptr<SplineOscillatorEditor> editor;

    juce::PopupMenu menu;
    std::function<void (int)> callback;
    int menusShown = 0;
};
} // namespace splineeditor
