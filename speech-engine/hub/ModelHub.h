#pragma once

#include "speech-engine/hub/HubCheckpoint.h"

#include <QJsonDocument>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <stop_token>

class QNetworkAccessManager;

// The model hub's API as the downloader needs it. Failures throw ModelDownloadError.
namespace ModelHub {
// HF_ENDPOINT, default "https://huggingface.co".
QUrl baseURL();

// Resolves `revision` (branch, tag or commit) to its commit, then lists the repository at
// that commit and takes its .nemo file: the only one, or among several the one named after
// the repository.
QCoro::Task<HubCheckpoint> findCheckpoint(QNetworkAccessManager& network, QString repository,
                                          QString revision, std::stop_token stop,
                                          std::chrono::milliseconds stallLimit);

// The commit in the hub's answer for `revision` of `repository`.
QString commitInAnswer(const QJsonDocument& answer, const QString& repository,
                       const QString& revision);

// The checkpoint in the hub's file list of `repository` at `commit`, chosen as above.
HubCheckpoint checkpointInListing(const QJsonDocument& listing, const QString& repository,
                                  const QString& commit);

// The checkpoint's download address, pinned to its commit.
QUrl fileURL(const HubCheckpoint& checkpoint);
} // namespace ModelHub
