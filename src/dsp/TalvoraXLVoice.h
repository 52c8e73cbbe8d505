#pragma once

#include <JuceHeader.h>

#include "core/Talvora.h"

class EventAggregator;

// One synthesiser voice. This version carries the note bookkeeping the
// synthesiser relies on; the signal path is rendered by later work.
class TalvoraXLVoice : public juce::SynthesiserVoice
{
public:
    TalvoraXLVoice (double* parameterValues, ParametersStruct* performance, double** waveBuffers,
                    EventAggregator* aggregator);

    bool canPlaySound (juce::SynthesiserSound*) override { return true; }
    void startNote (int midiNoteNumber, float velocity, juce::SynthesiserSound*, int pitchWheel) override;
    void stopNote (float velocity, bool allowTailOff) override;
    void pitchWheelMoved (int) override {}
    void controllerMoved (int, int) override {}
    void renderNextBlock (juce::AudioBuffer<float>&, int startSample, int numSamples) override;

    // Set by the synthesiser around a mono-mode restart so the stop inside
    // JUCE's startVoice does nothing and the voice glides instead.
    bool skipNextStop = false;

    int unisonCount = 1;
    double osc1PeriodSamples = 50.0;

private:
    double* parameters;
    ParametersStruct* performance;
    double** waveBuffers;
    EventAggregator* aggregator;
};
