#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// What the relay answers: a translation in "content", or a status with a
// Korean "message" that the app shows as it is.
struct RelayResponse {
    int status = 200;
    QJsonObject body;

    static RelayResponse translation(const QString& content);
    static RelayResponse healthy(int upstreamCalls);

    static RelayResponse badRequest();
    static RelayResponse notFound();
    static RelayResponse tooLarge();
    static RelayResponse headTooLarge();
    static RelayResponse tooManyRequests();
    static RelayResponse busy();
    static RelayResponse shuttingDown();
    static RelayResponse upstreamUnreachable();
    static RelayResponse upstreamTimedOut();
    static RelayResponse upstreamInvalid();
    // Token Factory answered with `status` outside 2xx.
    static RelayResponse upstreamRefused(int status);

    QByteArray json() const;
    // The whole HTTP/1.1 message, for answering below the HTTP server.
    QByteArray closingMessage() const;
};
