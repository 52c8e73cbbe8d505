#include "HttpFront.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <linux/tcp.h> // tcp_info with the bytes received
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <strings.h>

namespace
{
constexpr size_t kMaxLingering = 256;
constexpr auto kLingerTime = std::chrono::seconds (2);
const char kTimedOut[] = "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

std::string headerValue (MHD_Connection* connection, const char* name)
{
    const char* value = MHD_lookup_connection_value (connection, MHD_HEADER_KIND, name);
    std::string text = value != nullptr ? value : "";
    const auto blank = [] (char c) { return c == ' ' || c == '\t'; };
    text.erase (text.begin(), std::find_if_not (text.begin(), text.end(), blank));
    while (! text.empty() && blank (text.back()))
        text.pop_back();
    return text;
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

std::string addressText (const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address == nullptr)
        return {};
    if (address->sa_family == AF_INET)
        ::inet_ntop (AF_INET, &reinterpret_cast<const sockaddr_in*> (address)->sin_addr, text, sizeof (text));
    else if (address->sa_family == AF_INET6)
        ::inet_ntop (AF_INET6, &reinterpret_cast<const sockaddr_in6*> (address)->sin6_addr, text, sizeof (text));
    return text;
}
} // namespace

struct HttpFront::Connection
{
    enum class State { idle, receiving, answering, ended };

    int fd = -1;
    std::string peer;
    State state = State::idle;
    Clock::time_point since;  // idle since, or the request's start
    uint64_t bytesAtIdle = 0;
    int requests = 0;
    bool linger = false; // answered before its body was read
};

struct HttpFront::Request
{
    enum class Phase { reading, working, ready };

    MHD_Connection* handle = nullptr;
    Connection* connection = nullptr;
    HttpRequest request;
    size_t reserved = 0;     // of the body budget
    std::atomic<Phase> phase { Phase::reading };
    bool failed = false;     // the worker's reply could not be queued
};

struct HttpFrontCallbacks
{
    static MHD_Result access (void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char*, const char* upload, size_t* uploadSize, void** context)
    {
        return static_cast<HttpFront*> (cls)->access (connection, url, method, upload, uploadSize, context) ? MHD_YES
                                                                                                           : MHD_NO;
    }

    static void completed (void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode)
    {
        static_cast<HttpFront*> (cls)->requestCompleted (context);
    }

