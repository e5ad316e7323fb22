// Downloading a checkpoint from a loopback model hub: pinned to a commit, verified, resumed,
// refused with a clear error and never cached half-done; handed to a stand-in importer (the real
// one takes it in the importer's tests).
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
#include <mutex>
#include <thread>

namespace {

const QString englishRepository = QStringLiteral("nvidia/nemotron-speech-streaming-en-0.6b");
const QString commit = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
const QString checkpointPath = QStringLiteral("nemotron-speech-streaming-en-0.6b.nemo");
// Read when asked: the environment can name another repository.
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
        QVERIFY(!checkpoint.isEmpty());
        hub = std::make_unique<FakeModelHub>();
        qputenv("HF_ENDPOINT", hub->baseURL().toUtf8());
        root = std::make_unique<QTemporaryDir>();
        importer = std::make_unique<FakeImport>();
        stop = {};
        progress.clear();
    }

    void fetchesPinnedVerifiesAndImports_data() {
        QTest::addColumn<bool>("keep");
        QTest::newRow("checkpoint deleted") << false;
        QTest::newRow("checkpoint kept") << true;
    }
    void fetchesPinnedVerifiesAndImports() {
        QFETCH(bool, keep);
        serveEnglish();
        const auto model = download(english(), keep);

        QCOMPARE(model.folder, root->path() + "/nemotron-streaming/560ms-macos14");
        QVERIFY(NemotronModelDownloader::isModelComplete(model.folder));
        QVERIFY(partialFiles().isEmpty());
        QCOMPARE(QDir(root->path()).entryList({"*.nemo"}, QDir::Files),
                 keep ? QStringList{checkpointPath} : QStringList{});
        QCOMPARE(model.keptCheckpoint, keep ? root->filePath(checkpointPath) : QString());
        if (keep)
            QVERIFY(contentOf(model.keptCheckpoint) == checkpoint);

        QCOMPARE(importer->calls.size(), 1u);
        const auto& call = importer->calls.front();
        QVERIFY(call.checkpoint == checkpoint);
        QCOMPARE(call.folder, model.folder);
        QCOMPARE(call.options.source.fileName, checkpointPath.toStdString());

        // Listed and fetched at the pinned commit.
        QCOMPARE(hub->requests().size(), 3);
        QCOMPARE(hub->requests()[1].path,
                 FakeModelHub::listingPath(englishRepository, commit).toUtf8());
        QCOMPARE(hub->requests()[2].path, "/" + englishRepository.toUtf8() + "/resolve/" +
                                              commit.toUtf8() + "/" + checkpointPath.toUtf8());
        QVERIFY(hub->requests()[2].range.isEmpty());

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

    // Either model from the repository and revision the environment names, into its own folder.
    void modelFromTheEnvironment_data() {
        QTest::addColumn<bool>("korean");
        QTest::newRow("English") << false;
        QTest::newRow("Korean") << true;
    }
    void modelFromTheEnvironment() {
        QFETCH(bool, korean);
        qputenv(korean ? "RLY_KO_MODEL_REPO" : "RLY_MODEL_REPO", "someone/other-model");
        qputenv(korean ? "RLY_KO_MODEL_REVISION" : "RLY_MODEL_REVISION", "v2");
        hub->serveRepository("someone/other-model", "v2", commit, {{"model.nemo", checkpoint}});
        const auto model = download(korean ? HubModel::korean() : english());
        QCOMPARE(model.folder, korean ? root->filePath("korean-streaming") : englishFolder());
        const auto& options = importer->calls.front().options;
        QCOMPARE(options.locale, korean ? std::optional<std::string>("ko-KR") : std::nullopt);
        QCOMPARE(options.source.repository, "someone/other-model");
        QCOMPARE(options.source.commit, commit.toStdString());
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

    void stalledTransferGivesUp() {
        serveEnglish();
        hub->setNextTransfer(FakeModelHub::Transfer::stallHalfway);
        auto settings = options();
        settings.stallLimit = std::chrono::seconds(2);
        const auto failure = failureWith(settings);
        QVERIFY2(failure.contains("stalled: no data arrived for 2 seconds"), qPrintable(failure));
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
        if (stage == NemotronDownloadProgress::Stage::downloading)
            hub->setNextTransfer(FakeModelHub::Transfer::stallHalfway);
        importer->waitForCancel = true;
        auto settings = options();
        settings.progress = [&](const NemotronDownloadProgress& report) {
            if (report.stage == stage)
                stop.request_stop();
        };
        QCOMPARE(failureWith(settings), "The model download was cancelled.");
        verifyNothingCached();
    }

    void hubRefusalsAreClearErrors_data() {
        QTest::addColumn<QString>("path"); // empty: HF_ENDPOINT is not a web address
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
        QTest::newRow("unusable endpoint")
            << "" << 0 << QByteArray() << "HF_ENDPOINT is not an http(s) address";
        QTest::newRow("unknown revision")
            << revision << 404 << QByteArray("{}") << "The model hub refused revision \"main\"";
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
            << listing << 200 << "[" + entryOf("a.nemo", "1000000000000000000") + "]"
            << "Not enough free disk space in";
    }
    void hubRefusalsAreClearErrors() {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, failure);
        serveEnglish();
        if (path.isEmpty())
            qputenv("HF_ENDPOINT", "ftp://example.org");
        else
            hub->serve(path, status, body);
        const auto description = englishFailure();
        QVERIFY2(description.contains(failure), qPrintable(description));
        QVERIFY(hub->fileRequests().isEmpty());
        verifyNothingCached();
    }

    void onlyACompleteFolderCountsAsCached_data() {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("cached");
        using namespace ModelNames::NemotronStreaming;
        const QStringList all{preprocessorFile, encoderPath, decoderFile,
                              jointFile,        metadata,    tokenizer};
        QTest::newRow("complete") << all << true;
        QTest::newRow("no metadata") << all.mid(0, 4) + QStringList{tokenizer} << false;
    }
    void onlyACompleteFolderCountsAsCached() {
        QFETCH(QStringList, files);
        QFETCH(bool, cached);
        serveEnglish();
        for (const auto& file : files)
            writeTestFile(QDir(englishFolder()).filePath(file), "x");
        const auto folder = runToCompletion(NemotronModelDownloader::locateOrDownload(
            english(), root->path(), options(), AppLogger(QStringLiteral("NemotronStreaming"))));
        QCOMPARE(folder, englishFolder());
        QCOMPARE(hub->requests().isEmpty(), cached);
        QCOMPARE(importer->calls.empty(), cached);
    }
};

QTEST_GUILESS_MAIN(NemotronModelDownloaderTest)
#include "NemotronModelDownloaderTest.moc"
