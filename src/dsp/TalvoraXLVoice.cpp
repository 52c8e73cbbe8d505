#include "dsp/TalvoraXLVoice.h"

TalvoraXLVoice::TalvoraXLVoice (double* parameterValues, ParametersStruct* perf, double** waves, EventAggregator* agg)
    : parameters (parameterValues), performance (perf), waveBuffers (waves), aggregator (agg)
{
}

void TalvoraXLVoice::startNote (int, float, juce::SynthesiserSound*, int)
{
}

void TalvoraXLVoice::stopNote (float, bool)
{
    if (skipNextStop)
        return;
    clearCurrentNote();
}

void TalvoraXLVoice::renderNextBlock (juce::AudioBuffer<float>&, int, int)
{
}
