#pragma once

#include <vector>

#include "presets/PresetsPageThread.h"

// Uploads a preset or deletes one on the server. Succeeds only on the
// server's REQUEST_OK: no answer, or any other, is a failure.
class SaveDeletePresetThread : public PresetsPageThread
{
public:
    enum Operation : uint32_t { upload = 0, deletion = 1 };

    // For an upload, data is the program record the page took from the
    // processor or the local store; only one of the right size is sent.
    SaveDeletePresetThread (BrevonAudioProcessor* processor, Operation operation, const PresetMetaData& record,
                            std::vector<char> data = {});
    ~SaveDeletePresetThread() override;

    void run() override;

    const Operation operation;
    const PresetMetaData record;
    const std::vector<char> data;

    static constexpr size_t kPresetSize = 23758;
};
