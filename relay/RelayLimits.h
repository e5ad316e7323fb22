#pragma once

#include <QtGlobal>
#include <chrono>

// The bounds that let the relay face the internet.
struct RelayLimits {
    // A request body, and the text inside it in UTF-16 code units; a caption
    // sentence or a spoken reply is far shorter.
    qint64 maxBodyBytes = 16 * 1024;
    qsizetype maxTextLength = 2000;
    // The request line and header fields of one request.
    qint64 maxHeadBytes = 8 * 1024;
    // Per client address: a burst, refilled at a steady rate.
    int burstRequests = 30;
    int requestsPerMinute = 60;
    // Translations waiting on Token Factory at once; more are refused at once.
    int maxUpstreamCalls = 64;
    // Below the app's own 90-second time-out, so the user sees the relay's message.
    std::chrono::milliseconds upstreamTimeout{60'000};
    // Client connections open at once, in all and from one address other than the trusted
    // proxy; the executable keeps the total below its descriptor limit.
    int maxConnections = 1024;
    int maxConnectionsPerAddress = 16;
    // How long a client may take to send a request's head, then its body, and how long a
    // connection may wait for its next request.
    std::chrono::milliseconds headTimeout{10'000};
    std::chrono::milliseconds bodyTimeout{20'000};
    std::chrono::milliseconds idleTimeout{30'000};
};
