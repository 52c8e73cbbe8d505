#include "presets/GetMetaDataThread.h"

#include <vector>

GetMetaDataThread::GetMetaDataThread (BrevonAudioProcessor* p)
    : PresetsPageThread ("GetMetaDataThread", p, true, false)
{
}

GetMetaDataThread::~GetMetaDataThread()
{
    signalThreadShouldExit();
    waitForThreadToExit (-1);
}

void GetMetaDataThread::run()
{
    if (! waitForConnectionSlot())
        return;
    try
    {
        auto result = std::make_shared<PresetMetaData>();
        PresetServerConnector connector = makeConnector();
        const std::vector<char> blank (presetmeta::kRecordSize, 0);
        if (connector.sendRequest (GET_META_DATA, blank.data(), (int) blank.size(), nullptr))
        {
            const auto reply = connector.takeReply();
            if (reply != nullptr && reply->type == META_DATA && reply->payload.size() == presetmeta::kRecordSize)
                presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (reply->payload.data()), *result);
        }
        metaData = std::move (result);
        success = true;
    }
    catch (...)
    {
    }
    connectionDone();
}
