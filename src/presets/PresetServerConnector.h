#pragma once

// One exchange with the preset server: a request record sent base64-encoded
// in an HTTP form POST with the user's login, and the reply decoded back into
// bytes. Each worker builds its own connector for one run.
//
// Every exchange is bounded: 5 s at most (also the connection time-out and
// the stall limit), a body of at most 1048575 characters (4096 for the
// address page and the key), status 200 only, and a caller's stop request
// cancels the stream at once.

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "presets/PresetMetaData.h"
#include "presets/RequestResponse.h"

class PropertyProxy;

// Where the server is, as the settings say; read on the message thread when
// a worker is made.
struct PresetServerEndpoint
{
    std::string addressPage = "http://127.0.0.1:8888/server_address";
    std::string host = "127.0.0.1"; // until an address lookup publishes one
    int port = 8888;

    static PresetServerEndpoint fromSettings (const PropertyProxy& settings);
};

class PresetServerConnector
{
public:
    using StopCheck = std::function<bool()>;

    explicit PresetServerConnector (PresetServerEndpoint endpoint, StopCheck shouldStop = {});

    std::string email, password;

    // Sends a request of type 1, 2, 3, 4, 10, 11 or 13 (see buildRequest).
    // True when a non-empty reply body came with status 200 and was decoded;
    // takeReply() then parses it.
    bool sendRequest (int type, const char* data, int size, const PresetMetaData* metaData);

    // The decoded reply as a record, or null when it is none; the received
    // bytes are cleared.
    std::unique_ptr<RequestResponse> takeReply();

    // The host requests go to: the published one, or the endpoint's own.
    std::string getHostName() const;

    //==============================================================================
    // The process-wide server address and public key: written by the address
    // lookup, read by every worker; both under one lock, published together.
    static std::string getPublishedHost();
    static std::string getServerPublicKey();
    static void publishServer (const std::string& host, const std::string& publicKey);

    // Letters, digits, "." and "-", 1 to 253 characters: nothing that could
    // change what a URL built from it points at.
    static bool isValidHost (const std::string& host);

    // One GET (post = false) or form POST of url's parameters. True with the
    // body when the status is 200 and the body has at most maxChars
    // characters; false on a time-out, a drop, a stop request or anything else.
    static bool fetch (const juce::URL& url, bool post, size_t maxChars, const StopCheck& shouldStop, std::string& body);

    static constexpr int kTimeoutMs = 5000;
    static constexpr size_t kMaxReplyChars = 0xFFFFF;
    static constexpr size_t kMaxTextChars = 4096;

private:
    PresetServerEndpoint endpoint;
    StopCheck shouldStop;
    std::vector<char> received;
};
