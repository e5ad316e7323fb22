#pragma once

#include "app/core/ServiceError.h"

// The translation client's own failures; the description is what the window shows.
class NebiusError : public ServiceError {
public:
    enum class Kind { server, missingKey, invalidResponse };

    // The service's own message.
    static NebiusError server(const QString& message);
    // The relay could not be reached at all.
    static NebiusError missingKey();
    // A 2xx answer without the expected text.
    static NebiusError invalidResponse();

    Kind kind() const { return m_kind; }

private:
    NebiusError(Kind kind, const QString& description);
    Kind m_kind;
};
