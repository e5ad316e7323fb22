#include "speech-engine/hub/NemotronModelDownloader.h"

#include "speech-engine/core/ModelFolderManifest.h"
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/core/SerialExecutor.h"
#include "speech-engine/hub/CheckpointTransfer.h"
#include "speech-engine/hub/DownloadLock.h"
#include "speech-engine/hub/ModelDownloadError.h"
#include "speech-engine/hub/ModelHub.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QStorageInfo>

#include <cmath>

namespace {

// A rate measured over less time than this says little about the time left.
constexpr qint64 rateSettlingMs = 1000;

// The checkpoint is downloaded under its hash, so a later attempt resumes only the same file.
QString partialFilePath(const QString& modelsRoot, const HubCheckpoint& checkpoint) {
    return QDir(modelsRoot)
        .filePath(
            QStringLiteral(".checkpoint-%1.partial").arg(QString::fromLatin1(checkpoint.sha256)));
}

// What is still to download, plus room for the import: a model folder holds at most the
// checkpoint's weights (fp32); an int8 one about a quarter of them, beside the float32 encoder
// it is checked against while importing.
void requireDiskSpace(const QString& modelsRoot, const HubCheckpoint& checkpoint,
                      const QString& partialFile) {
    const auto present = std::min(QFileInfo(partialFile).size(), checkpoint.size);
    const auto needed = checkpoint.size + checkpoint.size / 4 * 5 - present;
    const QStorageInfo storage(modelsRoot);
    if (storage.bytesAvailable() < needed) {
        const QLocale english(QLocale::English);
        throw ModelDownloadError(
            QStringLiteral("Not enough free disk space in %1: the speech model needs %2, %3 is "
                           "free.")
                .arg(modelsRoot, english.formattedDataSize(needed),
                     english.formattedDataSize(storage.bytesAvailable())));
    }
}

// The rate, and with it the time left, is measured from the first byte of this attempt, so
// neither the requests before it nor hashing what an earlier attempt left slows it down.
CheckpointTransfer::ProgressHandler
downloadProgress(const NemotronModelDownloader::ProgressHandler& progress) {
    if (!progress)
        return {};
    struct Rate {
        QElapsedTimer clock;
        qint64 bytesAtStart = 0;
    };
    auto rate = std::make_shared<Rate>();
    return [progress, rate](const CheckpointTransfer::Progress& transfer) {
        if (!rate->clock.isValid() && transfer.receivedThisAttempt > 0) {
            rate->clock.start();
            rate->bytesAtStart = transfer.receivedThisAttempt;
        }
        NemotronDownloadProgress report;
        report.fractionCompleted = double(transfer.received) / double(transfer.total);
        report.bytesReceived = transfer.received;
        report.bytesTotal = transfer.total;
        const auto elapsedMs = rate->clock.isValid() ? rate->clock.elapsed() : 0;
        const auto bytes = transfer.receivedThisAttempt - rate->bytesAtStart;
        if (elapsedMs >= rateSettlingMs && bytes > 0) {
            const double bytesPerMs = double(bytes) / double(elapsedMs);
            report.timeLeft = std::chrono::seconds(
                qint64(std::ceil(double(transfer.total - transfer.received) / bytesPerMs / 1000)));
        }
        progress(report);
    };
}

ModelImporter::ProgressHandler
importProgress(const NemotronModelDownloader::ProgressHandler& progress) {
    if (!progress)
        return {};
    return [progress](const ImportProgress& import) {
        NemotronDownloadProgress report;
        report.stage = NemotronDownloadProgress::Stage::importing;
        report.fractionCompleted = import.fraction;
        report.importStage = QString::fromStdString(import.stage);
        progress(report);
    };
}

QCoro::Task<> importCheckpoint(SerialExecutor& worker,
                               const NemotronModelDownloader::Options& options,
                               const HubCheckpoint& checkpoint, const HubModel& model,
                               const QString& checkpointFile, const QString& folder) {
    ImportOptions importOptions;
    importOptions.chunkMs = model.chunkMs;
    if (model.locale)
        importOptions.locale = model.locale->toStdString();
    importOptions.source = {checkpoint.repository.toStdString(), checkpoint.commit.toStdString(),
                            checkpoint.path.toStdString(), checkpoint.sha256.toStdString()};
    try {
        co_await worker.run([&] {
            options.import(std::filesystem::path(checkpointFile.toStdString()),
                           std::filesystem::path(folder.toStdString()), importOptions,
                           importProgress(options.progress),
                           [stop = options.stop] { return stop.stop_requested(); });
        });
    } catch (const ModelImportError&) {
        if (options.stop.stop_requested())
            throw ModelDownloadError::cancelled();
        throw;
    }
    if (options.stop.stop_requested())
        throw ModelDownloadError::cancelled();
    if (!NemotronModelDownloader::isModelComplete(folder))
        throw ModelDownloadError(
            QStringLiteral("The import of %1 left no complete model folder at %2.")
                .arg(checkpoint.path, folder));
}

// Returns where the checkpoint was kept, or an empty text when it was deleted.
QString keepOrDelete(const QString& checkpointFile, const HubCheckpoint& checkpoint,
                     const QString& modelsRoot, bool keep) {
    if (!keep) {
        QFile::remove(checkpointFile);
        return {};
    }
    const auto kept = QDir(modelsRoot).filePath(QFileInfo(checkpoint.path).fileName());
    QFile::remove(kept);
    if (!QFile::rename(checkpointFile, kept))
        throw ModelDownloadError(QStringLiteral("Could not keep the checkpoint as %1.").arg(kept));
    return kept;
}

} // namespace

