#pragma once

#include <string>

#include "presets/PresetsPageThread.h"

// Looks up the preset server's host on the address page and fetches its
// public key, then publishes both for every worker of the process. No turn to
// wait for and no login.
class UpdateServerIpThread : public PresetsPageThread
{
public:
    explicit UpdateServerIpThread (BrevonAudioProcessor* processor);
    ~UpdateServerIpThread() override;

    void run() override;

    // The host an address page names: the text without surrounding white
    // space (line breaks included), if it is a valid host. False otherwise:
    // the caller keeps the host it had.
    static bool parseServerAddress (const std::string& text, std::string& host);
};
