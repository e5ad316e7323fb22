// Downloading a checkpoint from a loopback model hub: pinned, verified, resumed, refused clearly,
// never cached half-done; handed to a stand-in importer (the importer's tests use the real one).
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/core/SerialExecutor.h"
#include "speech-engine/hub/CheckpointTransfer.h"
#include "tests/speech-engine/TestHelpers.h"
#include "tests/speech-engine/hub/FakeModelHub.h"
#include "tests/support/RunToCompletion.h"
#include "tests/support/ScopedEnvironment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <memory>
#include <thread>

namespace {

const QString englishRepository = QStringLiteral("nvidia/nemotron-speech-streaming-en-0.6b");
const QString commit = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
const QString checkpointPath = QStringLiteral("nemotron-speech-streaming-en-0.6b.nemo");
HubModel english() {
    return HubModel::english(Repo::nemotronStreaming560);
}

// Bytes this process has read so far, from files and sockets alike.
qint64 bytesReadSoFar() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n'))
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    return -1;
}

struct ImportCall {
    QByteArray checkpoint;
    QString folder;
    ImportOptions options;
};

} // namespace

class NemotronModelDownloaderTest : public QObject {
    Q_OBJECT

    const QByteArray checkpoint =
        readTestFile(QStringLiteral(RELAYO_SOURCE_DIR "/../shared/fixtures/nemo/small-en.nemo"));
    std::unique_ptr<FakeModelHub> hub;
    std::unique_ptr<QTemporaryDir> root;
    std::vector<ImportCall> calls; // read once the download is over
    bool importWaitsForCancel = false;
    std::stop_source stop;
    QList<NemotronDownloadProgress> progress;
    ScopedEnvironment environment;

    QString englishFolder() const {
        return NemotronModelDownloader::modelFolder(english(), root->path());
    }

    // The stand-in importer records its call, reports a stage, then writes a complete folder or
    // waits for the cancel check.
    NemotronModelDownloader::Options options(bool keepCheckpoint = false) {
        const auto import = [this](const auto& checkpoint, const auto& folder,
                                   const ImportOptions& options, const auto& progress,
                                   const auto& cancelled) {
            const QDir out(QString::fromStdString(folder.string()));
            calls.push_back(
                {readTestFile(QString::fromStdString(checkpoint.string())), out.path(), options});
            progress({"Reading the checkpoint", 0.5});
            while (importWaitsForCancel && !cancelled())
                std::this_thread::yield();
            if (importWaitsForCancel)
                throw ModelImportError("cancelled");
            using namespace ModelNames::NemotronStreaming;
            for (const auto file :
                 {preprocessorFile, encoderPath, decoderFile, jointFile, metadata, tokenizer})
                writeTestFile(out.filePath(file), "x");
        };
        return {import, [this](const NemotronDownloadProgress& report) { progress.append(report); },
                stop.get_token(), std::chrono::seconds(60), keepCheckpoint};
    }

    QString failure(const NemotronModelDownloader::Options& settings) {
        return taskFailure(NemotronModelDownloader::download(english(), root->path(), settings));
    }

    // Another checkpoint beside it: the one named after the repository is taken.
    void serve(const QString& repository, const QString& revision, const QString& fileName) {
        hub->serveRepository(repository, revision, commit,
                             {{"other.nemo", "other"}, {fileName, checkpoint}});
    }

    // Nothing a later start could take as a model, and no checkpoint left beside it.
    void verifyNothingCached() {
        QVERIFY(!QDir(englishFolder()).exists());
        QVERIFY(QDir(root->path()).entryList({"*.nemo"}, QDir::Files).isEmpty());
    }

    // The English model downloads, and the importer gets the whole checkpoint once; no part is
    // left.
    void verifyDownloadsWhole() {
        runToCompletion(NemotronModelDownloader::download(english(), root->path(), options()));
        QCOMPARE(calls.size(), 1u);
        QVERIFY(calls[0].checkpoint == checkpoint);
        QVERIFY(partialFiles().isEmpty());
    }

    QStringList partialFiles() const {
        return QDir(root->path()).entryList({".checkpoint-*"}, QDir::Files | QDir::Hidden);
    }

    QByteArray sha256() const {
        return QCryptographicHash::hash(checkpoint, QCryptographicHash::Sha256).toHex();
    }

