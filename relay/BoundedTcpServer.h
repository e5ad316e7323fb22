#pragma once

#include <QByteArray>
#include <QTcpServer>

// The HTTP server buffers a whole request before anyone sees it. This listener
// counts the bytes of the request in progress on each connection and, once
// they pass the bound, answers with `refusal` and drops the rest, so an
// endless body never piles up in memory.
class BoundedTcpServer : public QTcpServer {
    Q_OBJECT

public:
    BoundedTcpServer(qint64 maxRequestBytes, QByteArray refusal);

    QTcpSocket* nextPendingConnection() override;

    // The request on `socket` has arrived whole; the next one counts from zero.
    static void requestArrived(QTcpSocket& socket);

private:
    void countArrivingBytes(QTcpSocket& socket);
    void refuse(QTcpSocket& socket);

    qint64 m_maxRequestBytes;
    QByteArray m_refusal;
};
