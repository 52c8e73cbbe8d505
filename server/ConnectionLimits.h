#pragma once

#include <cstddef>

// How the preset server treats connections: slow, idle or many clients must
// not keep it from answering the others. Every per-address limit counts a
// client address as HttpFront::addressKey names it.
struct ConnectionLimits
{
    int workerThreads = 8;
    int requestTimeoutMs = 10000;   // first byte to the whole request, headers and body
    int keepAliveMs = 5000;         // idle wait for a connection's next (or first) request
    int keepAliveMaxRequests = 100; // requests on one connection before it is closed
    int maxConnections = 0;         // 0: from the open-file limit; always kept below it
    int perAddressConnections = 16; // from one client address at once
    int backlog = 128;              // connections queued before they are accepted
    size_t maxBodySize = 2 * 1024 * 1024;
    size_t bufferBudget = 64 * 1024 * 1024; // bodies of all requests being gathered together
    size_t addressBodyShare = 0;            // of that, what one address may hold; 0: an eighth
};