    QString partialFile() const {
        return root->filePath(".checkpoint-" + QString::fromLatin1(sha256()) + ".partial");
    }

private slots:
    void init() {
        for (const char* name :
             {"RLY_MODEL_REPO", "RLY_MODEL_REVISION", "RLY_KO_MODEL_REPO", "RLY_KO_MODEL_REVISION"})
            environment.unset(name);
        hub = std::make_unique<FakeModelHub>();
        environment.set("HF_ENDPOINT", hub->baseURL().toUtf8());
        root = std::make_unique<QTemporaryDir>();
        calls.clear();
        importWaitsForCancel = false;
        stop = {};
        progress.clear();
        serve(englishRepository, "main", checkpointPath);
    }

    // Listed and fetched at the pinned commit, verified and imported into the model's own folder;
    // the checkpoint is kept only when asked. Korean from the repository the environment names.
    void fetchesPinnedVerifiesAndImports_data() {
        QTest::addColumn<bool>("korean");
        QTest::newRow("English, checkpoint deleted") << false;
        QTest::newRow("Korean, checkpoint kept") << true;
    }
    void fetchesPinnedVerifiesAndImports() {
        QFETCH(bool, korean);
        const QString repository = korean ? "someone/other-model" : englishRepository,
                      revision = korean ? "v2" : "main";
        if (korean) {
            environment.set("RLY_KO_MODEL_REPO", repository.toUtf8());
            environment.set("RLY_KO_MODEL_REVISION", revision.toUtf8());
        }
        const auto fileName = repository.section('/', 1) + ".nemo";
        if (korean)
            serve(repository, revision, fileName);
        const auto model = runToCompletion(NemotronModelDownloader::download(
            korean ? HubModel::korean() : english(), root->path(), options(korean)));

        QCOMPARE(model.folder, korean ? root->filePath("korean-streaming") : englishFolder());
        QVERIFY(NemotronModelDownloader::isModelComplete(model.folder));
        QCOMPARE(QDir(root->path()).entryList(QDir::Files | QDir::Hidden),
                 korean ? QStringList{fileName} : QStringList{});
        QCOMPARE(model.keptCheckpoint, korean ? root->filePath(fileName) : QString());
        QCOMPARE(calls.size(), 1u);
        QVERIFY(calls[0].checkpoint == checkpoint);
        QCOMPARE(calls[0].folder, model.folder);
        QCOMPARE(calls[0].options.locale,
                 korean ? std::optional<std::string>("ko-KR") : std::nullopt);
        const auto& source = calls[0].options.source;
        QCOMPARE((QStringList{QString::fromStdString(source.repository),
                              QString::fromStdString(source.commit),
                              QString::fromStdString(source.fileName)}),
                 (QStringList{repository, commit, fileName}));
        // The revision, the listing and the whole file at its commit.
        QCOMPARE(hub->requests().size(), 3);
        QCOMPARE(hub->requests()[2].path + hub->requests()[2].range,
                 ("/" + repository + "/resolve/" + commit + "/" + fileName).toUtf8());
        QCOMPARE(progress.last().importStage, "Reading the checkpoint");
    }

    // A transfer cut halfway keeps its part, which the next attempt resumes with a range.
    void resumesAfterACut_data() {
        QTest::addColumn<FakeModelHub::Transfer>("resumed");
        QTest::addColumn<QString>("failure"); // of the resumed attempt
        QTest::newRow("from the range") << FakeModelHub::Transfer::whole << "";
        QTest::newRow("hub ignores the range") << FakeModelHub::Transfer::ignoringRange << "";
        QTest::newRow("range from the wrong place")
            << FakeModelHub::Transfer::misplacingRange << "could not resume";
        QTest::newRow("range refused (416)")
            << FakeModelHub::Transfer::refusingRange << "could not resume";
    }
    void resumesAfterACut() {
        QFETCH(FakeModelHub::Transfer, resumed);
        QFETCH(QString, failure);
        hub->setNextTransfer(FakeModelHub::Transfer::cutHalfway);
        QVERIFY(!this->failure(options()).isEmpty());
        verifyNothingCached();
        QCOMPARE(partialFiles().size(), 1);
        const auto kept = QFileInfo(root->filePath(partialFiles().front())).size();
        QVERIFY(kept > 0 && kept < checkpoint.size());

        hub->setNextTransfer(resumed);
        if (!failure.isEmpty()) {
            const auto description = this->failure(options());
            QVERIFY2(description.contains(failure), qPrintable(description));
            verifyNothingCached();
            QVERIFY(calls.empty());
        }
        verifyDownloadsWhole();
        QCOMPARE(hub->requests().last().range,
                 failure.isEmpty() ? "bytes=" + QByteArray::number(kept) + "-" : QByteArray());
    }

