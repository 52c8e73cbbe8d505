#include "presets/SaveDeletePresetThread.h"

SaveDeletePresetThread::SaveDeletePresetThread (BrevonAudioProcessor* p, Operation op, const PresetMetaData& md,
                                                std::vector<char> bytes)
    : PresetsPageThread ("save preset thread", p, false, true), operation (op), record (md), data (std::move (bytes))
{
}

SaveDeletePresetThread::~SaveDeletePresetThread()
{
    signalThreadShouldExit();
    waitForThreadToExit (-1);
}

void SaveDeletePresetThread::run()
{
    success = false;
    if (operation == upload && data.size() != kPresetSize)
    {
        // Never put a broken preset where every user can load it.
        status = "wrong preset size";
        return;
    }
    if (! waitForConnectionSlot())
    {
        status = "problem connecting to server";
        return;
    }
    try
    {
        PresetServerConnector connector = makeConnector();
        if (operation == deletion)
            connector.sendRequest (DELETE_PRESET, nullptr, 0, &record);
        else
            connector.sendRequest (UPLOAD_PRESET, data.data(), (int) data.size(), &record);

        std::shared_ptr<RequestResponse> reply = connector.takeReply();
        if (reply == nullptr)
            status = "problem connecting to server";
        else if (reply->type == REQUEST_OK)
            success = true;
        else
            throw RequestResponseError (reply);
    }
    catch (const RequestResponseError& e)
    {
        status = e.text;
    }
    catch (...)
    {
        status = "problem connecting to server";
    }
    connectionDone();
}
