#include "core/TalvoraParameter.h"

#include "core/PluginProcessor.h"
#include "core/parameters.h"

namespace
{
juce::String parameterName (int index)
{
    char text[Talvora::kTextSize] = {};
    Talvora::nameOf (index, text);
    return BrevonAudioProcessor::latin1 (text);
}
} // namespace

TalvoraParameter::TalvoraParameter (BrevonAudioProcessor& o, int i)
    : juce::AudioProcessorParameterWithID (juce::ParameterID ("p" + juce::String (i), 1), parameterName (i)),
      owner (o),
      index (i)
{
}

float TalvoraParameter::getValue() const
{
    return owner.getParameter (index);
}

void TalvoraParameter::setValue (float newValue)
{
    owner.setParameter (index, newValue);
}

float TalvoraParameter::getDefaultValue() const
{
    return (float) params::defaultValue (index);
}

juce::String TalvoraParameter::getText (float value, int maximumStringLength) const
{
    char text[Talvora::kTextSize] = {};
    Talvora::formatParameterDisplay (index, value, text);
    auto s = BrevonAudioProcessor::latin1 (text);
    return maximumStringLength > 0 ? s.substring (0, maximumStringLength) : s;
}

float TalvoraParameter::getValueForText (const juce::String& text) const
{
    return juce::jlimit (0.0f, 1.0f, text.getFloatValue());
}
