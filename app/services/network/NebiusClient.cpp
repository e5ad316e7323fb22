#include "app/services/network/NebiusClient.h"

#include "app/core/Deadline.h"
#include "app/services/network/NebiusAnswer.h"
#include "app/services/network/NebiusError.h"
#include "app/services/network/TransportError.h"
#include "app/translation/ChatCompletion.h"
#include "app/translation/ChatStream.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

namespace {

constexpr qint64 maxAnswerBytes = 1024 * 1024;
const QByteArray post = QByteArrayLiteral("POST");

QNetworkRequest jsonPost(const QUrl& url, std::chrono::milliseconds timeout) {
    QNetworkRequest request(url);
    request.setTransferTimeout(int(timeout.count()));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    return request;
}

bool isHttp(const QUrl& url) {
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

// A 2xx answer whose body is an event stream; any other answer is read whole.
bool isEventStream(const QNetworkReply& reply) {
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 200 && status <= 299 &&
           reply.header(QNetworkRequest::ContentTypeHeader)
               .toString()
               .startsWith(QLatin1String("text/event-stream"));
}

NebiusError streamFailure(const ChatStream& stream, const QString& key) {
    switch (*stream.failure()) {
    case ChatStream::Failure::notJson:
        return NebiusError::notJson();
    case ChatStream::Failure::tooLong:
        return NebiusError::tooLong();
    case ChatStream::Failure::server:
        return NebiusError::server(
            stream.serverMessage().isEmpty()
                ? QStringLiteral("번역 서버가 답하는 중에 오류를 알렸습니다.")
                : withoutSecret(stream.serverMessage(), key));
    }
    Q_UNREACHABLE();
}

// Servers name a missing model in different words: OpenAI and vLLM "does not exist", Ollama
// "not found", some only the code.
bool namesUnknownModel(int status, const QByteArray& body) {
    const QString text = QString::fromUtf8(body).toLower();
    return (status == 404 || status == 400) && (text.contains(QLatin1String("model_not_found")) ||
                                                (text.contains(QLatin1String("model")) &&
                                                 (text.contains(QLatin1String("not found")) ||
                                                  text.contains(QLatin1String("does not exist")))));
}

NebiusError refusal(int status, const QByteArray& body, const TranslationRoute& route) {
    if (status == 401 || status == 403)
        return NebiusError::keyRefused();
    if (status >= 300 && status <= 399)
        return NebiusError::redirected();
    if (namesUnknownModel(status, body))
        return NebiusError::unknownModel(route.model);
    return NebiusError::server(NebiusAnswer::tokenFactoryFailure(body, route.key));
}

// Called while `error` is being handled: what broke the exchange, in the user's words where
// they help.
[[noreturn]] void rethrowChatFailure(const ServiceError& error, const ChatStream& stream,
                                     bool streamed, const QString& key) {
    if (stream.failure())
        throw streamFailure(stream, key);
    if (error.code() == QNetworkReply::InsecureRedirectError)
        throw NebiusError::redirected();
    // The connection broke after the stream had begun.
    if (streamed)
        throw NebiusError::cutShort();
    throw;
}

// The text of a 2xx answer that is not a complete stream.
QString wholeText(const HttpTransport::Answer& answer, bool streamed) {
    if (streamed)
        throw NebiusError::cutShort();
    std::optional<QString> content;
    try {
        content = ChatCompletion::content(answer.body);
    } catch (const ServiceError&) {
        throw NebiusError::notJson();
    }
    if (!content)
        throw NebiusError::invalidResponse();
    return *content;
}

} // namespace

NebiusClient::NebiusClient(QUrl tokenFactoryEndpoint)
    : NebiusClient(std::move(tokenFactoryEndpoint), Limits{}) {}

NebiusClient::NebiusClient(QUrl tokenFactoryEndpoint, Limits limits)
    : m_tokenFactoryEndpoint(std::move(tokenFactoryEndpoint)), m_limits(limits),
      m_transport(std::make_unique<HttpTransport>()) {}

NebiusClient::~NebiusClient() = default;

QCoro::Task<QString> NebiusClient::translateToKorean(QString english, Cancellation cancellation,
                                                     PartialText onPartial) {
    return translate(TranslationDirection::englishToKorean, std::move(english),
                     std::move(cancellation), std::move(onPartial));
}

QCoro::Task<QString> NebiusClient::translateToEnglish(QString korean, Cancellation cancellation,
                                                      PartialText onPartial) {
    return translate(TranslationDirection::koreanToEnglish, std::move(korean),
                     std::move(cancellation), std::move(onPartial));
}

void NebiusClient::useSettings(TranslationSettings settings) {
    m_settings = std::move(settings);
}

bool NebiusClient::hasService() const {
    return route().kind != TranslationRoute::Kind::none;
}

TranslationRoute NebiusClient::route() const {
    return TranslationRoute::resolve(m_settings, m_tokenFactoryEndpoint);
}

QCoro::Task<QString> NebiusClient::translate(TranslationDirection direction, QString text,
                                             Cancellation cancellation, PartialText onPartial) {
    const TranslationRoute current = route();
    QString answer;
    switch (current.kind) {
    case TranslationRoute::Kind::none:
        throw NebiusError::noService();
    case TranslationRoute::Kind::relay:
        answer = co_await requestRelay(current.url, relayKind(direction), text, cancellation);
        break;
    case TranslationRoute::Kind::chat:
        answer = co_await requestChat(current, direction, text, cancellation, onPartial);
        break;
    }
    co_return answer.trimmed();
}

QCoro::Task<QString> NebiusClient::requestChat(TranslationRoute route,
                                               TranslationDirection direction, QString text,
                                               Cancellation cancellation, PartialText onPartial) {
    if (!isHttp(route.url))
        throw NebiusError::badAddress(route.url.toString());
    if (!HttpTransport::isSafeHeaderValue(route.key))
        throw NebiusError::server(
            QStringLiteral("The translation key contains characters that cannot be sent."));

    ChatStream stream(m_limits.maxTextBytes);
    bool streamed = false;
    HttpTransport::PieceReader reader{
        [&streamed](const QNetworkReply& reply) { return streamed = isEventStream(reply); },
        [&stream, &onPartial, cancellation](const QByteArray& piece) {
            if (stream.feed(piece) && onPartial && !cancellation.isCancelled())
                onPartial(stream.text().trimmed());
            // Hangs up once the answer is complete: a server may keep the stream open.
            return !stream.failure() && !stream.isComplete();
        }};
    const Deadline deadline(cancellation, m_limits.timeout);
    QNetworkRequest request = ChatCompletion::request(route.url, route.key);
    request.setTransferTimeout(int(m_limits.timeout.count()));
    HttpTransport::Answer answer;
    try {
        answer = co_await m_transport->send(
            request, post, ChatCompletion::payload(direction, text, route.model, true),
            maxAnswerBytes, deadline.cancellation(), std::move(reader));
    } catch (const ServiceError& error) {
        if (cancellation.isCancelled())
            throw;
        if (deadline.hasPassed())
            throw NebiusError::timedOut(int(m_limits.timeout.count() / 1000));
        if (!stream.isComplete())
            rethrowChatFailure(error, stream, streamed, route.key);
    }
    // The stream hung up on is complete whatever the transport made of it.
    if (stream.isComplete())
        co_return stream.text();
    if (!answer.isSuccess())
        throw refusal(answer.status.value_or(0), answer.body, route);
    co_return wholeText(answer, streamed);
}

QCoro::Task<QString> NebiusClient::requestRelay(QUrl endpoint, QString kind, QString text,
                                                Cancellation cancellation) {
    if (!isHttp(endpoint))
        throw NebiusError::badAddress(endpoint.toString());
    QNetworkRequest request = jsonPost(endpoint, m_limits.timeout);
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
