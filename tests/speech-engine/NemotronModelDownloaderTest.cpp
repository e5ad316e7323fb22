// Downloading a checkpoint from a loopback model hub: pinned, verified, resumed, refused clearly,
// never cached half-done; handed to a stand-in importer (the importer's tests use the real one).
#include "speech-engine/NemotronModelDownloader.h"
#include "speech-engine/ModelNames.h"
#include "tests/speech-engine/FakeModelHub.h"
#include "tests/speech-engine/TestHelpers.h"
#include "tests/support/RunToCompletion.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>

namespace {

const QString englishRepository = QStringLiteral("nvidia/nemotron-speech-streaming-en-0.6b");
const QString commit = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
const QString checkpointPath = QStringLiteral("nemotron-speech-streaming-en-0.6b.nemo");
HubModel english() {
    return HubModel::english(Repo::nemotronStreaming560);
}

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Stands in for the importer: records what it was handed and writes a complete folder.
struct FakeImport {
    struct Call {
        QByteArray checkpoint;
        QString folder;
        ImportOptions options;
    };
    std::vector<Call> calls; // read once the download is over
    // Reports a stage, then waits for the cancel check instead of finishing.
    bool waitForCancel = false;

    NemotronModelDownloader::ImportStep step() {
        return [this](const std::filesystem::path& checkpoint, const std::filesystem::path& folder,
                      const ImportOptions& options, const ModelImporter::ProgressHandler& progress,
                      const ModelImporter::CancelCheck& cancelled) {
            calls.push_back({contentOf(QString::fromStdString(checkpoint.string())),
                             QString::fromStdString(folder.string()), options});
            progress({"Reading the checkpoint", 0.5});
            while (waitForCancel) {
                if (cancelled())
                    throw ModelImportError("cancelled");
                std::this_thread::yield();
            }
            using namespace ModelNames::NemotronStreaming;
            for (const auto file :
                 {preprocessorFile, encoderPath, decoderFile, jointFile, metadata, tokenizer})
                writeTestFile(QDir(QString::fromStdString(folder.string())).filePath(file), "x");
        };
    }
};

} // namespace

class NemotronModelDownloaderTest : public QObject {
    Q_OBJECT

    const QByteArray checkpoint =
        contentOf(QStringLiteral(RELAYO_SOURCE_DIR "/../shared/fixtures/nemo/small-en.nemo"));
    std::unique_ptr<FakeModelHub> hub;
    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<FakeImport> importer;
    std::stop_source stop;
    QList<NemotronDownloadProgress> progress;

    QString englishFolder() const {
        return NemotronModelDownloader::modelFolder(english(), root->path());
    }

    NemotronModelDownloader::Options options(bool keepCheckpoint = false) {
        return {importer->step(),
                [this](const NemotronDownloadProgress& report) { progress.append(report); },
                stop.get_token(), std::chrono::seconds(60), keepCheckpoint};
    }

    NemotronModelDownloader::DownloadedModel download(HubModel model = english(),
                                                      bool keep = false) {
        return runToCompletion(
            NemotronModelDownloader::download(std::move(model), root->path(), options(keep)));
    }

    QString failureWith(const NemotronModelDownloader::Options& settings) {
        return failureOf([&] {
            runToCompletion(NemotronModelDownloader::download(english(), root->path(), settings));
        });
    }

    QString englishFailure() { return failureWith(options()); }

    // Another checkpoint beside it: the one named after the repository is taken.
    void serveEnglish() {
        hub->serveRepository(englishRepository, "main", commit,
                             {{"other.nemo", "other"}, {checkpointPath, checkpoint}});
    }

    // Nothing a later start could take as a model, and no checkpoint left beside it.
    void verifyNothingCached() {
        QVERIFY(!QDir(englishFolder()).exists());
        QVERIFY(QDir(root->path()).entryList({"*.nemo"}, QDir::Files).isEmpty());
    }

    QStringList partialFiles() const {
        return QDir(root->path()).entryList({".checkpoint-*"}, QDir::Files | QDir::Hidden);
    }

private slots:
    void init() {
        for (const char* name :
             {"RLY_MODEL_REPO", "RLY_MODEL_REVISION", "RLY_KO_MODEL_REPO", "RLY_KO_MODEL_REVISION"})
            qunsetenv(name);
        hub = std::make_unique<FakeModelHub>();
        qputenv("HF_ENDPOINT", hub->baseURL().toUtf8());
        root = std::make_unique<QTemporaryDir>();
        importer = std::make_unique<FakeImport>();
        stop = {};
        progress.clear();
    }

