#include "FaultServer.h"

#include <sys/socket.h>

#include <cerrno>

namespace faultserver
{
namespace
{
int hexValue (char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string formDecode (const std::string& in)
{
    std::string out;
    for (size_t i = 0; i < in.size(); ++i)
    {
        if (in[i] == '+')
            out += ' ';
        else if (in[i] == '%' && i + 2 < in.size() && hexValue (in[i + 1]) >= 0 && hexValue (in[i + 2]) >= 0)
        {
            out += (char) (hexValue (in[i + 1]) * 16 + hexValue (in[i + 2]));
            i += 2;
        }
        else
            out += in[i];
    }
    return out;
}

// Reads until the predicate holds, the peer closes, 2 s pass without a byte,
// or limit bytes have come.
template <typename Done>
void readUntil (juce::StreamingSocket& s, std::string& into, size_t limit, Done done)
{
    char buffer[16384];
    while (! done() && into.size() < limit)
    {
        if (s.waitUntilReady (true, 2000) != 1)
            return;
        const int n = s.read (buffer, (int) std::min (sizeof (buffer), limit - into.size()), false);
        if (n <= 0)
            return;
        into.append (buffer, (size_t) n);
    }
}
} // namespace

Step Step::reply (const std::string& body, int status, int delayMs)
{
    Step s;
    s.response = "HTTP/1.1 " + std::to_string (status) + (status == 200 ? " OK" : " Error")
               + "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string (body.size())
               + "\r\nConnection: close\r\n\r\n" + body;
    s.delayMs = delayMs;
    return s;
}

Step Step::raw (const std::string& bytes)
{
    Step s;
    s.response = bytes;
    return s;
}

Step Step::hangs()
{
    Step s;
    s.kind = hang;
    return s;
}

Step Step::closes()
{
    Step s;
    s.kind = close;
    return s;
}

std::vector<std::pair<std::string, std::string>> Request::fields() const
{
    std::vector<std::pair<std::string, std::string>> result;
    size_t start = 0;
    while (start < body.size())
    {
        size_t end = body.find ('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr (start, end - start);
        const size_t eq = pair.find ('=');
        result.emplace_back (formDecode (pair.substr (0, eq)), eq == std::string::npos ? "" : formDecode (pair.substr (eq + 1)));
        start = end + 1;
    }
    return result;
}

FaultServer::FaultServer() : juce::Thread ("fault server")
{
    if (listener.createListener (0, "127.0.0.1"))
        boundPort = listener.getBoundPort();
    startThread();
}

FaultServer::~FaultServer()
{
    signalThreadShouldExit();
    stopping.signal();
    stopThread (10000);
    listener.close();
}

std::string FaultServer::url (const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string (boundPort) + path;
}

void FaultServer::add (Step step)
{
    std::lock_guard<std::mutex> guard (lock);
    script.push_back (std::move (step));
}

std::vector<Request> FaultServer::requests() const
{
    std::lock_guard<std::mutex> guard (lock);
    return recorded;
}

bool FaultServer::waitForRequests (size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> guard (lock);
    return arrived.wait_for (guard, std::chrono::milliseconds (timeoutMs), [&] { return recorded.size() >= count; });
}

void FaultServer::run()
{
    while (! threadShouldExit())
    {
        if (listener.waitUntilReady (true, 50) != 1)
            continue;
        std::unique_ptr<juce::StreamingSocket> client (listener.waitForNextConnection());
        if (client != nullptr)
            serve (*client);
    }
}

void FaultServer::serve (juce::StreamingSocket& client)
{
    Request request;
    request.acceptedMs = juce::Time::getMillisecondCounterHiRes();

    std::string data;
    readUntil (client, data, 65536, [&] { return data.find ("\r\n\r\n") != std::string::npos; });
    const size_t headerEnd = data.find ("\r\n\r\n");
    if (headerEnd != std::string::npos)
    {
        request.headers = data.substr (0, headerEnd + 2);
        const size_t sp1 = data.find (' '), sp2 = data.find (' ', sp1 + 1);
        request.method = data.substr (0, sp1);
        request.path = data.substr (sp1 + 1, sp2 - sp1 - 1);

        size_t length = 0;
        const juce::String headers (request.headers);
        for (const auto& line : juce::StringArray::fromLines (headers))
            if (line.startsWithIgnoreCase ("Content-Length:"))
                length = (size_t) line.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue();
        // Exactly the announced length: a stray byte before or after the body
        // would show as a field that does not decode.
        request.body = data.substr (headerEnd + 4);
        readUntil (client, request.body, length, [&] { return request.body.size() >= length; });
    }

    Step step = Step::reply ("not found", 404);
    {
        std::lock_guard<std::mutex> guard (lock);
        recorded.push_back (request);
        if (! script.empty())
        {
            step = script.front();
            script.pop_front();
        }
    }
    arrived.notify_all();

    switch (step.kind)
    {
        case Step::hang:
            // Silent until the client gives up or the server stops.
            while (! stopping.wait (50))
            {
                char c;
                if (client.waitUntilReady (true, 0) == 1 && client.read (&c, 1, false) <= 0)
                    break;
            }
            break;
        case Step::close:
            break;
        case Step::bytes:
            if (step.delayMs > 0 && stopping.wait (step.delayMs))
                break;
        {
            // send() with MSG_NOSIGNAL: a client that gave up must not kill the test with SIGPIPE.
            size_t sent = 0;
            while (sent < step.response.size())
            {
                const ssize_t n = ::send (client.getRawSocketHandle(), step.response.data() + sent,
                                          step.response.size() - sent, MSG_NOSIGNAL);
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && client.waitUntilReady (false, 2000) == 1)
                    continue; // reading left the socket non-blocking
                if (n <= 0)
                    break;
                sent += (size_t) n;
            }
            break;
        }
    }
    client.close();
}
} // namespace faultserver
