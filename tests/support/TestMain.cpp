// Test entry point: JUCE initialised once, and a private settings folder so
// no test ever touches the real home.

#include <JuceHeader.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main (int argc, char** argv)
{
    char folderTemplate[] = "/tmp/talvora-tests-XXXXXX";
    if (const char* folder = mkdtemp (folderTemplate))
        setenv ("XDG_CONFIG_HOME", folder, 1);

    juce::ScopedJuceInitialiser_GUI juceInit;
    ::testing::InitGoogleTest (&argc, argv);
    const int result = RUN_ALL_TESTS();

    juce::File (folderTemplate).deleteRecursively();
    return result;
}