    // Listed and fetched at the pinned commit, verified and imported into the model's own folder;
    // the checkpoint is kept only when asked. Korean from the repository the environment names.
    void fetchesPinnedVerifiesAndImports_data() {
        QTest::addColumn<bool>("korean");
        QTest::addColumn<bool>("keep");
        QTest::newRow("English, checkpoint deleted") << false << false;
        QTest::newRow("Korean, checkpoint kept") << true << true;
    }
    void fetchesPinnedVerifiesAndImports() {
        QFETCH(bool, korean);
        QFETCH(bool, keep);
        const QString repository = korean ? "someone/other-model" : englishRepository,
                      revision = korean ? "v2" : "main";
        if (korean) {
            qputenv("RLY_KO_MODEL_REPO", repository.toUtf8());
            qputenv("RLY_KO_MODEL_REVISION", revision.toUtf8());
        }
        // Another checkpoint beside it: the one named after the repository is taken.
        const auto fileName = repository.section('/', 1) + ".nemo";
        hub->serveRepository(repository, revision, commit,
                             {{"other.nemo", "other"}, {fileName, checkpoint}});
        const auto model = download(korean ? HubModel::korean() : english(), keep);

        QCOMPARE(model.folder, korean ? root->filePath("korean-streaming") : englishFolder());
        QVERIFY(NemotronModelDownloader::isModelComplete(model.folder));
        QVERIFY(partialFiles().isEmpty());
        QCOMPARE(QDir(root->path()).entryList({"*.nemo"}, QDir::Files),
                 keep ? QStringList{fileName} : QStringList{});
        QCOMPARE(model.keptCheckpoint, keep ? root->filePath(fileName) : QString());
        if (keep)
            QVERIFY(contentOf(model.keptCheckpoint) == checkpoint);

        QCOMPARE(importer->calls.size(), 1u);
        const auto& call = importer->calls.front();
        QVERIFY(call.checkpoint == checkpoint);
        QCOMPARE(call.folder, model.folder);
        QCOMPARE(call.options.locale, korean ? std::optional<std::string>("ko-KR") : std::nullopt);
        QCOMPARE(call.options.source.repository, repository.toStdString());
        QCOMPARE(call.options.source.commit, commit.toStdString());
        QCOMPARE(call.options.source.fileName, fileName.toStdString());

        QCOMPARE(hub->requests().size(), 3); // the revision, the listing and the file at its commit
        QCOMPARE(hub->requests()[2].path,
                 ("/" + repository + "/resolve/" + commit + "/" + fileName).toUtf8());
        QVERIFY(hub->requests()[2].range.isEmpty());

        QVERIFY(std::ranges::any_of(progress, [&](const NemotronDownloadProgress& report) {
            return report.bytesReceived == checkpoint.size() &&
                   report.bytesTotal == report.bytesReceived;
        }));
        QCOMPARE(progress.last().importStage, "Reading the checkpoint");
    }

    // A transfer cut halfway keeps its part, which the next attempt resumes with a range; bytes
    // that do not match the hub's SHA-256 are deleted.
    void resumesAfterACut_data() {
        QTest::addColumn<FakeModelHub::Transfer>("resumed");
        QTest::addColumn<QString>("failure"); // of the resumed attempt
        QTest::newRow("from the range") << FakeModelHub::Transfer::whole << "";
        QTest::newRow("hub ignores the range") << FakeModelHub::Transfer::ignoringRange << "";
        QTest::newRow("range from the wrong place")
            << FakeModelHub::Transfer::misplacingRange << "could not resume";
        QTest::newRow("wrong bytes")
            << FakeModelHub::Transfer::whole << "does not match the hub's SHA-256";
    }
    void resumesAfterACut() {
        QFETCH(FakeModelHub::Transfer, resumed);
        QFETCH(QString, failure);
        serveEnglish();
        const bool wrongBytes = failure.contains("SHA-256");
        if (wrongBytes) {
            auto listed = checkpoint;
            listed[listed.size() - 1] = char(listed.back() ^ 1);
            hub->serve(FakeModelHub::listingPath(englishRepository, commit), 200,
                       FakeModelHub::listingOf({{checkpointPath, listed}}));
        }
        hub->setNextTransfer(FakeModelHub::Transfer::cutHalfway);
        QVERIFY(!englishFailure().isEmpty());
        verifyNothingCached();
        QCOMPARE(partialFiles().size(), 1);
        const auto kept = QFileInfo(root->filePath(partialFiles().front())).size();
        QVERIFY(kept > 0 && kept < checkpoint.size());

        hub->setNextTransfer(resumed);
        if (!failure.isEmpty()) {
            const auto description = englishFailure();
            QVERIFY2(description.contains(failure), qPrintable(description));
            verifyNothingCached();
        }
        QVERIFY(importer->calls.empty());
        if (wrongBytes) {
            QVERIFY(partialFiles().isEmpty());
            return;
        }
        download();
        QCOMPARE(hub->fileRequests().last().range,
                 failure.isEmpty() ? "bytes=" + QByteArray::number(kept) + "-" : QByteArray());
        QVERIFY(importer->calls.front().checkpoint == checkpoint);
        QVERIFY(partialFiles().isEmpty());
    }

