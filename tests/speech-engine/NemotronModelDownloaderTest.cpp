#include "speech-engine/NemotronModelDownloader.h"
#include "speech-engine/ModelNames.h"
#include "tests/speech-engine/Failure.h"
#include "tests/speech-engine/FakeModelHub.h"
#include "tests/speech-engine/TestFiles.h"
#include "tests/support/RunToCompletion.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <mutex>
#include <thread>

namespace {

const QString englishRepository = QStringLiteral("nvidia/nemotron-speech-streaming-en-0.6b");
const QString commit = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
const QString checkpointPath = QStringLiteral("nemotron-speech-streaming-en-0.6b.nemo");

QByteArray smallCheckpoint() {
    QFile file(QStringLiteral(RELAYO_SOURCE_DIR "/../shared/fixtures/nemo/small-en.nemo"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
    std::mutex mutex;
    std::vector<Call> calls;
    // Reports a stage, then waits for the cancel check instead of finishing.
    bool waitForCancel = false;

    NemotronModelDownloader::ImportStep step() {
        return [this](const std::filesystem::path& checkpoint, const std::filesystem::path& folder,
                      const ImportOptions& options, const ModelImporter::ProgressHandler& progress,
                      const ModelImporter::CancelCheck& cancelled) {
            {
                const std::lock_guard lock(mutex);
                calls.push_back({contentOf(QString::fromStdString(checkpoint.string())),
                                 QString::fromStdString(folder.string()), options});
            }
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

    QByteArray checkpoint = smallCheckpoint();
    std::unique_ptr<FakeModelHub> hub;
    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<FakeImport> importer;
    std::stop_source stop;
    std::chrono::milliseconds stallLimit = std::chrono::seconds(60);
    QList<NemotronDownloadProgress> progress;

    QString englishFolder() const {
        return NemotronModelDownloader::modelFolder(HubModel::english(Repo::nemotronStreaming560),
                                                    root->path());
    }

    NemotronModelDownloader::Options options(bool keepCheckpoint = false) {
        return {importer->step(),
                [this](const NemotronDownloadProgress& report) { progress.append(report); },
                stop.get_token(), stallLimit, keepCheckpoint};
    }

    NemotronModelDownloader::DownloadedModel download(HubModel model, bool keep = false) {
        return runToCompletion(
            NemotronModelDownloader::download(std::move(model), root->path(), options(keep)));
    }

    NemotronModelDownloader::DownloadedModel downloadEnglish(bool keep = false) {
        return download(HubModel::english(Repo::nemotronStreaming560), keep);
    }

    QString englishFailure() {
        return failureOf([this] { downloadEnglish(); });
    }

    void serveEnglish() {
        hub->serveRepository(englishRepository, "main", commit, {{checkpointPath, checkpoint}});
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
        QVERIFY(!checkpoint.isEmpty());
        hub = std::make_unique<FakeModelHub>();
        qputenv("HF_ENDPOINT", hub->baseURL().toUtf8());
        root = std::make_unique<QTemporaryDir>();
        importer = std::make_unique<FakeImport>();
        stop = {};
        stallLimit = std::chrono::seconds(60);
        progress.clear();
    }

    void fetchesPinnedVerifiesImportsAndDeletesTheCheckpoint() {
        serveEnglish();
        const auto model = downloadEnglish();

        QCOMPARE(model.folder, root->path() + "/nemotron-streaming/560ms-macos14");
        QVERIFY(model.keptCheckpoint.isEmpty());
        QVERIFY(NemotronModelDownloader::isModelComplete(model.folder));
        QVERIFY(partialFiles().isEmpty());
        QVERIFY(QDir(root->path()).entryList({"*.nemo"}, QDir::Files).isEmpty());

        QCOMPARE(importer->calls.size(), 1u);
        const auto& call = importer->calls.front();
        QVERIFY(call.checkpoint == checkpoint);
        QCOMPARE(call.folder, model.folder);
        QCOMPARE(call.options.chunkMs, 560);
        QCOMPARE(call.options.locale, std::nullopt);
        QCOMPARE(call.options.source.repository, englishRepository.toStdString());
        QCOMPARE(call.options.source.commit, commit.toStdString());
        QCOMPARE(call.options.source.fileName, checkpointPath.toStdString());

        QCOMPARE(hub->requests().size(), 3);
        QCOMPARE(hub->requests()[0].path,
                 "/api/models/nvidia/nemotron-speech-streaming-en-0.6b/revision/main");
        QCOMPARE(hub->requests()[1].path,
                 FakeModelHub::listingPath(englishRepository, commit).toUtf8());
        QCOMPARE(hub->fileRequests().front().path, "/" + englishRepository.toUtf8() + "/resolve/" +
                                                       commit.toUtf8() + "/" +
                                                       checkpointPath.toUtf8());
        QVERIFY(hub->fileRequests().front().range.isEmpty());

        const auto lastDownload = std::find_if(progress.rbegin(), progress.rend(), [](auto& p) {
            return p.stage == NemotronDownloadProgress::Stage::downloading;
        });
        QVERIFY(lastDownload != progress.rend());
        QCOMPARE(lastDownload->bytesReceived, checkpoint.size());
        QCOMPARE(lastDownload->bytesTotal, checkpoint.size());
        QCOMPARE(lastDownload->fractionCompleted, 1.0);
        QCOMPARE(progress.last().stage, NemotronDownloadProgress::Stage::importing);
        QCOMPARE(progress.last().importStage, "Reading the checkpoint");
    }

    void keepsTheCheckpointWhenAsked() {
        serveEnglish();
        const auto model = downloadEnglish(true);
        QCOMPARE(model.keptCheckpoint, root->path() + '/' + checkpointPath);
        QVERIFY(contentOf(model.keptCheckpoint) == checkpoint);
        QVERIFY(partialFiles().isEmpty());
    }

    void koreanModelIsPromptedAndHasItsOwnFolder() {
        hub->serveRepository("nvidia/nemotron-3.5-asr-streaming-0.6b", "main", commit,
                             {{"model.nemo", checkpoint}});
        const auto model = download(HubModel::korean());
        QCOMPARE(model.folder, root->path() + "/korean-streaming");
        QCOMPARE(importer->calls.front().options.locale, std::optional<std::string>("ko-KR"));
    }

    void environmentChoosesRepositoryAndRevision_data() {
        QTest::addColumn<bool>("korean");
        QTest::newRow("English") << false;
        QTest::newRow("Korean") << true;
    }
    void environmentChoosesRepositoryAndRevision() {
        QFETCH(bool, korean);
        qputenv(korean ? "RLY_KO_MODEL_REPO" : "RLY_MODEL_REPO", "someone/other-model");
        qputenv(korean ? "RLY_KO_MODEL_REVISION" : "RLY_MODEL_REVISION", "v2");
        hub->serveRepository("someone/other-model", "v2", commit, {{"other.nemo", checkpoint}});
        download(korean ? HubModel::korean() : HubModel::english(Repo::nemotronStreaming560));
        QCOMPARE(hub->requests().front().path, "/api/models/someone/other-model/revision/v2");
        QCOMPARE(importer->calls.front().options.source.commit, commit.toStdString());
    }

    void resumesAfterACutWithARange() {
        serveEnglish();
        hub->setNextTransfer(FakeModelHub::Transfer::cutHalfway);
        QVERIFY(!englishFailure().isEmpty());
        verifyNothingCached();
        QVERIFY(importer->calls.empty());
        QCOMPARE(partialFiles().size(), 1);
        const auto kept = QFileInfo(root->filePath(partialFiles().front())).size();
        QVERIFY(kept > 0 && kept < checkpoint.size());

        downloadEnglish();
        QCOMPARE(hub->fileRequests().last().range, "bytes=" + QByteArray::number(kept) + "-");
        QVERIFY(importer->calls.front().checkpoint == checkpoint);
        QVERIFY(partialFiles().isEmpty());
    }

    void startsOverWhenTheHubIgnoresTheRange() {
        serveEnglish();
        hub->setNextTransfer(FakeModelHub::Transfer::cutHalfway);
        QVERIFY(!englishFailure().isEmpty());
        hub->setNextTransfer(FakeModelHub::Transfer::ignoringRange);
        downloadEnglish();
        QVERIFY(!hub->fileRequests().last().range.isEmpty());
        QVERIFY(importer->calls.front().checkpoint == checkpoint);
    }

    void rangeFromTheWrongPlaceIsRefusedAndNotResumedAgain() {
        serveEnglish();
        hub->setNextTransfer(FakeModelHub::Transfer::cutHalfway);
        QVERIFY(!englishFailure().isEmpty());
        hub->setNextTransfer(FakeModelHub::Transfer::misplacingRange);
        QVERIFY(englishFailure().contains("could not resume"));
        verifyNothingCached();
        downloadEnglish();
        QVERIFY(hub->fileRequests().last().range.isEmpty());
        QVERIFY(importer->calls.front().checkpoint == checkpoint);
    }

    void wrongBytesAreRefusedAndDeleted_data() {
        QTest::addColumn<bool>("resumed");
        QTest::newRow("in one go") << false;
        QTest::newRow("resumed") << true;
    }
    void wrongBytesAreRefusedAndDeleted() {
        QFETCH(bool, resumed);
        auto listed = checkpoint;
        listed[listed.size() - 1] = char(listed.back() ^ 1);
        serveEnglish();
        hub->serve(FakeModelHub::listingPath(englishRepository, commit), 200,
                   FakeModelHub::listingOf({{checkpointPath, listed}}));
        if (resumed) {
            hub->setNextTransfer(FakeModelHub::Transfer::cutHalfway);
            QVERIFY(!englishFailure().contains("SHA-256"));
        }
        const auto failure = englishFailure();
        QVERIFY2(failure.contains("does not match the hub's SHA-256"), qPrintable(failure));
        QVERIFY(importer->calls.empty());
        QVERIFY(partialFiles().isEmpty());
        verifyNothingCached();
    }

    void stalledTransferGivesUp() {
        serveEnglish();
        stallLimit = std::chrono::milliseconds(300);
        hub->setNextTransfer(FakeModelHub::Transfer::stallHalfway);
        const auto failure = englishFailure();
        QVERIFY2(failure.contains("stalled: no data arrived for 0.3 seconds"), qPrintable(failure));
        verifyNothingCached();
    }

    void cancelStopsAtOnceAndCachesNothing_data() {
        QTest::addColumn<NemotronDownloadProgress::Stage>("stage");
        QTest::newRow("downloading") << NemotronDownloadProgress::Stage::downloading;
        QTest::newRow("importing") << NemotronDownloadProgress::Stage::importing;
    }
    void cancelStopsAtOnceAndCachesNothing() {
        QFETCH(NemotronDownloadProgress::Stage, stage);
        serveEnglish();
        // A stalled transfer and this import never end by themselves: only the cancel can.
        hub->setNextTransfer(FakeModelHub::Transfer::stallHalfway);
        if (stage == NemotronDownloadProgress::Stage::importing)
            hub->setNextTransfer(FakeModelHub::Transfer::whole);
        importer->waitForCancel = true;
        auto settings = options();
        settings.progress = [&](const NemotronDownloadProgress& report) {
            if (report.stage == stage)
                stop.request_stop();
        };
        const auto failure = failureOf([&] {
            runToCompletion(NemotronModelDownloader::download(
                HubModel::english(Repo::nemotronStreaming560), root->path(), settings));
        });
        QCOMPARE(failure, "The model download was cancelled.");
        verifyNothingCached();
    }

    void hubRefusalsAreClearErrors_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("failure");
        const auto revision = FakeModelHub::revisionPath(englishRepository, "main");
        const auto listing = FakeModelHub::listingPath(englishRepository, commit);
        const QByteArray entry = "{\"type\": \"file\", \"path\": \"%1\", \"lfs\": "
                                 "{\"oid\": \"" +
                                 QByteArray(64, 'a') + "\", \"size\": 5}}";
        const auto entryOf = [&](const char* path) {
            return QByteArray(entry).replace("%1", path);
        };
        QTest::newRow("unknown revision")
            << revision << 404 << QByteArray("{}") << "The model hub refused revision \"main\"";
        QTest::newRow("no commit") << revision << 200 << QByteArray("{\"sha\": \"main\"}")
                                   << "named no commit for revision \"main\"";
        QTest::newRow("listing not JSON") << listing << 200 << QByteArray("[{") << "not valid JSON";
        QTest::newRow("no checkpoint") << listing << 200 << "[" + entryOf("README.md") + "]"
                                       << "holds no .nemo checkpoint";
        QTest::newRow("two checkpoints")
            << listing << 200 << "[" + entryOf("a.nemo") + "," + entryOf("b.nemo") + "]"
            << "holds several checkpoints (a.nemo, b.nemo) and none is named "
               "nemotron-speech-streaming-en-0.6b.nemo";
        QTest::newRow("no large-file record")
            << listing << 200 << QByteArray("[{\"type\": \"file\", \"path\": \"a.nemo\"}]")
            << "lists a.nemo of nvidia/nemotron-speech-streaming-en-0.6b without its SHA-256";
        QTest::newRow("climbs out") << listing << 200 << "[" + entryOf("../a.nemo") + "]"
                                    << "unusable path";
        QTest::newRow("larger than the disk")
            << listing << 200
            << "[" + entryOf("a.nemo").replace("\"size\": 5", "\"size\": 1000000000000000000") + "]"
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

    void severalCheckpointsTakeTheOneNamedAfterTheRepository() {
        hub->serveRepository(englishRepository, "main", commit,
                             {{"other.nemo", "other"}, {checkpointPath, checkpoint}});
        downloadEnglish();
        QVERIFY(hub->fileRequests().front().path.endsWith(checkpointPath.toUtf8()));
    }

    void unusableEndpointIsRefused() {
        qputenv("HF_ENDPOINT", "ftp://example.org");
        QVERIFY(englishFailure().startsWith("HF_ENDPOINT is not an http(s) address"));
    }

    void onlyACompleteFolderCountsAsCached_data() {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("cached");
        using namespace ModelNames::NemotronStreaming;
        const QStringList all{preprocessorFile, encoderPath, decoderFile,
                              jointFile,        metadata,    tokenizer};
        QTest::newRow("complete") << all << true;
        QTest::newRow("only the encoder") << QStringList{encoderPath} << false;
        auto noMetadata = all;
        noMetadata.removeOne(metadata);
        QTest::newRow("no metadata") << noMetadata << false;
    }
    void onlyACompleteFolderCountsAsCached() {
        QFETCH(QStringList, files);
        QFETCH(bool, cached);
        serveEnglish();
        for (const auto& file : files)
            writeTestFile(QDir(englishFolder()).filePath(file), "x");
        const auto folder = runToCompletion(NemotronModelDownloader::locateOrDownload(
            HubModel::english(Repo::nemotronStreaming560), root->path(), options(),
            AppLogger(QStringLiteral("NemotronStreaming"))));
        QCOMPARE(folder, englishFolder());
        QCOMPARE(hub->requests().isEmpty(), cached);
        QCOMPARE(importer->calls.empty(), cached);
    }

    void defaultModelsRootIsInTheUserDataFolder() {
        QVERIFY(NemotronModelDownloader::defaultModelsRoot().endsWith("/Murmurvale/Models"));
    }
};

QTEST_GUILESS_MAIN(NemotronModelDownloaderTest)
#include "NemotronModelDownloaderTest.moc"
