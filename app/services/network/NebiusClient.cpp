#include "app/services/network/NebiusClient.h"

#include "app/services/network/NebiusAnswer.h"
#include "app/services/network/NebiusError.h"
#include "app/services/network/TransportError.h"
#include "app/translation/TokenFactoryChat.h"
#include "app/translation/TokenFactoryKey.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr int requestTimeoutMs = 90'000;
constexpr qint64 maxAnswerBytes = 1024 * 1024;
const QByteArray post = QByteArrayLiteral("POST");

QNetworkRequest jsonPost(const QUrl& url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(requestTimeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    return request;
}

} // namespace

NebiusClient::NebiusClient(QUrl endpoint, QUrl relayEndpoint)
    : m_endpoint(std::move(endpoint)), m_relayEndpoint(std::move(relayEndpoint)),
      m_transport(std::make_unique<HttpTransport>()) {}

NebiusClient::~NebiusClient() = default;

QCoro::Task<QString> NebiusClient::translateToKorean(QString english, Cancellation cancellation) {
    const QString answer =
        co_await requestContent(TranslationDirection::englishToKorean, english, cancellation);
    co_return answer.trimmed();
}

QCoro::Task<QString> NebiusClient::translateToEnglish(QString korean, Cancellation cancellation) {
    const QString answer =
        co_await requestContent(TranslationDirection::koreanToEnglish, korean, cancellation);
    co_return answer.trimmed();
}

QCoro::Task<QString> NebiusClient::requestContent(TranslationDirection direction, QString text,
                                                  Cancellation cancellation) {
    const std::optional<QString> key = TokenFactoryKey::load();
    if (!key || key->isEmpty()) {
        const QString relayed = co_await requestRelay(relayKind(direction), text, cancellation);
        co_return relayed;
    }
    if (!HttpTransport::isSafeHeaderValue(*key))
        throw NebiusError::server(
            QStringLiteral("The Token Factory key contains characters that cannot be sent."));

    QNetworkRequest request = TokenFactoryChat::request(m_endpoint, *key);
    request.setTransferTimeout(requestTimeoutMs);
    const HttpTransport::Answer answer = co_await m_transport->send(
        request, post, TokenFactoryChat::payload(direction, text), maxAnswerBytes, cancellation);
    if (!answer.isSuccess())
        throw NebiusError::server(NebiusAnswer::tokenFactoryFailure(answer.body, *key));
    const std::optional<QString> content = TokenFactoryChat::content(answer.body);
    if (!content)
        throw NebiusError::invalidResponse();
    co_return *content;
}

QCoro::Task<QString> NebiusClient::requestRelay(QString kind, QString text,
                                                Cancellation cancellation) {
    QNetworkRequest request = jsonPost(m_relayEndpoint);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QByteArrayLiteral("Relayo/" RELAYO_VERSION));
    const QJsonObject body{{QStringLiteral("kind"), kind}, {QStringLiteral("text"), text}};
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);

    HttpTransport::Answer answer;
    try {
        answer = co_await m_transport->send(request, post, payload, maxAnswerBytes, cancellation);
    } catch (const TransportError&) {
        throw NebiusError::missingKey();
    }

    co_return NebiusAnswer::relayContent(answer.isSuccess(), answer.body);
}
