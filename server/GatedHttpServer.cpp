#include "GatedHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr size_t kReadChunk = 16 * 1024;
constexpr size_t kWriteChunk = 64 * 1024;
constexpr int kGateTickMs = 50;

const char* const kTimedOut = "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char* const kTooLarge = "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char* const kHeadersTooLong =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char* const kBadRequest = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char* const kBusy = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char* const kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

thread_local bool closeRequested = false;

// The library's accept loop hands each connection to its task queue; this one
// runs the hand-over at once, and the hand-over only parks the connection.
class InlineQueue : public httplib::TaskQueue
{
public:
    void enqueue (std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

bool equalsIgnoringCase (std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal (a.begin(), a.end(), b.begin(), [] (char x, char y) {
               return std::tolower ((unsigned char) x) == std::tolower ((unsigned char) y);
           });
}

std::string_view trimmed (std::string_view s)
{
    while (! s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix (1);
    while (! s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix (1);
    return s;
}

void addressOf (const sockaddr_storage& address, std::string& ip, int& port)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET)
    {
        const auto& v4 = reinterpret_cast<const sockaddr_in&> (address);
        ::inet_ntop (AF_INET, &v4.sin_addr, text, sizeof (text));
        port = ntohs (v4.sin_port);
    }
    else if (address.ss_family == AF_INET6)
    {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&> (address);
        ::inet_ntop (AF_INET6, &v6.sin6_addr, text, sizeof (text));
        port = ntohs (v6.sin6_port);
    }
    ip = text;
}

// Acknowledges at once what arrived: a client that holds back the rest of
// its request until then (Nagle) is not kept waiting for a delayed ACK.
void acknowledgeNow (int fd)
{
    const int on = 1;
    ::setsockopt (fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof (on));
}

int msUntil (std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - std::chrono::steady_clock::now()).count();
    return (int) std::clamp<long long> (left, 0, 60 * 60 * 1000);
}
} // namespace

struct GatedHttpServer::Connection
{
    Connection (int socket, std::atomic<int>& counter) : fd (socket), open (counter) { ++open; }
    ~Connection()
    {
        ::close (fd);
        --open;
    }

    const int fd;
    std::atomic<int>& open;
    std::string in;                  // received and not yet handled
    bool inRequest = false;          // a request has begun: the deadline is its own
    Clock::time_point deadline;      // of the request, or of the idle wait
    uint64_t discard = 0;            // body bytes of an oversized request still to drop
    bool discarding = false;
    int served = 0;
    std::string remoteIp, localIp;
    int remotePort = -1, localPort = -1;
};

// The library's view of one request on a connection: reads come from what
// the gate buffered, then from the socket until the request's deadline;
// writes are gathered and sent together, so a reply leaves in one go.
class GatedHttpServer::BufferedStream : public httplib::Stream
{
public:
    BufferedStream (Connection& c, Clock::time_point readBy, Clock::time_point writeBy, int stop)
        : connection (c), readDeadline (readBy), writeDeadline (writeBy), stopFd (stop) {}

    ~BufferedStream() override { connection.in.erase (0, position); }

    bool is_readable() const override
    {
        return position < connection.in.size() || waitFor (POLLIN, readDeadline);
    }

    bool is_writable() const override { return ! failed; }

    ssize_t read (char* ptr, size_t size) override
    {
        if (! flush())
            return -1;
        if (position == connection.in.size())
        {
            connection.in.clear();
            position = 0;
            const ssize_t got = receive();
            if (got <= 0)
                return got;
        }
        const size_t n = std::min (size, connection.in.size() - position);
        std::memcpy (ptr, connection.in.data() + position, n);
        position += n;
        return (ssize_t) n;
    }

    ssize_t write (const char* ptr, size_t size) override
    {
        if (failed)
            return -1;
        out.append (ptr, size);
        if (out.size() >= kWriteChunk && ! flush())
            return -1;
        return (ssize_t) size;
    }

    void get_remote_ip_and_port (std::string& ip, int& port) const override
    {
        ip = connection.remoteIp;
        port = connection.remotePort;
    }

    void get_local_ip_and_port (std::string& ip, int& port) const override
    {
        ip = connection.localIp;
        port = connection.localPort;
    }

    socket_t socket() const override { return connection.fd; }