    // What an earlier attempt left is used when whole, resumed when a beginning, started over when
    // longer than the file, and deleted once its bytes prove wrong.
    void usesWhatAnEarlierAttemptLeft_data() {
        QTest::addColumn<QByteArray>("left");
        QTest::addColumn<QByteArrayList>("ranges"); // of each attempt's file request, if any
        QTest::addColumn<QString>("failure");       // of the first attempt
        const auto half = checkpoint.left(checkpoint.size() / 2);
        auto corrupted = half;
        corrupted[1] = char(corrupted[1] ^ 1);
        const QByteArray resumed = "bytes=" + QByteArray::number(half.size()) + "-";
        QTest::newRow("whole") << checkpoint << QByteArrayList{} << "";
        QTest::newRow("longer than listed")
            << checkpoint + "more" << QByteArrayList{QByteArray()} << "";
        QTest::newRow("a beginning") << half << QByteArrayList{resumed} << "";
        QTest::newRow("earlier part corrupted")
            << corrupted << QByteArrayList{resumed, QByteArray()}
            << "does not match the hub's SHA-256; it was deleted";
    }
    void usesWhatAnEarlierAttemptLeft() {
        QFETCH(QByteArray, left);
        QFETCH(QByteArrayList, ranges);
        QFETCH(QString, failure);
        writeTestFile(partialFile(), left);
        if (!failure.isEmpty()) {
            const auto description = this->failure(options());
            QVERIFY2(description.contains(failure), qPrintable(description));
            QVERIFY(partialFiles().isEmpty() && calls.empty());
        }
        verifyDownloadsWhole();
        QByteArrayList fileRanges;
        for (const auto& request : hub->requests())
            if (request.path.contains("/resolve/"))
                fileRanges << request.range;
        QCOMPARE(fileRanges, ranges);
    }

    // Stopped while it hashes the whole file an earlier attempt left, the transfer reads no more
    // of it and keeps it as it was: neither deleted as wrong nor taken as verified. The next
    // download takes it up without fetching it again.
    void cancelWhileHashingKeepsTheEarlierFile() {
        writeTestFile(partialFile(), checkpoint);
        const HubCheckpoint listed{englishRepository, commit, checkpointPath, sha256(),
                                   checkpoint.size()};
        // The worker is busy until the stop comes, so the hashing is under way but waits.
        SerialExecutor worker(QStringLiteral("Hashing"));
        std::promise<void> stopped;
        auto busy = worker.run([until = stopped.get_future().share()] { until.wait(); });
        QNetworkAccessManager network;
        const qint64 readBefore = bytesReadSoFar();
        QVERIFY(readBefore >= 0);
        auto fetch =
            CheckpointTransfer::fetch(network, listed, partialFile(),
                                      {stop.get_token(), std::chrono::seconds(60), {}, &worker});
        stop.request_stop();
        stopped.set_value();
        const auto description = taskFailure(std::move(fetch));
        runToCompletion(std::move(busy));
        QVERIFY2(description.contains("cancelled"), qPrintable(description));
        QVERIFY(bytesReadSoFar() - readBefore < checkpoint.size() / 2);
        QVERIFY(readTestFile(partialFile()) == checkpoint);
        QVERIFY(hub->requests().isEmpty());

        stop = {};
        verifyDownloadsWhole();
        QCOMPARE(hub->requests().size(), 2); // the revision and the listing only
    }

    // A hub that sends more than it listed is cut off; the valid part is resumed later.
    void refusesMoreThanListed() {
        hub->setNextTransfer(FakeModelHub::Transfer::sendingMore);
        const auto description = failure(options());
        QVERIFY2(description.contains("sent more of"), qPrintable(description));
        QVERIFY(calls.empty());
        verifyDownloadsWhole();
    }

    // A second download of the same checkpoint, while the first is writing it, is refused and
    // leaves the first one's part alone.
    void refusesASecondDownloadOfTheSameFile() {
        hub->setNextTransfer(FakeModelHub::Transfer::stallHalfway);
        auto first = NemotronModelDownloader::download(english(), root->path(), options());
        QTRY_VERIFY2_WITH_TIMEOUT(!progress.isEmpty() && progress.last().bytesReceived > 0,
                                  "the first download receiving bytes", 30000);
        const auto description = failure(options());
        QVERIFY2(description.contains("Another download of the same model"),
                 qPrintable(description));
        QVERIFY(QFileInfo::exists(partialFile()));
        stop.request_stop();
        const auto cancelled = taskFailure(std::move(first));
        QVERIFY2(cancelled.contains("cancelled"), qPrintable(cancelled));
        QVERIFY(calls.empty());
    }

