#pragma once

#include <JuceHeader.h>

#include <array>
#include <atomic>
#include <memory>
#include <vector>

#include "gui/GuiPage.h"

class LogoComponent;
class Oscilloscope;
class ParameterShower;

// The editor's main page: one control for every parameter the user edits by
// hand, at the places SynthPageLayout.h tables, plus the page buttons, the
// value display, the oscillator-4 editor area and the logo.
class SynthPage : public GuiPage,
                  private juce::AsyncUpdater
{
public:
    // fontA: labels, fontB: value display and logo, fontC: titles, fontD: second face.
    SynthPage (BrevonAudioProcessor* processor, juce::Font* fontA, juce::Font* fontB, juce::Font* fontC,
               juce::Font* fontD, EventAggregator* aggregator, juce::AudioProcessorEditor* editor,
               juce::String name, const Images& images, ParameterValue* parameterValues);
    ~SynthPage() override;

    void paint (juce::Graphics& g) override;
    void buttonClicked (juce::Button* button) override;
    void sliderValueChanged (juce::Slider* slider) override;
    void receiveEvent (EventType type, int value) override;
    void onAfterRightClickMenuCallback() override;
    void onSetParams() override;

    // Shows the text of a parameter's new value on the value display; after a
    // tuning control it also tells the voices to re-read their tuning.
    void setParameterShowerText (int index, float value);

    void setCaptureRing (const std::atomic<float>* ring) { captureRing = ring; }
    void setScopeWindow (double window) { scopeWindow = window; }
    double getScopeWindow() const noexcept { return scopeWindow; }
    bool isOsc4ViewOn() const noexcept { return osc4View; }

    juce::TextButton& getPresetsButton() { return *presetsButton; }
    juce::TextButton& getViewButton() { return *viewButton; }
    juce::TextButton& getCaptureButton() { return *captureButton; }
    ParameterShower& getValueDisplay() { return *valueDisplay; }
    juce::Component& getSplineEditor() { return *splineEditor; }
    LogoComponent& getLogo() { return *logo; }
    Oscilloscope& getOscilloscope() { return *oscilloscope; }
    // The modulation grid's labels, once onSetParams has built the grid.
    juce::Label* getRowLabel (int row) const;
    juce::Label* getColumnLabel (int column) const;
    const juce::Image& getWaveformIcons() const noexcept { return waveformIcons; }
    // How often the cached decoration was drawn, for tests and diagnostics.
    int getDecorationRedraws() const noexcept { return decorationRedraws; }

    // One-line captions beside and above a slider or choice field.
    void textLeftOfComponent (juce::Graphics& g, int index, const juce::String& text);
    void textOverComponent (juce::Graphics& g, int index, const juce::String& text);

    // Four small waveforms, drawn white on transparent; paint tints them.
    static juce::Image makeWaveformIcons();

private:
    // The scope's trail as the settings file says (on unless it says 0).
    void applyScopeBlurSetting();
    // Writes the choices picked since the last time.
    void handleAsyncUpdate() override;
    void placeMultiChoices();
    // Shows the controls of the current view and hides the other view's.
    void applyViewVisibility();
    void redrawDecoration();
    void drawPanels (juce::Graphics& g);
    void recolourLabels();
    juce::Component* captionTarget (int index) const;
    // Moves the controls to values the host set since the last look.
    void applyHostChanges();

    bool destroying = false;
    std::vector<std::unique_ptr<juce::Label>> rowLabels, columnLabels;
    bool osc4View = false;
    double scopeWindow = 100.0;
    std::unique_ptr<ParameterShower> valueDisplay;
    // Stands where the oscillator-4 point editor goes, shown in its view.
    std::unique_ptr<juce::Component> splineEditor;
    bool eventsRegistered = false;
    std::unique_ptr<Oscilloscope> oscilloscope;
    bool decorationDirty = true;
    juce::Image decoration;
    juce::Image waveformIcons;
    std::unique_ptr<juce::TextButton> presetsButton, viewButton, captureButton;
    std::unique_ptr<LogoComponent> logo;

    juce::Font* valueFont;
    int decorationRedraws = 0;
    // Set while a look-and-feel of someone else's is in force and the editors
    // have been asked once to put ours back.
    bool foreignLookAndFeelAnnounced = false;
    const std::atomic<float>* captureRing = nullptr;

    // Choice fields whose pick is still to be written.
    std::array<std::atomic<bool>, numParameters> pendingChoices {};
    // The values the controls were last given; each paint compares.
    std::array<double, numParameters> shownValues {};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SynthPage)
};
