#include "relay/RateLimiter.h"

#include <algorithm>

namespace {

constexpr auto sweepInterval = std::chrono::minutes(1);

QString clientKey(const QHostAddress& client) {
    bool isIPv4 = false;
    const quint32 ipv4 = client.toIPv4Address(&isIPv4);
    if (isIPv4)
        return QHostAddress(ipv4).toString();
    Q_IPV6ADDR network = client.toIPv6Address();
    std::fill(network.c + 8, network.c + 16, quint8(0));
    return QHostAddress(network).toString();
}

} // namespace

RateLimiter::RateLimiter(int burst, int perMinute)
    : m_burst(burst), m_perSecond(perMinute / 60.0), m_lastSweep(Clock::now()) {}

bool RateLimiter::admit(const QHostAddress& client, Clock::time_point now) {
    if (now - m_lastSweep >= sweepInterval)
        forgetRefilled(now);
    const QString key = clientKey(client);
    auto bucket = m_buckets.find(key);
    if (bucket == m_buckets.end())
        bucket = m_buckets.insert(key, Bucket{m_burst, now});
    bucket->tokens = refilled(*bucket, now);
    bucket->updated = now;
    if (bucket->tokens < 1.0)
        return false;
    bucket->tokens -= 1.0;
    return true;
}

double RateLimiter::refilled(const Bucket& bucket, Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - bucket.updated).count();
    return std::min(m_burst, bucket.tokens + seconds * m_perSecond);
}

void RateLimiter::forgetRefilled(Clock::time_point now) {
    m_lastSweep = now;
    m_buckets.removeIf([&](const auto& entry) { return refilled(entry.value(), now) >= m_burst; });
}
