// Importing the NeMo fixtures: the folder's files and description, the options a checkpoint
// refuses, and that a failed or cancelled import leaves nothing behind. NeMo's outputs for
// imported folders are checked where they are recognised with.
#include "speech-engine/import/ModelImporter.h"
#include "tests/speech-engine/TestHelpers.h"
#include "tests/speech-engine/import/NemoFixture.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList filesUnder(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

QJsonObject jsonObjectOf(const QString& path) {
    return QJsonDocument::fromJson(readTestFile(path)).object();
}

} // namespace

class ModelImporterTest : public QObject {
    Q_OBJECT

private slots:
    // An old model folder is replaced; only the encoder is quantized; progress only grows; the
    // folder records where the checkpoint came from. Its chunk size is checked where the
    // recognizer runs imported folders.
    void importsTheFolderTheEngineReads() {
        QTemporaryDir root;
        const auto folder = root.filePath("model");
        writeTestFile(folder + "/metadata.json", "{\"old\": true}");
        std::vector<double> fractions;
        ImportOptions options{160, ModelPrecision::int8, {}, {"owner/name", "e0e1", "a.nemo"}};
        ModelImporter::importCheckpoint(
            NemoFixture::checkpointPath("en"), folder.toStdString(), options,
            [&](const ImportProgress& progress) { fractions.push_back(progress.fraction); });
        QVERIFY(fractions.size() >= 3 && std::ranges::is_sorted(fractions));
        QCOMPARE(fractions.back(), 1.0);
        QCOMPARE(filesUnder(folder),
                 (QStringList{"decoder.pt", "encoder/encoder_int8.pt", "joint.pt", "metadata.json",
                              "preprocessor.pt", "tokenizer.json"}));
        const auto source = jsonObjectOf(folder + "/metadata.json")["source"].toObject();
        QCOMPARE((QStringList{source["repository"].toString(), source["commit"].toString(),
                              source["file"].toString()}),
                 (QStringList{"owner/name", "e0e1", "a.nemo"}));
    }

    // Neither a refused or cancelled import nor one into a folder that is no model folder touches
    // what is there.
    void refusesWithoutLeavingAnything_data() {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<int>("chunkMs");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("out"); // inside the test's root
        QTest::addColumn<QString>("reason");
        const auto row = [](const char* name, QString variant, int chunkMs, QString locale,
                            QString out, QString reason) {
            QTest::newRow(name) << variant << chunkMs << locale << out << reason;
        };
        row("unlisted chunk size", "en", 320, "", "model",
            "no 320 ms chunk size; it offers 560, 160, 1120, 80");
        row("unknown locale", "multi", 560, "xx-XX", "model", "xx-XX");
        row("unwritable out", "en", 560, "", "file/model", "Cannot create");
        row("missing checkpoint", "none", 560, "", "model", "small-none.nemo");
        row("not a model folder", "en", 560, "", "documents", "not a model folder");
        row("cancelled halfway", "en", 560, "", "model", "Import cancelled");
    }
    void refusesWithoutLeavingAnything() {
        QFETCH(QString, variant);
        QFETCH(int, chunkMs);
        QFETCH(QString, locale);
        QFETCH(QString, out);
        QFETCH(QString, reason);
        QTemporaryDir root;
        writeTestFile(root.filePath("file"), "not a folder");
        writeTestFile(root.filePath("documents/notes.txt"), "keep me");
        writeTestFile(root.filePath("model/metadata.json"), "{\"old\": true}");
        ImportOptions options{chunkMs, ModelPrecision::fp32, {}, {}};
        if (!locale.isEmpty())
            options.locale = locale.toStdString();
        const auto failure = failureOf([&] {
            ModelImporter::importCheckpoint(
                NemoFixture::checkpointPath(variant.toStdString()),
                root.filePath(out).toStdString(), options, {},
                [&, checks = 0]() mutable { return reason == "Import cancelled" && ++checks > 2; });
        });
        QVERIFY2(failure.contains(reason), qPrintable(failure));
        QCOMPARE(filesUnder(root.path()),
                 (QStringList{"documents/notes.txt", "file", "model/metadata.json"}));
        QVERIFY(jsonObjectOf(root.filePath("model/metadata.json")).contains("old"));
    }

    // The command's own part is saying why in one line, after any progress, with the status
    // telling a bad command (2) from a refusal (1).
    void commandLineSaysWhyInOneLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("why");
        QTest::newRow("bad precision") << QStringList{"--precision", "int4"} << 2 << "int4";
        QTest::newRow("refused") << QStringList{"--chunk-ms", "320"} << 1 << "320 ms";
    }
    void commandLineSaysWhyInOneLine() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, why);
        QTemporaryDir root;
        QProcess process;
        process.start(RELAYO_IMPORT_PROGRAM,
                      arguments +
                          QStringList{"--out", root.filePath("out"),
                                      QString::fromStdString(NemoFixture::checkpointPath("en"))});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitCode(), status);
        const auto lines = QString::fromUtf8(process.readAllStandardError()).trimmed().split('\n');
        QVERIFY2(lines.last().contains(why), qPrintable(lines.last()));
        QCOMPARE(lines.size(), status == 1 ? 2 : 1); // progress, then why
        QVERIFY(QDir(root.path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(ModelImporterTest)
#include "ModelImporterTest.moc"
