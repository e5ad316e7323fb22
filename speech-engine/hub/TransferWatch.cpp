#include "speech-engine/hub/TransferWatch.h"

#include "speech-engine/hub/ModelDownloadError.h"

#include <QNetworkReply>

#include <qcoro/qcoronetworkreply.h>

TransferWatch::TransferWatch(QNetworkReply& reply, std::stop_token stop,
                             std::chrono::milliseconds stallLimit)
    : m_reply(reply), m_stallLimit(stallLimit),
      // Queued: the stop may come from another thread, or from inside a slot of this reply.
      m_onStop(std::move(stop), std::function<void()>([this] {
                   QMetaObject::invokeMethod(
                       &m_context, [this] { interrupt(Interruption::stopped); },
                       Qt::QueuedConnection);
               })) {
    m_stallTimer.setSingleShot(true);
    m_stallTimer.setInterval(m_stallLimit);
    QObject::connect(&m_stallTimer, &QTimer::timeout, &m_context,
                     [this] { interrupt(Interruption::stalled); });
    QObject::connect(&reply, &QNetworkReply::downloadProgress, &m_context,
                     [this] { m_stallTimer.start(); });
    m_stallTimer.start();
}

QCoro::Task<> TransferWatch::finished() {
    co_await qCoro(&m_reply).waitForFinished();
    m_stallTimer.stop();
}

void TransferWatch::interrupt(Interruption reason) {
    if (m_reply.isFinished() || m_interruption)
        return;
    m_interruption = reason;
    m_reply.abort();
}

void TransferWatch::throwIfInterrupted() const {
    if (m_interruption == Interruption::stopped)
        throw ModelDownloadError::cancelled();
    if (m_interruption == Interruption::stalled)
        throw ModelDownloadError(
            QStringLiteral("The model download stalled: no data arrived for %1 seconds.")
                .arg(double(m_stallLimit.count()) / 1000));
}
