#include "speech-engine/NemotronModelDownloader.h"
#include "speech-engine/ModelNames.h"
#include "tests/speech-engine/Failure.h"
#include "tests/speech-engine/FakeModelHub.h"
#include "tests/speech-engine/TestFiles.h"
#include "tests/support/RunToCompletion.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const Repo repo = Repo::nemotronStreaming560;
const QString subPath = QStringLiteral("nemotron_coreml_560ms");

QString contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList filesBelow(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(folder).relativeFilePath(it.next()));
    files.sort();
    return files;
}

} // namespace

class NemotronModelDownloaderTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeModelHub> hub;
    std::unique_ptr<QTemporaryDir> root;

    QString variantFolder() const {
        return NemotronModelDownloader::variantFolder(repo, root->path());
    }

    void download(NemotronModelDownloader::ProgressHandler progress = {}) {
        runToCompletion(NemotronModelDownloader::download(repo, root->path(), std::move(progress)));
    }

    QString downloadFailure() {
        return failureOf([this] { download(); });
    }

    // Serves each relative path under the variant with its own name as content.
    void serveFiles(const QStringList& relativePaths) {
        QList<std::pair<QString, QString>> entries;
        for (const auto& path : relativePaths) {
            entries.append({"file", subPath + '/' + path});
            hub->serveFile(subPath + '/' + path, {200, path.toUtf8(), {}});
        }
        hub->serveListing(subPath, entries);
    }

