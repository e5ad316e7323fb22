#include "relay/TrustedProxy.h"

TrustedProxy::TrustedProxy(QHostAddress address) : m_address(std::move(address)) {}

bool TrustedProxy::isTrusted(const QHostAddress& peer) const {
    return m_address ? peer.isEqual(*m_address, QHostAddress::ConvertV4MappedToIPv4)
                     : peer.isLoopback();
}

std::optional<QHostAddress> TrustedProxy::clientOf(const QHostAddress& peer,
                                                   const QByteArray& named) const {
    if (!isTrusted(peer))
        return peer;
    const QHostAddress client(QString::fromLatin1(named.trimmed()));
    if (client.isNull())
        return std::nullopt;
    return client;
}
