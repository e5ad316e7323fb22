#include "relay/BoundedTcpServer.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

constexpr char requestBytes[] = "relayoRequestBytes";
constexpr char refused[] = "relayoRefused";
// A refused client gets this long to read the refusal and hang up.
constexpr int lingerMs = 10'000;

} // namespace

BoundedTcpServer::BoundedTcpServer(qint64 maxRequestBytes, QByteArray refusal)
    : m_maxRequestBytes(maxRequestBytes), m_refusal(std::move(refusal)) {}

// Runs before the HTTP server connects its own reader, so this reader sees
// every arrival first and can take the bytes away from it.
QTcpSocket* BoundedTcpServer::nextPendingConnection() {
    QTcpSocket* socket = QTcpServer::nextPendingConnection();
    if (socket) {
        // Otherwise the socket takes in all that the kernel holds before anyone
        // counts it. A smaller buffer than a whole request stalls the HTTP server.
        socket->setReadBufferSize(m_maxRequestBytes + 1);
        connect(socket, &QTcpSocket::readyRead, socket,
                [this, socket] { countArrivingBytes(*socket); });
    }
    return socket;
}

void BoundedTcpServer::requestArrived(QTcpSocket& socket) {
    socket.setProperty(requestBytes, qint64(0));
}

void BoundedTcpServer::countArrivingBytes(QTcpSocket& socket) {
    if (socket.property(refused).toBool()) {
        socket.readAll();
        return;
    }
    const qint64 count = socket.property(requestBytes).toLongLong() + socket.bytesAvailable();
    socket.setProperty(requestBytes, count);
    if (count > m_maxRequestBytes)
        refuse(socket);
}

// Closing with unread bytes would reset the connection and could destroy the
// refusal before the client reads it, so the rest is read and dropped until
// the client hangs up or its time runs out.
void BoundedTcpServer::refuse(QTcpSocket& socket) {
    socket.setProperty(refused, true);
    socket.readAll();
    socket.write(m_refusal);
    QTimer::singleShot(lingerMs, &socket, &QTcpSocket::abort);
}
