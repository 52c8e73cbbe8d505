#pragma once

#include <JuceHeader.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "core/TalvoraEvents.h"
#include "gui/Colorable.h"
#include "gui/ComponentRepaintTimer.h"
#include "core/ParameterValue.h"

class BrevonAudioProcessor;
class EventAggregator;
class KevoJuceKnob;
class KevoJuceSlider;
class MultiChoice;
class SplineComponent;
class TalvoraLookAndFeel;
struct Images;

// Base of the editor's pages: the page's controls by parameter index, framed
// section boxes, the user's knob behaviour, and the page settings menu.
//
// The page owns its controls through its arrays, not through the component
// tree: a control lent to a menu (the capture-size knob) leaves the tree for a
// while but still dies with the page.
class GuiPage : public Colorable,
                public juce::Slider::Listener,
                public juce::Button::Listener,
                public EventListener
{
public:
    static constexpr int numParameters = 1770;
    static constexpr int captureSizeKnob = 772;

    // Menu item ids.
    enum MenuId
    {
        menuVelocityMode = 1,
        menuCircularDrag = 2,
        menuLeftRightDrag = 3,
        menuUpDownDrag = 4,
        menuLeftRightUpDownDrag = 5,
        menuDrawShadows = 10,
        menuThinLineKnobs = 11,
        menuLocalPresetSaving = 21,
        menuScopeBlur = 22,
        menuFirstScheme = 100,
        menuCaptureSize = 143
    };

    GuiPage (BrevonAudioProcessor* processor, juce::Font* font1, juce::Font* font2, juce::Font* font3,
             EventAggregator* aggregator, juce::AudioProcessorEditor* editor, juce::String pageName,
             const Images& images, ParameterValue* parameterValues);
    ~GuiPage() override;

    void paint (juce::Graphics&) override {}
    void buttonClicked (juce::Button*) override {}
    void sliderValueChanged (juce::Slider*) override {}
    // A control's drag is one change gesture of its parameter for the host.
    void sliderDragStarted (juce::Slider* slider) override;
    void sliderDragEnded (juce::Slider* slider) override;
    void receiveEvent (EventType, int) override {}
    virtual void onAfterRightClickMenuCallback() {}
    virtual void onSetParams() {}

    // Styles outside 4-7 are taken as 7 (horizontal-vertical drag), stored and applied.
    void setKnobSliderStyle (juce::Slider::SliderStyle style);
    void setKnobVelocityBasedMode (bool on);

    void placeKnob (int x, int y, int index, juce::String label, int size, int steps, bool centred);
    void placeSlider (int x, int y, int index, juce::String label, bool bipolar, int steps, int length);
    void placeSpline (int x, int y, int index, juce::String label, float curveStart, float curveEnd, bool flag);
    void placeMultiChoice (int x, int y, int width, int index, std::vector<std::string> fieldNames,
                           std::vector<std::string> menuNames);

    void drawPrettyBox (juce::Graphics& g, float x, float y, float width, float height, float cornerSize,
                        juce::String title, bool sideTitle, float titleIndent);
    void drawShadowOfPath (juce::Graphics& g, const juce::Path& path, float offset);
    void drawShadowOfStrokePath (juce::Graphics& g, const juce::Path& path);

    // The settings menu as it stands now (ticks from the settings and the
    // first knob). Building lends the capture-size knob to the menu.
    juce::PopupMenu buildSettingsMenu();
    // Shows the menu; its result, also 0 for a dismissed menu, goes to
    // rightClickMenuCallback while the page exists.
    void rightClickPopupMenu();
    static void rightClickMenuCallback (int result, GuiPage* page);

    // The look-and-feel of ours in force for this page, or null.
    TalvoraLookAndFeel* getTalvoraLookAndFeel();

    void setEditor (juce::AudioProcessorEditor* e) { editor = e; }
    juce::AudioProcessorEditor* getEditor() const noexcept { return editor; }
    void setParameterValues (ParameterValue* values) { parameterValues = values; }
    ParameterValue* getParameterValues() const noexcept { return parameterValues; }
    BrevonAudioProcessor* getProcessor() const noexcept { return processor; }

    KevoJuceKnob* getKnob (int index) const;
    KevoJuceSlider* getSlider (int index) const;
    MultiChoice* getMultiChoice (int index) const;
    SplineComponent* getSpline (int index) const;
    juce::Label* getKnobLabel (int index) const;

    // Lowest-index knob, or null.
    KevoJuceKnob* getFirstKnob() const;
    // Parameter index of a knob, slider or curve control of the page, or -1.
    int indexOfControl (const juce::Slider* control) const;

    int getKnobSliderStyle() const noexcept { return knobSliderStyle; }
    bool getKnobVelocityMode() const noexcept { return knobVelocityMode; }

    ComponentRepaintTimer repaintTimer;

protected:
    // Deletes every control of the arrays, wherever it is (one may be lent to a menu).
    void deleteControls();

    // Pages call this first thing in their own destructor, so no event reaches
    // a half-destroyed page; a send in progress on another thread is waited for.
    void stopListening();

    // Writes a control's value to the host: inside its drag as part of the
    // gesture, otherwise (a double-click reset, a step) as a gesture of its own.
    void writeToHost (int index, double value);

    // Takes ownership of a child the page made itself (buttons, labels).
    template <typename ComponentType>
    ComponentType* own (ComponentType* c)
    {
        ownedChildren.push_back (std::unique_ptr<juce::Component> (c));
        return c;
    }

    const Images* images;
    int knobSliderStyle = juce::Slider::RotaryHorizontalVerticalDrag;
    bool knobVelocityMode = false;
    juce::AudioProcessorEditor* editor;
    ParameterValue* parameterValues;

    std::array<std::unique_ptr<KevoJuceKnob>, numParameters> knobs;
    std::array<std::unique_ptr<juce::Label>, numParameters> knobLabels;
    std::array<std::unique_ptr<KevoJuceSlider>, numParameters> sliders;
    std::array<std::unique_ptr<MultiChoice>, numParameters> multiChoices;
    std::array<std::unique_ptr<SplineComponent>, numParameters> splines;

    BrevonAudioProcessor* processor;
    juce::Font* font1;
    juce::Font* font2;
    juce::Font* font3;

private:
    int readSetting (const char* key, int defaultValue) const;
    void writeSetting (const char* key, int value);
    void saveSettings();
    void reloadSettings();

    std::vector<std::unique_ptr<juce::Component>> ownedChildren;
    std::vector<int> dragsInProgress;

    JUCE_DECLARE_NON_COPYABLE (GuiPage)
};
