#include "app/translation/ChatCompletion.h"

#include "app/core/ServiceError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace ChatCompletion {

namespace {

constexpr int maxTokens = 600;

QJsonObject message(const QString& role, const QString& content) {
    return {{QStringLiteral("role"), role}, {QStringLiteral("content"), content}};
}

} // namespace

QNetworkRequest request(const QUrl& endpoint, const QString& key) {
    QNetworkRequest request(endpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    // Local servers often run without authentication.
    if (!key.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + key.toUtf8());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    return request;
}

QByteArray payload(TranslationDirection direction, const QString& text, const QString& model,
                   bool stream) {
    QJsonObject body{
        {QStringLiteral("model"), model},
        {QStringLiteral("temperature"), 0},
        {QStringLiteral("max_tokens"), maxTokens},
        {QStringLiteral("messages"),
         QJsonArray{message(QStringLiteral("system"), systemPrompt(direction)),
                    message(QStringLiteral("user"), text)}},
    };
    if (stream)
        body.insert(QStringLiteral("stream"), true);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

std::optional<QString> content(const QByteArray& answer) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(answer, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw ServiceError(parseError.errorString(), QStringLiteral("QJsonParseError"),
                           parseError.error);
    const QJsonValue value = document.object()
                                 .value(QStringLiteral("choices"))
                                 .toArray()
                                 .at(0)
                                 .toObject()
                                 .value(QStringLiteral("message"))
                                 .toObject()
                                 .value(QStringLiteral("content"));
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

} // namespace ChatCompletion
