#include "presets/LoadPresetThread.h"

#include <cstdio>

#include "core/UserPresentException.h"

LoadPresetThread::LoadPresetThread (BrevonAudioProcessor* p, const PresetMetaData& w)
    : PresetsPageThread ("load preset thread", p, true, true), wanted (w)
{
}

LoadPresetThread::~LoadPresetThread()
{
    signalThreadShouldExit();
    waitForThreadToExit (-1);
}

void LoadPresetThread::run()
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
        connector.sendRequest (DOWNLOAD_PRESET, nullptr, 0, &wanted);
        std::shared_ptr<RequestResponse> reply = connector.takeReply();
        if (reply != nullptr)
        {
            if (reply->type == REQUEST_FAILED)
                throw RequestResponseError (reply);
            if (reply->type != PRESET_DATA)
            {
                std::printf ("WARNING, wrong type of response in getPresetDataFromResponse, got type %i\n", (int) reply->type);
                throw RequestResponseError (reply);
            }
            data = reply->payload;
        }
        if (data.empty())
        {
            status = "empty preset from server";
            success = false;
        }
    }
    catch (const RequestResponseError& e)
    {
        status = e.text;
        success = false;
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
