#pragma once

#include <JuceHeader.h>

#include "core/CaptureBlock.h"
#include "core/ParameterValue.h"
#include "gui/Colorable.h"

class EventAggregator;

// The synth page's scope: the left output drawn from the processor's capture
// ring as a glowing trace, optionally with a fading trail, or as two level bars
// with peak-hold markers. A click steps through the five display modes.
class Oscilloscope : public Colorable
{
public:
    enum Mode
    {
        noTrigger = 0,
        trigger,
        triggerByOsc1,
        pausing,
        vumeter,
        numModes
    };

    explicit Oscilloscope (EventAggregator* aggregator);
    ~Oscilloscope() override;

    void mouseDown (const juce::MouseEvent& e) override;
    void paint (juce::Graphics& g) override;
    // Draws the trace or the meters into the given context.
    void paintReal (juce::Graphics& g);

    // Links the scope to the processor's block; until then paints draw nothing.
    void setLiveBlock (CaptureBlock* block);
    void setParameterValues (const ParameterValue* values) noexcept { parameterValues = values; }

    void setBlur (bool on);
    bool getBlur() const noexcept { return blur; }
    void setClipFlash (float f) noexcept { clipFlash = f; }
    float getClipFlash() const noexcept { return clipFlash; }
    void setTriggerWindow (double samples) noexcept { triggerWindow = samples; }
    double getTriggerWindow() const noexcept { return triggerWindow; }

    int getMode() const noexcept { return mode; }
    const juce::String& getModeName() const noexcept { return modeName; }
    int getSamplesPerPixel() const noexcept { return samplesPerPixel; }
    const CaptureBlock* getSource() const noexcept { return source; }
    const CaptureBlock& getPausedCopy() const noexcept { return paused; }
    const juce::Image& getBlurImage() const noexcept { return blurImage; }

    // Samples per pixel for a time-scale value; out-of-range values count as
    // the nearest end.
    static int samplesPerPixelFor (double scale) noexcept;
    static const char* nameOfMode (int mode) noexcept;

    // Index of the first sample drawn; every index it reads wraps into the ring.
    static int64_t startIndex (const CaptureBlock& block, int mode, int k, int width, double window) noexcept;

private:
    struct MeterBar
    {
        float fast = 0.0f, slow = 0.0f, hold = 0.0f;
        int counter = 0, holdCounter = 0;
    };

    void paintTrace (juce::Graphics& g, int width, int height);
    void paintMeters (juce::Graphics& g, int width, int height);
    static void fadeTrail (juce::Image& image);

    juce::Image blurImage;
    bool blur = true;
    bool frameToggle = false;
    float clipFlash = 0.0f;
    double triggerWindow = 100.0;
    const ParameterValue* parameterValues = nullptr;
    CaptureBlock* source = nullptr;
    CaptureBlock* live = nullptr;
    CaptureBlock paused;
    int mode = triggerByOsc1;
    juce::String modeName;
    int samplesPerPixel = 1;
    MeterBar bars[2];

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Oscilloscope)
};
