#pragma once

#include <QObject>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>
#include <stop_token>

class QNetworkReply;

// Awaits a network reply on the reply's thread, aborting it at once on a stop request (from
// any thread) or when no bytes have arrived for `stallLimit`.
class TransferWatch {
public:
    TransferWatch(QNetworkReply& reply, std::stop_token stop, std::chrono::milliseconds stallLimit);
    TransferWatch(const TransferWatch&) = delete;
    TransferWatch& operator=(const TransferWatch&) = delete;

    QCoro::Task<> finished();
    // Throws ModelDownloadError when the reply ended because of a stop request or a stall.
    void throwIfInterrupted() const;

private:
    enum class Interruption { stopped, stalled };
    void interrupt(Interruption reason);

    QNetworkReply& m_reply;
    std::chrono::milliseconds m_stallLimit;
    QObject m_context; // queued aborts and timer callbacks die with the watch
    QTimer m_stallTimer;
    std::optional<Interruption> m_interruption;
    std::stop_callback<std::function<void()>> m_onStop;
};
