#include "tests/speech-engine/hub/FakeModelHub.h"

#include <QCryptographicHash>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>

void FakeModelHub::serveRepository(const QString& repository, const QString& revision,
                                   const QString& commit, const QList<File>& files) {
    serve(revisionPath(repository, revision), 200,
          QJsonDocument(QJsonObject{{"id", repository}, {"sha", commit}}).toJson());
    serve(listingPath(repository, commit), 200, listingOf(files));
    for (const auto& file : files)
        m_files.insert(QStringLiteral("/%1/resolve/%2/%3").arg(repository, commit, file.path),
                       file.content);
}

// The hub's shape: a git object id for every entry, the large-file record for big files.
QByteArray FakeModelHub::listingOf(const QList<File>& files) {
    QJsonArray listing{QJsonObject{{"type", "directory"}, {"path", "assets"}, {"oid", "1"}}};
    for (const auto& file : files) {
        const auto sha256 = QCryptographicHash::hash(file.content, QCryptographicHash::Sha256);
        listing.append(QJsonObject{{"type", "file"},
                                   {"path", file.path},
                                   {"oid", "0123"},
                                   {"size", file.content.size()},
                                   {"lfs", QJsonObject{{"oid", QString::fromLatin1(sha256.toHex())},
                                                       {"size", file.content.size()},
                                                       {"pointerSize", 134}}}});
    }
    return QJsonDocument(listing).toJson();
}

bool FakeModelHub::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    m_requests.append({request.url().path(QUrl::FullyEncoded).toUtf8(), request.value("Range")});
    const auto path = request.url().path();
    if (const auto file = m_files.constFind(path); file != m_files.constEnd()) {
        sendFile(*file, request.value("Range"), *socket);
        return true;
    }
    const auto answer = m_answers.constFind(path);
    if (answer == m_answers.constEnd())
        return false;
    makeResponder(request, socket)
        .write(answer->body, "application/json", QHttpServerResponder::StatusCode(answer->status));
    return true;
}

// Written by hand, so that a transfer can break off or stall in the middle of the body.
void FakeModelHub::sendFile(const QByteArray& content, const QByteArray& range,
                            QTcpSocket& socket) {
    const auto transfer = std::exchange(m_nextTransfer, Transfer::whole);
    static const QRegularExpression openRange(QStringLiteral("^bytes=(\\d+)-$"));
    const auto match = openRange.match(QString::fromLatin1(range));
    const qint64 start = match.hasMatch() && transfer != Transfer::ignoringRange
                             ? match.captured(1).toLongLong()
                             : 0;
    if (start > 0 && transfer == Transfer::refusingRange) {
        socket.write("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    const auto body = content.mid(start) + (transfer == Transfer::sendingMore ? "more" : "");
    const auto rangeStart = transfer == Transfer::misplacingRange ? start / 2 : start;
    socket.write((start > 0 ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                                  QByteArray::number(rangeStart) + "-" +
                                  QByteArray::number(content.size() - 1) + "/" +
                                  QByteArray::number(content.size())
                            : QByteArray("HTTP/1.1 200 OK")) +
                 "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n");
    if (transfer != Transfer::cutHalfway && transfer != Transfer::stallHalfway) {
        socket.write(body);
        return;
    }
    socket.write(body.left(body.size() / 2));
    socket.flush();
    if (transfer == Transfer::cutHalfway)
        socket.disconnectFromHost();
}

void FakeModelHub::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}
