#pragma once

// Serves an HttpHandler over HTTP with libmicrohttpd: a few polling threads
// do all reading and writing and answer quick requests; other whole requests
// go to the worker threads (their connections suspended meanwhile), so idle,
// slow or partial clients cost no worker. Whatever a client can hold is
// shared between client addresses: request bodies are charged by the bytes
// held against a budget of which one address may hold a share, workers take
// the queued requests of the addresses in turn, and at the connection limit
// a newcomer takes the place of a connection of the address holding the
// most. Each request has a deadline from its first byte and each connection
// an idle time.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ConnectionLimits.h"
#include "HttpExchange.h"

struct MHD_Daemon;
struct MHD_Connection;
struct sockaddr;

class HttpFront
{
public:
    HttpFront (ConnectionLimits limits, HttpHandler& handler);
    ~HttpFront();

    // Listens on address:port (0: any free port); the bound port, or -1 with
    // a reason naming the address and port.
    int start (const std::string& address, int port, std::string& error);
    // Finishes what the workers hold (what waits for one is refused), then
    // closes every connection and the listening socket.
    void stop();

    // Bytes of request bodies held now.
    size_t heldBytes() const noexcept { return held.load(); }
    // The connection limit in force, once started.
    int connectionLimit() const noexcept { return limits.maxConnections; }

    // What one client can hold, as the handlers see it in RequestHead::peer:
    // an IPv4 address (an IPv4-mapped IPv6 one too) as itself, an IPv6 one by
    // its /64 prefix ("2001:db8:1:2::/64"), which one host commonly holds whole.
    static std::string addressKey (const sockaddr* address);

    // The default connection limit under this many open files: room is left
    // for the server's own files.
    static int connectionsFor (size_t openFiles);

private:
    using Clock = std::chrono::steady_clock;
    struct Connection;
    struct Request;

    friend struct HttpFrontCallbacks; // the library's callbacks, in the source file

    bool access (MHD_Connection*, const char* url, const char* method, const char* upload, size_t* uploadSize,
                 void** context);
    bool begin (MHD_Connection*, const char* url, const char* method, void** context);
    bool receive (Request&, const char* upload, size_t size);
    bool refuse (Request&, int status);
    bool dispatch (MHD_Connection*, Request&);
    bool send (MHD_Connection*, Request&, HttpReply reply);
    HttpReply answer (Request&);
    void connectionStarted (MHD_Connection*, void** socketContext);
    void connectionClosed (void** socketContext);
    void requestCompleted (MHD_Connection*, void** context);
    bool charge (Request&, size_t bytes);
    void release (Request&);
    void workerLoop();
    void watchLoop();
    void drainLingering (Clock::time_point now);
    // Under connectionsLock.
    void end (Connection*);
    void makeRoomFor (Connection* newcomer);

    ConnectionLimits limits;
    HttpHandler& handler;
    MHD_Daemon* daemon = nullptr;
    int listenFd = -1;

    // Request bodies held, in all and by address.
    std::mutex bodiesLock;
    std::atomic<size_t> held { 0 };
    std::unordered_map<std::string, size_t> heldBy;
    std::atomic<bool> trimWanted { false }; // a large body was given back

    // Whole requests waiting for a worker, by address, and the addresses in
    // the order of their turns.
    std::mutex jobsLock;
    std::condition_variable jobsChanged;
    std::unordered_map<std::string, std::deque<Request*>> jobs;
    std::deque<std::string> turns;
    bool stopping = false;
    std::vector<std::thread> workers;

    // Every open connection, for the watcher; each entry is removed, under
    // this lock, before the library closes its socket.
    std::mutex connectionsLock;
    std::list<Connection*> connections;
    std::unordered_map<std::string, int> openBy; // connections not ended, by address
    int open = 0;
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
