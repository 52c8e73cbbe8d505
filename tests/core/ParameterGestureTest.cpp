// Change gestures as a host sees them: each begin and end reaches the
// listeners for its own index, and indices outside the parameters reach none.

#include <gtest/gtest.h>

#include <vector>

#include "core/PluginProcessor.h"

namespace
{
class GestureLog : public juce::AudioProcessorListener
{
public:
    void audioProcessorParameterChanged (juce::AudioProcessor*, int index, float) override { events.push_back ({ 'c', index }); }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
    void audioProcessorParameterChangeGestureBegin (juce::AudioProcessor*, int index) override { events.push_back ({ 'b', index }); }
    void audioProcessorParameterChangeGestureEnd (juce::AudioProcessor*, int index) override { events.push_back ({ 'e', index }); }

    std::vector<std::pair<char, int>> events;
};

TEST (ParameterGesture, BracketsANotifiedChangeForItsOwnIndexOnly)
{
    BrevonAudioProcessor p;
    GestureLog log;
    p.addListener (&log);

    p.beginParameterGesture (1769);
    p.setParameterNotifyingHost (1769, 0.25f);
    p.endParameterGesture (1769);
    for (int outside : { -1, 1770, 100000 })
    {
        p.beginParameterGesture (outside);
        p.endParameterGesture (outside);
    }
    p.removeListener (&log);

    const std::vector<std::pair<char, int>> expected { { 'b', 1769 }, { 'c', 1769 }, { 'e', 1769 } };
    EXPECT_EQ (log.events, expected);
    EXPECT_FLOAT_EQ (p.getParameter (1769), 0.25f);
}
} // namespace
