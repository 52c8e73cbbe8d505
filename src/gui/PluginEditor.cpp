#include "gui/PluginEditor.h"

#include "core/PluginProcessor.h"

BrevonAudioProcessorEditor::BrevonAudioProcessorEditor (BrevonAudioProcessor& p)
    : juce::AudioProcessorEditor (p)
{
    setSize (kWidth, kHeight);
}

void BrevonAudioProcessorEditor::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xff20242a));
    g.setColour (juce::Colours::white);
    g.setFont (28.0f);
    g.drawText ("TalvoraXL", getLocalBounds().removeFromTop (80), juce::Justification::centred);
}
