#pragma once

#include "app/core/ServiceError.h"

// An HTTP exchange that ended without a complete answer: no connection, a
// time-out, a refused redirect or a cancelled request. Carries Qt's own text.
class TransportError : public ServiceError {
public:
    TransportError(const QString& description, int code)
        : ServiceError(description, QStringLiteral("QNetworkReply"), code) {}
};
