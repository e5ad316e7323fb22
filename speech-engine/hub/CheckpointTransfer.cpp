#include "speech-engine/hub/CheckpointTransfer.h"

#include "speech-engine/core/SerialExecutor.h"
#include "speech-engine/hub/ModelDownloadError.h"
#include "speech-engine/hub/ModelHub.h"
#include "speech-engine/hub/TransferWatch.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>

#include <memory>
#include <optional>

namespace {

// Bounds what the network layer buffers, so memory stays constant whatever the file's size.
constexpr qint64 readBufferBytes = 1 << 20;
constexpr qint64 progressIntervalMs = 100;

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// One attempt: the partial file, the running hash of its bytes, and the reply's verdict.
class Attempt {
public:
    Attempt(const HubCheckpoint& checkpoint, const QString& partialFile,
            const CheckpointTransfer::Settings& settings)
        : m_checkpoint(checkpoint), m_file(partialFile), m_settings(settings) {}

    void open() {
        if (!m_file.open(QIODevice::ReadWrite))
            throw ModelDownloadError(QStringLiteral("Could not write %1: %2")
                                         .arg(m_file.fileName(), m_file.errorString()));
        if (m_file.size() > m_checkpoint.size)
            restart();
        m_received = m_file.size();
        m_file.seek(m_received);
    }

    // The bytes an earlier attempt left enter the hash before new ones are appended.
    QCoro::Task<> hashEarlierBytes() {
        if (m_received == 0)
            co_return;
        co_await m_settings.worker->run([this] {
            QFile file(m_file.fileName());
            if (!file.open(QIODevice::ReadOnly))
                throw ModelDownloadError(QStringLiteral("Could not read %1: %2")
                                             .arg(file.fileName(), file.errorString()));
            for (qint64 left = m_received; left > 0 && !m_settings.stop.stop_requested();) {
                const auto block = file.read(std::min(left, readBufferBytes));
                if (block.isEmpty())
                    throw ModelDownloadError(
                        QStringLiteral("Could not read %1.").arg(file.fileName()));
                m_hash.addData(block);
                left -= block.size();
            }
        });
        if (m_settings.stop.stop_requested())
            throw ModelDownloadError::cancelled();
    }

    bool isComplete() const { return m_received == m_checkpoint.size; }

    QCoro::Task<> transfer(QNetworkAccessManager& network) {
        QNetworkRequest request(ModelHub::fileURL(m_checkpoint));
        if (m_received > 0)
            request.setRawHeader("Range", "bytes=" + QByteArray::number(m_received) + "-");
        std::unique_ptr<QNetworkReply, DeleteLater> reply(network.get(request));
        reply->setReadBufferSize(readBufferBytes);
        TransferWatch watch(*reply, m_settings.stop, m_settings.stallLimit);
        QObject receiver; // ends the connection with this frame
        QObject::connect(reply.get(), &QNetworkReply::readyRead, &receiver, [&] { take(*reply); });
        co_await watch.finished();
        take(*reply);
        m_file.flush();
        watch.throwIfInterrupted();
        if (m_refusal)
            throw ModelDownloadError(*m_refusal);
        if (reply->error() != QNetworkReply::NoError)
            throw ModelDownloadError(
                QStringLiteral("The model download broke off: %1").arg(reply->errorString()));
    }

    void verify() {
        reportProgress();
        if (!isComplete())
            throw ModelDownloadError(
                QStringLiteral("The model download ended early (%1 of %2 bytes); the next "
                               "attempt resumes it.")
                    .arg(m_received)
                    .arg(m_checkpoint.size));
        if (m_hash.result().toHex() != m_checkpoint.sha256) {
            m_file.remove();
            throw ModelDownloadError(
                QStringLiteral("The downloaded %1 does not match the hub's SHA-256; it was "
                               "deleted.")
                    .arg(m_checkpoint.path));
        }
    }

private:
    void take(QNetworkReply& reply) {
        if (m_refusal || !reply.isOpen() || !decide(reply))
            return;
        const auto bytes = reply.readAll();
        if (bytes.isEmpty())
            return;
        if (m_received + bytes.size() > m_checkpoint.size)
            return refuse(reply, QStringLiteral("The model hub sent more of %1 than it listed.")
                                     .arg(m_checkpoint.path));
        if (m_file.write(bytes) != bytes.size())
            return refuse(reply, QStringLiteral("Could not write %1: %2")
                                     .arg(m_file.fileName(), m_file.errorString()));
        m_hash.addData(bytes);
        m_received += bytes.size();
        m_receivedThisAttempt += bytes.size();
        if (m_sinceReport.isValid() && m_sinceReport.elapsed() < progressIntervalMs)
            return;
        reportProgress();
    }

    // A 206 must continue exactly where the partial file ends; a 200 starts over.
    bool decide(QNetworkReply& reply) {
        if (m_decided)
            return true;
        const auto status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid())
            return false;
        m_decided = true;
        if (status.toInt() == 200) {
            restart();
            return true;
        }
        if (status.toInt() == 206 &&
            CheckpointTransfer::rangeContinues(reply.rawHeader("Content-Range"), m_received,
                                               m_checkpoint.size))
            return true;
        // A range the hub does not continue, or cannot satisfy, is not resumed again.
        if (status.toInt() == 206 || status.toInt() == 416) {
            restart();
            refuse(reply, QStringLiteral("The model hub could not resume %1 where it stopped; "
                                         "the next attempt starts over.")
                              .arg(m_checkpoint.path));
        } else {
            refuse(reply, QStringLiteral("The model hub refused %1 (HTTP %2).")
                              .arg(m_checkpoint.path)
                              .arg(status.toInt()));
        }
        return false;
    }

    void refuse(QNetworkReply& reply, const QString& reason) {
        m_refusal = reason;
        reply.abort();
    }

    void restart() {
        m_file.resize(0);
        m_file.seek(0);
        m_hash.reset();
        m_received = 0;
    }

    void reportProgress() {
        m_sinceReport.start();
        if (m_settings.progress)
            m_settings.progress({m_received, m_checkpoint.size, m_receivedThisAttempt});
    }

    const HubCheckpoint& m_checkpoint;
    QFile m_file;
    const CheckpointTransfer::Settings& m_settings;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    qint64 m_received = 0;
    qint64 m_receivedThisAttempt = 0;
    bool m_decided = false;
    std::optional<QString> m_refusal;
    QElapsedTimer m_sinceReport;
};

} // namespace

namespace CheckpointTransfer {

bool rangeContinues(const QByteArray& contentRange, qint64 offset, qint64 size) {
    static const QRegularExpression pattern(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+)$"));
    const auto match = pattern.match(QString::fromLatin1(contentRange.trimmed()));
    // A 206 answer is for a file of at least one byte; `size - 1` must not wrap.
    return size > 0 && match.hasMatch() && match.captured(1).toLongLong() == offset &&
           match.captured(2).toLongLong() == size - 1 && match.captured(3).toLongLong() == size;
}

QCoro::Task<> fetch(QNetworkAccessManager& network, HubCheckpoint checkpoint, QString partialFile,
                    Settings settings) {
    Attempt attempt(checkpoint, partialFile, settings);
    attempt.open();
    co_await attempt.hashEarlierBytes();
    if (!attempt.isComplete())
        co_await attempt.transfer(network);
    attempt.verify();
}

} // namespace CheckpointTransfer
