#pragma once

#include "app/core/ServiceError.h"

// The translation client's own failures; the description is what the window shows.
class NebiusError : public ServiceError {
public:
    enum class Kind { server, missingKey, invalidResponse, noService };

    // The service's own message.
    static NebiusError server(const QString& message);
    // The relay could not be reached at all.
    static NebiusError missingKey();
    // A 2xx answer without the expected text.
    static NebiusError invalidResponse();
    // Neither the settings nor the environment name a translation service.
    static NebiusError noService();

    // Bad answers of a chat-completions server, each told in Korean without the key.
    static NebiusError keyRefused();
    static NebiusError unknownModel(const QString& model);
    static NebiusError redirected();
    static NebiusError notJson();
    static NebiusError cutShort();
    static NebiusError tooLong();
    static NebiusError timedOut(int seconds);
    static NebiusError badAddress(const QString& url);

    Kind kind() const { return m_kind; }

private:
    NebiusError(Kind kind, const QString& description);
    static NebiusError invalidResponseWith(const QString& description);
    Kind m_kind;
};
