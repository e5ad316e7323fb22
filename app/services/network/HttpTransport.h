#pragma once

#include "app/core/Cancellation.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;

// Sends one HTTP request and reads its answer with a bound on the body, so a
// misbehaving server can neither flood memory nor keep a cancelled call alive.
// Lives on the thread that made it (one network manager per thread).
class HttpTransport {
public:
    struct Answer {
        std::optional<int> status; // absent when the answer was not HTTP
        QByteArray body;

        bool isSuccess() const { return status && *status >= 200 && *status <= 299; }
    };

    HttpTransport();
    ~HttpTransport();

    // Throws TransportError when no complete answer arrives (including
    // cancellation, which aborts the request at once) and ServiceError when the
    // body would exceed `maxBodyBytes`; never holds more than that in memory.
    QCoro::Task<Answer> send(QNetworkRequest request, QByteArray verb, QByteArray body,
                             qint64 maxBodyBytes, Cancellation cancellation = {});

    // Header values with control characters would break the request apart.
    static bool isSafeHeaderValue(const QString& value);

private:
    std::unique_ptr<QNetworkAccessManager> m_network;
};

// `text` with every occurrence of `secret` masked, for texts that reach the screen.
QString withoutSecret(QString text, const QString& secret);
