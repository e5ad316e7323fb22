#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>

// A loopback model hub on a free port: a repository's revision, its file listing (with large-file
// SHA-256 and size) and its files, honouring HTTP ranges; everything else is 404. The next file
// transfer can be cut or stalled halfway, ignore, misplace or refuse (416) its range, or send
// more than the file. Records each request.
class FakeModelHub : public QAbstractHttpServer {
public:
    struct File {
        QString path;
        QByteArray content;
    };
    enum class Transfer {
        whole,
        cutHalfway,
        stallHalfway,
        ignoringRange,
        misplacingRange,
        refusingRange,
        sendingMore
    };
    struct Request {
        QByteArray path; // as it came over the wire, still percent-encoded
        QByteArray range;
    };

    FakeModelHub() { m_port = listen(QHostAddress::LocalHost); }

    QString baseURL() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    // Serves the files at `commit`, which `revision` resolves to.
    void serveRepository(const QString& repository, const QString& revision, const QString& commit,
                         const QList<File>& files);
    // Answers `path` (decoded, without the query) with `body` instead.
    void serve(const QString& path, int status, const QByteArray& body) {
        m_answers.insert(path, {status, body});
    }
    // How the next file transfer goes; later ones are whole.
    void setNextTransfer(Transfer transfer) { m_nextTransfer = transfer; }

    static QString revisionPath(const QString& repository, const QString& revision) {
        return QStringLiteral("/api/models/%1/revision/%2").arg(repository, revision);
    }
    static QString listingPath(const QString& repository, const QString& commit) {
        return QStringLiteral("/api/models/%1/tree/%2").arg(repository, commit);
    }
    static QByteArray listingOf(const QList<File>& files);

    const QList<Request>& requests() const { return m_requests; }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Answer {
        int status = 200;
        QByteArray body;
    };
    void sendFile(const QByteArray& content, const QByteArray& range, QTcpSocket& socket);

    quint16 m_port = 0;
    QHash<QString, Answer> m_answers;
    QHash<QString, QByteArray> m_files;
    Transfer m_nextTransfer = Transfer::whole;
    QList<Request> m_requests;
};
