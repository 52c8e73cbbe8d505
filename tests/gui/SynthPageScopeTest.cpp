// The scope and the capture button on the synth page: clicks reach the scope
// through the value display, mode names show, the trail follows the setting
// from the first paint, and a capture becomes oscillator 3's shape.

#include <gtest/gtest.h>

#include "SynthPageFixture.h"

#include <atomic>
#include <cmath>
#include <map>

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"
#include "core/parameters.h"
#include "gui/MultiChoice.h"
#include "gui/Oscilloscope.h"
#include "gui/ParameterShower.h"
#include "gui/synth/SynthPage.h"
#include "gui/synth/SynthPageLayout.h"
#include "support/EditorRig.h"

using namespace editorRig;

namespace
{
struct Counter : EventListener
{
    void receiveEvent (EventType, int) override { ++count; }
    std::atomic<int> count { 0 };
};

// Parameter changes the host is told about.
struct HostChanges : juce::AudioProcessorListener
{
    void audioProcessorParameterChanged (juce::AudioProcessor*, int index, float) override { ++heard[index]; }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
    std::map<int, int> heard;
};

class SynthPageScopeTest : public SynthPageFixture
{
protected:
    static void storeBlur (BrevonAudioProcessor& p, int value)
    {
        const juce::ScopedLock sl (PropertyProxy::globalPropertyProxyLock);
        p.getPropertyProxy().setValue (settingsKeys::OScopeBlur, value);
    }

    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
};

TEST_F (SynthPageScopeTest, ClicksThroughTheValueDisplayStepTheModesAndShowTheirNames)
{
    BrevonAudioProcessor p;
    open (p);
    auto& scope = page->getOscilloscope();
    EXPECT_EQ (scope.getModeName(), "trigger by osc 1");

    releaseStartText();
    Counter modeEvents;
    p.getEventAggregator()->registerForEvent (OscilloscopeModeChanged, &modeEvents);

    // The page point lies on the value display, which passes clicks on.
    const juce::Point<int> at (390, 420);
    ASSERT_TRUE (page->getValueDisplay().getBounds().contains (at));
    auto* target = page->getComponentAt (at);
    ASSERT_EQ (target, &scope);

    const char* names[] = { "pause", "vumeter", "no trigger", "trigger", "trigger by osc 1" };
    for (int i = 0; i < 5; ++i)
    {
        target->mouseDown (mouseDown (*target, (at - target->getPosition()).toFloat(), {}));
        EXPECT_EQ (modeEvents.count.load(), i + 1);
        EXPECT_EQ (page->getValueDisplay().getText(), names[i]);
        tick();
    }
    EXPECT_EQ (scope.getMode(), Oscilloscope::triggerByOsc1);

    p.getEventAggregator()->unregisterListener (&modeEvents);
    close (p);
}

TEST_F (SynthPageScopeTest, TrailFollowsTheSettingFromOpeningOn)
{
    BrevonAudioProcessor p;
    open (p);
    EXPECT_TRUE (page->getOscilloscope().getBlur()) << "nothing stored: blurred";

    storeBlur (p, 0);
    page->onAfterRightClickMenuCallback();
    EXPECT_FALSE (page->getOscilloscope().getBlur());
    close (p);

    open (p);
    EXPECT_FALSE (page->getOscilloscope().getBlur()) << "applied when the page opens";
    storeBlur (p, 1);
    page->onAfterRightClickMenuCallback();
    EXPECT_TRUE (page->getOscilloscope().getBlur());
    close (p);
}

TEST_F (SynthPageScopeTest, ScopeTakesThePageScopeWindowEveryHundredPaints)
{
    BrevonAudioProcessor p;
    open (p);
    page->setScopeWindow (123.0);
    for (int i = 0; i < 100; ++i)
        tick();
    EXPECT_EQ (page->getOscilloscope().getTriggerWindow(), 123.0);
    close (p);
}

TEST_F (SynthPageScopeTest, CaptureButtonMakesTheOutputOscillatorThreesShape)
{
    BrevonAudioProcessor p;
    HostChanges host;
    p.addListener (&host);
    open (p);

    auto& block = p.getCaptureBlock();
    for (int i = 0; i < CaptureBlock::kRingSize; ++i)
        block.setSample (i, (float) (0.8 * std::sin (2.0 * juce::MathConstants<double>::pi * i / 100.0)));
    block.setPosition (2024);

    releaseStartText();
    page->buttonClicked (&page->getCaptureButton());
    EXPECT_EQ (p.getParameter (params::kOsc3Shape), 0.04f);
    EXPECT_EQ (page->getValueDisplay().getText(), "OH SNAP!");
    EXPECT_EQ (host.heard.count (params::kOsc3Shape), 0u) << "the host is not told";

    // Row 0 holds the captured sine: 82 periods at the default capture size
    // (two entries a slot), not the stock single cycle.
    const double* row0 = p.getEngine()->getWaveBuffer (0);
    int crossings = 0;
    for (int i = 1; i < 4096; ++i)
        if ((row0[i - 1] < 0.0) != (row0[i] < 0.0))
            ++crossings;
    EXPECT_NEAR (crossings, 164, 3);

    // The shape field catches up on the next paint.
    tick();
    ASSERT_NE (page->getMultiChoice (params::kOsc3Shape), nullptr);
    EXPECT_NEAR (page->getMultiChoice (params::kOsc3Shape)->getValue(), 0.04, 1.0e-6);

    close (p);
    p.removeListener (&host);
}
} // namespace
