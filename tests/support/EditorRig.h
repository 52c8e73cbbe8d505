#pragma once

#include <JuceHeader.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/PluginProcessor.h"
#include "gui/PluginEditor.h"

namespace juce
{
// JUCE's own step of its message loop (declared the same way inside JUCE).
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace editorRig
{
// Fails the running test on every failed JUCE assertion (the tests build with
// JUCE_LOG_ASSERTIONS=1, so assertions reach the Logger in optimised builds).
// Every editor test holds one for its whole length.
class AssertionsFailTests : public juce::Logger
{
public:
    AssertionsFailTests();
    ~AssertionsFailTests() override;
    void logMessage (const juce::String& message) override;

private:
    juce::Logger* previous;
};

// Points the settings folder at a fresh temporary folder for one test and
// back afterwards. Create it before any processor of the test.
class SettingsSandbox
{
public:
    SettingsSandbox();
    ~SettingsSandbox();

    juce::File settingsFile() const;
    // The stored integer, read by a PropertiesFile of its own (as another
    // process would); missing gives fallback.
    int storedInt (const char* key, int fallback = -1) const;
    // Writes a key the way another process would.
    void storeInt (const char* key, int value) const;

    juce::File root;

private:
    std::string previousConfigHome, previousHome;
    bool hadConfigHome = false, hadHome = false;
};

// Opens an editor the way plug-in wrappers do, and closes it the same way.
BrevonAudioProcessorEditor* openEditor (BrevonAudioProcessor& processor);
void closeEditor (BrevonAudioProcessor& processor, BrevonAudioProcessorEditor*& editor);
// Opens an editor on its presets page, painted once so that the page is built.
PresetsPage* openPresetsPage (BrevonAudioProcessor& processor, BrevonAudioProcessorEditor*& editor);

// Runs timers and async messages: until the queue is empty, or for a while.
void pump();
void pumpFor (int milliseconds);

// A snapshot of a component (paint included), saved as a PNG under the test
// folder; kept when the test fails, deleted when it passes.
class Snapshot
{
public:
    Snapshot (juce::Component& component, const juce::String& name);
    ~Snapshot();

    juce::Colour at (int x, int y) const { return image.getPixelAt (x, y); }
    juce::Image image;
    juce::File file;
};

// Draws into an ARGB image of the given size with a callback; same keeping rule.
juce::Image drawToImage (int width, int height, const std::function<void (juce::Graphics&)>& draw);

// True when every channel is within tolerance.
bool near (juce::Colour a, juce::Colour b, int tolerance = 2);
std::string hex (juce::Colour c);

// A mouse-down as a host window would deliver it to `target`.
juce::MouseEvent mouseDown (juce::Component& target, juce::Point<float> position, juce::ModifierKeys mods,
                            int clicks = 1);
// Any mouse event: position now, the press at downPosition.
juce::MouseEvent mouseAt (juce::Component& target, juce::Point<float> position, juce::ModifierKeys mods,
                          juce::Point<float> downPosition, int clicks = 1, bool dragged = false);

// Clicks a component: down, then up at the same place (double: two clicks).
void click (juce::Component& target, juce::Point<float> position,
            juce::ModifierKeys mods = juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier), int clicks = 1);

// Process-wide folder for snapshots of the current run.
juce::File snapshotFolder();
} // namespace editorRig

#define EXPECT_COLOUR_NEAR(actual, expected, tolerance) \
    EXPECT_PRED3 (editorRig::near, actual, expected, tolerance) << editorRig::hex (actual) << " vs " << editorRig::hex (expected)
