#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <optional>

// The reverse proxy in front of the relay, which names each client in X-Real-IP: any loopback
// peer unless the operator names one address. Anyone else could forge that header, so it counts
// only from this proxy.
class TrustedProxy {
public:
    TrustedProxy() = default;
    explicit TrustedProxy(QHostAddress address);

    bool isTrusted(const QHostAddress& peer) const;
    // The client behind a request from `peer` whose X-Real-IP is `named` (empty when absent):
    // the named address from the proxy, else the peer itself. Nothing when the proxy names no
    // valid address, which would put its clients into one shared bucket.
    std::optional<QHostAddress> clientOf(const QHostAddress& peer, const QByteArray& named) const;

private:
    std::optional<QHostAddress> m_address;
};
