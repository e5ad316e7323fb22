#pragma once

#include "speech-engine/AppLogger.h"
#include "speech-engine/Repo.h"

#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>
#include <vector>

struct NemotronDownloadProgress {
    double fractionCompleted = 0; // in (0, 1]
};

// Fetches a model variant from the hub into the per-user model cache. Each file is
// streamed to a temporary file beside its destination and renamed when complete, so a
// file in the cache is either whole or absent.
namespace NemotronModelDownloader {
// May be called from any thread.
using ProgressHandler = std::function<void(NemotronDownloadProgress)>;

struct ModelFile {
    QString path;         // from the repository's root
    QString relativePath; // inside the variant folder
};

// The variant's files in the hub's listing `body` (a JSON array of "type" and "path"
// entries). Throws std::runtime_error for text that is not such an array and ASRError for
// unsafe paths or a listing without the variant's files.
std::vector<ModelFile> filesInListing(const QByteArray& body, Repo repo);

// The hub's base address: HF_ENDPOINT, default "https://huggingface.co".
QUrl hubBaseURL();
// The generic data folder + "Murmurvale/Models"; not created here.
QString defaultModelsRoot();
// models root + the variant's folder name.
QString variantFolder(Repo repo, const QString& modelsRoot);
// A variant counts as present when its encoder path exists (file or folder).
bool isVariantPresent(Repo repo, const QString& modelsRoot);

// Lists the variant's files at the pinned revision and fetches the missing ones one by one
// into models root + folder name, reporting progress once per file. Throws ASRError for
// refused listings and files, std::runtime_error for network, JSON and file-system errors.
QCoro::Task<void> download(Repo repo, QString to, ProgressHandler progress = {});

// The cache-or-download choice of model loading: uses the cached variant when present,
// otherwise downloads it (logging which through `logger`). Returns the variant folder.
QCoro::Task<QString> locateOrDownload(Repo repo, std::optional<QString> modelsRoot,
                                      ProgressHandler progress, AppLogger logger);
} // namespace NemotronModelDownloader
