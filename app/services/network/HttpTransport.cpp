#include "app/services/network/HttpTransport.h"

#include "app/services/network/TransportError.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <qcoro/qcoronetworkreply.h>

namespace {

// Qt stops reading the socket once this much is buffered and unread, which
// keeps memory bounded between our reads.
constexpr qint64 readChunkBytes = 64 * 1024;

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// Connection and proxy failures (codes below 200) and broken or unknown
// protocols leave no complete answer, whatever status line arrived.
bool isTransportFailure(QNetworkReply::NetworkError error) {
    return (error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied) ||
           error == QNetworkReply::ProtocolUnknownError || error == QNetworkReply::ProtocolFailure;
}

TransportError cancelled() {
    return TransportError(QStringLiteral("Operation canceled"),
                          QNetworkReply::OperationCanceledError);
}

struct Reading {
    HttpTransport::PieceReader reader;
    QByteArray body;
    std::optional<bool> streaming; // decided at the first piece
    bool refused = false;
};

// Aborting is posted: an abort here would finish the reply, and so resume the
// waiting coroutine, inside the reply's own signal.
void refuse(QNetworkReply& reply, Reading& reading) {
    reading.refused = true;
    QMetaObject::invokeMethod(&reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

void takeAvailable(QNetworkReply& reply, Reading& reading, qint64 maxBodyBytes) {
    if (reading.refused)
        return;
    if (!reading.streaming)
        reading.streaming = reading.reader.accepts && reading.reader.accepts(reply);
    if (*reading.streaming) {
        const QByteArray piece = reply.readAll();
        if (!piece.isEmpty() && !reading.reader.take(piece))
            refuse(reply, reading);
        return;
    }
    reading.body += reply.readAll();
    if (reading.body.size() > maxBodyBytes)
        refuse(reply, reading);
}

ServiceError tooLarge(qint64 maxBodyBytes) {
    return ServiceError(QStringLiteral("The service's answer was larger than %1 MiB and was "
                                       "refused.")
                            .arg(maxBodyBytes / (1024 * 1024)));
}

} // namespace

HttpTransport::HttpTransport() : m_network(std::make_unique<QNetworkAccessManager>()) {}

HttpTransport::~HttpTransport() = default;

QCoro::Task<HttpTransport::Answer> HttpTransport::send(QNetworkRequest request, QByteArray verb,
                                                       QByteArray body, qint64 maxBodyBytes,
                                                       Cancellation cancellation,
                                                       PieceReader reader) {
    if (cancellation.isCancelled())
        throw cancelled();
    std::unique_ptr<QNetworkReply, DeleteLater> reply(
        m_network->sendCustomRequest(request, verb, body));
    reply->setReadBufferSize(readChunkBytes);
    auto reading = std::make_shared<Reading>();
    reading->reader = std::move(reader);
    QNetworkReply* const target = reply.get();
    QObject readingGuard; // ends the connections below with this call
    QObject::connect(
        target, &QNetworkReply::metaDataChanged, &readingGuard, [target, reading, maxBodyBytes] {
            if (!reading->reader.accepts &&
                target->header(QNetworkRequest::ContentLengthHeader).toLongLong() > maxBodyBytes)
                refuse(*target, *reading);
        });
    QObject::connect(
        target, &QNetworkReply::readyRead, &readingGuard,
        [target, reading, maxBodyBytes] { takeAvailable(*target, *reading, maxBodyBytes); });
    const auto abortOnCancel = cancellation.onCancel([weak = QPointer<QNetworkReply>(target)] {
        if (weak)
            weak->abort();
    });

    co_await target;
    if (cancellation.isCancelled())
        throw cancelled();
    if (!reading->refused)
        takeAvailable(*target, *reading, maxBodyBytes);
    if (reading->refused)
        throw tooLarge(maxBodyBytes);

    const QVariant status = target->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = target->error();
    if (isTransportFailure(error) || (error != QNetworkReply::NoError && !status.isValid()))
        throw TransportError(target->errorString(), error);
    Answer answer;
    answer.body = std::move(reading->body);
    if (status.isValid())
        answer.status = status.toInt();
    co_return answer;
}

bool HttpTransport::isSafeHeaderValue(const QString& value) {
    return std::none_of(value.begin(), value.end(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

QString withoutSecret(QString text, const QString& secret) {
    if (!secret.isEmpty())
        text.replace(secret, QStringLiteral("••••"));
    return text;
}
