// relayo-models: fetches the speech models (the English caption model and the Korean reply
// model) into the per-user model cache before a meeting, with a progress bar on the terminal,
// and prints where each folder is and, for int8 folders, how closely int8 follows float32.
// `--keep-checkpoint` keeps the downloaded .nemo files.

#include "speech-engine/core/JsonFile.h"
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/import/Int8AgreementJson.h"
#include "speech-engine/import/ModelImporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QLocale>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <algorithm>
#include <cstdio>

namespace {

QString timeLeftText(std::chrono::seconds left) {
    if (left.count() < 60)
        return QStringLiteral("%1 s left").arg(left.count());
    return QStringLiteral("%1 min %2 s left").arg(left.count() / 60).arg(left.count() % 60);
}

QString detailOf(const NemotronDownloadProgress& progress) {
    if (progress.stage == NemotronDownloadProgress::Stage::importing)
        return QStringLiteral("importing: ") + progress.importStage;
    const QLocale english(QLocale::English);
    auto text = english.formattedDataSize(progress.bytesReceived) + QStringLiteral(" of ") +
                english.formattedDataSize(progress.bytesTotal);
    if (progress.timeLeft)
        text += QStringLiteral(", ") + timeLeftText(*progress.timeLeft);
    return text;
}

void drawProgress(const char* label, const NemotronDownloadProgress& progress) {
    constexpr int width = 30;
    const auto fraction = std::clamp(progress.fractionCompleted, 0.0, 1.0);
    const int filled = int(fraction * width + 0.5);
    // Padded, so a shorter line covers a longer one before it.
    std::fprintf(stderr, "\r%-8s [%s%s] %3d%%  %-48s", label, std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), int(fraction * 100),
                 qPrintable(detailOf(progress)));
    std::fflush(stderr);
}

// Folders without a readable record (float32 ones, those imported before the check) say nothing.
std::optional<Int8Agreement> recordedAgreement(const QString& folder) {
    try {
        const auto metadata =
            JsonFile::read(QDir(folder).filePath(ModelNames::NemotronStreaming::metadata));
        return Int8AgreementJson::fromMetadata(metadata.object());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

double percent(double fraction) {
    return fraction * 100;
}

void printAgreement(const QString& folder) {
    const auto agreement = recordedAgreement(folder);
    if (!agreement)
        return;
    if (!agreement->measured()) {
        std::printf("%-8s int8 not checked against float32: %s\n", "",
                    agreement->notMeasured.c_str());
        return;
    }
    const auto& encoder = agreement->encoder;
    std::printf("%-8s int8 against float32: cosine %.6f, max difference %.2f %% of the largest "
                "value",
                "", encoder.cosine, percent(encoder.maxDifference));
    const auto& layers = agreement->layers;
    const auto worst = std::ranges::min_element(
        layers, [](const auto& a, const auto& b) { return a.cosine < b.cosine; });
    if (worst != layers.end())
        std::printf("; worst layer %td: cosine %.6f, %.2f %%", worst - layers.begin(),
                    worst->cosine, percent(worst->maxDifference));
    std::printf("\n");
    if (!agreement->withinBound())
        std::printf("%-8s warning: int8 strays from float32 beyond cosine %.4f and %.1f %%; "
                    "recognition may differ from the float32 model's\n",
                    "", Int8Agreement::minimumCosine, percent(Int8Agreement::maximumDifference));
}

QCoro::Task<> fetch(const char* label, HubModel model, QString root, bool keepCheckpoint) {
    const auto folder = NemotronModelDownloader::modelFolder(model, root);
    if (NemotronModelDownloader::isModelComplete(folder)) {
        std::printf("%-8s already in %s\n", label, qPrintable(folder));
        printAgreement(folder);
        co_return;
    }
    NemotronModelDownloader::Options options;
    options.import = ModelImporter::importCheckpoint;
    options.progress = [label](const NemotronDownloadProgress& progress) {
        drawProgress(label, progress);
    };
    options.keepCheckpoint = keepCheckpoint;
    const auto downloaded =
        co_await NemotronModelDownloader::download(std::move(model), root, std::move(options));
    std::fprintf(stderr, "\n");
    std::printf("%-8s in %s\n", label, qPrintable(downloaded.folder));
    printAgreement(downloaded.folder);
    if (!downloaded.keptCheckpoint.isEmpty())
        std::printf("%-8s checkpoint kept as %s\n", label, qPrintable(downloaded.keptCheckpoint));
}

QCoro::Task<int> fetchAll(bool keepCheckpoint) {
    const auto root = NemotronModelDownloader::defaultModelsRoot();
    // Named: GCC 12 destroys temporaries of a co_await expression twice.
    const auto english = HubModel::english(Repo::nemotronStreaming560);
    const auto korean = HubModel::korean();
    try {
        co_await fetch("English", english, root, keepCheckpoint);
        co_await fetch("Korean", korean, root, keepCheckpoint);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "\nDownload failed: %s\n", error.what());
        co_return 1;
    }
    co_return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const auto arguments = app.arguments().mid(1);
    const bool keepCheckpoint = arguments == QStringList{QStringLiteral("--keep-checkpoint")};
    if (!arguments.isEmpty() && !keepCheckpoint) {
        std::fprintf(stderr, "usage: relayo-models [--keep-checkpoint]\n");
        return 2;
    }
    QTimer::singleShot(0, &app, [keepCheckpoint] {
        fetchAll(keepCheckpoint).then([](int status) { QCoreApplication::exit(status); });
    });
    return app.exec();
}
