#pragma once

#include <JuceHeader.h>

#include <array>
#include <atomic>
#include <memory>

#include "gui/GuiPage.h"
#include "core/ParameterValue.h"

class ParameterShower;

// The editor's main page. For now it carries a representative part of its
// controls (envelopes, effects, the capture-size knob), the section frames
// and the page button; the full layout replaces this.
class SynthPage : public GuiPage
{
public:
    // fontA: labels, fontB: value display, fontC: titles, fontD: second face.
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

    void setCaptureRing (const std::atomic<float>* ring) { captureRing = ring; }
    void setScopeWindow (double window) { scopeWindow = window; }
    double getScopeWindow() const noexcept { return scopeWindow; }

    juce::TextButton& getPresetsButton() { return *presetsButton; }
    ParameterShower& getValueDisplay() { return *valueDisplay; }

private:
    void redrawDecoration();
    // Moves the controls to values the host set since the last look.
    void applyHostChanges();
    int indexOf (juce::Slider* slider) const;

    bool destroying = false;
    double scopeWindow = 100.0;
    const std::atomic<float>* captureRing = nullptr;
    bool decorationDirty = true;
    juce::Image decoration;

    juce::TextButton* presetsButton = nullptr;
    ParameterShower* valueDisplay = nullptr;

    // Set on whatever thread changed a parameter; the next paint compares the
    // values with what the controls were last given. Nothing else is shared.
    std::atomic<bool> hostChangesPending { false };
    std::array<double, numParameters> shownValues {};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SynthPage)
};