    // Sends what was written; also before any read, so an interim reply
    // reaches a client that waits for it.
    bool flush()
    {
        size_t sent = 0;
        while (! failed && sent < out.size())
        {
            const ssize_t n = ::send (connection.fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += (size_t) n;
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                failed = ! waitFor (POLLOUT, writeDeadline);
            else
                failed = true;
        }
        out.clear();
        return ! failed;
    }

    bool hasFailed() const noexcept { return failed; }

private:
    // Waits for the socket until the deadline or the server's stop.
    bool waitFor (short events, Clock::time_point deadline) const
    {
        for (;;)
        {
            pollfd fds[2] = { { connection.fd, events, 0 }, { stopFd, POLLIN, 0 } };
            const int n = ::poll (fds, 2, msUntil (deadline));
            if (n < 0 && errno == EINTR)
                continue;
            return n > 0 && fds[1].revents == 0 && fds[0].revents != 0;
        }
    }

    ssize_t receive()
    {
        char chunk[kReadChunk];
        for (;;)
        {
            const ssize_t n = ::recv (connection.fd, chunk, sizeof (chunk), 0);
            if (n > 0)
            {
                connection.in.append (chunk, (size_t) n);
                acknowledgeNow (connection.fd);
                return n;
            }
            if (n == 0)
                return 0;
            if (errno == EINTR)
                continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || ! waitFor (POLLIN, readDeadline))
                return -1;
        }
    }

    Connection& connection;
    const Clock::time_point readDeadline, writeDeadline;
    const int stopFd;
    size_t position = 0;
    std::string out;
    bool failed = false;
};

