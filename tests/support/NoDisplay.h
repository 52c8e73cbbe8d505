#pragma once

// Test programs draw into images and need no X server. Without DISPLAY,
// JUCE would try ":0.0" and run on whatever server comes and goes there (a
// desktop session ending, another program's virtual display). A name with no
// colon is no display at all: refused before any connection is tried.

#include <cstdlib>

namespace testsupport
{
inline constexpr const char* kNoDisplay = "talvora-tests-use-no-display";

// Before JUCE is initialised.
inline void useNoDisplay()
{
    ::setenv ("DISPLAY", kNoDisplay, 1);
}
} // namespace testsupport
