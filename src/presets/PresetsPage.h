#pragma once

#include <JuceHeader.h>

#include "gui/GuiPage.h"

class ParameterShower;

// The preset library's page. For now: its frames, its status display and the
// button back to the synth page; the table and the server client follow.
class PresetsPage : public GuiPage
{
public:
    // font1: labels, statusFont: status display, font2: titles, font3: second face.
    PresetsPage (BrevonAudioProcessor* processor, juce::Font* font1, juce::Font* statusFont, juce::Font* font2,
                 juce::Font* font3, EventAggregator* aggregator, juce::AudioProcessorEditor* editor,
                 juce::String name, const Images& images, ParameterValue* parameterValues);
    ~PresetsPage() override;

    void paint (juce::Graphics& g) override;
    void buttonClicked (juce::Button* button) override;
    void receiveEvent (EventType type, int value) override;
    void onSetParams() override {}

    juce::TextButton& getSynthButton() { return *synthButton; }

private:
    bool closing = false;
    bool decorationDirty = true;
    juce::Image decoration;
    juce::TextButton* synthButton = nullptr;
    ParameterShower* status = nullptr;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PresetsPage)
};
