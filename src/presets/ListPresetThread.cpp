#include "presets/ListPresetThread.h"

#include <algorithm>
#include <cstring>

#include "core/UserPresentException.h"

namespace
{
constexpr size_t kMaxRefusalText = 255;
}

ListPresetThread::ListPresetThread (BrevonAudioProcessor* p, std::string searchText, uint32_t listOffset,
                                    uint32_t categoryMask)
    : PresetsPageThread ("list preset thread", p, true, true),
      search (std::move (searchText)), offset (listOffset), mask (categoryMask)
{
}

ListPresetThread::~ListPresetThread()
{
    // Stop before the members this thread writes go away.
    signalThreadShouldExit();
    waitForThreadToExit (-1);
}

std::vector<PresetMetaData> ListPresetThread::presetsFromReply (const RequestResponse* reply, bool* answered)
{
    std::vector<PresetMetaData> list;
    if (answered != nullptr)
        *answered = false;
    if (reply == nullptr)
        return list;

    const auto& payload = reply->payload;
    if (reply->type == REQUEST_FAILED || reply->type == TEXT_MESSAGE || reply->type == SERVER_ERROR)
    {
        const size_t length = std::min (payload.size(), kMaxRefusalText);
        const std::string text (payload.data(), ::strnlen (payload.data(), length));
        // Without a word it is just an unexpected reply.
        if (! text.empty())
            throw UserPresentException (text);
        return list;
    }
    if (reply->type != PRESET_LIST || payload.size() < 4)
        return list;

    int32_t count = 0;
    const auto* b = reinterpret_cast<const uint8_t*> (payload.data());
    count = (int32_t) ((uint32_t) b[0] | ((uint32_t) b[1] << 8) | ((uint32_t) b[2] << 16) | ((uint32_t) b[3] << 24));
    const size_t whole = (payload.size() - 4) / presetmeta::kRecordSize;
    const size_t n = count > 0 ? std::min ((size_t) count, whole) : 0;
    // A list of none says so; one announcing records it does not carry is no list.
    if (answered != nullptr)
        *answered = count == 0 || n > 0;
    list.resize (n);
    for (size_t i = 0; i < n; ++i)
        presetmeta::fromBytes (b + 4 + i * presetmeta::kRecordSize, list[i]);
    return list;
}

void ListPresetThread::run()
{
    if (! waitForConnectionSlot())
    {
        status = "problem connecting to server";
        success = false;
        return;
    }
    try
    {
        PresetServerConnector connector = makeConnector();
        PresetMetaData query;
        query.categoryMask = mask;
        query.listOffset = offset;

        std::vector<PresetMetaData> list;
        bool answered = false;
        if (connector.sendRequest (LIST_PRESETS, search.c_str(), (int) search.size(), &query))
            list = presetsFromReply (connector.takeReply().get(), &answered);
        presets = std::move (list);
        // A list of none is an answer: nothing matched.
        if (! answered)
        {
            status = "error getting presets from server";
            success = false;
        }
    }
    catch (const UserPresentException& e)
    {
        status = e.what();
        success = false;
    }
    catch (...)
    {
        status = "problem connecting to server";
        success = false;
    }
    connectionDone();
}
