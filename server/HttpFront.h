#pragma once

// Serves an HttpHandler over HTTP with libmicrohttpd: a few polling threads
// do all reading and writing and answer quick requests; other whole requests
// go to the worker threads (their connections suspended meanwhile), so idle,
// slow or partial clients cost no worker. On top of the library's own limits
// it keeps a budget for the request bodies held at once, a deadline per
// request, an idle time per connection, and at the connection limit a
// newcomer takes the place of the longest idle connection.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionLimits.h"
#include "HttpExchange.h"

struct MHD_Daemon;
struct MHD_Connection;

class HttpFront
{
public:
    HttpFront (ConnectionLimits limits, HttpHandler& handler);
    ~HttpFront();

    // Listens on address:port (0: any free port); the bound port, or -1.
    int start (const std::string& address, int port, std::string& error);
    void stop();

    // Bytes of request bodies held now.
    size_t heldBytes() const noexcept { return held.load(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Connection;
    struct Request;

    friend struct HttpFrontCallbacks; // the library's callbacks, in the source file

    bool access (MHD_Connection*, const char* url, const char* method, const char* upload, size_t* uploadSize,
                 void** context);
    bool send (MHD_Connection*, Request&, HttpReply reply);
    HttpReply answer (Request&);
    void connectionStarted (MHD_Connection*, void** socketContext);
    void connectionClosed (void** socketContext);
    void requestCompleted (void** context);
    bool reserve (Request&, size_t bytes);
    void release (Request&);
    void workerLoop();
    void watchLoop();
    void drainLingering (Clock::time_point now);

    ConnectionLimits limits;
    HttpHandler& handler;
    MHD_Daemon* daemon = nullptr;
    std::atomic<size_t> held { 0 };

    std::mutex jobsLock;
    std::condition_variable jobsChanged;
    std::deque<Request*> jobs;
    bool stopping = false;
    std::vector<std::thread> workers;

    // Every open connection, for the watcher; each entry is removed, under
    // this lock, before the library closes its socket.
    std::mutex connectionsLock;
    std::list<Connection*> connections;
    std::condition_variable watchWake;
    bool watching = false;
    // Sockets closed after an early refusal, read and dropped for a moment
    // so the client sees the reply rather than a reset.
    struct Lingering
    {
        int fd;
        Clock::time_point until;
    };
    std::vector<Lingering> lingering;
    std::thread watcher;
};
