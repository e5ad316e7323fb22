#include "relay/BoundedTcpServer.h"

#include "relay/ClientConnection.h"

#include <QTcpSocket>
#include <QTimer>
#include <unistd.h>

namespace {

// After a failed accept (out of descriptors), the listener rests this long before trying again.
constexpr std::chrono::milliseconds acceptErrorPause{1'000};
// Qt's default: accepted connections not yet taken by the HTTP server.
constexpr int queuedConnections = 30;

} // namespace

BoundedTcpServer::BoundedTcpServer(const RelayLimits& limits, TrustedProxy proxy)
    : m_limits(limits), m_proxy(std::move(proxy)) {
    connect(this, &QTcpServer::acceptError, this, &BoundedTcpServer::pauseAfterAcceptError);
}

void BoundedTcpServer::closeConnections(std::chrono::milliseconds bound) {
    m_closing = true;
    if (m_connections.isEmpty())
        return finishClosing();
    for (ClientConnection* connection : m_connections)
        connection->close();
    QTimer::singleShot(bound, this, &BoundedTcpServer::finishClosing);
}

void BoundedTcpServer::incomingConnection(qintptr descriptor) {
    if (m_connections.size() >= m_limits.maxConnections) {
        ::close(int(descriptor));
        return stopAccepting();
    }
    auto socket = std::make_unique<QTcpSocket>(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        return;
    }
    const QHostAddress peer = socket->peerAddress();
    if (!m_proxy.isTrusted(peer) && m_perAddress.value(peer) >= m_limits.maxConnectionsPerAddress)
        return;                                                 // the socket closes as it goes
    auto* connection = new ClientConnection(*socket, m_limits); // owned by the socket
    connect(connection, &QObject::destroyed, this,
            [this, peer, connection] { forget(peer, connection); });
    ++m_perAddress[peer];
    m_connections.append(connection);
    addPendingConnection(socket.release());
    if (m_connections.size() >= m_limits.maxConnections)
        stopAccepting();
}

void BoundedTcpServer::forget(const QHostAddress& peer, ClientConnection* connection) {
    m_connections.removeOne(connection);
    if (--m_perAddress[peer] == 0)
        m_perAddress.remove(peer);
    if (m_connections.isEmpty())
        finishClosing();
    if (isListening() && m_connections.size() < m_limits.maxConnections) {
        setMaxPendingConnections(queuedConnections);
        resumeAccepting();
    }
}

// Pausing alone would not stop the accepting loop that is running; no room for pending
// connections does.
void BoundedTcpServer::stopAccepting() {
    setMaxPendingConnections(0);
    pauseAccepting();
}

void BoundedTcpServer::finishClosing() {
    if (std::exchange(m_closing, false))
        emit closed();
}

void BoundedTcpServer::pauseAfterAcceptError() {
    pauseAccepting();
    QTimer::singleShot(acceptErrorPause, this, [this] {
        if (isListening() && m_connections.size() < m_limits.maxConnections)
            resumeAccepting();
    });
}
