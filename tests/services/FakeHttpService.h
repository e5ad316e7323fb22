#pragma once

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <list>
#include <optional>
#include <qcoro/qcorotask.h>
#include <vector>

// A remote service played by a loopback HTTP server: it records every request and answers with
// whatever the test scripted.
class FakeHttpService {
public:
    struct Request {
        QString path;                          // percent-encoded as sent
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;

        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };

    FakeHttpService() {
        answer(200, "{}");
        m_server.setMissingHandler(
            [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                Request recorded{request.url().path(QUrl::FullyEncoded), {}, request.body()};
                for (const auto& [name, value] : request.headers())
                    recorded.headers.insert(name.toLower(), value);
                m_requests.append(recorded);
                m_respond(std::move(responder));
            });
        m_port = m_server.listen(QHostAddress::LocalHost);
        if (m_port == 0)
            qFatal("the loopback server could not listen");
    }

    QUrl url(const QString& path = {}) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
    }
    const QList<Request>& requests() const { return m_requests; }

    // Every following request gets this answer.
    void answer(int status, QByteArray body,
                QList<std::pair<QByteArray, QByteArray>> headers = {
                    {"Content-Type", "application/json"}}) {
        m_respond = [status, body, headers](QHttpServerResponder&& responder) {
            responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
            for (const auto& [name, value] : headers)
                responder.writeHeader(name, value);
            responder.writeHeader("Content-Length", QByteArray::number(body.size()));
            responder.writeBody(body);
        };
    }
    void answerJson(int status, const QJsonObject& body) {
        answer(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
    }
    // Every following request gets a status, an announced length and only the first part of
    // the body; its connection is kept open.
    void answerPartly(int status, qint64 announcedLength, QByteArray firstPart) {
        m_respond = [this, status, announcedLength, firstPart](QHttpServerResponder&& responder) {
            responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
            responder.writeHeader("Content-Length", QByteArray::number(announcedLength));
            responder.writeBody(firstPart);
            keep(std::move(responder));
        };
    }
    // Every following request gets a 200 event stream: after `firstDelay` the first piece, then
    // one piece every `interval`; after the last the connection closes, or with `repeatLast`
    // the last piece goes on forever.
    void answerStream(QList<QByteArray> pieces, std::chrono::milliseconds firstDelay = {},
                      std::chrono::milliseconds interval = {}, bool repeatLast = false) {
        m_respond = [=, this](QHttpServerResponder&& responder) {
            responder.writeStatusLine(QHttpServerResponder::StatusCode::Ok);
            responder.writeHeader("Content-Type", "text/event-stream");
            responder.writeHeader("Cache-Control", "no-cache");
            responder.writeBody(QByteArray());
            auto& stream = m_streams.emplace_back(
                std::make_unique<Stream>(std::move(responder), pieces, repeatLast));
            stream->timer.setInterval(interval);
            QObject::connect(&stream->timer, &QTimer::timeout, &stream->timer,
                             [raw = stream.get()] { raw->writeNext(); });
            QTimer::singleShot(firstDelay, &stream->timer, [raw = stream.get()] {
                if (raw->writeNext())
                    raw->timer.start();
            });
        };
    }
    // Every following request gets this answer only after `delay`, as a slow server gives it.
    void answerJsonAfter(std::chrono::milliseconds delay, const QJsonObject& body) {
        const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
        m_respond = [this, delay, json](QHttpServerResponder&& responder) {
            QTcpSocket* socket = responder.socket();
            keep(std::move(responder));
            QHttpServerResponder* held = &m_held.back();
            QTimer::singleShot(delay, socket,
                               [held, json] { held->write(json, "application/json"); });
        };
    }
    // Streams whose connection is still open.
    int openStreams() const {
        return int(std::ranges::count_if(m_streams, [](const auto& stream) {
            return stream->socket && stream->socket->state() == QAbstractSocket::ConnectedState;
        }));
    }
    // Every following request stays unanswered, its connection kept open.
    void hold() {
        m_respond = [this](QHttpServerResponder&& responder) { keep(std::move(responder)); };
    }
    // The connections of held requests that are still open.
    int openHeldConnections() const {
        return int(std::ranges::count_if(m_heldSockets, [](const auto& socket) {
            return socket && socket->state() == QAbstractSocket::ConnectedState;
        }));
    }

private:
    void keep(QHttpServerResponder&& responder) {
        m_heldSockets.append(responder.socket());
        m_held.push_back(std::move(responder));
    }

    // One streamed answer, written piece by piece from a timer.
    struct Stream {
        Stream(QHttpServerResponder&& responder, QList<QByteArray> pieces, bool repeatLast)
            : socket(responder.socket()), responder(std::move(responder)),
              pieces(std::move(pieces)), repeatLast(repeatLast) {}
        // False once nothing more is to be written.
        bool writeNext() {
            if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
                timer.stop();
                return false;
            }
            if (next < pieces.size())
                responder.writeBody(pieces[next++]);
            else if (repeatLast && !pieces.isEmpty())
                responder.writeBody(pieces.last());
            if (next == pieces.size() && !repeatLast) {
                timer.stop();
                socket->disconnectFromHost();
                return false;
            }
            return true;
        }
        QPointer<QTcpSocket> socket;
        QHttpServerResponder responder;
        QList<QByteArray> pieces;
        bool repeatLast;
        qsizetype next = 0;
        QTimer timer;
    };

    QHttpServer m_server;
    quint16 m_port = 0;
    QList<Request> m_requests;
    std::function<void(QHttpServerResponder&&)> m_respond;
    std::list<QHttpServerResponder> m_held;
    std::list<std::unique_ptr<Stream>> m_streams;
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
