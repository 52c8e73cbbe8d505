#pragma once

// A preset server on 127.0.0.1 on a free port, in a temporary folder of its
// own, with a short key so tests start fast; and a bare HTTP client that
// speaks the plug-in's protocol to it.

#include <httplib.h>
#include <juce_core/juce_core.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PresetServer.h"
#include "presets/PresetMetaData.h"
#include "presets/RequestResponse.h"

namespace serverrig
{
// Sanitizer builds skip the floods and loosen time bounds: they run many times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

using Clock = std::chrono::steady_clock;
double secondsSince (Clock::time_point start);

// Lets this process open a couple of thousand sockets, or `count`; false
// when the hard limit does not allow that many.
bool allowManyFiles (size_t count = 2048);

// This process's resident memory, the in-process server's included.
size_t residentBytes();

// A bare TCP connection to the server, for what an HTTP client would not do;
// from another loopback source address to act as another machine.
class RawConnection
{
public:
    explicit RawConnection (int port, const char* source = "127.0.0.1");
    ~RawConnection();
    RawConnection (const RawConnection&) = delete;

    bool isConnected() const { return connected; }
    bool send (const std::string& bytes);

    // Everything that arrives until the text holds `until`, the server
    // closes, or the time is up.
    std::string receive (const std::string& until, int timeoutMs, bool* closed = nullptr);
    // One whole response, its body as long as its Content-Length says;
    // empty when none came whole in time or the server closed.
    std::string receiveReply (int timeoutMs, bool* closed = nullptr);

private:
    int fd = -1;
    bool connected = false;
    std::string pending; // what arrived past the last whole response
};

// Connections that each send a whole, valid request a byte every half
// second, from a thread of their own, until destroyed.
class Trickler
{
public:
    Trickler (int port, const char* source, int count);
    ~Trickler();

private:
    std::vector<std::unique_ptr<RawConnection>> connections;
    std::atomic<bool> done { false };
    std::thread sender;
};

std::string formEncode (const std::string& text);
// The head of a form POST to `path` announcing a body of `length` bytes.
std::string postHead (const std::string& path, size_t length, const std::string& extraHeaders = {});
// A GET_META_DATA form, and the whole raw request that carries it.
std::string metaDataBody();
std::string metaDataRequest (const std::string& extraHeaders = {});
// The reply record's type in a raw HTTP response, 0 when there is none.
uint32_t replyType (const std::string& response);

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