    static void connection (void* cls, MHD_Connection* connection, void** socketContext,
                            MHD_ConnectionNotificationCode code)
    {
        auto* front = static_cast<HttpFront*> (cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED)
            front->connectionStarted (connection, socketContext);
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
}

HttpFront::~HttpFront()
{
    stop();
}

int HttpFront::start (const std::string& address, int port, std::string& error)
{
    if (daemon != nullptr)
        return (int) MHD_get_daemon_info (daemon, MHD_DAEMON_INFO_BIND_PORT)->port;

    addrinfo hints {}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    const std::string service = std::to_string (port);
    if (::getaddrinfo (address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr)
    {
        error = "cannot listen on " + address + ":" + service + ": unknown address";
        return -1;
    }
    sockaddr_storage bindAddress {};
    std::memcpy (&bindAddress, found->ai_addr, std::min<size_t> (found->ai_addrlen, sizeof (bindAddress)));
    const bool v6 = found->ai_family == AF_INET6;
    ::freeaddrinfo (found);

    // Every connection is an open file; stay below the limit.
    int maxConnections = std::max (1, limits.maxConnections);
    rlimit files {};
    if (::getrlimit (RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        maxConnections = (int) std::clamp<rlim_t> (files.rlim_cur > 64 ? files.rlim_cur - 64 : 1, 1, (rlim_t) maxConnections);
    limits.maxConnections = maxConnections;

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
    daemon = MHD_start_daemon (flags, (uint16_t) port, nullptr, nullptr, &HttpFrontCallbacks::access, this,
                               MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*> (&bindAddress),
                               MHD_OPTION_LISTENING_ADDRESS_REUSE, (unsigned) 1,
                               MHD_OPTION_THREAD_POOL_SIZE, pollers,
                               // Split among the pollers: the limit itself is kept here, with
                               // a place for the newcomer.
                               MHD_OPTION_CONNECTION_LIMIT, ((unsigned) maxConnections + 1) * pollers,
                               MHD_OPTION_PER_IP_CONNECTION_LIMIT, (unsigned) std::max (1, limits.perAddressConnections),
                               MHD_OPTION_CONNECTION_TIMEOUT, backstop,
                               MHD_OPTION_LISTEN_BACKLOG_SIZE, (unsigned) std::max (1, limits.backlog),
                               MHD_OPTION_NOTIFY_COMPLETED, &HttpFrontCallbacks::completed, this,
                               MHD_OPTION_NOTIFY_CONNECTION, &HttpFrontCallbacks::connection, this,
                               MHD_OPTION_URI_LOG_CALLBACK, &HttpFrontCallbacks::requestLine, this,
                               MHD_OPTION_END);
    if (daemon == nullptr)
    {
        error = "cannot listen on " + address + ":" + service;
        stop();
        return -1;
    }
    const auto* info = MHD_get_daemon_info (daemon, MHD_DAEMON_INFO_BIND_PORT);
    return info != nullptr ? (int) info->port : -1;
}

void HttpFront::stop()
{
    // Quiescing hands the listening socket to us: closed below, or the port
    // would go on taking connections that nobody answers.
    const MHD_socket listening = daemon != nullptr ? MHD_quiesce_daemon (daemon) : MHD_INVALID_SOCKET;
    // Workers finish and resume what they hold; then nothing more is queued.
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
    if (listening != MHD_INVALID_SOCKET)
        ::close (listening);
}

bool HttpFront::reserve (Request& r, size_t bytes)
{
    size_t now = held.load();
    do
    {
        if (bytes > limits.bufferBudget || now > limits.bufferBudget - bytes)
            return false;
    } while (! held.compare_exchange_weak (now, now + bytes));
    r.reserved += bytes;
    return true;
}

void HttpFront::release (Request& r)
{
    held -= r.reserved;
    r.reserved = 0;
    std::string().swap (r.request.body);
}

bool HttpFront::access (MHD_Connection* handle, const char* url, const char* method, const char* upload,
                        size_t* uploadSize, void** context)
{
    if (*context == nullptr)
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
        else if (auto reply = handler.screen (head))
            early = { reply->status, std::move (reply->body), reply->close || hasBody };
        else if (head.contentLength.value_or (0) > limits.maxBodySize)
            early.status = 413;
        else if (! reserve (*r, (size_t) head.contentLength.value_or (0)))
            early.status = 503; // the budget for bodies held at once is spent
        return early.status == 0 || send (handle, *r, early);
    }

    Request& r = *static_cast<Request*> (*context);
    if (*uploadSize > 0)
    {
        const size_t size = *uploadSize;
        *uploadSize = 0;
        if (r.phase != Request::Phase::reading)
            return true;
        const size_t total = r.request.body.size() + size;
        if (total > limits.maxBodySize)
            return send (handle, r, { 413, {}, true });
        if (total > r.reserved && ! reserve (r, total - r.reserved))
            return send (handle, r, { 503, {}, true });
        r.request.body.append (upload, size);
        return true;
    }

    if (r.phase == Request::Phase::ready)
        return ! r.failed; // the reply is queued
    if (r.phase == Request::Phase::working)
        return true;

    {
        std::lock_guard<std::mutex> guard (connectionsLock);
        if (r.connection->state == Connection::State::ended)
            return false;
        r.connection->state = Connection::State::answering;
    }
    if (handler.isQuick (r.request))
        return send (handle, r, answer (r));
    std::unique_lock<std::mutex> guard (jobsLock);
    if (stopping)
    {
        guard.unlock();
        return send (handle, r, { 503, {}, true });
    }
    r.phase = Request::Phase::working;
    MHD_suspend_connection (handle);
    jobs.push_back (&r);
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
        {
            std::unique_lock<std::mutex> guard (jobsLock);
            jobsChanged.wait (guard, [this] { return stopping || ! jobs.empty(); });
            if (jobs.empty())
                return;
            r = jobs.front();
            jobs.pop_front();
        }
        // Queued while the connection is suspended, so the poller writes
        // it as soon as it takes the connection back.
        MHD_Connection* handle = r->handle;
        r->phase = Request::Phase::ready;
        if (! send (handle, *r, answer (*r)))
            r->failed = true;
        MHD_resume_connection (handle);
    }
}

void HttpFront::connectionStarted (MHD_Connection* handle, void** socketContext)
{
    const auto* fd = MHD_get_connection_info (handle, MHD_CONNECTION_INFO_CONNECTION_FD);
    const auto* address = MHD_get_connection_info (handle, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    auto* c = new Connection;
    c->fd = fd != nullptr ? fd->connect_fd : -1;
    c->peer = addressText (address != nullptr ? address->client_addr : nullptr);
    c->since = Clock::now();
    c->bytesAtIdle = bytesReceived (c->fd);
    *socketContext = c;

    std::lock_guard<std::mutex> guard (connectionsLock);
    connections.push_back (c);
    // At the limit a newcomer takes the place of the longest idle connection;
    // with none idle, it is refused.
    const auto open = std::count_if (connections.begin(), connections.end(),
                                     [] (const Connection* o) { return o->state != Connection::State::ended; });
    if (open <= limits.maxConnections)
        return;
    Connection* oldest = c;
    for (Connection* o : connections)
        if (o != c && o->state == Connection::State::idle && (oldest == c || o->since < oldest->since))
            oldest = o;
    oldest->state = Connection::State::ended;
    ::shutdown (oldest->fd, SHUT_RDWR);
}

void HttpFront::connectionClosed (void** socketContext)
{
    auto* c = static_cast<Connection*> (*socketContext);
    if (c == nullptr)
        return;
    std::lock_guard<std::mutex> guard (connectionsLock);
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

void HttpFront::requestCompleted (void** context)
{
    auto* r = static_cast<Request*> (*context);
    if (r == nullptr)
        return;
    release (*r);
    if (r->connection != nullptr)
    {
        std::lock_guard<std::mutex> guard (connectionsLock);
        if (r->connection->state != Connection::State::ended)
        {
            r->connection->state = Connection::State::idle;
            r->connection->since = Clock::now();
            r->connection->bytesAtIdle = bytesReceived (r->connection->fd);
        }
    }
    delete r;
    *context = nullptr;
}

void HttpFront::watchLoop()
{
    const auto keepAlive = std::chrono::milliseconds (limits.keepAliveMs);
    const auto deadline = std::chrono::milliseconds (limits.requestTimeoutMs);
    std::unique_lock<std::mutex> guard (connectionsLock);
    while (watching)
    {
        watchWake.wait_for (guard, std::chrono::milliseconds (40));
        const auto now = Clock::now();
        for (Connection* c : connections)
        {
            if (c->state == Connection::State::idle)
            {
                if (bytesReceived (c->fd) > c->bytesAtIdle)
                {
                    c->state = Connection::State::receiving;
                    c->since = now;
                }
                else if (now - c->since >= keepAlive)
                {
                    c->state = Connection::State::ended;
                    ::shutdown (c->fd, SHUT_RDWR);
                }
            }
            else if (c->state == Connection::State::receiving && now - c->since >= deadline)
            {
                // Nothing else writes to it while it is receiving.
                c->state = Connection::State::ended;
                ::send (c->fd, kTimedOut, sizeof (kTimedOut) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                ::shutdown (c->fd, SHUT_RDWR);
            }
        }
        drainLingering (now);
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
