#pragma once

#include <JuceHeader.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/ParameterValue.h"
#include "core/parameters.h"
#include "gui/synth/PointInfoTimer.h"
#include "gui/synth/SplinePointList.h"
#include "gui/synth/UpdateParamsFromPointsTimer.h"

class BrevonAudioProcessor;
class EventAggregator;
class ParameterShower;
struct ColorSet;

/**
    Where the user draws oscillator 4's waveform: the point chain as a curve
    with handles and modulation ranges, point and range dragging, double-click
    edits, and a menu per point for its modulation.

    Every completed edit writes parameters 90 to 569 straight into the value
    array under the processor's callback lock (hosts are not told of those
    values), announces Osc4PointsChanged, marks the processor's copy dirty
    itself (the event is dropped while the bus is busy) and tells the host
    that the state changed.

    The list is built from the stored block at the first paint, mouse or knob
    call; an unusable block is replaced by a random default curve, which is
    written at once. A state restore is seen on the next paint, mouse call or
    tick and rebuilds the list before anything else happens.

    Menus carry their context per editor: the point by id, looked up again
    when the result arrives, and the editor through a SafePointer. Message
    thread only.
*/
class SplineOscillatorEditor : public juce::Component,
                               public PointInfoTimerListener,
                               public juce::Slider::Listener
{
public:
    static constexpr int kDefaultWidth = 575;
    static constexpr int kDefaultHeight = 130;

    /** Menu ids. */
    enum MenuId
    {
        menuModulateOff = 1,
        menuModulateHorizontal = 2,
        menuModulateVertical = 3,
        menuDelete = 4,
        menuFirstShape = 11,      // 11-19: own shapes
        menuFirstSource = 21,     // 21-26: LFO 1 ... filter envelope inverted
        menuSpeedKnob = 143,
        menuSpeedInHz = 300,
        menuAddLinear = 1000,
        menuAddQuadratic = 1001,
        menuAddCubic = 1002,
        menuNormalize = 2000,
        menuRandomize = 2001
    };

    /**
        colors: the page's colours; parameterValues: the value array holding
        90 to 569; bus: the instance's event bus; shower: the page's value
        display; speedKnob: the page's hidden knob 87, lent to the point menu.
        processor gives the callback lock, the dirty flag, the restore count
        and the host notification. Any of them may be null (less is done).
    */
    SplineOscillatorEditor (ColorSet* colors, ParameterValue* parameterValues, EventAggregator* bus,
                            ParameterShower* shower, juce::Slider* speedKnob, BrevonAudioProcessor* processor);
    ~SplineOscillatorEditor() override;

    //==============================================================================
    void paint (juce::Graphics& g) override;
    void mouseMove (const juce::MouseEvent& e) override;
    void mouseEnter (const juce::MouseEvent& e) override;
    void mouseExit (const juce::MouseEvent& e) override;
    void mouseDown (const juce::MouseEvent& e) override;
    void mouseDrag (const juce::MouseEvent& e) override;
    void mouseUp (const juce::MouseEvent& e) override;
    void mouseDoubleClick (const juce::MouseEvent& e) override;
    void sliderValueChanged (juce::Slider* slider) override;
    void onPointInfoTimerTimeout() override;

    /** Hover detection at the mouse; the hovered point or null. */
    SplinePointList::Node* updateStates (const juce::MouseEvent& e);
    SplinePointList::Node* updateStates (juce::Point<float> mouse);

    /** Stretches the curve with its vertical ranges to the full height and writes it. */
    void normalizePoints();

    //==============================================================================
    /** Opens the point menu: the pair hovered (1, then 2, else 0) is the slot it acts on. */
    void showPointPopupMenu (SplinePointList::Node* point);
    void showPointPopupMenu (SplinePointList::Node* point, int slot);
    void showBackgroundMenu();

    /** The point menu as it stands for a point and slot (sets the menu context). */
    juce::PopupMenu buildPointMenu (SplinePointList::Node* point, int slot);
    /** "normalize" and "randomize current points" (sets the menu context). */
    juce::PopupMenu buildBackgroundMenu();

    /**
        What a shown menu calls with its result: safe after the editor is gone
        (does nothing then). Leaves the speed knob's listeners, then applies
        the result to the menu context's point when it is still listed.
    */
    std::function<void (int)> makeMenuCallback();

    /** Applies a menu result (both menus) to the editor's menu context. */
    static void pointPopupMenuCallback (int result, SplineOscillatorEditor* editor);

    /**
        How menus are shown; the default shows them asynchronously next to
        the editor. Tests put their own here.
    */
    std::function<void (juce::PopupMenu, std::function<void (int)>)> menuPresenter;

    //==============================================================================
    /** The modulation description of a point (empty: nothing to show). */
    static juce::String describeModulation (const SplineOscillatorPoint& point);

    /** The speed as the description gives it: "3/8", "0.12345", ... */
    static juce::String speedFraction (double value);

    //==============================================================================
    /** The list, built first if needed; a pending restore is taken in first. */
    SplinePointList& getList();
    /** The list if built, without building it. */
    SplinePointList* getListIfBuilt() noexcept { return list.get(); }

    /** The seed of the random curves (default curve, randomize); before the first build. */
    void setRandomSeed (uint64_t seed) noexcept;

    /** Number of writes that reached the block. */
    int getWriteCount() const noexcept { return writeCount; }

    /** The point whose description is pending, by id (0: none). */
    uint64_t getInfoPointId() const noexcept { return infoPointId; }
    PointInfoTimer& getPointInfoTimer() noexcept { return pointInfoTimer; }
    UpdateParamsFromPointsTimer& getUpdateParamsTimer() noexcept { return updateParamsTimer; }

    /** The menu context: point id (0: background or none) and slot. */
    uint64_t getMenuPointId() const noexcept { return menuContext.pointId; }
    int getMenuSlot() const noexcept { return menuContext.slot; }

    bool isMouseInsideFlag() const noexcept { return mouseInside; }

private:
    struct MenuContext
    {
        bool open = false;       // a result is expected
        uint64_t pointId = 0;    // 0 for the background menu
        int slot = 0;
    };

    class RestoreWatch : public juce::Timer
    {
    public:
        explicit RestoreWatch (SplineOscillatorEditor& e) : editor (e) {}
        // Only a built list is checked: building waits for a paint, mouse or knob call.
        void timerCallback() override
        {
            if (editor.list != nullptr)
                editor.prepare();
        }

    private:
        SplineOscillatorEditor& editor;
    };

    /** Builds the list if needed and takes in a state restore. */
    void prepare();
    void buildList();
    /** Rebuilds from the block after a restore: timers and menu context are dropped. */
    void rebuildFromBlock();
    /** Reads the list from the block (taking in the restore count); false when the block is unusable. */
    bool readListFromBlock();
    /** Copies parameters 90 to 569 into the scratch block (under the lock). */
    void readBlock() noexcept;
    /** Writes the list into the block; false when nothing was written. */
    bool writePoints (bool notifyHost);
    void notifyHost();
    void applyMenuResult (int result);
    void menuClosed();

    void dragPoint (SplinePointList::Node* n, int pair, juce::Point<float> mouse);
    void dragRangeHandles (juce::Point<float> mouse);
    bool doubleClickPair (SplinePointList::Node* n, int pair);
    bool doubleClickBackground (juce::Point<float> mouse);
    /** The hovered pair for a double click: 1 before 0 before 2, or -1. */
    int doubleClickPairAt (const SplinePointList::Node* n, juce::Point<float> mouse) const;

    double halfRange (const SplinePointList::Node* n, int slot) const noexcept;
    /** The processor's callback lock, or one of our own without a processor. */
    const juce::CriticalSection& lock() const noexcept;
    bool isModulated (const SplinePointList::Node* n) const noexcept;

    ColorSet* colors;
    ParameterValue* parameterValues;
    // The list reads and writes plain doubles: the block goes through this copy.
    std::array<double, params::kOsc4PointsLast + 1> scratch {};
    EventAggregator* bus;
    juce::Component::SafePointer<ParameterShower> shower;
    juce::Component::SafePointer<juce::Slider> speedKnob;
    BrevonAudioProcessor* processor;
    juce::CriticalSection ownLock;

    std::unique_ptr<SplinePointList> list;
    uint64_t seed;
    uint32_t seenRestores = 0;

    bool mouseInside = false;
    bool normalizing = false;
    bool hostNotifyPending = false;
    int writeCount = 0;
    uint64_t infoPointId = 0;
    MenuContext menuContext;

    PointInfoTimer pointInfoTimer { *this };
    UpdateParamsFromPointsTimer updateParamsTimer;
    RestoreWatch restoreWatch { *this };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SplineOscillatorEditor)
};