namespace NemotronModelDownloader {

QString defaultModelsRoot() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Murmurvale/Models");
}

QString modelFolder(const HubModel& model, const QString& modelsRoot) {
    return QDir(modelsRoot).filePath(model.folderName);
}

QString variantFolder(Repo repo, const QString& modelsRoot) {
    return modelFolder(HubModel::english(repo), modelsRoot);
}

bool isModelComplete(const QString& folder) {
    return !ModelFolderManifest::fault(folder);
}

QCoro::Task<DownloadedModel> download(HubModel model, QString modelsRoot, Options options) {
    if (!QDir().mkpath(modelsRoot))
        throw ModelDownloadError(QStringLiteral("Could not create the folder %1.").arg(modelsRoot));
    QNetworkAccessManager network;
    const auto checkpoint = co_await ModelHub::findCheckpoint(
        network, model.repository, model.revision, options.stop, options.stallLimit);
    const auto partialFile = partialFilePath(modelsRoot, checkpoint);
    requireDiskSpace(modelsRoot, checkpoint, partialFile);
    // Held through the import, which reads the file, until it is deleted or kept.
    const DownloadLock lock(partialFile);

    SerialExecutor worker(QStringLiteral("ModelDownload"));
    // Named: GCC 12 destroys temporaries of a co_await expression twice.
    const CheckpointTransfer::Settings transfer{options.stop, options.stallLimit,
                                                downloadProgress(options.progress), &worker};
    co_await CheckpointTransfer::fetch(network, checkpoint, partialFile, transfer);
    const auto folder = modelFolder(model, modelsRoot);
    co_await importCheckpoint(worker, options, checkpoint, model, partialFile, folder);
    co_return DownloadedModel{
        folder, keepOrDelete(partialFile, checkpoint, modelsRoot, options.keepCheckpoint)};
}

QCoro::Task<QString> locateOrDownload(HubModel model, std::optional<QString> modelsRoot,
                                      Options options, AppLogger logger) {
    const auto root = modelsRoot.value_or(defaultModelsRoot());
    const auto folder = modelFolder(model, root);
    if (isModelComplete(folder)) {
        logger.info(QStringLiteral("Using cached Nemotron models at ") + folder);
        co_return folder;
    }
    logger.info(QStringLiteral("Downloading Nemotron models to ") + root + QStringLiteral("..."));
    const auto downloaded = co_await download(std::move(model), root, std::move(options));
    co_return downloaded.folder;
}

} // namespace NemotronModelDownloader
