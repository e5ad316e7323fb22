#include "relay/RelayServer.h"

#include "app/services/network/HttpTransport.h"
#include "app/services/network/TransportError.h"
#include "app/translation/TokenFactoryChat.h"
#include "relay/BoundedTcpServer.h"

#include <QElapsedTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QLoggingCategory>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {

Q_LOGGING_CATEGORY(relayLog, "relayo.relay")

// Room for the request line and headers on top of the body.
constexpr qint64 maxHeaderBytes = 8 * 1024;
// A translation of at most 600 tokens is far smaller.
constexpr qint64 maxUpstreamAnswerBytes = 256 * 1024;

void respond(QHttpServerResponder& responder, const RelayResponse& response) {
    const QPointer<QTcpSocket> socket = responder.socket();
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    responder.write(response.json(), {{"Content-Type", "application/json"}},
                    static_cast<QHttpServerResponder::StatusCode>(response.status));
}

// Behind the reverse proxy every peer is the proxy itself, which names the
// client in X-Real-IP; anyone else could forge that header.
QHostAddress clientOf(const QHttpServerRequest& request) {
    const QHostAddress peer = request.remoteAddress();
    const QHostAddress named(QString::fromLatin1(request.value("X-Real-IP").trimmed()));
    return peer.isLoopback() && !named.isNull() ? named : peer;
}

void logAnswer(const char* what, int status, qsizetype textLength, qint64 milliseconds) {
    qCInfo(relayLog, "%s status=%d length=%lld ms=%lld", what, status,
           static_cast<long long>(textLength), static_cast<long long>(milliseconds));
}

} // namespace

RelayServer::RelayServer(QUrl upstream, QString key, RelayLimits limits)
    : m_upstream(std::move(upstream)), m_key(std::move(key)), m_limits(limits),
      m_rateLimiter(limits.burstRequests, limits.requestsPerMinute),
      m_transport(std::make_unique<HttpTransport>()) {
    m_http.route("/v1/complete", QHttpServerRequest::Method::Post,
                 [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                     answerTranslation(request, std::move(responder));
                 });
    m_http.route("/healthz", QHttpServerRequest::Method::Get,
                 [this](const QHttpServerRequest&, QHttpServerResponder&& responder) {
                     answerHealth(std::move(responder));
                 });
    m_http.setMissingHandler([](const QHttpServerRequest&, QHttpServerResponder&& responder) {
        BoundedTcpServer::requestArrived(*responder.socket());
        respond(responder, RelayResponse::notFound());
    });
}

// Cancels what is still in flight: each call resumes here and ends, so none
// outlives the server. (After shutDown() and drained() there is none.)
RelayServer::~RelayServer() {
    const auto calls = std::exchange(m_upstreamCalls, {});
    for (const auto& [id, cancellation] : calls)
        cancellation.cancel();
}

quint16 RelayServer::listen(const QHostAddress& address, quint16 port) {
    auto listener = std::make_unique<BoundedTcpServer>(m_limits.maxBodyBytes + maxHeaderBytes,
                                                       RelayResponse::tooLarge().closingMessage());
    if (!listener->listen(address, port))
        return 0;
    const quint16 listening = listener->serverPort();
    m_http.bind(listener.release()); // the HTTP server becomes its parent
    return listening;
}

void RelayServer::shutDown() {
    m_shuttingDown = true;
    for (QTcpServer* listener : m_http.servers())
        listener->close();
    qCInfo(relayLog, "shutting down, %zu translations in flight", m_upstreamCalls.size());
    if (m_upstreamCalls.empty())
        emit drained();
}

void RelayServer::answerTranslation(const QHttpServerRequest& request,
                                    QHttpServerResponder&& responder) {
    BoundedTcpServer::requestArrived(*responder.socket());
    auto refuse = [&responder](const RelayResponse& response) {
        logAnswer("refused", response.status, 0, 0);
        respond(responder, response);
    };
    if (m_shuttingDown)
        return refuse(RelayResponse::shuttingDown());
    if (!m_rateLimiter.admit(clientOf(request)))
        return refuse(RelayResponse::tooManyRequests());
    auto parsed = RelayRequest::parse(request.body(), m_limits);
    if (const auto* refusal = std::get_if<RelayResponse>(&parsed))
        return refuse(*refusal);
    if (int(m_upstreamCalls.size()) >= m_limits.maxUpstreamCalls)
        return refuse(RelayResponse::busy());
    translate(std::get<RelayRequest>(std::move(parsed)), std::move(responder));
}

void RelayServer::answerHealth(QHttpServerResponder&& responder) {
    BoundedTcpServer::requestArrived(*responder.socket());
    respond(responder, m_shuttingDown ? RelayResponse::shuttingDown()
                                      : RelayResponse::healthy(int(m_upstreamCalls.size())));
}

QCoro::Task<> RelayServer::translate(RelayRequest request, QHttpServerResponder responder) {
    const int id = m_nextCallID++;
    const Cancellation cancellation;
    m_upstreamCalls.emplace(id, cancellation);
    QElapsedTimer elapsed;
    elapsed.start();
    const qsizetype textLength = request.text.size();
    const QByteArray kind = relayKind(request.direction).toLatin1();

    const RelayResponse response = co_await askUpstream(std::move(request), cancellation);
    m_upstreamCalls.erase(id);
    logAnswer(kind.constData(), response.status, textLength, elapsed.elapsed());
    respond(responder, response);
    if (m_shuttingDown && m_upstreamCalls.empty())
        emit drained();
}

QCoro::Task<RelayResponse> RelayServer::askUpstream(RelayRequest request,
                                                    Cancellation cancellation) {
    bool timedOut = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&timedOut, cancellation] {
        timedOut = true;
        cancellation.cancel();
    });
    deadline.start(m_limits.upstreamTimeout);
    try {
        const HttpTransport::Answer answer = co_await m_transport->send(
            TokenFactoryChat::request(m_upstream, m_key), QByteArrayLiteral("POST"),
            TokenFactoryChat::payload(request.direction, request.text), maxUpstreamAnswerBytes,
            cancellation);
        if (!answer.isSuccess())
            co_return RelayResponse::upstreamRefused(answer.status.value_or(0));
        const std::optional<QString> content = TokenFactoryChat::content(answer.body);
        co_return content ? RelayResponse::translation(*content) : RelayResponse::upstreamInvalid();
    } catch (const TransportError&) {
        co_return timedOut ? RelayResponse::upstreamTimedOut()
                           : RelayResponse::upstreamUnreachable();
    } catch (const ServiceError&) {
        co_return RelayResponse::upstreamInvalid();
    }
}
