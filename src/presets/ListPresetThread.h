#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "presets/PresetsPageThread.h"

// Fetches one page of the server's preset list.
class ListPresetThread : public PresetsPageThread
{
public:
    ListPresetThread (BrevonAudioProcessor* processor, std::string searchText, uint32_t listOffset, uint32_t categoryMask);
    ~ListPresetThread() override;

    void run() override;

    // Inputs.
    const std::string search;
    const uint32_t offset, mask;

    // Result: the page's records in the server's order; empty on failure and
    // when the server found none (success stays set then).
    std::vector<PresetMetaData> presets;

    // The records a reply carries: of a PRESET_LIST, the announced count but
    // only records wholly inside the payload; of anything else, none.
    // answered (when given) tells whether the reply was a list at all, so
    // that a list of none is told apart from no answer. A reply carrying an
    // error text (REQUEST_FAILED, TEXT_MESSAGE, SERVER_ERROR) throws
    // UserPresentException with that text.
    static std::vector<PresetMetaData> presetsFromReply (const RequestResponse* reply, bool* answered = nullptr);
};
