// Downloads a 256 MiB checkpoint from a loopback hub (run in a child process, so that its
// memory does not count) and reports the downloader's peak resident memory growth and its
// throughput (with the SHA-256 check) next to curl fetching the same file from the same hub.
// The import is left out: a stand-in writes an empty model folder.
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "tests/speech-engine/hub/FakeModelHub.h"
#include "tests/support/RunToCompletion.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr qint64 fileBytes = qint64(256) << 20;
const QString commit = QString(40, u'b');
const QString remoteFile = QStringLiteral("nemotron-speech-streaming-en-0.6b.nemo");

QByteArray checkpointBytes() {
    QByteArray block(1 << 20, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = char(i * 7919 >> 3);
    return block.repeated(int(fileBytes / block.size()));
}

// The child: serve the repository until killed.
int serve() {
    FakeModelHub hub;
    hub.serveRepository(Repo::remotePath(), Repo::revision(), commit,
                        {{remoteFile, checkpointBytes()}});
    std::printf("%s\n", qPrintable(hub.baseURL()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

void writeEmptyModelFolder(const std::filesystem::path&, const std::filesystem::path& folder,
                           const ImportOptions&, const ModelImporter::ProgressHandler&,
                           const ModelImporter::CancelCheck&) {
    using namespace ModelNames::NemotronStreaming;
    const QDir dir(QString::fromStdString(folder.string()));
    for (const auto name :
         {preprocessorFile, encoderPath, decoderFile, jointFile, metadata, tokenizer}) {
        dir.mkpath(QFileInfo(dir.filePath(name)).path());
        QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
    }
}

// kB figures from /proc/self/status.
qint64 statusKiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const auto& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field)))
                .trimmed()
                .split(' ')
                .first()
                .toLongLong();
    return -1;
}

void resetPeakResidentMemory() {
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

double mebibytesPerSecond(qint64 bytes, qint64 nanoseconds) {
    return double(bytes) / double(1 << 20) / (double(nanoseconds) / 1e9);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 2 && QByteArray(argv[1]) == "--serve")
        return serve();

    QTemporaryDir folder;
    QProcess hub;
    hub.start(QCoreApplication::applicationFilePath(), {"--serve"});
    if (!hub.waitForReadyRead(30000)) {
        std::printf("the loopback hub did not start\n");
        return 1;
    }
    const auto baseURL = QString::fromUtf8(hub.readLine()).trimmed();
    qputenv("HF_ENDPOINT", baseURL.toUtf8());

    const auto modelsRoot = folder.filePath("models");
    resetPeakResidentMemory();
    const auto residentBefore = statusKiB("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    NemotronModelDownloader::Options options;
    options.import = writeEmptyModelFolder;
    runToCompletion(NemotronModelDownloader::download(HubModel::english(Repo::nemotronStreaming560),
                                                      modelsRoot, options));
    const auto downloadNanoseconds = timer.nsecsElapsed();
    const auto peakGrowthKiB = statusKiB("VmHWM:") - residentBefore;

    const auto curlTarget = folder.filePath("curl.bin");
    timer.restart();
    const int curlStatus = QProcess::execute(
        "curl", {"-sSf", "-o", curlTarget,
                 baseURL + "/" + Repo::remotePath() + "/resolve/" + commit + "/" + remoteFile});
    const auto curlNanoseconds = timer.nsecsElapsed();
    hub.kill();
    hub.waitForFinished();

    const auto imported = NemotronModelDownloader::isModelComplete(
        NemotronModelDownloader::variantFolder(Repo::nemotronStreaming560, modelsRoot));
    if (!imported || curlStatus != 0 || QFileInfo(curlTarget).size() != fileBytes) {
        std::printf("a download is incomplete (curl status %d)\n", curlStatus);
        return 1;
    }
    const double ours = mebibytesPerSecond(fileBytes, downloadNanoseconds);
    const double curl = mebibytesPerSecond(fileBytes, curlNanoseconds);
    std::printf("256 MiB from the loopback hub\n");
    std::printf("  peak resident memory growth: %.1f MiB\n", double(peakGrowthKiB) / 1024);
    std::printf("  downloader: %.0f MiB/s, curl: %.0f MiB/s, curl / downloader: %.2f\n", ours, curl,
                curl / ours);
    return 0;
}
