#pragma once

#include "relay/RelayLimits.h"
#include "relay/TrustedProxy.h"

#include <QHash>
#include <QHostAddress>
#include <QTcpServer>

class ClientConnection;

// The relay's listener: bounds the connections open at once, in all and per address (the trusted
// proxy speaks for many clients and is not bounded per address), and gives each accepted socket
// its ClientConnection before the HTTP server sees it. At the bound it stops accepting, so the
// waiting connections stay in the kernel's queue instead of spinning on failed accepts.
class BoundedTcpServer : public QTcpServer {
    Q_OBJECT

public:
    BoundedTcpServer(const RelayLimits& limits, TrustedProxy proxy);

    // Closes every connection once its answers are sent; closed() follows when none is left, or
    // after `bound` at the latest.
    void closeConnections(std::chrono::milliseconds bound);

signals:
    void closed();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void forget(const QHostAddress& peer, ClientConnection* connection);
    void stopAccepting();
    void finishClosing();
    void pauseAfterAcceptError();

    RelayLimits m_limits;
    TrustedProxy m_proxy;
    QHash<QHostAddress, int> m_perAddress;
    QList<ClientConnection*> m_connections; // each owned by its socket
    bool m_closing = false;
};
