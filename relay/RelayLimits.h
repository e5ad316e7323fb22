#pragma once

#include <QtGlobal>
#include <chrono>

// The bounds that let the relay face the internet.
struct RelayLimits {
    // A request body, and the text inside it in UTF-16 code units; a caption
    // sentence or a spoken reply is far shorter.
    qint64 maxBodyBytes = 16 * 1024;
    qsizetype maxTextLength = 2000;
    // Per client address: a burst, refilled at a steady rate.
    int burstRequests = 30;
    int requestsPerMinute = 60;
    // Translations waiting on Token Factory at once; more are refused at once.
    int maxUpstreamCalls = 64;
    // Below the app's own 90-second time-out, so the user sees the relay's message.
    std::chrono::milliseconds upstreamTimeout{60'000};
};
