#pragma once

#include "app/core/ServiceError.h"

#include <QByteArray>
#include <optional>

// A failure of the ElevenLabs client; its message is shown unchanged.
class ElevenLabsError : public ServiceError {
public:
    explicit ElevenLabsError(const QString& message)
        : ServiceError(message, QStringLiteral("ElevenLabsError")) {}

    // "detail"."message" of an error body from the service, when it has that shape.
    static std::optional<QString> detailIn(const QByteArray& body);

    QString message() const { return description(); }
};
