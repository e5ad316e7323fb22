#include "app/services/network/ElevenLabsError.h"

#include <QJsonDocument>
#include <QJsonObject>

std::optional<QString> ElevenLabsError::detailIn(const QByteArray& body) {
    const QJsonValue message = QJsonDocument::fromJson(body)
                                   .object()
                                   .value(QStringLiteral("detail"))
                                   .toObject()
                                   .value(QStringLiteral("message"));
    if (!message.isString())
        return std::nullopt;
    return message.toString();
}
