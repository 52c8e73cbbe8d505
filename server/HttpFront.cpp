#include "HttpFront.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <linux/tcp.h> // tcp_info with the bytes received
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <strings.h>

namespace
{
constexpr size_t kMaxLingering = 256;
constexpr auto kLingerTime = std::chrono::seconds (2);
// Files the server needs besides its connections: the lingering sockets,
// the database and its journal, the listening socket, the library's own.
constexpr size_t kReservedFiles = kMaxLingering + 64;
constexpr int kMostConnections = 8192;
// A body's first allocation, and what an address must have left of its
// share for a new body to start.
constexpr size_t kFirstBodyStep = 16 * 1024;
// Bodies this large are often left in the allocator's free lists when given
// back: memory is then handed back to the system.
constexpr size_t kTrimAfter = 128 * 1024;
constexpr auto kTrimInterval = std::chrono::milliseconds (200);
// How long a client that has stopped sending mid-request is given for the
// library to take in what it sent.
constexpr auto kSenderGone = std::chrono::milliseconds (200);

// A refusal written straight to the socket, where the library cannot send
// one: while it reads a body, or after the deadline.
void writeRefusal (int fd, int status)
{
    const char* reason = status == 408 ? "Request Timeout" : status == 413 ? "Content Too Large" : "Service Unavailable";
    const std::string text = "HTTP/1.1 " + std::to_string (status) + " " + reason
                           + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ::send (fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::string trimmed (const char* value)
{
    std::string text = value != nullptr ? value : "";
    const auto blank = [] (char c) { return c == ' ' || c == '\t'; };
    text.erase (text.begin(), std::find_if_not (text.begin(), text.end(), blank));
    while (! text.empty() && blank (text.back()))
        text.pop_back();
    return text;
}

std::string headerValue (MHD_Connection* connection, const char* name)
{
    return trimmed (MHD_lookup_connection_value (connection, MHD_HEADER_KIND, name));
}

// More than one Content-Length, not all the same: where a proxy in front
// may have taken another one than the library, the body's end is unknown.
bool hasDifferingLengths (MHD_Connection* connection)
{
    struct Seen
    {
        std::optional<std::string> first;
        bool differ = false;
    } seen;
    MHD_get_connection_values (
        connection, MHD_HEADER_KIND,
        [] (void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
            auto& s = *static_cast<Seen*> (cls);
            if (key == nullptr || ::strcasecmp (key, MHD_HTTP_HEADER_CONTENT_LENGTH) != 0)
                return MHD_YES;
            const std::string length = trimmed (value);
            if (! s.first)
                s.first = length;
            s.differ = s.differ || *s.first != length;
            return MHD_YES;
        },
        &seen);
    return seen.differ;
}

// What the socket has received so far: tells an idle connection from one
// whose next request has begun to arrive, before the library sees a line.
uint64_t bytesReceived (int fd)
{
    tcp_info info {};
    socklen_t size = sizeof (info);
    if (::getsockopt (fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0
        || size < offsetof (tcp_info, tcpi_bytes_received) + sizeof (info.tcpi_bytes_received))
        return 0;
    return info.tcpi_bytes_received;
}

// The client has sent all it will (its end is closed) and the server has
// read it all: a request still arriving there never will.
bool senderDone (int fd)
{
    constexpr uint8_t kCloseWait = 8; // the kernel's TCP_CLOSE_WAIT, which <linux/tcp.h> leaves out
    tcp_info info {};
    socklen_t size = sizeof (info);
    int unread = 0;
    return ::getsockopt (fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && info.tcpi_state == kCloseWait
        && ::ioctl (fd, FIONREAD, &unread) == 0 && unread == 0;
}

// The soft open-file limit, raised to the hard one: every connection is a file.
size_t raiseOpenFiles()
{
    rlimit files {};
    if (::getrlimit (RLIMIT_NOFILE, &files) != 0)
        return 1024;
    if (files.rlim_cur < files.rlim_max)
    {
        rlimit raised = files;
        raised.rlim_cur = files.rlim_max;
        if (::setrlimit (RLIMIT_NOFILE, &raised) == 0)
            files = raised;
    }
    return files.rlim_cur == RLIM_INFINITY ? (size_t) 1 << 20 : (size_t) files.rlim_cur;
}
} // namespace

struct HttpFront::Connection
{
    enum class State { idle, receiving, answering, ended };

    int fd = -1;
    std::string peer;
    State state = State::idle;
    Clock::time_point since;  // idle since, or the request's first byte
    Clock::time_point whole;  // when the last request had arrived whole
    std::optional<Clock::time_point> senderDoneSince;
    uint64_t consumed = 0;    // bytes of the requests before the current one
    int requests = 0;
    bool linger = false; // answered before its body was read
};

struct HttpFront::Request
{
    enum class Phase { reading, working, ready };

    MHD_Connection* handle = nullptr;
    Connection* connection = nullptr;
    HttpRequest request;
    size_t reserved = 0;     // charged to the body budget
    std::atomic<Phase> phase { Phase::reading };
    bool failed = false;     // the worker's reply could not be queued
};

struct HttpFrontCallbacks
{
    static MHD_Result access (void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char*, const char* upload, size_t* uploadSize, void** context)
    {
        // Nothing may leave through the library's C frames: the connection is dropped instead.
        try
        {
            return static_cast<HttpFront*> (cls)->access (connection, url, method, upload, uploadSize, context)
                     ? MHD_YES
                     : MHD_NO;
        }
        catch (...)
        {
            return MHD_NO;
        }
    }

    static void completed (void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode)
    {
        static_cast<HttpFront*> (cls)->requestCompleted (connection, context);
    }

    static void connection (void* cls, MHD_Connection* connection, void** socketContext,
                            MHD_ConnectionNotificationCode code)
    {
        auto* front = static_cast<HttpFront*> (cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED)
        {
            try
            {
                front->connectionStarted (connection, socketContext);
            }
            catch (...)
            {
                // Untracked, it is still held to the library's own timeout.
            }
        }
        else
            front->connectionClosed (socketContext);
    }

    // The request line is in: the request has begun, if the watcher has not seen it yet.
    static void* requestLine (void* cls, const char*, MHD_Connection* connection)
    {
        auto* front = static_cast<HttpFront*> (cls);
        const auto* info = MHD_get_connection_info (connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* c = info != nullptr ? static_cast<HttpFront::Connection*> (info->socket_context) : nullptr;
        std::lock_guard<std::mutex> guard (front->connectionsLock);
        if (c != nullptr && c->state == HttpFront::Connection::State::idle)
        {
            c->state = HttpFront::Connection::State::receiving;
            c->since = HttpFront::Clock::now();
        }
        return nullptr;
    }
};

HttpFront::HttpFront (ConnectionLimits l, HttpHandler& h) : limits (l), handler (h)
{
    // An eighth by default, but room for one whole body where the budget has it.
    if (limits.addressBodyShare == 0)
        limits.addressBodyShare = std::max (limits.bufferBudget / 8, limits.maxBodySize);
    limits.addressBodyShare = std::min (limits.addressBodyShare, limits.bufferBudget);
}

HttpFront::~HttpFront()
{
    stop();
}

std::string HttpFront::addressKey (const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address == nullptr)
        return {};
    if (address->sa_family == AF_INET)
    {
        ::inet_ntop (AF_INET, &reinterpret_cast<const sockaddr_in*> (address)->sin_addr, text, sizeof (text));
        return text;
    }
    if (address->sa_family != AF_INET6)
        return {};
    in6_addr a = reinterpret_cast<const sockaddr_in6*> (address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED (&a))
    {
        in_addr v4 {};
        std::memcpy (&v4, a.s6_addr + 12, sizeof (v4));
        ::inet_ntop (AF_INET, &v4, text, sizeof (text));
        return text;
    }
    std::memset (a.s6_addr + 8, 0, 8);
    ::inet_ntop (AF_INET6, &a, text, sizeof (text));
    return std::string (text) + "/64";
}

int HttpFront::connectionsFor (size_t openFiles)
{
    return (int) std::clamp<size_t> (openFiles > kReservedFiles ? openFiles - kReservedFiles : 1, 1, kMostConnections);
}

int HttpFront::start (const std::string& address, int port, std::string& error)
{
    if (daemon != nullptr)
        return (int) MHD_get_daemon_info (daemon, MHD_DAEMON_INFO_BIND_PORT)->port;

    const std::string service = std::to_string (port);
    const std::string where = address + ":" + service;
    addrinfo hints {}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    if (::getaddrinfo (address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr)
    {
        error = "cannot listen on " + where + ": unknown address";
        return -1;
    }
    // Bound here, not by the library, so that a port in use is an error
    // with its reason rather than a port shared with another server.
    const bool v6 = found->ai_family == AF_INET6;
    listenFd = ::socket (found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    const bool listening = listenFd >= 0 && ::setsockopt (listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof (one)) == 0
                        && ::bind (listenFd, found->ai_addr, found->ai_addrlen) == 0
                        && ::listen (listenFd, std::max (1, limits.backlog)) == 0;
    const int reason = errno;
    ::freeaddrinfo (found);
    if (! listening)
    {
        error = "cannot listen on " + where + ": "
              + (reason == EADDRINUSE ? std::string ("the port is in use") : std::strerror (reason));
        stop();
        return -1;
    }
    sockaddr_storage bound {};
    socklen_t boundSize = sizeof (bound);
    ::getsockname (listenFd, reinterpret_cast<sockaddr*> (&bound), &boundSize);
    const int boundPort = ntohs (v6 ? reinterpret_cast<sockaddr_in6*> (&bound)->sin6_port
                                    : reinterpret_cast<sockaddr_in*> (&bound)->sin_port);

    // Every connection is an open file; stay below the limit.
    const int most = connectionsFor (raiseOpenFiles());
    limits.maxConnections = limits.maxConnections > 0 ? std::min (limits.maxConnections, most) : most;

    {
        std::lock_guard<std::mutex> guard (jobsLock);
        stopping = false;
    }
    for (int i = 0; i < std::max (1, limits.workerThreads); ++i)
        workers.emplace_back ([this] { workerLoop(); });
    {
        std::lock_guard<std::mutex> guard (connectionsLock);
        watching = true;
    }
    watcher = std::thread ([this] { watchLoop(); });

    // The library's own timeout only backs the watcher's finer ones.
    const unsigned backstop = (unsigned) (std::max (limits.keepAliveMs, limits.requestTimeoutMs) / 1000 + 2);
    // Reading and writing spread over a few polling threads; the answers
    // themselves are the workers'.
    const unsigned pollers = (unsigned) std::clamp (limits.workerThreads / 2, 1, 4);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO;
    if (v6)
        flags |= MHD_USE_IPv6;
    daemon = MHD_start_daemon (flags, 0, nullptr, nullptr, &HttpFrontCallbacks::access, this,
                               MHD_OPTION_LISTEN_SOCKET, listenFd,
                               MHD_OPTION_THREAD_POOL_SIZE, pollers,
                               // Split among the pollers: the limit itself is kept here, with
                               // a place for the newcomer.
                               MHD_OPTION_CONNECTION_LIMIT, ((unsigned) limits.maxConnections + 1) * pollers,
                               MHD_OPTION_CONNECTION_TIMEOUT, backstop,
                               MHD_OPTION_NOTIFY_COMPLETED, &HttpFrontCallbacks::completed, this,
                               MHD_OPTION_NOTIFY_CONNECTION, &HttpFrontCallbacks::connection, this,
                               MHD_OPTION_URI_LOG_CALLBACK, &HttpFrontCallbacks::requestLine, this,
                               MHD_OPTION_END);
    if (daemon == nullptr)
    {
        error = "cannot serve on " + where;
        stop();
        return -1;
    }
    return boundPort;
}

void HttpFront::stop()
{
    if (daemon != nullptr)
        MHD_quiesce_daemon (daemon); // no new connections; the socket is closed below
    // Workers finish what they hold, refuse what is queued and resume every
    // connection; then nothing more is queued.
    {
        std::lock_guard<std::mutex> guard (jobsLock);
        stopping = true;
    }
    jobsChanged.notify_all();
    for (auto& t : workers)
        t.join();
    workers.clear();
    {
        std::lock_guard<std::mutex> guard (connectionsLock);
        watching = false;
    }
    watchWake.notify_all();
    if (watcher.joinable())
        watcher.join();
    if (daemon != nullptr)
        MHD_stop_daemon (daemon);
    daemon = nullptr;
    if (listenFd >= 0)
        ::close (listenFd);
    listenFd = -1;
}

bool HttpFront::charge (Request& r, size_t bytes)
{
    const std::string& peer = r.request.head.peer;
    std::lock_guard<std::mutex> guard (bodiesLock);
    const auto mine = heldBy.find (peer);
    const size_t ownHeld = mine != heldBy.end() ? mine->second : 0;
    if (held + bytes > limits.bufferBudget || ownHeld + bytes > limits.addressBodyShare)
        return false;
    heldBy[peer] = ownHeld + bytes;
    held += bytes;
    r.reserved += bytes;
    return true;
}

void HttpFront::release (Request& r)
{
    if (r.reserved > 0)
    {
        std::lock_guard<std::mutex> guard (bodiesLock);
        const auto mine = heldBy.find (r.request.head.peer);
        if (mine != heldBy.end() && (mine->second -= std::min (mine->second, r.reserved)) == 0)
            heldBy.erase (mine);
        held -= r.reserved;
        if (r.reserved >= kTrimAfter)
            trimWanted = true;
        r.reserved = 0;
    }
    std::string().swap (r.request.body);
}

bool HttpFront::access (MHD_Connection* handle, const char* url, const char* method, const char* upload,
                        size_t* uploadSize, void** context)
{
    if (*context == nullptr)
        return begin (handle, url, method, context);

    Request& r = *static_cast<Request*> (*context);
    if (*uploadSize > 0)
    {
        const size_t size = *uploadSize;
        *uploadSize = 0;
        return r.phase != Request::Phase::reading || receive (r, upload, size);
    }
    if (r.phase == Request::Phase::ready)
        return ! r.failed; // the reply is queued
    if (r.phase == Request::Phase::working)
        return true;
    return dispatch (handle, r);
}

bool HttpFront::begin (MHD_Connection* handle, const char* url, const char* method, void** context)
{
    // The head alone: answered or refused here when the body is not wanted.
    const auto* info = MHD_get_connection_info (handle, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    auto* r = new Request;
    *context = r;
    r->handle = handle;
    r->connection = info != nullptr ? static_cast<Connection*> (info->socket_context) : nullptr;
    if (r->connection == nullptr)
        return false;

    RequestHead& head = r->request.head;
    head.method = method;
    head.path = url;
    head.peer = r->connection->peer;
    head.contentType = headerValue (handle, MHD_HTTP_HEADER_CONTENT_TYPE);
    head.contentEncoding = headerValue (handle, MHD_HTTP_HEADER_CONTENT_ENCODING);
    head.transferEncoding = headerValue (handle, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    const std::string length = headerValue (handle, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (! length.empty())
        head.contentLength = std::strtoull (length.c_str(), nullptr, 10); // the library has checked it
    const bool hasBody = head.contentLength.value_or (0) > 0 || ! head.transferEncoding.empty();

    HttpReply early { 0, {}, hasBody };
    if (! head.transferEncoding.empty() && ::strcasecmp (head.transferEncoding.c_str(), "chunked") != 0)
        early.status = 400;
    else if (hasDifferingLengths (handle))
        early = { 400, {}, true };
    else
    {
        std::optional<HttpReply> reply;
        try
        {
            reply = handler.screen (head);
        }
        catch (...)
        {
            reply = HttpReply { 500, {}, true };
        }
        if (reply)
            early = { reply->status, std::move (reply->body), reply->close || hasBody };
        else if (head.contentLength.value_or (0) > limits.maxBodySize)
            early.status = 413;
        else if (hasBody)
        {
            // Charged as it arrives; a new body needs room for its first step,
            // both in the budget and in its address's share.
            std::lock_guard<std::mutex> guard (bodiesLock);
            const auto mine = heldBy.find (head.peer);
            if (held + kFirstBodyStep > limits.bufferBudget
                || (mine != heldBy.end() ? mine->second : 0) + kFirstBodyStep > limits.addressBodyShare)
                early.status = 503;
        }
    }
    return early.status == 0 || send (handle, *r, early);
}

bool HttpFront::receive (Request& r, const char* upload, size_t size)
{
    std::string& body = r.request.body;
    const size_t need = body.size() + size;
    if (need > limits.maxBodySize)
        return refuse (r, 413);
    if (need > body.capacity())
    {
        // Grown in steps, never past what the request announced, and charged
        // for what is allocated.
        size_t step = std::max ({ need, body.capacity() * 2, kFirstBodyStep });
        step = std::min (step, std::max<size_t> (need, r.request.head.contentLength.value_or (limits.maxBodySize)));
        if (step > r.reserved && ! charge (r, step - r.reserved))
            return refuse (r, 503);
        body.reserve (step);
    }
    body.append (upload, size);
    return true;
}

bool HttpFront::refuse (Request& r, int status)
{
    Connection& c = *r.connection;
    {
        std::lock_guard<std::mutex> guard (connectionsLock);
        if (c.state == Connection::State::ended)
            return false;
        end (&c);
        c.linger = true; // the rest of the body is read and dropped for a moment
    }
    release (r);
    writeRefusal (c.fd, status);
    ::shutdown (c.fd, SHUT_WR);
    return false; // the library closes it
}

bool HttpFront::dispatch (MHD_Connection* handle, Request& r)
{
    {
        std::lock_guard<std::mutex> guard (connectionsLock);
        if (r.connection->state == Connection::State::ended)
            return false;
        r.connection->state = Connection::State::answering;
        r.connection->whole = Clock::now();
    }
    bool quick = false;
    try
    {
        quick = handler.isQuick (r.request);
    }
    catch (...)
    {
        return send (handle, r, { 500, {}, true });
    }
    if (quick)
        return send (handle, r, answer (r));
    std::unique_lock<std::mutex> guard (jobsLock);
    if (stopping)
    {
        guard.unlock();
        return send (handle, r, { 503, {}, true });
    }
    r.phase = Request::Phase::working;
    MHD_suspend_connection (handle);
    auto& queue = jobs[r.request.head.peer];
    if (queue.empty())
        turns.push_back (r.request.head.peer);
    queue.push_back (&r);
    guard.unlock();
    jobsChanged.notify_one();
    return true;
}

bool HttpFront::send (MHD_Connection* handle, Request& r, HttpReply reply)
{
    bool close = reply.close;
    {
        std::lock_guard<std::mutex> guard (connectionsLock);
        if (r.connection->state == Connection::State::ended)
            return false; // the watcher has answered 408 already
        if (r.connection->state != Connection::State::answering)
            r.connection->whole = Clock::now();
        r.connection->state = Connection::State::answering;
        close = close || ++r.connection->requests >= limits.keepAliveMaxRequests;
        r.connection->linger = r.connection->linger || reply.close;
    }
    release (r);
    // The reply's text is handed over, not copied.
    auto* body = new std::string (std::move (reply.body));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls (
        body->size(), body->data(), [] (void* text) { delete static_cast<std::string*> (text); }, body);
    if (response == nullptr)
    {
        delete body;
        return false;
    }
    MHD_add_response_header (response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    if (close)
        MHD_add_response_header (response, MHD_HTTP_HEADER_CONNECTION, "close");
    const bool queued = MHD_queue_response (handle, (unsigned) reply.status, response) == MHD_YES;
    MHD_destroy_response (response);
    return queued;
}

HttpReply HttpFront::answer (Request& r)
{
    try
    {
        return handler.respond (r.request);
    }
    catch (...)
    {
        return { 500, {}, true };
    }
}

void HttpFront::workerLoop()
{
    for (;;)
    {
        Request* r = nullptr;
        bool stopped = false;
        {
            // One request of each address in turn: a long queue from one
            // address delays another's request by one job at most.
            std::unique_lock<std::mutex> guard (jobsLock);
            jobsChanged.wait (guard, [this] { return stopping || ! turns.empty(); });
            if (turns.empty())
                return;
            stopped = stopping;
            std::string peer = std::move (turns.front());
            turns.pop_front();
            const auto queue = jobs.find (peer);
            r = queue->second.front();
            queue->second.pop_front();
            if (queue->second.empty())
                jobs.erase (queue);
            else
                turns.push_back (std::move (peer));
        }
        // Queued while the connection is suspended, so the poller writes
        // it as soon as it takes the connection back.
        // Once stopping, what has not begun is refused rather than done.
        MHD_Connection* handle = r->handle;
        r->phase = Request::Phase::ready;
        if (! send (handle, *r, stopped ? HttpReply { 503, {}, true } : answer (*r)))
            r->failed = true;
        MHD_resume_connection (handle);
    }
}

void HttpFront::end (Connection* c)
{
    if (c->state == Connection::State::ended)
        return;
    c->state = Connection::State::ended;
    --open;
    const auto mine = openBy.find (c->peer);
    if (mine != openBy.end() && --mine->second <= 0)
        openBy.erase (mine);
}

void HttpFront::makeRoomFor (Connection* newcomer)
{
    const int mine = openBy[newcomer->peer];
    if (mine > limits.perAddressConnections)
    {
        end (newcomer);
        ::shutdown (newcomer->fd, SHUT_RDWR);
        return;
    }
    if (open <= limits.maxConnections)
        return;
    // The place of a connection of the address holding the most: its longest
    // idle one, else the one waiting longest for its request; never of an
    // address holding fewer than the newcomer's would, and never one being
    // answered.
    Connection* victim = nullptr;
    int victimHolds = 0;
    for (Connection* c : connections)
    {
        if (c == newcomer || (c->state != Connection::State::idle && c->state != Connection::State::receiving))
            continue;
        const int holds = openBy[c->peer];
        const bool idle = c->state == Connection::State::idle;
        bool better = victim == nullptr;
        if (! better && holds != victimHolds)
            better = holds > victimHolds;
        else if (! better && idle != (victim->state == Connection::State::idle))
            better = idle;
        else if (! better)
            better = c->since < victim->since;
        if (better)
        {
            victim = c;
            victimHolds = holds;
        }
    }
    if (victim == nullptr || victimHolds < mine)
        victim = newcomer;
    end (victim);
    ::shutdown (victim->fd, SHUT_RDWR);
}

void HttpFront::connectionStarted (MHD_Connection* handle, void** socketContext)
{
    const auto* fd = MHD_get_connection_info (handle, MHD_CONNECTION_INFO_CONNECTION_FD);
    const auto* address = MHD_get_connection_info (handle, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    auto c = std::make_unique<Connection>();
    c->fd = fd != nullptr ? fd->connect_fd : -1;
    c->peer = addressKey (address != nullptr ? address->client_addr : nullptr);
    c->since = c->whole = Clock::now();
    // A request may have begun before the library handed the socket over.
    if (bytesReceived (c->fd) > 0)
        c->state = Connection::State::receiving;

    std::lock_guard<std::mutex> guard (connectionsLock);
    int& count = openBy[c->peer]; // what may throw comes first
    connections.push_back (c.get());
    ++count;
    ++open;
    *socketContext = c.release();
    makeRoomFor (static_cast<Connection*> (*socketContext));
}

void HttpFront::connectionClosed (void** socketContext)
{
    auto* c = static_cast<Connection*> (*socketContext);
    if (c == nullptr)
        return;
    std::lock_guard<std::mutex> guard (connectionsLock);
    end (c);
    connections.remove (c);
    // A client still sending a refused body would get a reset that can
    // swallow the reply: its socket outlives the library's for a moment.
    if (c->linger && lingering.size() < kMaxLingering)
    {
        const int copy = ::fcntl (c->fd, F_DUPFD_CLOEXEC, 0);
        if (copy >= 0)
        {
            ::shutdown (copy, SHUT_WR);
            lingering.push_back ({ copy, Clock::now() + kLingerTime });
        }
    }
    delete c;
    *socketContext = nullptr;
}

void HttpFront::requestCompleted (MHD_Connection* handle, void** context)
{
    auto* r = static_cast<Request*> (*context);
    if (r == nullptr)
        return;
    release (*r);
    if (r->connection != nullptr)
    {
        // Bytes past the requests so far are the next request's, which began
        // no later than this one was whole: its deadline runs from there.
        const auto* header = MHD_get_connection_info (handle, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
        const RequestHead& head = r->request.head;
        Connection& c = *r->connection;
        std::lock_guard<std::mutex> guard (connectionsLock);
        if (c.state != Connection::State::ended)
        {
            const uint64_t received = bytesReceived (c.fd);
            // A chunked body's size on the wire is not known here.
            c.consumed = header != nullptr && head.transferEncoding.empty()
                ? std::min<uint64_t> (received, c.consumed + header->header_size + head.contentLength.value_or (0))
                : received;
            const bool begun = received > c.consumed;
            c.state = begun ? Connection::State::receiving : Connection::State::idle;
            c.since = begun ? c.whole : Clock::now();
        }
    }
    delete r;
    *context = nullptr;
}

void HttpFront::watchLoop()
{
    const auto keepAlive = std::chrono::milliseconds (limits.keepAliveMs);
    const auto deadline = std::chrono::milliseconds (limits.requestTimeoutMs);
    auto lastTrim = Clock::now();
    std::unique_lock<std::mutex> guard (connectionsLock);
    while (watching)
    {
        watchWake.wait_for (guard, std::chrono::milliseconds (40));
        const auto now = Clock::now();
        for (Connection* c : connections)
        {
            if (c->state == Connection::State::idle)
            {
                if (bytesReceived (c->fd) > c->consumed)
                {
                    c->state = Connection::State::receiving;
                    c->since = now;
                }
                else if (now - c->since >= keepAlive)
                {
                    end (c);
                    ::shutdown (c->fd, SHUT_RDWR);
                }
            }
            else if (c->state == Connection::State::receiving && now - c->since >= deadline)
            {
                // Nothing else writes to it while it is receiving.
                end (c);
                writeRefusal (c->fd, 408);
                ::shutdown (c->fd, SHUT_RDWR);
            }
            else if (c->state == Connection::State::receiving && senderDone (c->fd))
            {
                // The library does not always notice such a client leaving;
                // what its request holds is given back now, not at the deadline.
                if (! c->senderDoneSince)
                    c->senderDoneSince = now;
                else if (now - *c->senderDoneSince >= kSenderGone)
                {
                    end (c);
                    ::shutdown (c->fd, SHUT_RDWR);
                }
            }
            else
                c->senderDoneSince.reset();
        }
        drainLingering (now);
        if (now - lastTrim >= kTrimInterval && trimWanted.exchange (false))
        {
            guard.unlock();
            ::malloc_trim (0);
            guard.lock();
            lastTrim = Clock::now();
        }
    }
    for (const Lingering& l : lingering)
        ::close (l.fd);
    lingering.clear();
}

void HttpFront::drainLingering (Clock::time_point now)
{
    static char sink[65536];
    for (auto l = lingering.begin(); l != lingering.end();)
    {
        ssize_t got = 0;
        for (int i = 0; i < 64; ++i)
            if ((got = ::recv (l->fd, sink, sizeof (sink), MSG_DONTWAIT)) <= 0)
                break;
        const bool waiting = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (now < l->until && (got > 0 || waiting))
        {
            ++l;
            continue;
        }
        ::close (l->fd);
        l = lingering.erase (l);
    }
}
