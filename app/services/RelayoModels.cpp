// relayo-models: fetches the speech models into the per-user model cache before a meeting,
// with a progress bar on the terminal. The English caption model always; the Korean reply
// model when RLY_KO_MODEL_REPO names its repository (RLY_KO_MODEL_REVISION pins a revision).

#include "speech-engine/NemotronModelDownloader.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>
#include <cstdio>
#include <qcoro/qcorotask.h>

namespace {

// The Korean variant has the English layout; it lives in its own folder under the root.
constexpr auto koreanFolderName = "korean-streaming";
constexpr Repo modelVariant = Repo::nemotronStreaming560;

void drawProgress(const char* label, double fraction) {
    constexpr int width = 40;
    const int filled = int(fraction * width + 0.5);
    std::fprintf(stderr, "\r%-8s [%s%s] %3d%%", label, std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), int(fraction * 100 + 0.5));
    std::fflush(stderr);
}

QCoro::Task<> fetch(const char* label, QString root) {
    if (NemotronModelDownloader::isVariantPresent(modelVariant, root)) {
        std::fprintf(stderr, "%-8s already in %s\n", label,
                     qPrintable(NemotronModelDownloader::variantFolder(modelVariant, root)));
        co_return;
    }
    drawProgress(label, 0);
    co_await NemotronModelDownloader::download(modelVariant, root,
                                               [label](NemotronDownloadProgress progress) {
                                                   drawProgress(label, progress.fractionCompleted);
                                               });
    std::fprintf(stderr, "\n");
}

// The downloader reads the repository from RLY_MODEL_REPO; the Korean variant is fetched
// with that pointed at its own repository, into a staging root, then moved into place.
QCoro::Task<> fetchKorean(const QString& modelsRoot, const QString& repository) {
    const QDir root(modelsRoot);
    const auto target = root.filePath(koreanFolderName);
    if (QDir(target).exists()) {
        std::fprintf(stderr, "%-8s already in %s\n", "Korean", qPrintable(target));
        co_return;
    }
    qputenv("RLY_MODEL_REPO", repository.toUtf8());
    const auto revision = qgetenv("RLY_KO_MODEL_REVISION");
    qputenv("RLY_MODEL_REVISION", revision.isEmpty() ? QByteArray("main") : revision);
    const auto staging = root.filePath(QStringLiteral(".korean-download"));
    co_await fetch("Korean", staging);
    if (!QDir().rename(NemotronModelDownloader::variantFolder(modelVariant, staging), target)) {
        throw std::runtime_error("Could not move the Korean model into " + target.toStdString());
    }
    QDir(staging).removeRecursively();
}

QCoro::Task<int> fetchAll() {
    const auto root = NemotronModelDownloader::defaultModelsRoot();
    const auto koreanRepository = qEnvironmentVariable("RLY_KO_MODEL_REPO");
    try {
        co_await fetch("English", root);
        if (koreanRepository.isEmpty()) {
            std::fprintf(stderr, "Korean   skipped: set RLY_KO_MODEL_REPO to its repository\n");
        } else {
            co_await fetchKorean(root, koreanRepository);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "\nDownload failed: %s\n", error.what());
        co_return 1;
    }
    co_return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTimer::singleShot(0, &app,
                       [] { fetchAll().then([](int status) { QCoreApplication::exit(status); }); });
    return app.exec();
}
