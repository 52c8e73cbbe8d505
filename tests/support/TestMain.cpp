// Test entry point: JUCE initialised once, private settings and home
// folders so no test ever touches the real home, and no display.

#include "support/NoDisplay.h"

#include <JuceHeader.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace
{
char testFolder[] = "/tmp/talvora-tests-XXXXXX";

// Also runs when a test ends its process with exit().
void removeTestFolder()
{
    juce::File (testFolder).deleteRecursively();
}
} // namespace

int main (int argc, char** argv)
{
    if (mkdtemp (testFolder) != nullptr)
    {
        const std::string home = std::string (testFolder) + "/home";
        const std::string config = std::string (testFolder) + "/config";
        juce::File (home).createDirectory();
        juce::File (config).createDirectory();
        setenv ("HOME", home.c_str(), 1);
        setenv ("XDG_CONFIG_HOME", config.c_str(), 1);
        std::atexit (removeTestFolder);
    }

    testsupport::useNoDisplay();

    juce::ScopedJuceInitialiser_GUI juceInit;
    ::testing::InitGoogleTest (&argc, argv);
    return RUN_ALL_TESTS();
}
