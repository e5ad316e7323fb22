#pragma once

#include <QHttpServer>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QTcpSocket>
#include <QUrl>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>
#include <vector>

// A remote service played by a loopback HTTP server: it records every request
// and answers with whatever the test scripted.
class FakeHttpService {
public:
    struct Request {
        QString path;                          // percent-encoded as sent
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;

        QJsonObject json() const;
    };

    FakeHttpService();

    QUrl url(const QString& path = {}) const;
    const QList<Request>& requests() const { return m_requests; }

    // Every following request gets this answer.
    void answer(int status, QByteArray body,
                QList<std::pair<QByteArray, QByteArray>> headers = {
                    {"Content-Type", "application/json"}});
    void answerJson(int status, const QJsonObject& body);
    // Every following request gets a status, an announced length and only the
    // first part of the body; its connection is kept open.
    void answerPartly(int status, qint64 announcedLength, QByteArray firstPart);
    // Every following request stays unanswered, its connection kept open.
    void hold();
    // The connections of held requests that are still open.
    int openHeldConnections() const;

private:
    void keep(QHttpServerResponder&& responder);

    QHttpServer m_server;
    quint16 m_port = 0;
    QList<Request> m_requests;
    std::function<void(QHttpServerResponder&&)> m_respond;
    std::vector<QHttpServerResponder> m_held;
    QList<QPointer<QTcpSocket>> m_heldSockets;
};

// The outcome of a task: its value or the description of what it threw.
template <typename T> struct Outcome {
    std::optional<T> value;
    QString error;
};

template <typename T> QCoro::Task<Outcome<T>> outcomeOf(QCoro::Task<T> task) {
    try {
        T value = co_await std::move(task);
        co_return Outcome<T>{std::move(value), {}};
    } catch (const std::exception& error) {
        co_return Outcome<T>{std::nullopt, QString::fromUtf8(error.what())};
    }
}
