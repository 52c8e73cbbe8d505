#pragma once

// What the preset server's handlers see of HTTP, whatever library carries it:
// the request's head first, then (for a request it wants) the whole body,
// and a reply back. Store and login logic can so be driven without sockets.

#include <cstdint>
#include <optional>
#include <string>

struct RequestHead
{
    std::string method, path;
    std::string peer;                     // what one client holds: HttpFront::addressKey of its address
    std::string contentType, contentEncoding, transferEncoding; // empty when absent
    std::optional<uint64_t> contentLength; // absent for chunked or bodiless requests
};

struct HttpRequest
{
    RequestHead head;
    std::string body; // as sent, never decoded
};

struct HttpReply
{
    int status = 200;
    std::string body;
    bool close = false; // the body was left unread: nothing after it on the connection can be trusted
};

class HttpHandler
{
public:
    virtual ~HttpHandler() = default;

    // A reply that needs no body (an answer or a refusal), sent before any of
    // the body is read; none when the body is wanted.
    virtual std::optional<HttpReply> screen (const RequestHead& head) = 0;

    // The reply to a whole request that screen let through. May block: it
    // runs on a worker thread.
    virtual HttpReply respond (const HttpRequest& request) = 0;

    // Whether respond() is quick for this request and need not wait for a
    // worker.
    virtual bool isQuick (const HttpRequest&) { return false; }
};
