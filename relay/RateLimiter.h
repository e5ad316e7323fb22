#pragma once

#include <QHash>
#include <QHostAddress>
#include <QString>
#include <chrono>

// A token bucket per client: a burst at once, then a steady rate. IPv6 clients
// count by their /64 network, which one subscriber usually holds whole.
// Clients whose bucket has refilled are forgotten, so the table stays as small
// as the set of recently active clients.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    RateLimiter(int burst, int perMinute);

    // Takes one request from the client's bucket; false when it is empty.
    bool admit(const QHostAddress& client, Clock::time_point now = Clock::now());

private:
    struct Bucket {
        double tokens;
        Clock::time_point updated;
    };

    double refilled(const Bucket& bucket, Clock::time_point now) const;
    void forgetRefilled(Clock::time_point now);

    double m_burst;
    double m_perSecond;
    QHash<QString, Bucket> m_buckets;
    Clock::time_point m_lastSweep;
};