private slots:
    void init() {
        qunsetenv("RLY_MODEL_REPO");
        qunsetenv("RLY_MODEL_REVISION");
        hub = std::make_unique<FakeModelHub>();
        qputenv("HF_ENDPOINT", hub->baseURL().toUtf8());
        root = std::make_unique<QTemporaryDir>();
    }

    void fetchesOnlyMissingFilesAndReportsEveryEntry() {
        QStringList paths;
        for (int i = 0; i < 40; ++i)
            paths.append(QStringLiteral("encoder/encoder_int8.pt/part%1.bin").arg(i));
        serveFiles(paths);
        for (int i = 0; i < 40; i += 4)
            writeTestFile(variantFolder() + '/' + paths[i], "kept");

        QList<double> progress;
        download([&](NemotronDownloadProgress p) { progress.append(p.fractionCompleted); });

        QCOMPARE(progress.size(), 40);
        QCOMPARE(progress.last(), 1.0);
        QVERIFY(std::is_sorted(progress.begin(), progress.end()));
        QCOMPARE(hub->requestedPaths().size(), 1 + 30);
        for (int i = 0; i < 40; ++i)
            QCOMPARE(contentOf(variantFolder() + '/' + paths[i]), i % 4 == 0 ? "kept" : paths[i]);
        QCOMPARE(filesBelow(variantFolder()).size(), 40);
    }

    void skipsDirectoriesAndOtherVariants() {
        hub->serveListing(subPath, {{"directory", subPath + "/encoder"},
                                    {"file", "nemotron_coreml_160ms/joint.pt"},
                                    {"file", subPath + "extra/joint.pt"},
                                    {"file", subPath + "/joint.pt"}});
        hub->serveFile(subPath + "/joint.pt", {200, "joint", {}});
        download();
        QCOMPARE(hub->requestedPaths().size(), 2);
        QCOMPARE(filesBelow(root->path()),
                 QStringList{"nemotron-streaming/560ms-macos14/joint.pt"});
    }

    void encodesBlanksOnTheWireAndStoresThemPlain() {
        serveFiles({"vocab files/a b.json"});
        download();
        QVERIFY(hub->requestedPaths().last().endsWith("/vocab%20files/a%20b.json"));
        QCOMPARE(contentOf(variantFolder() + "/vocab files/a b.json"), "vocab files/a b.json");
    }

    void pinsRequestsToTheConfiguredRepositoryAndRevision() {
        const QByteArray revision = "0123456789abcdef0123456789abcdef01234567";
        qputenv("RLY_MODEL_REPO", "someone/other-model");
        qputenv("RLY_MODEL_REVISION", revision);
        serveFiles({"joint.pt"});
        download();
        QCOMPARE(hub->requestedPaths(),
                 (QList<QByteArray>{"/api/models/someone/other-model/tree/" + revision + "/" +
                                        subPath.toUtf8(),
                                    "/someone/other-model/resolve/" + revision + "/" +
                                        subPath.toUtf8() + "/joint.pt"}));
    }

    void refusedListingFailsBeforeAnyFolderIsMade() {
        hub->serveListing(subPath, {{"file", subPath + "/joint.pt"}}, 404);
        QCOMPARE(downloadFailure(),
                 "Speech recognition failed: Could not list Nemotron model files.");
        QVERIFY(QDir(root->path()).isEmpty());
    }

    void refusedFileFailsAndLeavesNoPartialFile() {
        serveFiles({"decoder.pt", "joint.pt"});
        hub->serveFile(subPath + "/joint.pt", {500, "half a file", {}});
        QCOMPARE(downloadFailure(), "Speech recognition failed: Could not download joint.pt.");
        QCOMPARE(filesBelow(variantFolder()), QStringList{"decoder.pt"});
    }

    void badListingsFailWithTheirError_data() {
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<QString>("failure");
        const QString notFound =
            "Speech recognition failed: Nemotron 560 model files were not found.";
        QTest::newRow("truncated") << QByteArray("[{\"type\": \"file\", \"pa") << "not valid JSON";
        QTest::newRow("not UTF-8")
            << QByteArray("[{\"type\": \"file\", \"path\": \"\xff\xfe\"}]") << "not valid JSON";
        QTest::newRow("object") << QByteArray("{\"type\": \"file\"}") << "not a JSON array";
        QTest::newRow("path missing") << QByteArray("[{\"type\": \"file\"}]") << "without a string";
        QTest::newRow("path a number")
            << QByteArray("[{\"type\": \"file\", \"path\": 7}]") << "without a string";
        QTest::newRow("element a string") << QByteArray("[\"file\"]") << "without a string";
        QTest::newRow("empty") << QByteArray("[]") << notFound;
        QTest::newRow("only folders")
            << QByteArray("[{\"type\": \"directory\", \"path\": \"nemotron_coreml_560ms/x\"}]")
            << notFound;
        QTest::newRow("climbs out")
            << QByteArray("[{\"type\": \"file\", \"path\": \"nemotron_coreml_560ms/../../evil\"}]")
            << "Invalid model file path";
        QTest::newRow("ends in a slash")
            << QByteArray("[{\"type\": \"file\", \"path\": \"nemotron_coreml_560ms/encoder/\"}]")
            << "Invalid model file path";
    }
    void badListingsFailWithTheirError() {
        QFETCH(QByteArray, listing);
        QFETCH(QString, failure);
        hub->serve(FakeModelHub::listingPath(subPath), {200, listing, {}});
        const auto description = downloadFailure();
        QVERIFY2(description.contains(failure), qPrintable(description));
        QVERIFY(QDir(root->path()).isEmpty());
    }

    void unreachableHubPassesOnTheNetworkError() {
        const auto address = hub->baseURL();
        hub.reset();
        qputenv("HF_ENDPOINT", address.toUtf8());
        QVERIFY(!downloadFailure().isEmpty());
        QVERIFY(QDir(root->path()).isEmpty());
    }

    void unusableEndpointIsRefused() {
        qputenv("HF_ENDPOINT", "ftp://example.org");
        QVERIFY(downloadFailure().startsWith("HF_ENDPOINT is not an http(s) address"));
    }

    void cachedVariantNeedsNoNetwork() {
        writeTestFile(
            variantFolder() + '/' + ModelNames::NemotronStreaming::encoderPath + "/weights", "x");
        const auto folder = runToCompletion(NemotronModelDownloader::locateOrDownload(
            repo, root->path(), {}, AppLogger(QStringLiteral("NemotronStreaming"))));
        QCOMPARE(folder, variantFolder());
        QVERIFY(hub->requestedPaths().isEmpty());
    }

    void missingVariantIsDownloadedIntoTheModelsRoot() {
        serveFiles({"encoder/encoder_int8.pt", "tokenizer.json"});
        const auto folder = runToCompletion(NemotronModelDownloader::locateOrDownload(
            repo, root->path(), {}, AppLogger(QStringLiteral("NemotronStreaming"))));
        QCOMPARE(folder, root->path() + "/nemotron-streaming/560ms-macos14");
        QVERIFY(NemotronModelDownloader::isVariantPresent(repo, root->path()));
        QCOMPARE(filesBelow(folder), (QStringList{"encoder/encoder_int8.pt", "tokenizer.json"}));
    }

    void defaultModelsRootIsInTheUserDataFolder() {
        QVERIFY(NemotronModelDownloader::defaultModelsRoot().endsWith("/Murmurvale/Models"));
    }
};

QTEST_GUILESS_MAIN(NemotronModelDownloaderTest)
#include "NemotronModelDownloaderTest.moc"
