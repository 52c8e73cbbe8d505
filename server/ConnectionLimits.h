#pragma once

#include <cstddef>

// How the preset server treats connections: slow, idle or many clients must
// not keep it from answering the others.
struct ConnectionLimits
{
    int workerThreads = 8;
    int requestTimeoutMs = 10000;   // first byte to the whole request, headers and body
    int keepAliveMs = 5000;         // idle wait for a connection's next (or first) request
    int keepAliveMaxRequests = 100; // requests on one connection before it is closed
    int maxConnections = 1000;      // also kept below the process's open-file limit
    int perAddressConnections = 16; // from one client address at once
    int backlog = 128;              // connections queued before they are accepted
    size_t maxBodySize = 2 * 1024 * 1024;
    size_t bufferBudget = 64 * 1024 * 1024; // bodies of all requests being gathered together
};
