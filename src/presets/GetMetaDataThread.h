#pragma once

#include <memory>

#include "presets/PresetsPageThread.h"

// Asks the server for the record of the newest program release (no login).
// Always succeeds: without an answer the record is all zeros (version 0).
class GetMetaDataThread : public PresetsPageThread
{
public:
    explicit GetMetaDataThread (BrevonAudioProcessor* processor);
    ~GetMetaDataThread() override;

    void run() override;

    std::shared_ptr<PresetMetaData> metaData; // result; null until run
};
