// The download's hand-off to the real importer: a small published checkpoint fetched from the
// loopback hub becomes a complete model folder that records where it came from.
#include "speech-engine/NemotronModelDownloader.h"
#include "tests/speech-engine/FakeModelHub.h"
#include "tests/support/RunToCompletion.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

class ModelDownloadImportTest : public QObject {
    Q_OBJECT

private slots:
    void downloadedCheckpointBecomesACompleteFolder() {
        QFile fixture(QStringLiteral(RELAYO_SOURCE_DIR "/../shared/fixtures/nemo/small-en.nemo"));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        const auto checkpoint = fixture.readAll();
        const QString repository = QStringLiteral("nvidia/nemotron-speech-streaming-en-0.6b");
        const QString commit(40, u'e');
        qunsetenv("RLY_MODEL_REPO");
        qunsetenv("RLY_MODEL_REVISION");
        FakeModelHub hub;
        qputenv("HF_ENDPOINT", hub.baseURL().toUtf8());
        hub.serveRepository(repository, "main", commit, {{"small-en.nemo", checkpoint}});
        QTemporaryDir root;

        NemotronModelDownloader::Options options;
        options.import = ModelImporter::importCheckpoint;
        const auto model = runToCompletion(NemotronModelDownloader::download(
            HubModel::english(Repo::nemotronStreaming560), root.path(), options));

        QVERIFY(NemotronModelDownloader::isModelComplete(model.folder));
        QCOMPARE(QDir(root.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QFile metadata(QDir(model.folder).filePath("metadata.json"));
        QVERIFY(metadata.open(QIODevice::ReadOnly));
        const auto source =
            QJsonDocument::fromJson(metadata.readAll()).object()["source"].toObject();
        QCOMPARE(source["repository"].toString(), repository);
        QCOMPARE(source["commit"].toString(), commit);
        QCOMPARE(source["file"].toString(), "small-en.nemo");
        QCOMPARE(source["sha256"].toString(),
                 QCryptographicHash::hash(checkpoint, QCryptographicHash::Sha256).toHex());
        QCOMPARE(source["chunk_ms"].toInt(), 560);
    }
};

QTEST_GUILESS_MAIN(ModelDownloadImportTest)
#include "ModelDownloadImportTest.moc"
