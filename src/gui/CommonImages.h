#pragma once

#include <JuceHeader.h>

// The editor's textures, shared by every open editor of the process. They are
// drawn in code from fixed seeds, so every run shows the same pixels.
struct Images
{
    static constexpr int numImages = 4;

    // 0: dark leather grain, 1280 x 800 RGB
    // 1: grey brushed metal, 900 x 900 ARGB
    // 2: dark perforated metal, 1280 x 800 RGB
    // 3: small dark pattern tile, 24 x 24 ARGB (button and thumb texture)
    juce::Image images[numImages];

    Images() = default;

    // Draws every slot that is still empty, in index order.
    void createMissing();

    const juce::Image& operator[] (int index) const { return images[index]; }

    JUCE_DECLARE_NON_COPYABLE (Images)
};

namespace CommonImages
{
    juce::Image drawLeather();
    juce::Image drawBrushedMetal();
    juce::Image drawPerforatedMetal();
    juce::Image drawPatternTile();
}
