// Importing the NeMo fixtures: the folder's files and description, the options a checkpoint
// refuses, and that a failed or cancelled import leaves nothing behind.
#include "speech-engine/import/ModelImporter.h"
#include "speech-engine/ModelRunner.h"
#include "speech-engine/NemotronModelDownloader.h"
#include "speech-engine/NemotronStreamingConfig.h"
#include "speech-engine/import/ImportCommandLine.h"
#include "tests/speech-engine/Failure.h"
#include "tests/speech-engine/FakeModelHub.h"
#include "tests/speech-engine/TestFiles.h"
#include "tests/speech-engine/import/NemoFixture.h"
#include "tests/support/RunToCompletion.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QStringList folderFiles{"decoder.pt",    "encoder/encoder_int8.pt", "joint.pt",
                              "metadata.json", "preprocessor.pt",         "tokenizer.json"};

const QHash<QString, QString> fixtureSha256{
    {"en", "d8fffae77e34bc209fa90dbe2a2b8db376148aac297106748984378e8dfe0b21"},
    {"multi", "b6aaa7050d31051e148ec6e22ade784f678834bb45960aef527549c583ccfbe4"}};

QStringList filesUnder(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(folder).relativeFilePath(it.next());
    files.sort();
    return files;
}

QStringList entriesOf(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

QJsonObject jsonObjectOf(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

ImportOptions optionsFor(int chunkMs, ModelPrecision precision, const QString& locale) {
    ImportOptions options;
    options.chunkMs = chunkMs;
    options.precision = precision;
    if (!locale.isEmpty())
        options.locale = locale.toStdString();
    return options;
}

void import(const QString& variant, const QString& folder, const ImportOptions& options,
            const ModelImporter::ProgressHandler& progress = {},
            const ModelImporter::CancelCheck& cancelled = {}) {
    ModelImporter::importCheckpoint(NemoFixture::checkpointPath(variant.toStdString()),
                                    folder.toStdString(), options, progress, cancelled);
}

} // namespace

class ModelImporterTest : public QObject {
    Q_OBJECT

private slots:
    // An old model folder is replaced. The English 560 ms folder is the downloaded one below;
    // NeMo's outputs for the built modules are checked where they are built and where folders are
    // recognised with.
    void importsTheFolderTheEngineReads_data() {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<int>("chunkMs");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<bool>("int8");
        QTest::addColumn<int>("vocabulary");
        QTest::addColumn<int>("promptIndex"); // -1: none
        QTest::newRow("en 160 ms int8") << "en" << 160 << "" << true << 120 << -1;
        QTest::newRow("multi 160 ms ko") << "multi" << 160 << "ko" << false << 122 << 14;
    }
    void importsTheFolderTheEngineReads() {
        QFETCH(QString, variant);
        QFETCH(int, chunkMs);
        QFETCH(QString, locale);
        QFETCH(bool, int8);
        QFETCH(int, vocabulary);
        QFETCH(int, promptIndex);
        QTemporaryDir root;
        const auto folder = root.filePath("model");
        writeTestFile(folder + "/metadata.json", "{\"old\": true}");
        import(variant, folder,
               optionsFor(chunkMs, int8 ? ModelPrecision::int8 : ModelPrecision::fp32, locale));

        QCOMPARE(entriesOf(root.path()), QStringList{"model"});
        QCOMPARE(filesUnder(folder), folderFiles);
        const auto config = NemotronStreamingConfig::fromFile(folder + "/metadata.json");
        QCOMPARE(config.chunkMs, chunkMs);
        QCOMPARE(config.chunkMelFrames, chunkMs / 10);
        QCOMPARE(config.totalMelFrames, 9 + chunkMs / 10);
        QCOMPARE(config.vocabSize, vocabulary);
        QCOMPARE(config.blankIdx, vocabulary);
        const auto metadata = jsonObjectOf(folder + "/metadata.json");
        QCOMPARE(metadata["precision"].toString(), int8 ? "int8" : "fp32");
        QCOMPARE(metadata["prompt_index"].toInt(-1), promptIndex);
        QCOMPARE(metadata["locale"].toString(), locale);
        QCOMPARE(metadata.contains("lang_tag_pattern"), variant == "multi");
        const auto source = metadata["source"].toObject();
        QCOMPARE(source["sha256"].toString(), fixtureSha256[variant]);
        QCOMPARE(source["file"].toString(), "small-" + variant + ".nemo");
        QCOMPARE(source["chunk_ms"].toInt(), chunkMs);
        if (int8) { // only the encoder is quantized
            const auto decoder = ModelRunner::load((folder + "/decoder.pt").toStdString(), {1});
            const auto joint = ModelRunner::load((folder + "/joint.pt").toStdString(), {1});
            const auto failure = NemoFixture::stepMismatch("en", *decoder, *joint);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        }
    }

    // A checkpoint the downloader fetched from a loopback hub becomes a folder that records where
    // it came from.
    void importsWhatTheDownloaderFetched() {
        const QString repository = "nvidia/nemotron-speech-streaming-en-0.6b", commit(40, u'e');
        qunsetenv("RLY_MODEL_REPO");
        qunsetenv("RLY_MODEL_REVISION");
        FakeModelHub hub;
        qputenv("HF_ENDPOINT", hub.baseURL().toUtf8());
        QFile fixture(QString::fromStdString(NemoFixture::checkpointPath("en")));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        hub.serveRepository(repository, "main", commit, {{"small-en.nemo", fixture.readAll()}});
        QTemporaryDir root;
        NemotronModelDownloader::Options options;
        options.import = ModelImporter::importCheckpoint;
        const auto model = runToCompletion(NemotronModelDownloader::download(
            HubModel::english(Repo::nemotronStreaming560), root.path(), options));
        QVERIFY(NemotronModelDownloader::isModelComplete(model.folder));
        QCOMPARE(QDir(root.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        const auto source = jsonObjectOf(model.folder + "/metadata.json")["source"].toObject();
        QCOMPARE(source["repository"].toString(), repository);
        QCOMPARE(source["commit"].toString(), commit);
        QCOMPARE(source["file"].toString(), "small-en.nemo");
        QCOMPARE(source["sha256"].toString(), fixtureSha256["en"]);
        QCOMPARE(source["chunk_ms"].toInt(), 560);
    }

    // Neither a refused import nor one into a folder that is no model folder touches what is
    // there.
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
        row("multi 320 ms", "multi", 320, "ko-KR", "model", "no 320 ms");
        row("multi without locale", "multi", 560, "", "model", "name a locale");
        row("unknown locale", "multi", 560, "xx-XX", "model", "xx-XX");
        row("locale for en", "en", 560, "ko-KR", "model", "no language prompts");
        row("unwritable out", "en", 560, "", "file/model", "Cannot create");
        row("missing checkpoint", "none", 560, "", "model", "small-none.nemo");
        row("not a model folder", "en", 560, "", "documents", "not a model folder");
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
        const auto failure = failureOf([&] {
            import(variant, root.filePath(out), optionsFor(chunkMs, ModelPrecision::fp32, locale));
        });
        QVERIFY2(failure.contains(reason), qPrintable(failure));
        QCOMPARE(filesUnder(root.path()),
                 (QStringList{"documents/notes.txt", "file", "model/metadata.json"}));
        QVERIFY(jsonObjectOf(root.filePath("model/metadata.json")).contains("old"));
    }

    void reportsStagesAndStopsWhenCancelled() {
        QTemporaryDir root;
        const auto folder = root.filePath("model");
        const auto options = optionsFor(560, ModelPrecision::fp32, "");
        std::vector<ImportProgress> reports;
        const auto report = [&](const ImportProgress& progress) { reports.push_back(progress); };
        const auto cancelled = [&] { return reports.size() >= 2; };
        QCOMPARE(failureOf([&] { import("en", folder, options, report, cancelled); }),
                 "Import cancelled");
        QCOMPARE(entriesOf(root.path()), QStringList{});

        reports.clear();
        import("en", folder, options, report);
        QVERIFY(reports.size() >= 3);
        for (std::size_t i = 1; i < reports.size(); ++i)
            QVERIFY(reports[i].fraction >= reports[i - 1].fraction);
        QCOMPARE(reports.back().fraction, 1.0);
    }

    void commandLineDefaultsToTheFoldersTheProgramReads_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("chunkMs");
        QTest::newRow("English") << QStringList{"x.nemo"}
                                 << "/models/nemotron-streaming/560ms-macos14" << 560;
        QTest::newRow("Korean") << QStringList{"x.nemo", "--locale", "ko-KR", "--chunk-ms", "160"}
                                << "/models/korean-streaming" << 160;
        QTest::newRow("out") << QStringList{"--out", "/elsewhere/m/", "x.nemo"} << "/elsewhere/m"
                             << 560;
    }
    void commandLineDefaultsToTheFoldersTheProgramReads() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, folder);
        QFETCH(int, chunkMs);
        const auto command =
            ImportCommandLine::parse(QStringList{"relayo-import"} + arguments, "/models");
        QCOMPARE(QString::fromStdString(command.folder.string()), folder);
        QCOMPARE(command.options.chunkMs, chunkMs);
        QCOMPARE(command.options.precision, ModelPrecision::int8);
    }

    void commandLinePrintsTheFolderOrOneLineWhy_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output"); // the last line, on stdout or stderr
        QTest::newRow("imported") << QStringList{"--precision", "fp32"} << 0 << "OUT";
        QTest::newRow("bad precision") << QStringList{"--precision", "int4"} << 2 << "int4";
        QTest::newRow("bad chunk") << QStringList{"--chunk-ms", "fast"} << 2 << "fast";
        QTest::newRow("unknown option") << QStringList{"--fast"} << 2 << "fast";
        QTest::newRow("refused") << QStringList{"--chunk-ms", "320"} << 1 << "320 ms";
    }
    void commandLinePrintsTheFolderOrOneLineWhy() {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        QTemporaryDir root;
        const auto out = root.filePath("out");
        QProcess process;
        process.start(RELAYO_IMPORT_PROGRAM,
                      arguments +
                          QStringList{"--out", out,
                                      QString::fromStdString(NemoFixture::checkpointPath("en"))});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitCode(), status);
        const auto text =
            status == 0 ? process.readAllStandardOutput() : process.readAllStandardError();
        const auto lines = QString::fromUtf8(text).trimmed().split('\n');
        QVERIFY2(lines.last().contains(output == "OUT" ? out : output), qPrintable(lines.last()));
        if (status != 0)
            QCOMPARE(lines.size(), arguments.contains("320") ? 2 : 1); // progress, then why
    }
};

QTEST_GUILESS_MAIN(ModelImporterTest)
#include "ModelImporterTest.moc"
