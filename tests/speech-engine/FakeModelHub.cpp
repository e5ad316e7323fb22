#include "tests/speech-engine/FakeModelHub.h"

#include "speech-engine/Repo.h"

#include <QFile>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

FakeModelHub::FakeModelHub() {
    m_port = listen(QHostAddress::LocalHost);
}

QString FakeModelHub::baseURL() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void FakeModelHub::serve(const QString& path, Response response) {
    m_responses.insert(path, std::move(response));
}

void FakeModelHub::serveListing(const QString& subPath,
                                const QList<std::pair<QString, QString>>& entries, int status) {
    QJsonArray listing;
    for (const auto& [type, path] : entries)
        listing.append(QJsonObject{{"type", type}, {"path", path}, {"oid", "0"}});
    serve(listingPath(subPath), {status, QJsonDocument(listing).toJson(), {}});
}

void FakeModelHub::serveFile(const QString& repositoryPath, Response response) {
    serve(filePath(repositoryPath), std::move(response));
}

QString FakeModelHub::listingPath(const QString& subPath) {
    return QStringLiteral("/api/models/%1/tree/%2/%3")
        .arg(Repo::remotePath(), Repo::revision(), subPath);
}

QString FakeModelHub::filePath(const QString& repositoryPath) {
    return QStringLiteral("/%1/resolve/%2/%3")
        .arg(Repo::remotePath(), Repo::revision(), repositoryPath);
}

bool FakeModelHub::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    m_requestedPaths.append(request.url().path(QUrl::FullyEncoded).toUtf8());
    const auto response = m_responses.constFind(request.url().path());
    if (response == m_responses.constEnd())
        return false;
    const auto status = QHttpServerResponder::StatusCode(response->status);
    auto responder = makeResponder(request, socket);
    if (response->bodyFile.isEmpty())
        responder.write(response->body, "application/octet-stream", status);
    else
        responder.write(new QFile(response->bodyFile), "application/octet-stream",
                        status); // the responder owns and streams the file
    return true;
}

void FakeModelHub::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}
