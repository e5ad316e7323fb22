#include "relay/ClientConnection.h"

#include <QHttpServerResponder>
#include <QTcpSocket>
#include <sys/socket.h>

namespace {

// A refused client gets this long to read the refusal and hang up.
constexpr std::chrono::milliseconds refusalLinger{10'000};

} // namespace

ClientConnection::ClientConnection(QTcpSocket& socket, const RelayLimits& limits)
    : QObject(&socket), m_socket(socket), m_limits(limits),
      m_framing(limits.maxHeadBytes, limits.maxBodyBytes) {
    // Otherwise the socket takes in all that the kernel holds before anyone checks it. A smaller
    // buffer than a whole request stalls the HTTP server.
    socket.setReadBufferSize(limits.maxHeadBytes + limits.maxBodyBytes + 1);
    // Made before the HTTP server connects its own reader, so this one sees every arrival first.
    connect(&socket, &QTcpSocket::readyRead, this, &ClientConnection::takeArrivingBytes);
    connect(&socket, &QTcpSocket::disconnected, this, &ClientConnection::gone);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, &socket, &QTcpSocket::abort);
    startDeadline();
}

ClientConnection* ClientConnection::of(const QTcpSocket* socket) {
    return socket ? socket->findChild<ClientConnection*>(QString(), Qt::FindDirectChildrenOnly)
                  : nullptr;
}

bool ClientConnection::awaitsAnswer() const {
    return m_framing.stage() == RequestFraming::Stage::Answering &&
           m_socket.state() == QAbstractSocket::ConnectedState;
}

void ClientConnection::answer(QHttpServerResponder& responder, const RelayResponse& response) {
    if (!awaitsAnswer())
        return;
    responder.write(response.json(), {{"Content-Type", "application/json"}},
                    static_cast<QHttpServerResponder::StatusCode>(response.status));
    m_framing.answered();
    startDeadline();
}

void ClientConnection::close() {
    m_socket.disconnectFromHost();
}

void ClientConnection::takeArrivingBytes() {
    const auto before = m_framing.stage();
    const QByteArray arrived = m_socket.peek(m_socket.bytesAvailable());
    if (before == RequestFraming::Stage::Refused) {
        m_socket.read(arrived.size());
        return;
    }
    if (const auto refusal = m_framing.take(arrived))
        return refuse(*refusal);
    if (m_framing.stage() != before)
        startDeadline();
}

// Closing with unread bytes would reset the connection and could destroy the refusal before the
// client reads it, so once the refusal is sent only the sending side is shut, and the rest is read
// and dropped until the client hangs up or its time runs out. The bytes are taken away before the
// HTTP server sees them.
void ClientConnection::refuse(const RelayResponse& refusal) {
    m_socket.readAll();
    m_socket.write(refusal.closingMessage());
    connect(&m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_socket.bytesToWrite() == 0)
            ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR);
    });
    startDeadline();
    emit gone();
}

// The client's time for what the connection waits for; an answer due from the relay itself is
// bounded by the upstream time-out, and the deadline then only catches a request the HTTP server
// never took.
void ClientConnection::startDeadline() {
    switch (m_framing.stage()) {
    case RequestFraming::Stage::Idle:
        return m_deadline.start(m_limits.idleTimeout);
    case RequestFraming::Stage::Head:
        return m_deadline.start(m_limits.headTimeout);
    case RequestFraming::Stage::Body:
        return m_deadline.start(m_limits.bodyTimeout);
    case RequestFraming::Stage::Answering:
        return m_deadline.start(m_limits.upstreamTimeout + m_limits.idleTimeout);
    case RequestFraming::Stage::Refused:
        return m_deadline.start(refusalLinger);
    }
}
