#pragma once

#include "app/core/Cancellation.h"
#include "app/translation/ChatCompletion.h"
#include "relay/RateLimiter.h"
#include "relay/RelayLimits.h"
#include "relay/RelayRequest.h"
#include "relay/TransportPool.h"
#include "relay/TrustedProxy.h"

#include <QHttpServer>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <map>
#include <qcoro/qcorotask.h>

class BoundedTcpServer;

// The translation relay: POST /v1/complete with {"kind", "text"} is translated
// through Token Factory with the operator's key and answered with {"content"}
// or a status with a Korean {"message"}; GET /healthz reports that it runs.
// Logs carry counts and timings only, never a text or the key.
class RelayServer : public QObject {
    Q_OBJECT

public:
    // `upstream` is a chat-completions endpoint that gets `model` by name; an empty key sends
    // no Authorization header.
    RelayServer(QUrl upstream, QString key, RelayLimits limits = {}, TrustedProxy proxy = {},
                QString model = ChatCompletion::translationModel);
    ~RelayServer() override;

    // The port now listened on, or 0 when the address cannot be used.
    quint16 listen(const QHostAddress& address, quint16 port);
    // Stops listening and refuses further requests; the translations in flight
    // finish, each within the upstream time-out, their answers are sent, and
    // then drained() follows.
    void shutDown();

signals:
    void drained();

private:
    void answerTranslation(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void answerHealth(QHttpServerResponder&& responder);
    QCoro::Task<> translate(RelayRequest request, QHttpServerResponder responder);
    QCoro::Task<RelayResponse> askUpstream(RelayRequest request, Cancellation cancellation);
    void drainWhenIdle();

    QUrl m_upstream;
    QString m_key;
    QString m_model;
    RelayLimits m_limits;
    TrustedProxy m_proxy;
    RateLimiter m_rateLimiter;
    TransportPool m_transports;
    QHttpServer m_http;
    QPointer<BoundedTcpServer> m_listener; // owned by m_http
    std::map<int, Cancellation> m_upstreamCalls;
    int m_nextCallID = 0;
    int m_hangUps = 0;
    bool m_shuttingDown = false;
};