    // A stalled transfer and this import never end by themselves: only the stall limit or the
    // cancel can, at once, leaving nothing cached. The recognition service's tests cancel a
    // download.
    void stopsAndCachesNothing_data() {
        QTest::addColumn<int>("cancelAt"); // a stage; -1: never cancelled
        QTest::addColumn<QString>("failure");
        QTest::newRow("stalled") << -1 << "stalled: no data arrived for 2 seconds";
        QTest::newRow("cancelled importing")
            << int(NemotronDownloadProgress::Stage::importing) << "download was cancelled.";
    }
    void stopsAndCachesNothing() {
        QFETCH(int, cancelAt);
        QFETCH(QString, failure);
        if (cancelAt != int(NemotronDownloadProgress::Stage::importing))
            hub->setNextTransfer(FakeModelHub::Transfer::stallHalfway);
        importWaitsForCancel = true;
        auto settings = options();
        settings.stallLimit = std::chrono::seconds(cancelAt == -1 ? 2 : 60);
        settings.progress = [&](const NemotronDownloadProgress& report) {
            if (int(report.stage) == cancelAt)
                stop.request_stop();
        };
        const auto description = this->failure(settings);
        QVERIFY2(description.contains(failure), qPrintable(description));
        verifyNothingCached();
    }

    // Refused before any part is kept; bytes that do not match the hub's SHA-256 are deleted.
    void hubRefusalsAreClearErrors_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("failure");
        const auto listing = FakeModelHub::listingPath(englishRepository, commit);
        const auto entryOf = [&](const char* path, const char* size = "5") {
            return "[{\"type\": \"file\", \"path\": \"" + QByteArray(path) +
                   "\", \"lfs\": {\"oid\": \"" + QByteArray(64, 'a') + "\", \"size\": " + size +
                   "}}]";
        };
        QTest::newRow("unknown revision")
            << FakeModelHub::revisionPath(englishRepository, "main") << 404 << QByteArray("{}")
            << "The model hub refused revision \"main\"";
        QTest::newRow("no large-file record")
            << listing << 200 << QByteArray("[{\"type\": \"file\", \"path\": \"a.nemo\"}]")
            << "lists a.nemo of nvidia/nemotron-speech-streaming-en-0.6b without its SHA-256";
        QTest::newRow("climbs out") << listing << 200 << entryOf("../a.nemo") << "unusable path";
        auto wrong = checkpoint;
        wrong[0] = char(wrong[0] ^ 1);
        QTest::newRow("bytes not as listed")
            << listing << 200 << FakeModelHub::listingOf({{checkpointPath, wrong}})
            << "does not match the hub's SHA-256";
        QTest::newRow("larger than the disk") << listing << 200 << entryOf("a.nemo", "68719476736")
                                              << "Not enough free disk space in";
        QTest::newRow("absurd size")
            << listing << 200 << entryOf("a.nemo", "4611686018427387904")
            << "at 4611686018427387904 bytes, more than a checkpoint can hold";
        QTest::newRow("answer larger than an answer can be")
            << FakeModelHub::revisionPath(englishRepository, "main") << 200
            << "{\"sha\": \"" + commit.toLatin1() + "\"}" + QByteArray(9 << 20, ' ')
            << "is larger than the 8 MB it can be";
    }
    void hubRefusalsAreClearErrors() {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, failure);
        hub->serve(path, status, body);
        const auto description = this->failure(options());
        QVERIFY2(description.contains(failure), qPrintable(description));
        QVERIFY(partialFiles().isEmpty() && calls.empty());
        verifyNothingCached();
    }

    // A folder missing a file is fetched again; a complete one is taken as it is.
    void onlyACompleteFolderCountsAsCached() {
        writeTestFile(QDir(englishFolder()).filePath(ModelNames::NemotronStreaming::encoderPath),
                      "x");
        for (int attempt = 0; attempt < 2; ++attempt)
            QCOMPARE(runToCompletion(NemotronModelDownloader::locateOrDownload(
                         english(), root->path(), options(), AppLogger("NemotronStreaming"))),
                     englishFolder());
        QCOMPARE(hub->requests().size(), 3); // one revision, listing and file
        QCOMPARE(calls.size(), 1u);
    }
};

QTEST_GUILESS_MAIN(NemotronModelDownloaderTest)
#include "NemotronModelDownloaderTest.moc"
