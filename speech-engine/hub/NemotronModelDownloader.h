#pragma once

#include "speech-engine/core/AppLogger.h"
#include "speech-engine/hub/HubModel.h"
#include "speech-engine/hub/NemotronDownloadProgress.h"
#include "speech-engine/import/vocabulary/ModelImport.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>

// Fetches a model's NeMo checkpoint from the hub into the per-user model cache and imports it
// into the engine's model folder. A model folder is complete or absent: the importer builds it
// under a temporary name and renames it last.
namespace NemotronModelDownloader {
// May be called from any thread.
using ProgressHandler = std::function<void(const NemotronDownloadProgress&)>;
// Turns a checkpoint into a model folder (ModelImporter::importCheckpoint); called on a worker
// thread.
using ImportStep =
    std::function<void(const std::filesystem::path& checkpoint, const std::filesystem::path& folder,
                       const ImportOptions& options, const ModelImporter::ProgressHandler& progress,
                       const ModelImporter::CancelCheck& cancelled)>;

struct Options {
    ImportStep import;
    ProgressHandler progress;
    // A stop request ends the transfer or the import at once.
    std::stop_token stop;
    // A transfer that receives nothing for this long is given up.
    std::chrono::milliseconds stallLimit = std::chrono::seconds(60);
    // Keep the checkpoint in the models root after the import.
    bool keepCheckpoint = false;
};

struct DownloadedModel {
    QString folder;
    QString keptCheckpoint; // empty unless asked to keep it
};

// The generic data folder + "Murmurvale/Models"; not created here.
QString defaultModelsRoot();
// models root + the model's folder name.
QString modelFolder(const HubModel& model, const QString& modelsRoot);
// The English variant's folder under the models root.
QString variantFolder(Repo repo, const QString& modelsRoot);
// Every file the engine loads is there, at the size its import listed (a folder left by an older
// program or by hand with a missing file does not count); see ModelFolderManifest.
bool isModelComplete(const QString& folder);

// Resolves the revision, downloads the checkpoint (resuming an earlier partial file), checks
// its size and SHA-256, imports it into the model's folder and deletes it unless kept.
// Throws ModelDownloadError, or the importer's error.
QCoro::Task<DownloadedModel> download(HubModel model, QString modelsRoot, Options options);

// The cache-or-download choice of model loading: uses the model folder when complete,
// otherwise downloads it (logging which through `logger`). Returns the model folder.
QCoro::Task<QString> locateOrDownload(HubModel model, std::optional<QString> modelsRoot,
                                      Options options, AppLogger logger);
} // namespace NemotronModelDownloader
