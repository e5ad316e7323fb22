#include "relay/RelayRequest.h"

#include <QJsonDocument>
#include <QJsonObject>

std::variant<RelayRequest, RelayResponse> RelayRequest::parse(QByteArrayView body,
                                                              const RelayLimits& limits) {
    if (body.size() > limits.maxBodyBytes)
        return RelayResponse::tooLarge();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return RelayResponse::badRequest();
    const QJsonObject object = document.object();
    const QJsonValue kind = object.value(QStringLiteral("kind"));
    const QJsonValue text = object.value(QStringLiteral("text"));
    const auto direction = directionOfRelayKind(kind.toString());
    if (!kind.isString() || !direction || !text.isString() || text.toString().trimmed().isEmpty())
        return RelayResponse::badRequest();
    if (text.toString().size() > limits.maxTextLength)
        return RelayResponse::tooLarge();
    return RelayRequest{*direction, text.toString()};
}