    // A stalled transfer and this import never end by themselves: only the stall limit or the
    // cancel can, at once, leaving nothing cached.
    void stopsAndCachesNothing_data() {
        QTest::addColumn<int>("cancelAt"); // a stage; -1: never cancelled
        QTest::addColumn<QString>("failure");
        QTest::newRow("stalled") << -1 << "stalled: no data arrived for 2 seconds";
        QTest::newRow("cancelled downloading")
            << int(NemotronDownloadProgress::Stage::downloading) << "download was cancelled.";
        QTest::newRow("cancelled importing")
            << int(NemotronDownloadProgress::Stage::importing) << "download was cancelled.";
    }
    void stopsAndCachesNothing() {
        QFETCH(int, cancelAt);
        QFETCH(QString, failure);
        serveEnglish();
        if (cancelAt != int(NemotronDownloadProgress::Stage::importing))
            hub->setNextTransfer(FakeModelHub::Transfer::stallHalfway);
        importer->waitForCancel = true;
        auto settings = options();
        settings.stallLimit = std::chrono::seconds(cancelAt == -1 ? 2 : 60);
        settings.progress = [&](const NemotronDownloadProgress& report) {
            if (int(report.stage) == cancelAt)
                stop.request_stop();
        };
        const auto description = failureWith(settings);
        QVERIFY2(description.contains(failure), qPrintable(description));
        verifyNothingCached();
    }

    void hubRefusalsAreClearErrors_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("failure");
        const auto revision = FakeModelHub::revisionPath(englishRepository, "main");
        const auto listing = FakeModelHub::listingPath(englishRepository, commit);
        const auto entryOf = [&](const char* path, const char* size = "5") {
            return "{\"type\": \"file\", \"path\": \"" + QByteArray(path) +
                   "\", \"lfs\": {\"oid\": \"" + QByteArray(64, 'a') + "\", \"size\": " + size +
                   "}}";
        };
        QTest::newRow("unknown revision")
            << revision << 404 << QByteArray("{}") << "The model hub refused revision \"main\"";
        QTest::newRow("no large-file record")
            << listing << 200 << QByteArray("[{\"type\": \"file\", \"path\": \"a.nemo\"}]")
            << "lists a.nemo of nvidia/nemotron-speech-streaming-en-0.6b without its SHA-256";
        QTest::newRow("climbs out") << listing << 200 << "[" + entryOf("../a.nemo") + "]"
                                    << "unusable path";
        QTest::newRow("larger than the disk")
            << listing << 200 << "[" + entryOf("a.nemo", "1000000000000000000") + "]"
            << "Not enough free disk space in";
    }
    void hubRefusalsAreClearErrors() {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, failure);
        serveEnglish();
        hub->serve(path, status, body);
        const auto description = englishFailure();
        QVERIFY2(description.contains(failure), qPrintable(description));
        QVERIFY(hub->fileRequests().isEmpty());
        verifyNothingCached();
    }

    // A folder missing a file is fetched again; a complete one is taken as it is.
    void onlyACompleteFolderCountsAsCached() {
        serveEnglish();
        writeTestFile(QDir(englishFolder()).filePath(ModelNames::NemotronStreaming::encoderPath),
                      "x");
        for (int attempt = 0; attempt < 2; ++attempt)
            QCOMPARE(runToCompletion(NemotronModelDownloader::locateOrDownload(
                         english(), root->path(), options(), AppLogger("NemotronStreaming"))),
                     englishFolder());
        QCOMPARE(hub->fileRequests().size(), 1);
        QCOMPARE(importer->calls.size(), 1u);
    }
};

QTEST_GUILESS_MAIN(NemotronModelDownloaderTest)
#include "NemotronModelDownloaderTest.moc"