GatedHttpServer::GatedHttpServer (ConnectionLimits l) : limits (l)
{
    limits.workerThreads = std::max (1, limits.workerThreads);
    limits.keepAliveMaxRequests = std::max (1, limits.keepAliveMaxRequests);
    limits.requestTimeoutMs = std::max (1, limits.requestTimeoutMs);
    limits.keepAliveMs = std::max (1, limits.keepAliveMs);

    // Every connection is a file: stay clear of the process's limit.
    rlimit files {};
    if (::getrlimit (RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        limits.maxConnections = std::min<long long> (limits.maxConnections, (long long) files.rlim_cur - 64);
    limits.maxConnections = std::max (1, limits.maxConnections);

    // What the library itself would use, and announces in its keep-alive header.
    new_task_queue = [] { return new InlineQueue(); };
    set_keep_alive_timeout ((limits.keepAliveMs + 999) / 1000);
    set_keep_alive_max_count ((size_t) limits.keepAliveMaxRequests);
    set_read_timeout (limits.requestTimeoutMs / 1000, (limits.requestTimeoutMs % 1000) * 1000);
    set_write_timeout (limits.requestTimeoutMs / 1000, (limits.requestTimeoutMs % 1000) * 1000);
    set_payload_max_length (limits.maxBodySize);
    set_tcp_nodelay (true);

    pollFd = ::epoll_create1 (EPOLL_CLOEXEC);
    wakeFd = ::eventfd (0, EFD_NONBLOCK | EFD_CLOEXEC);
    stopFd = ::eventfd (0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event wake {};
    wake.events = EPOLLIN;
    wake.data.fd = wakeFd;
    ::epoll_ctl (pollFd, EPOLL_CTL_ADD, wakeFd, &wake);

    gate = std::thread ([this] { gateLoop(); });
    for (int i = 0; i < limits.workerThreads; ++i)
        workers.emplace_back ([this] { workerLoop(); });
}

GatedHttpServer::~GatedHttpServer()
{
    stopping = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write (stopFd, &one, sizeof (one));
    r = ::write (wakeFd, &one, sizeof (one));
    {
        std::lock_guard<std::mutex> guard (readyLock);
        readyChanged.notify_all();
    }
    gate.join();
    for (auto& w : workers)
        w.join();
    waiting.clear();
    incoming.clear();
    readyQueue.clear();
    ::close (pollFd);
    ::close (wakeFd);
    ::close (stopFd);
}

int GatedHttpServer::bindToAnyPort (const std::string& host)
{
    const int port = bind_to_any_port (host);
    return port > 0 && raiseBacklog() ? port : -1;
}

bool GatedHttpServer::bindToPort (const std::string& host, int port)
{
    return bind_to_port (host, port) && raiseBacklog();
}

bool GatedHttpServer::raiseBacklog()
{
    // The library listens with a fixed short queue; listening again only
    // changes the queue's length.
    return ::listen (svr_sock_, limits.backlog) == 0;
}

void GatedHttpServer::closeAfterReply (httplib::Response& res)
{
    res.set_header ("Connection", "close");
    closeRequested = true;
}

bool GatedHttpServer::process_and_close_socket (socket_t sock)
{
    auto connection = std::make_unique<Connection> (sock, openConnections);
    if (stopping)
        return false;

    ::fcntl (sock, F_SETFL, ::fcntl (sock, F_GETFL) | O_NONBLOCK);
    // Replies leave as soon as they are written, not after the client's
    // delayed acknowledgement of the previous one.
    const int on = 1;
    ::setsockopt (sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof (on));

    sockaddr_storage address {};
    socklen_t length = sizeof (address);
    if (::getpeername (sock, reinterpret_cast<sockaddr*> (&address), &length) == 0)
        addressOf (address, connection->remoteIp, connection->remotePort);
    length = sizeof (address);
    if (::getsockname (sock, reinterpret_cast<sockaddr*> (&address), &length) == 0)
        addressOf (address, connection->localIp, connection->localPort);

    connection->deadline = Clock::now() + std::chrono::milliseconds (limits.keepAliveMs);
    park (std::move (connection));
    return true;
}

void GatedHttpServer::park (std::unique_ptr<Connection> connection)
{
    {
        std::lock_guard<std::mutex> guard (incomingLock);
        incoming.push_back (std::move (connection));
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write (wakeFd, &one, sizeof (one));
}

void GatedHttpServer::gateLoop()
{
    epoll_event events[64];
    auto lastSweep = Clock::now();
    while (! stopping)
    {
        const int n = ::epoll_wait (pollFd, events, 64, kGateTickMs);
        const auto now = Clock::now();
        for (int i = 0; i < n; ++i)
        {
            if (events[i].data.fd == wakeFd)
            {
                uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read (wakeFd, &count, sizeof (count));
                continue;
            }
            const auto found = waiting.find (events[i].data.fd);
            if (found != waiting.end())
                readFrom (*found->second, now);
        }

        std::vector<std::unique_ptr<Connection>> arrived;
        {
            std::lock_guard<std::mutex> guard (incomingLock);
            arrived.swap (incoming);
        }
        for (auto& c : arrived)
            admit (std::move (c), now);

        if (now - lastSweep >= std::chrono::milliseconds (kGateTickMs))
        {
            closeExpired (now);
            lastSweep = now;
        }
    }
}

void GatedHttpServer::admit (std::unique_ptr<Connection> connection, Clock::time_point now)
{
    // A new connection beyond the limit takes the place of the longest idle one.
    if (connection->served == 0 && ! connection->inRequest
        && openConnections > limits.maxConnections && ! evictOneIdle())
        return finish (std::move (connection), kBusy);

    if (connection->inRequest && ! connection->in.empty() && now >= connection->deadline)
        return finish (std::move (connection), kTimedOut);

    epoll_event event {};
    event.events = EPOLLIN;
    event.data.fd = connection->fd;
    if (::epoll_ctl (pollFd, EPOLL_CTL_ADD, connection->fd, &event) != 0)
        return finish (std::move (connection));

    const int fd = connection->fd;
    bufferedBytes += connection->in.size();
    Connection& c = *connection;
    waiting.emplace (fd, std::move (connection));
    if (! c.in.empty())
        settle (fd); // the next request already arrived with the previous one
}

void GatedHttpServer::readFrom (Connection& c, Clock::time_point now)
{
    const int fd = c.fd;
    const size_t connectionCap = kMaxHeaderBytes + limits.maxBodySize;
    char chunk[kReadChunk];
    bool ended = false;
    for (;;)
    {
        const ssize_t n = ::recv (fd, chunk, sizeof (chunk), 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
        {
            ended = true;
            break;
        }
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            break;
        }
        if (c.discarding)
        {
            c.discard -= std::min<uint64_t> (c.discard, (uint64_t) n);
            if (c.discard == 0)
                return finish (take (fd), kTooLarge);
            continue;
        }
        if (! c.inRequest)
        {
            c.inRequest = true;
            c.deadline = now + std::chrono::milliseconds (limits.requestTimeoutMs);
        }
        c.in.append (chunk, (size_t) n);
        bufferedBytes += (size_t) n;
        acknowledgeNow (fd);
        if (c.in.size() >= connectionCap || bufferedBytes >= limits.bufferBudget)
            break;
    }

    // A client may close its side once its request is sent.
    if (ended && (c.discarding || readiness (c) != Readiness::ready))
        return finish (take (fd));
    settle (fd);
}

void GatedHttpServer::settle (int fd)
{
    const auto found = waiting.find (fd);
    if (found == waiting.end())
        return;
    Connection& c = *found->second;
    if (c.discarding)
        return;
    switch (readiness (c))
    {
        case Readiness::needMore:
            // Past the budget the rest is read by a worker, within the deadline.
            if (c.in.size() < kMaxHeaderBytes + limits.maxBodySize && bufferedBytes < limits.bufferBudget)
                return;
            [[fallthrough]];
        case Readiness::ready:
            return dispatch (take (fd));
        case Readiness::tooLarge:
            bufferedBytes -= c.in.size();
            c.in.clear();
            if (c.discard == 0)
                return finish (take (fd), kTooLarge);
            c.discarding = true;
            return;
        case Readiness::headersTooLong:
            return finish (take (fd), kHeadersTooLong);
        case Readiness::badRequest:
            return finish (take (fd), kBadRequest);
    }
}

std::unique_ptr<GatedHttpServer::Connection> GatedHttpServer::take (int fd)
{
    const auto found = waiting.find (fd);
    std::unique_ptr<Connection> connection = std::move (found->second);
    waiting.erase (found);
    ::epoll_ctl (pollFd, EPOLL_CTL_DEL, fd, nullptr);
    bufferedBytes -= connection->in.size();
    return connection;
}

GatedHttpServer::Readiness GatedHttpServer::readiness (Connection& c)
{
    const std::string& in = c.in;
    // Lines may end in a bare line feed, which the library accepts too.
    const size_t crlf = in.find ("\r\n\r\n"), lf = in.find ("\n\n");
    if (crlf == std::string::npos && lf == std::string::npos)
        return in.size() > kMaxHeaderBytes ? Readiness::headersTooLong : Readiness::needMore;
    const size_t headerEnd = std::min (crlf == std::string::npos ? std::string::npos : crlf + 4,
                                       lf == std::string::npos ? std::string::npos : lf + 2);
    if (headerEnd > kMaxHeaderBytes)
        return Readiness::headersTooLong;

    bool hasLength = false, chunked = false;
    uint64_t length = 0;
    size_t expectAt = std::string::npos;
    size_t lineStart = in.find ('\n') + 1; // past the request line
    while (lineStart < headerEnd)
    {
        size_t lineEnd = in.find ('\n', lineStart);
        lineEnd = lineEnd == std::string::npos || lineEnd > headerEnd ? headerEnd : lineEnd;
        const std::string_view line (in.data() + lineStart, lineEnd - lineStart);
        const size_t colon = line.find (':');
        if (colon != std::string_view::npos)
        {
            const std::string_view name = trimmed (line.substr (0, colon)), value = trimmed (line.substr (colon + 1));
            if (equalsIgnoringCase (name, "Content-Length") && ! hasLength) // the first, as the library reads it
            {
                char* end = nullptr;
                const std::string digits (value);
                errno = 0;
                const unsigned long long parsed = std::strtoull (digits.c_str(), &end, 10);
                if (digits.empty() || *end != 0 || errno != 0 || ! std::isdigit ((unsigned char) digits[0]))
                    return Readiness::ready; // the library refuses it
                hasLength = true;
                length = parsed;
            }
            else if (equalsIgnoringCase (name, "Transfer-Encoding"))
            {
                // The library reads "chunked" alone; any other coding it
                // would read to the connection's end.
                if (! equalsIgnoringCase (value, "chunked"))
                    return Readiness::badRequest;
                chunked = true;
            }
            else if (equalsIgnoringCase (name, "Expect") && equalsIgnoringCase (value, "100-continue"))
                expectAt = lineStart + (size_t) (name.data() - line.data());
        }
        lineStart = lineEnd + 1;
    }

    if (! hasLength && ! chunked)
    {
        // No length and no chunks: no body. Said outright, or the library
        // would wait for one until the connection ends.
        static const std::string noBody = "Content-Length: 0\r\n";
        c.in.insert (in.find ('\n') + 1, noBody);
        bufferedBytes += noBody.size();
        return Readiness::ready;
    }

    const std::string_view body (in.data() + headerEnd, in.size() - headerEnd);
    bool whole = false;
    if (chunked)
        whole = body.rfind ("0\r\n\r\n", 0) == 0 || body.find ("\r\n0\r\n\r\n") != std::string_view::npos;
    else if (hasLength && length > limits.maxBodySize)
    {
        c.discard = length - std::min<uint64_t> (length, body.size());
        return Readiness::tooLarge;
    }
    else if (hasLength)
        whole = body.size() >= length;

    if (! whole && expectAt != std::string::npos)
    {
        // Answer the client's wait here, and hide the header from the
        // library so that it does not answer it again.
        [[maybe_unused]] const ssize_t r = ::send (c.fd, kContinue, std::strlen (kContinue), MSG_NOSIGNAL | MSG_DONTWAIT);
        c.in.replace (expectAt, 6, "X-Sent");
    }
    return whole ? Readiness::ready : Readiness::needMore;
}

void GatedHttpServer::closeExpired (Clock::time_point now)
{
    std::vector<int> expired;
    for (const auto& [fd, c] : waiting)
        if (now >= c->deadline)
            expired.push_back (fd);
    for (const int fd : expired)
    {
        auto connection = take (fd);
        const bool midRequest = connection->inRequest && (! connection->in.empty() || connection->discarding);
        finish (std::move (connection), midRequest ? kTimedOut : nullptr);
    }
}

bool GatedHttpServer::evictOneIdle()
{
    int oldest = -1;
    Clock::time_point oldestDeadline = Clock::time_point::max();
    for (const auto& [fd, c] : waiting)
        if (! c->inRequest && c->deadline < oldestDeadline)
        {
            oldest = fd;
            oldestDeadline = c->deadline;
        }
    if (oldest < 0)
        return false;
    finish (take (oldest));
    return true;
}

void GatedHttpServer::finish (std::unique_ptr<Connection> connection, const char* reply)
{
    if (reply != nullptr)
    {
        [[maybe_unused]] const ssize_t r = ::send (connection->fd, reply, std::strlen (reply), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    connection.reset();
}

void GatedHttpServer::dispatch (std::unique_ptr<Connection> connection)
{
    {
        std::lock_guard<std::mutex> guard (readyLock);
        readyQueue.push_back (std::move (connection));
    }
    readyChanged.notify_one();
}

void GatedHttpServer::workerLoop()
{
    for (;;)
    {
        std::unique_ptr<Connection> connection;
        {
            std::unique_lock<std::mutex> guard (readyLock);
            readyChanged.wait (guard, [this] { return stopping || ! readyQueue.empty(); });
            if (stopping)
                return;
            connection = std::move (readyQueue.front());
            readyQueue.pop_front();
        }
        serve (std::move (connection));
    }
}

void GatedHttpServer::serve (std::unique_ptr<Connection> connection)
{
    const auto now = Clock::now();
    const auto readBy = connection->inRequest ? connection->deadline : now + std::chrono::milliseconds (limits.requestTimeoutMs);
    const bool last = connection->served + 1 >= limits.keepAliveMaxRequests;
    bool closedByClient = false, ok = false, failed = false;
    closeRequested = false;
    {
        BufferedStream stream (*connection, readBy, now + std::chrono::milliseconds (limits.requestTimeoutMs), stopFd);
        try
        {
            ok = process_request (stream, last, closedByClient, nullptr);
        }
        catch (...)
        {
            ok = false;
        }
        ok = stream.flush() && ok;
        failed = stream.hasFailed();
    }
    ++connection->served;
    if (! ok || failed || closedByClient || last || closeRequested || stopping)
        return;

    // Bytes of a next request may have come with this one: its clock runs.
    const auto after = Clock::now();
    connection->inRequest = ! connection->in.empty();
    connection->deadline = after + std::chrono::milliseconds (connection->inRequest ? limits.requestTimeoutMs : limits.keepAliveMs);
    park (std::move (connection));
}
