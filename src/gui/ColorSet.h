#pragma once

#include <JuceHeader.h>

// The twelve colours of one colour scheme and the two style flags that go with
// it. Schemes are written through colorPointers, which always refer to this
// set's own colours.
struct ColorSet
{
    static constexpr int numColors = 12;
    static constexpr int numSchemes = 8;

    juce::Colour colors[numColors];
    juce::Colour* colorPointers[numColors];
    bool flag1 = true; // false: pressed text buttons draw their text in colour 1
    bool flag2 = true; // false: side-titled frames are outlined in colour 1
    int schemeIndex = 0;

    // Scheme 0, both flags on.
    ColorSet();

    // Writes scheme 0 directly into colors.
    void setStandardColors();

    // Selects a scheme: index modulo 8 with the sign of index; a negative
    // remainder leaves the colours as they are. Both flags end up on, except
    // for scheme 6.
    void applyScheme (int index);

    const juce::Colour& operator[] (int i) const { return colors[i]; }

    // The scheme's name as the settings menu shows it.
    static const char* getSchemeName (int scheme);

    JUCE_DECLARE_NON_COPYABLE (ColorSet)
};
