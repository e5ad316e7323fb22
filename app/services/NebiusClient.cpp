#include "app/services/NebiusClient.h"

#include "app/services/NebiusError.h"
#include "app/services/TransportError.h"
#include "app/translation/TokenFactoryChat.h"
#include "app/translation/TokenFactoryKey.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

namespace {

constexpr int requestTimeoutMs = 90'000;
constexpr qint64 maxAnswerBytes = 1024 * 1024;
constexpr int maxErrorCharacters = 400;
const QByteArray post = QByteArrayLiteral("POST");

QNetworkRequest jsonPost(const QUrl& url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(requestTimeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    return request;
}

// At most `count` user-perceived characters, never cutting one apart.
QString firstCharacters(const QString& text, int count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (int taken = 0; taken < count; ++taken) {
        if (finder.toNextBoundary() < 0)
            return text;
    }
    return text.left(finder.position());
}

QString tokenFactoryFailure(const QByteArray& body, const QString& key) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(body);
    if (decoder.hasError() || text.isEmpty())
        return QStringLiteral("Token Factory request failed.");
    return firstCharacters(withoutSecret(text, key), maxErrorCharacters);
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
        throw NebiusError::server(tokenFactoryFailure(answer.body, *key));
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

    const QJsonObject object = QJsonDocument::fromJson(answer.body).object();
    if (answer.isSuccess()) {
        const QJsonValue content = object.value(QStringLiteral("content"));
        if (!content.isString())
            throw NebiusError::invalidResponse();
        co_return content.toString();
    }
    const QString message = object.value(QStringLiteral("message")).toString();
    throw NebiusError::server(
        message.isEmpty()
            ? QStringLiteral("번역 서버가 응답하지 않습니다. 잠시 뒤 다시 시도해 주세요.")
            : message);
}
