#pragma once

// An HTTP server (cpp-httplib's routing and replies) whose connections cost
// no worker thread while they are idle or still arriving.
//
// The library hands every accepted connection to a worker that then waits on
// it, so a few idle or slow clients hold every worker. Here one thread polls
// all connections and buffers each request until it is whole (headers and a
// body of known length), within an overall deadline; only then does a worker
// run the library's request handling on the buffered bytes, and afterwards
// the connection goes back to wait for its next request, for a few seconds.
// Connections are taken over through the library's per-connection hook
// (process_and_close_socket) and requests answered with its process_request
// on a stream of our own: both belong to the library's 0.11 interface.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ConnectionLimits.h"

class GatedHttpServer : public httplib::Server
{
public:
    explicit GatedHttpServer (ConnectionLimits limits);
    ~GatedHttpServer() override;

    // Binds as the library does, then lengthens the listen queue.
    int bindToAnyPort (const std::string& host);
    bool bindToPort (const std::string& host, int port);

    // From a handler: close the connection after this reply (its body was
    // not read, so what follows on the connection cannot be trusted).
    static void closeAfterReply (httplib::Response& res);

    const ConnectionLimits& getLimits() const noexcept { return limits; }

private:
    using Clock = std::chrono::steady_clock;
    struct Connection;
    class BufferedStream;
    enum class Readiness { needMore, ready, tooLarge, headersTooLong, badRequest };

    bool process_and_close_socket (socket_t sock) override;

    void gateLoop();
    void workerLoop();
    void park (std::unique_ptr<Connection> connection);
    void admit (std::unique_ptr<Connection> connection, Clock::time_point now);
    void readFrom (Connection& connection, Clock::time_point now);
    void settle (int fd);
    std::unique_ptr<Connection> take (int fd);
    void dispatch (std::unique_ptr<Connection> connection);
    void closeExpired (Clock::time_point now);
    bool evictOneIdle();
    void finish (std::unique_ptr<Connection> connection, const char* reply = nullptr);
    void serve (std::unique_ptr<Connection> connection);
    Readiness readiness (Connection& connection);
    bool raiseBacklog();

    ConnectionLimits limits;
    int pollFd = -1, wakeFd = -1, stopFd = -1;
    std::atomic<bool> stopping { false };
    std::atomic<int> openConnections { 0 };

    std::mutex incomingLock;
    std::vector<std::unique_ptr<Connection>> incoming; // new or returning, for the gate thread

    std::mutex readyLock;
    std::condition_variable readyChanged;
    std::deque<std::unique_ptr<Connection>> readyQueue; // whole requests, for the workers

    // Owned by the gate thread alone.
    std::unordered_map<int, std::unique_ptr<Connection>> waiting;
    size_t bufferedBytes = 0;

    std::thread gate;
    std::vector<std::thread> workers;
};
