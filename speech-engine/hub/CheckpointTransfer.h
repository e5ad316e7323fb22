#pragma once

#include "speech-engine/hub/HubCheckpoint.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <stop_token>

class QNetworkAccessManager;
class SerialExecutor;

// Fetches a checkpoint into a partial file, resuming with an HTTP range what an earlier attempt
// left there, and checks its size and SHA-256 as the bytes arrive. A partial file whose bytes
// turn out wrong is deleted; one cut short, stalled or cancelled is kept for the next attempt.
namespace CheckpointTransfer {
// Bytes of the file present so far, and bytes received by this attempt.
struct Progress {
    qint64 received = 0;
    qint64 total = 0;
    qint64 receivedThisAttempt = 0;
};
using ProgressHandler = std::function<void(const Progress&)>;

struct Settings {
    std::stop_token stop;
    std::chrono::milliseconds stallLimit;
    ProgressHandler progress;
    // Hashes the bytes an earlier attempt left, off the calling thread.
    SerialExecutor* worker = nullptr;
};

// Whether a 206 answer's Content-Range continues a file of `size` bytes at `offset` to its end.
bool rangeContinues(const QByteArray& contentRange, qint64 offset, qint64 size);

// Throws ModelDownloadError.
QCoro::Task<> fetch(QNetworkAccessManager& network, HubCheckpoint checkpoint, QString partialFile,
                    Settings settings);
} // namespace CheckpointTransfer
