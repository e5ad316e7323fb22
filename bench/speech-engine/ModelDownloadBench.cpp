// Downloads a 256 MiB model file from a loopback hub (run in a child process, so that its
// memory does not count) and reports the downloader's peak resident memory growth and its
// throughput next to curl fetching the same file from the same hub.
#include "speech-engine/NemotronModelDownloader.h"
#include "tests/speech-engine/FakeModelHub.h"
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
const Repo repo = Repo::nemotronStreaming560;
const QString remoteFile =
    QStringLiteral("nemotron_coreml_560ms/encoder/encoder_int8.pt/weights.bin");

void writeModelFile(const QString& path) {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray block(1 << 20, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = char(i * 7919 >> 3);
    for (qint64 written = 0; written < fileBytes; written += block.size())
        file.write(block);
}

// The child: serve the listing and the file until killed.
int serve(const QString& bodyFile) {
    FakeModelHub hub;
    hub.serveListing(repo.subPath(), {{"file", remoteFile}});
    hub.serveFile(remoteFile, {200, {}, bodyFile});
    std::printf("%s\n", qPrintable(hub.baseURL()));
    std::fflush(stdout);
    return QCoreApplication::exec();
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
    if (argc == 3 && QByteArray(argv[1]) == "--serve")
        return serve(QString::fromLocal8Bit(argv[2]));

    QTemporaryDir folder;
    const auto source = folder.filePath("source.bin");
    writeModelFile(source);

    QProcess hub;
    hub.start(QCoreApplication::applicationFilePath(), {"--serve", source});
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
    runToCompletion(NemotronModelDownloader::download(repo, modelsRoot));
    const auto downloadNanoseconds = timer.nsecsElapsed();
    const auto peakGrowthKiB = statusKiB("VmHWM:") - residentBefore;

    const auto curlTarget = folder.filePath("curl.bin");
    timer.restart();
    const int curlStatus = QProcess::execute(
        "curl", {"-sSf", "-o", curlTarget,
                 baseURL + FakeModelHub::filePath(remoteFile) + "?download=true"});
    const auto curlNanoseconds = timer.nsecsElapsed();
    hub.kill();
    hub.waitForFinished();

    const auto downloaded = QDir(NemotronModelDownloader::variantFolder(repo, modelsRoot))
                                .filePath("encoder/encoder_int8.pt/weights.bin");
    if (QFileInfo(downloaded).size() != fileBytes || curlStatus != 0 ||
        QFileInfo(curlTarget).size() != fileBytes) {
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
