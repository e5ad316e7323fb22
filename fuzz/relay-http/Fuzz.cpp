// Any bytes sent to the relay over a socket: whatever it makes of them, it closes the connection
// once the client stops sending and still answers /healthz on the next one. The relay runs once in
// this process, against an upstream that nobody listens on.

#include "relay/RelayServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <cstdlib>
#include <sys/socket.h>

namespace {

constexpr int deadlineMs = 5'000;

class Relay {
public:
    Relay() : m_server(QUrl(QStringLiteral("http://127.0.0.1:1/")), QStringLiteral("sk-fuzz")) {
        m_port = m_server.listen(QHostAddress::LocalHost, 0);
        if (m_port == 0)
            qFatal("the relay cannot listen on loopback");
    }
    quint16 port() const { return m_port; }

private:
    int m_argc = 1;
    char m_name[16] = "fuzz-relay-http";
    char* m_argv[1] = {m_name};
    QCoreApplication m_application{m_argc, m_argv};
    RelayServer m_server;
    quint16 m_port = 0;
};

template <typename Condition> bool waitFor(Condition done) {
    const QDeadlineTimer deadline(deadlineMs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    return done();
}

// Sends `request`, shuts the sending side and reads until the relay closes; false when it kept
// the connection open.
bool exchange(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    const auto closed = [&] {
        socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    };
    if (!waitFor([&] {
            return closed() || (socket.state() == QAbstractSocket::ConnectedState &&
                                socket.bytesToWrite() == 0);
        }))
        return false;
    if (!closed())
        ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
    return waitFor(closed);
}

// Whether the relay answers a health check on a new connection.
bool answersHealth(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET /healthz HTTP/1.1\r\nHost: relay\r\n\r\n");
    QByteArray received;
    waitFor([&] {
        received += socket.readAll();
        return received.endsWith('}') || socket.state() == QAbstractSocket::UnconnectedState;
    });
    return received.startsWith("HTTP/1.1 200 ") && received.endsWith('}');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Relay relay;
    const QByteArray request(reinterpret_cast<const char*>(data), qsizetype(size));
    if (!exchange(relay.port(), request))
        qFatal("the relay kept a connection open after its client stopped sending");
    if (!answersHealth(relay.port()))
        qFatal("the relay no longer answers /healthz");
    return 0;
}
