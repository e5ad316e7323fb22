#include "tests/services/FakeHttpService.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>

QJsonObject FakeHttpService::Request::json() const {
    return QJsonDocument::fromJson(body).object();
}

FakeHttpService::FakeHttpService() {
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

QUrl FakeHttpService::url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
}

void FakeHttpService::answer(int status, QByteArray body,
                             QList<std::pair<QByteArray, QByteArray>> headers) {
    m_respond = [status, body, headers](QHttpServerResponder&& responder) {
        responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
        for (const auto& [name, value] : headers)
            responder.writeHeader(name, value);
        responder.writeHeader("Content-Length", QByteArray::number(body.size()));
        responder.writeBody(body);
    };
}

void FakeHttpService::answerJson(int status, const QJsonObject& body) {
    answer(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

void FakeHttpService::answerPartly(int status, qint64 announcedLength, QByteArray firstPart) {
    m_respond = [this, status, announcedLength, firstPart](QHttpServerResponder&& responder) {
        responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
        responder.writeHeader("Content-Length", QByteArray::number(announcedLength));
        responder.writeBody(firstPart);
        keep(std::move(responder));
    };
}

void FakeHttpService::hold() {
    m_respond = [this](QHttpServerResponder&& responder) { keep(std::move(responder)); };
}

void FakeHttpService::keep(QHttpServerResponder&& responder) {
    m_heldSockets.append(responder.socket());
    m_held.push_back(std::move(responder));
}

int FakeHttpService::openHeldConnections() const {
    return std::count_if(m_heldSockets.begin(), m_heldSockets.end(), [](const auto& socket) {
        return socket && socket->state() == QAbstractSocket::ConnectedState;
    });
}
