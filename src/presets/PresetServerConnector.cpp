#include "presets/PresetServerConnector.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "core/PropertyProxy.h"
#include "core/globalStuff.h"
#include "presets/Base64.h"
#include "presets/LoginCrypto.h"

namespace
{
std::mutex serverLock;
std::string publishedHost; // empty until an address lookup succeeds
std::string serverPublicKey;

// Cancels a stream that is still connecting when the time is up or the
// caller wants to stop. It acts only while the stream connects (the one call
// that blocks without returning to us, and the one the framework lets another
// thread cancel); reads are bounded on the caller's thread.
class ConnectWatchdog
{
public:
    ConnectWatchdog (juce::WebInputStream& s, std::chrono::steady_clock::time_point deadlineIn,
                     const PresetServerConnector::StopCheck& stop)
        : stream (s), deadline (deadlineIn), shouldStop (stop), thread ([this] { run(); })
    {
    }

    // Returns once the watchdog can no longer touch the stream.
    bool finish()
    {
        {
            std::lock_guard<std::mutex> guard (lock);
            done = true;
        }
        wake.notify_all();
        if (thread.joinable())
            thread.join();
        return fired;
    }

    ~ConnectWatchdog() { finish(); }

private:
    void run()
    {
        std::unique_lock<std::mutex> guard (lock);
        while (! done)
        {
            if (std::chrono::steady_clock::now() >= deadline || (shouldStop && shouldStop()))
            {
                fired = true;
                guard.unlock();
                stream.cancel();
                return;
            }
            wake.wait_for (guard, std::chrono::milliseconds (20));
        }
    }

    juce::WebInputStream& stream;
    const std::chrono::steady_clock::time_point deadline;
    const PresetServerConnector::StopCheck& shouldStop;
    std::mutex lock;
    std::condition_variable wake;
    bool done = false, fired = false;
    std::thread thread;
};
} // namespace

PresetServerEndpoint PresetServerEndpoint::fromSettings (const PropertyProxy& settings)
{
    PresetServerEndpoint e;
    e.addressPage = settings.getStringValue (settingsKeys::presetServerAddressPage,
                                             settingsDefaults::presetServerAddressPage).toStdString();
    e.host = settings.getStringValue (settingsKeys::presetServerHost, settingsDefaults::presetServerHost).toStdString();
    e.port = settings.getIntValue (settingsKeys::presetServerPort, settingsDefaults::presetServerPort);
    return e;
}

PresetServerConnector::PresetServerConnector (PresetServerEndpoint e, StopCheck stop)
    : endpoint (std::move (e)), shouldStop (std::move (stop))
{
}

std::string PresetServerConnector::getPublishedHost()
{
    std::lock_guard<std::mutex> guard (serverLock);
    return publishedHost;
}

std::string PresetServerConnector::getServerPublicKey()
{
    std::lock_guard<std::mutex> guard (serverLock);
    return serverPublicKey;
}

void PresetServerConnector::publishServer (const std::string& host, const std::string& publicKey)
{
    std::lock_guard<std::mutex> guard (serverLock);
    publishedHost = host;
    serverPublicKey = publicKey;
}

std::string PresetServerConnector::getHostName() const
{
    const std::string published = getPublishedHost();
    return published.empty() ? endpoint.host : published;
}

bool PresetServerConnector::isValidHost (const std::string& host)
{
    return ! host.empty() && host.size() <= 253
        && std::all_of (host.begin(), host.end(), [] (char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
           });
}

bool PresetServerConnector::fetch (const juce::URL& url, bool post, size_t maxChars, const StopCheck& stop, std::string& body)
{
    body.clear();
    if (! url.getScheme().equalsIgnoreCase ("http") || (stop && stop()))
        return false;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds (kTimeoutMs);
    juce::WebInputStream stream (url, post);
    stream.withConnectionTimeout (kTimeoutMs).withNumRedirectsToFollow (0);

    ConnectWatchdog watchdog (stream, deadline, stop);
    const bool connected = stream.connect (nullptr);
    if (watchdog.finish() || ! connected || stream.getStatusCode() != 200)
        return false;

    // A read returns only once it is filled or the body ends; the stream's
    // own stall limit ends a trickle. Reads start small and grow while data
    // flows, so a slow server is still looked at often (time, stop requests)
    // and a fast one is not read in thousands of pieces.
    constexpr size_t kSmallRead = 512, kLargeRead = 16384;
    char buffer[kLargeRead];
    size_t chunk = kSmallRead;
    for (;;)
    {
        const auto start = std::chrono::steady_clock::now();
        if (start >= deadline || (stop && stop()))
            return false;
        const int n = stream.read (buffer, (int) chunk);
        if (n <= 0)
            break;
        if (body.size() + (size_t) n > maxChars)
            return false;
        body.append (buffer, (size_t) n);
        const bool quick = std::chrono::steady_clock::now() - start < std::chrono::milliseconds (20);
        chunk = quick ? std::min (chunk * 2, kLargeRead) : kSmallRead;
    }

    // A body cut short (a drop before the announced length) is an error.
    const juce::int64 announced = stream.getTotalLength();
    return ! stream.isError() && (announced < 0 || (size_t) announced == body.size());
}

bool PresetServerConnector::sendRequest (int type, const char* data, int size, const PresetMetaData* metaData)
{
    received.clear();
    const std::vector<char> request = requestresponse::buildRequest (type, data, size, metaData);
    const std::string host = getHostName();
    if (request.empty() || ! isValidHost (host) || endpoint.port < 1 || endpoint.port > 65535)
        return false;

    if ((type == UPLOAD_PRESET || type == DELETE_PRESET) && metaData != nullptr)
        std::printf ("metaData->author <%s>\n", std::string (metaData->getAuthor()).c_str());

    // Sent in ascending order of the keys, after requestData.
    std::map<std::string, std::string> fields;
    if (type == LIST_PRESETS)
        fields["search"] = data != nullptr ? std::string (data, ::strnlen (data, (size_t) std::max (size, 0))) : std::string();
    fields["email"] = email;
    fields["password"] = logincrypto::encryptPassword (password, getServerPublicKey());
    fields["version"] = TALVORA_XL_VERSION.load (std::memory_order_relaxed) ? "1.3" : "1.2";

    juce::URL url ("http://" + host + ":" + std::to_string (endpoint.port) + "/synth_request");
    url = url.withParameter ("requestData", base64::encode (request.data(), request.size()));
    for (const auto& [key, value] : fields)
        url = url.withParameter (key, juce::String::fromUTF8 (value.data(), (int) value.size()));

    std::string body;
    if (! fetch (url, true, kMaxReplyChars, shouldStop, body) || body.empty())
        return false;

    received.resize (requestresponse::kReceiveBufferSize);
    received.resize (base64::decode (body.data(), body.size(), received.data(), received.size()));
    return true;
}

std::unique_ptr<RequestResponse> PresetServerConnector::takeReply()
{
    auto reply = requestResponseFromBuffer (received.data(), received.size());
    received.clear();
    return reply;
}
