// relayo-import's command line: where an import lands by default, and the one line that says
// why it did not.

#include "cli/ImportCommandLine.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "tests/speech-engine/import/Npy.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class ImportCommandTest : public QObject {
    Q_OBJECT

private slots:
    // Without --out and --chunk-ms an import lands where, and at the chunk size with which, the
    // program itself fetches that model.
    void commandLineDefaultsToTheProgramsOwnModel() {
        const auto english = ImportCommandLine::parse({"import", "a.nemo"}, "/models");
        QCOMPARE(english.options.chunkMs, 560);
        QCOMPARE(QString::fromStdString(english.folder.string()),
                 NemotronModelDownloader::variantFolder(Repo::nemotronStreaming560, "/models"));
        const auto korean =
            ImportCommandLine::parse({"import", "--locale", "ko-KR", "a.nemo"}, "/models");
        QCOMPARE(korean.options.chunkMs, HubModel::korean().chunkMs);
        QCOMPARE(QString::fromStdString(korean.folder.string()),
                 QString("/models/korean-streaming"));
        QCOMPARE(ImportCommandLine::parse(
                     {"import", "--locale", "ko-KR", "--chunk-ms", "1120", "a.nemo"}, "/models")
                     .options.chunkMs,
                 1120);
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
                                      QString::fromStdString(nemoFixturePath("small-en.nemo"))});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitCode(), status);
        const auto lines = QString::fromUtf8(process.readAllStandardError()).trimmed().split('\n');
        QVERIFY2(lines.last().contains(why), qPrintable(lines.last()));
        QCOMPARE(lines.size(), status == 1 ? 2 : 1); // progress, then why
        QVERIFY(QDir(root.path()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(ImportCommandTest)
#include "ImportCommandTest.moc"
