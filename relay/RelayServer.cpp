#include "relay/RelayServer.h"

#include "app/core/Deadline.h"
#include "app/services/network/HttpTransport.h"
#include "app/services/network/TransportError.h"
#include "app/translation/ChatCompletion.h"
#include "relay/BoundedTcpServer.h"
#include "relay/ClientConnection.h"

#include <QElapsedTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QTimer>

namespace {

Q_LOGGING_CATEGORY(relayLog, "relayo.relay")

// A translation of at most 600 tokens is far smaller.
constexpr qint64 maxUpstreamAnswerBytes = 256 * 1024;
// How long the last answers get to reach their clients on shutdown.
constexpr std::chrono::milliseconds flushBound{10'000};

void respond(QHttpServerResponder& responder, const RelayResponse& response) {
    if (ClientConnection* connection = ClientConnection::of(responder.socket()))
        connection->answer(responder, response);
}

void logAnswer(const char* what, int status, qsizetype textLength, qint64 milliseconds) {
    qCInfo(relayLog, "%s status=%d length=%lld ms=%lld", what, status,
           static_cast<long long>(textLength), static_cast<long long>(milliseconds));
}

} // namespace

RelayServer::RelayServer(QUrl upstream, QString key, RelayLimits limits, TrustedProxy proxy,
                         QString model)
    : m_upstream(std::move(upstream)), m_key(std::move(key)), m_model(std::move(model)),
      m_limits(limits), m_proxy(std::move(proxy)),
      m_rateLimiter(limits.burstRequests, limits.requestsPerMinute),
      m_transports(limits.maxUpstreamCalls) {
    m_http.route("/v1/complete", QHttpServerRequest::Method::Post,
                 [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                     answerTranslation(request, std::move(responder));
                 });
    m_http.route("/healthz", QHttpServerRequest::Method::Get,
                 [this](const QHttpServerRequest&, QHttpServerResponder&& responder) {
                     answerHealth(std::move(responder));
                 });
    m_http.setMissingHandler([](const QHttpServerRequest&, QHttpServerResponder&& responder) {
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
    auto listener = std::make_unique<BoundedTcpServer>(m_limits, m_proxy);
    if (!listener->listen(address, port))
        return 0;
    const quint16 listening = listener->serverPort();
    connect(listener.get(), &BoundedTcpServer::closed, this, &RelayServer::drained);
    m_listener = listener.get();
    m_http.bind(listener.release()); // the HTTP server becomes its parent
    return listening;
}

void RelayServer::shutDown() {
    m_shuttingDown = true;
    for (QTcpServer* listener : m_http.servers())
        listener->close();
    qCInfo(relayLog, "shutting down, %zu translations in flight", m_upstreamCalls.size());
    drainWhenIdle();
}

void RelayServer::answerTranslation(const QHttpServerRequest& request,
                                    QHttpServerResponder&& responder) {
    auto refuse = [&responder](const RelayResponse& response) {
        logAnswer("refused", response.status, 0, 0);
        respond(responder, response);
    };
    if (m_shuttingDown)
        return refuse(RelayResponse::shuttingDown());
    const auto client = m_proxy.clientOf(request.remoteAddress(), request.value("X-Real-IP"));
    if (!client)
        return refuse(RelayResponse::badRequest());
    if (!m_rateLimiter.admit(*client))
        return refuse(RelayResponse::tooManyRequests());
    auto parsed = RelayRequest::parse(request.body(), m_limits);
    if (const auto* refusal = std::get_if<RelayResponse>(&parsed))
        return refuse(*refusal);
    if (int(m_upstreamCalls.size()) >= m_limits.maxUpstreamCalls)
        return refuse(RelayResponse::busy());
    translate(std::get<RelayRequest>(std::move(parsed)), std::move(responder));
}

void RelayServer::answerHealth(QHttpServerResponder&& responder) {
    respond(responder, m_shuttingDown ? RelayResponse::shuttingDown()
                                      : RelayResponse::healthy(int(m_upstreamCalls.size())));
}

// The client may leave while the call waits upstream: its socket, the request and the
// responder's view of them are then gone, so the connection is held by a guard taken before
// the first suspension, and the call is cancelled when the client goes.
QCoro::Task<> RelayServer::translate(RelayRequest request, QHttpServerResponder responder) {
    const QPointer<ClientConnection> connection = ClientConnection::of(responder.socket());
    const int id = m_nextCallID++;
    const Cancellation cancellation;
    m_upstreamCalls.emplace(id, cancellation);
    const QMetaObject::Connection cancelWhenGone = connect(
        connection, &ClientConnection::gone, this, [cancellation] { cancellation.cancel(); });
    QElapsedTimer elapsed;
    elapsed.start();
    const qsizetype textLength = request.text.size();
    const QByteArray kind = relayKind(request.direction).toLatin1();

    const RelayResponse response = co_await askUpstream(std::move(request), cancellation);
    disconnect(cancelWhenGone);
    m_upstreamCalls.erase(id);
    if (connection && connection->awaitsAnswer()) {
        logAnswer(kind.constData(), response.status, textLength, elapsed.elapsed());
        connection->answer(responder, response);
    } else {
        qCInfo(relayLog, "%s client left length=%lld ms=%lld hang-ups=%d", kind.constData(),
               static_cast<long long>(textLength), static_cast<long long>(elapsed.elapsed()),
               ++m_hangUps);
    }
    drainWhenIdle();
}

void RelayServer::drainWhenIdle() {
    if (!m_shuttingDown || !m_upstreamCalls.empty())
        return;
    if (m_listener)
        m_listener->closeConnections(flushBound);
    else
        emit drained();
}

QCoro::Task<RelayResponse> RelayServer::askUpstream(RelayRequest request,
                                                    Cancellation cancellation) {
    const Deadline deadline(cancellation, m_limits.upstreamTimeout);
    const TransportPool::Lease lease = m_transports.lease();
    try {
        const HttpTransport::Answer answer = co_await lease.transport().send(
            ChatCompletion::request(m_upstream, m_key), QByteArrayLiteral("POST"),
            ChatCompletion::payload(request.direction, request.text, m_model),
            maxUpstreamAnswerBytes, deadline.cancellation());
        if (!answer.isSuccess())
            co_return RelayResponse::upstreamRefused(answer.status.value_or(0));
        const std::optional<QString> content = ChatCompletion::content(answer.body);
        co_return content ? RelayResponse::translation(*content) : RelayResponse::upstreamInvalid();
    } catch (const TransportError&) {
        co_return deadline.hasPassed() ? RelayResponse::upstreamTimedOut()
                                       : RelayResponse::upstreamUnreachable();
    } catch (const ServiceError&) {
        co_return RelayResponse::upstreamInvalid();
    }
}
