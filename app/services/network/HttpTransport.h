#pragma once

#include "app/core/Cancellation.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <functional>
#include <memory>
#include <optional>
#include <qcoro/qcorotask.h>

class QNetworkAccessManager;
class QNetworkReply;

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

    // Takes a body piece by piece as it arrives, for answers that stream.
    struct PieceReader {
        // Whether this answer's body goes to `take` instead of into Answer::body; asked once,
        // when the first piece arrives.
        std::function<bool(const QNetworkReply& reply)> accepts;
        // Takes the next piece; false hangs up, and the call then throws.
        std::function<bool(const QByteArray& piece)> take;
    };

    HttpTransport();
    ~HttpTransport();

    // Throws TransportError when no complete answer arrives (including
    // cancellation, which aborts the request at once) and ServiceError when the
    // body would exceed `maxBodyBytes`; never holds more than that in memory.
    // A `reader` that accepts the answer gets its body instead; `maxBodyBytes` then bounds only
    // other answers.
    QCoro::Task<Answer> send(QNetworkRequest request, QByteArray verb, QByteArray body,
                             qint64 maxBodyBytes, Cancellation cancellation = {},
                             PieceReader reader = {});

    // Header values with control characters would break the request apart.
    static bool isSafeHeaderValue(const QString& value);

private:
    std::unique_ptr<QNetworkAccessManager> m_network;
};

// `text` with every occurrence of `secret` masked, for texts that reach the screen.
QString withoutSecret(QString text, const QString& secret);
