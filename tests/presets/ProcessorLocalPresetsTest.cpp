// The processor's local preset operations: its own state into the folder
// beside the settings file, behind the "enableLocalCache" setting.

#include <gtest/gtest.h>

#include "core/PluginProcessor.h"

TEST (ProcessorLocalPresets, SavesItsStateBesideTheSettingsAndLoadsItBack)
{
    BrevonAudioProcessor p;
    const juce::File folder = PropertyProxy::getSettingsFolder().getChildFile ("presetcache");
    EXPECT_EQ (p.getLocalPresetsPath(), folder.getFullPathName());
    EXPECT_TRUE (folder.isDirectory());

    PresetMetaData md = presetmeta::newRecord();
    md.setAuthor ("jo.doe@x.org");
    md.setName ("Big Pad 2");
    const juce::File file = folder.getChildFile ("jo_doe_Big_Pad_2.TalvoraXLPreset");

    p.getPropertyProxy().setValue (settingsKeys::enableLocalCache, 0);
    EXPECT_FALSE (p.savePresetToDisc (&md, true));
    EXPECT_FALSE (file.exists());

    p.getPropertyProxy().setValue (settingsKeys::enableLocalCache, 1);
    p.setParameter (5, 0.25f);
    juce::MemoryBlock saved;
    p.getStateInformation (saved);
    ASSERT_TRUE (p.savePresetToDisc (&md, true));
    EXPECT_EQ (file.getSize(), 25534);
    EXPECT_TRUE (file.getSiblingFile (file.getFileName() + ".needsync").existsAsFile());
    ASSERT_EQ (p.getLocalPresets().size(), 1u);

    p.setParameter (5, 0.75f);
    juce::MemoryBlock loaded;
    ASSERT_TRUE (p.loadPresetFromDiscToMemoryBlock (md, loaded));
    EXPECT_TRUE (loaded == saved);
    p.setStateInformation (loaded.getData(), (int) loaded.getSize());
    EXPECT_FLOAT_EQ (p.getParameter (5), 0.25f);

    // Switched off in the settings: the files stay but the store does not see them.
    p.getPropertyProxy().setValue (settingsKeys::enableLocalCache, 0);
    EXPECT_TRUE (p.getLocalPresets().empty());
    EXPECT_FALSE (p.loadPresetFromDiscToMemoryBlock (md, loaded));
    EXPECT_FALSE (p.deletePresetFromDisc (&md, false));
    EXPECT_TRUE (file.existsAsFile());
}
