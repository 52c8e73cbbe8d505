#pragma once

#include <vector>

#include "presets/PresetsPageThread.h"

// Downloads one preset's data.
class LoadPresetThread : public PresetsPageThread
{
public:
    // wanted is copied: a refresh of the table while this runs cannot change it.
    LoadPresetThread (BrevonAudioProcessor* processor, const PresetMetaData& wanted);
    ~LoadPresetThread() override;

    void run() override;

    const PresetMetaData wanted;
    std::vector<char> data; // result: the preset's bytes; empty on failure
};
