#include "presets/UpdateServerIpThread.h"

UpdateServerIpThread::UpdateServerIpThread (BrevonAudioProcessor* p)
    : PresetsPageThread ("UpdateServerIpThread", p, true, false)
{
}

UpdateServerIpThread::~UpdateServerIpThread()
{
    signalThreadShouldExit();
    waitForThreadToExit (-1);
}

bool UpdateServerIpThread::parseServerAddress (const std::string& text, std::string& host)
{
    constexpr const char* space = " \t\r\n";
    const size_t first = text.find_first_not_of (space);
    if (first == std::string::npos)
        return false;
    const std::string trimmed = text.substr (first, text.find_last_not_of (space) - first + 1);
    if (! PresetServerConnector::isValidHost (trimmed))
        return false;
    host = trimmed;
    return true;
}

void UpdateServerIpThread::run()
{
    const auto stop = [this] { return threadShouldExit(); };
    PresetServerConnector current (endpoint);
    const std::string oldHost = current.getHostName();
    const std::string oldKey = PresetServerConnector::getServerPublicKey();

    // A missing, empty or broken answer leaves the host as it was.
    std::string page, host;
    if (! PresetServerConnector::fetch (juce::URL (endpoint.addressPage), false, PresetServerConnector::kMaxTextChars,
                                        stop, page)
        || ! parseServerAddress (page, host))
        host = oldHost;

    std::string key;
    const bool fetched = PresetServerConnector::isValidHost (host) && endpoint.port >= 1 && endpoint.port <= 65535
        && PresetServerConnector::fetch (juce::URL ("http://" + host + ":" + std::to_string (endpoint.port) + "/public_key"),
                                         false, PresetServerConnector::kMaxTextChars, stop, key);
    // Only a key the server gave now means it is there.
    success = fetched && ! key.empty();
    // Without an answer the old key stays, but only for the old host, for a
    // later lookup or exchange to use.
    if (! fetched)
        key = host == oldHost ? oldKey : std::string();

    if (threadShouldExit())
    {
        success = false;
        return;
    }
    PresetServerConnector::publishServer (host, key);
}
