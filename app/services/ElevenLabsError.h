#pragma once

#include "app/workflow/ServiceError.h"

// A failure of the ElevenLabs client; its message is shown unchanged.
class ElevenLabsError : public ServiceError {
public:
    explicit ElevenLabsError(const QString& message)
        : ServiceError(message, QStringLiteral("ElevenLabsError")) {}

    QString message() const { return description(); }
};
