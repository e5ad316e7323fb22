#pragma once

#include "relay/RelayLimits.h"
#include "relay/RelayResponse.h"
#include "relay/RequestFraming.h"

#include <QObject>
#include <QTimer>

class QHttpServerResponder;
class QTcpSocket;

// One client connection, a child of its socket: checks the framing of every byte before the HTTP
// server reads it and answers a broken request itself, writes the relay's answers, and closes the
// connection when the client is too slow with a request's head or body or stays idle too long.
class ClientConnection : public QObject {
    Q_OBJECT

public:
    ClientConnection(QTcpSocket& socket, const RelayLimits& limits);

    // The connection of a socket that the relay's listener accepted.
    static ClientConnection* of(const QTcpSocket* socket);

    // Whether a request waits for its answer and the client is still there to read it.
    bool awaitsAnswer() const;
    // Writes the answer to the request taken, if it still awaits one.
    void answer(QHttpServerResponder& responder, const RelayResponse& response);
    // Closes once everything written has been sent.
    void close();

signals:
    // The client hung up, or broke the framing: no answer reaches it any more.
    void gone();

private:
    void takeArrivingBytes();
    void refuse(const RelayResponse& refusal);
    void startDeadline();

    QTcpSocket& m_socket;
    RelayLimits m_limits;
    RequestFraming m_framing;
    QTimer m_deadline;
};
