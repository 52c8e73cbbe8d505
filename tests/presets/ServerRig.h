#pragma once

// A preset server on 127.0.0.1 on a free port, in a temporary folder of its
// own, with a short key so tests start fast; and a bare HTTP client that
// speaks the plug-in's protocol to it.

#include <httplib.h>
#include <juce_core/juce_core.h>

#include <memory>
#include <string>
#include <vector>

#include "PresetServer.h"
#include "presets/PresetMetaData.h"
#include "presets/RequestResponse.h"

namespace serverrig
{
// count bytes from a fixed seed: a stand-in program record.
std::vector<char> presetBytes (uint32_t seed, size_t count = PresetServer::kPresetSize);

PresetMetaData record (const std::string& name, const std::string& time, bool isPublic = true, uint32_t mask = 1);

// A port of 127.0.0.1 on which nothing listens: a client's lookup fails there.
int closedPort();

struct Reply
{
    int status = 0;                            // HTTP status, 0 when nothing came
    std::unique_ptr<RequestResponse> message;  // null when the body is no reply record

    uint32_t type() const { return message != nullptr ? message->type : 0; }
    std::string text() const;                  // the payload as text
    std::vector<PresetMetaData> presets() const; // of a PRESET_LIST
};

// Stored passwords: derived with few rounds so that tests stay fast, or with
// the program's own count.
enum class Hashing { fast, asDeployed };

class Rig
{
public:
    explicit Rig (PresetServerOptions options = {}, Hashing hashing = Hashing::fast);
    ~Rig();

    void addAccount (const std::string& email, const std::string& password);
    int port() const { return server->getPort(); }
    PresetServer& get() { return *server; }
    const juce::File& folder() const { return dataFolder; }

    // Stops the server and starts a new one on the same folder.
    void restart();

    // A request as the plug-in sends it; the password is encrypted with the
    // server's key unless sent raw.
    Reply send (int type, const std::vector<char>& data, const PresetMetaData* md,
                const std::string& email, const std::string& password, const std::string& search = {});
    Reply postFields (const httplib::Params& fields);
    Reply postBody (const std::string& body);

    Reply upload (const std::string& email, const std::string& password, const PresetMetaData& md,
                  const std::vector<char>& data);
    Reply list (const std::string& email, const std::string& password, uint32_t offset, uint32_t mask = 0,
                const std::string& search = {});
    Reply download (const std::string& email, const std::string& password, const PresetMetaData& md);

private:
    Reply toReply (const httplib::Result& result);

    PresetServerOptions options;
    juce::File dataFolder;
    std::unique_ptr<PresetServer> server;
};
} // namespace serverrig
