#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// A loopback stand-in for the model hub: answers exactly the paths it was given (a listing
// or a file) and 404 for everything else, and records every requested path as it came
// over the wire (still percent-encoded).
class FakeModelHub : public QAbstractHttpServer {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        // When set, the body is streamed from this file instead.
        QString bodyFile;
    };

    // Listens on 127.0.0.1 on a free port.
    FakeModelHub();

    QString baseURL() const;
    // `path` is the decoded request path, e.g. "/owner/name/resolve/rev/dir/a b.json".
    void serve(const QString& path, Response response);
    // Serves a listing of `entries` (type, path) for the variant's tree path.
    void serveListing(const QString& subPath, const QList<std::pair<QString, QString>>& entries,
                      int status = 200);
    // Serves a file at its repository path.
    void serveFile(const QString& repositoryPath, Response response);

    static QString listingPath(const QString& subPath);
    static QString filePath(const QString& repositoryPath);

    const QList<QByteArray>& requestedPaths() const { return m_requestedPaths; }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    quint16 m_port = 0;
    QHash<QString, Response> m_responses;
    QList<QByteArray> m_requestedPaths;
};
