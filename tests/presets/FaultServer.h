#pragma once

// A tiny HTTP server for fault tests, on a raw socket on 127.0.0.1: it
// records every request exactly as it arrived and answers each connection
// with the next step of a script: given bytes (after a delay), a hang until
// the server stops, or a close without a word.

#include <juce_core/juce_core.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace faultserver
{
struct Step
{
    enum Kind { bytes, hang, close } kind = bytes;
    std::string response; // raw bytes to send
    int delayMs = 0;      // before sending

    // A complete response with this body and status, closing the connection.
    static Step reply (const std::string& body, int status = 200, int delayMs = 0);
    static Step raw (const std::string& bytes);
    static Step hangs();
    static Step closes();
};

struct Request
{
    std::string method, path, headers, body;
    double acceptedMs = 0; // monotonic time the connection was accepted
    std::vector<std::pair<std::string, std::string>> fields() const; // the form body, decoded, in order
};

class FaultServer : private juce::Thread
{
public:
    FaultServer();
    ~FaultServer() override;

    int port() const { return boundPort; }
    std::string url (const std::string& path) const;

    void add (Step step);                  // answers in order; with none left: 404
    std::vector<Request> requests() const;
    bool waitForRequests (size_t count, int timeoutMs) const;

private:
    void run() override;
    void serve (juce::StreamingSocket& client);

    juce::StreamingSocket listener;
    int boundPort = 0;
    mutable std::mutex lock;
    mutable std::condition_variable arrived;
    std::deque<Step> script;
    std::vector<Request> recorded;
    juce::WaitableEvent stopping;
};
} // namespace faultserver
