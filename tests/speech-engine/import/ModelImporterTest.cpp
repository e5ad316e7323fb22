// Importing the NeMo fixtures: the folder's files and description, the options a checkpoint
// refuses, and that a failed or cancelled import leaves nothing behind.

#include "speech-engine/import/ModelImporter.h"
#include "speech-engine/import/ImportCommandLine.h"
#include "speech-engine/ModelRunner.h"
#include "speech-engine/NemotronStreamingConfig.h"
#include "tests/speech-engine/import/NemoFixture.h"
#include "tests/speech-engine/import/Npy.h"
#include "tests/speech-engine/Failure.h"
#include "tests/speech-engine/TestFiles.h"

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

// The folder's encoder on the first chunk of NeMo's stream with the same context (and, for a
// locale, after the prompt projection), from empty caches.
QString firstChunkMismatch(const QString& folder, const QString& variant, int chunkMs,
                           bool prompted) {
    const auto stream = variant.toStdString() + "/stream_" + std::to_string(chunkMs) + "ms/";
    const auto windows = Npy::read(nemoFixturePath(stream + "mel.npy"));
    const auto encoded =
        Npy::read(nemoFixturePath(stream + (prompted ? "encoded_prompted.npy" : "encoded.npy")));
    const auto width = windows.shape[3];
    auto mel = MultiArray::createZeroed({1, 128, width}, MultiArrayDataType::float32);
    std::copy_n(windows.floats.begin(), mel.count(), mel.data<float>());
    auto length = MultiArray::createZeroed({1}, MultiArrayDataType::int32);
    *length.data<std::int32_t>() = std::int32_t(width);
    const auto encoder =
        ModelRunner::load((folder + "/encoder/encoder_int8.pt").toStdString(), {1});
    const auto output = encoder->predict(
        {{"mel", mel},
         {"mel_length", length},
         {"cache_channel", MultiArray::createZeroed({1, 2, 70, 192}, MultiArrayDataType::float32)},
         {"cache_time", MultiArray::createZeroed({1, 2, 96, 8}, MultiArrayDataType::float32)},
         {"cache_len", MultiArray::createZeroed({1}, MultiArrayDataType::int32)}});
    const auto frames = encoded.elementCount() / encoded.shape[0];
    return NemoFixture::mismatch(output.at("encoded"),
                                 {encoded.floats.begin(), encoded.floats.begin() + frames});
}

} // namespace

class ModelImporterTest : public QObject {
    Q_OBJECT

private slots:
    void importsTheFolderTheEngineReads_data() {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<int>("chunkMs");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<int>("chunkMelFrames");
        QTest::addColumn<int>("vocabulary");
        QTest::addColumn<int>("promptIndex"); // -1: none
        QTest::newRow("en 560 ms") << "en" << 560 << "" << 56 << 120 << -1;
        QTest::newRow("en 160 ms") << "en" << 160 << "" << 16 << 120 << -1;
        QTest::newRow("multi 560 ms ko-KR") << "multi" << 560 << "ko-KR" << 56 << 122 << 14;
        QTest::newRow("multi 160 ms ko") << "multi" << 160 << "ko" << 16 << 122 << 14;
    }
    void importsTheFolderTheEngineReads() {
        QFETCH(QString, variant);
        QFETCH(int, chunkMs);
        QFETCH(QString, locale);
        QFETCH(int, chunkMelFrames);
        QFETCH(int, vocabulary);
        QFETCH(int, promptIndex);
        QTemporaryDir root;
        const auto folder = root.filePath("model");
        import(variant, folder, optionsFor(chunkMs, ModelPrecision::fp32, locale));

        QCOMPARE(entriesOf(root.path()), QStringList{"model"});
        QCOMPARE(filesUnder(folder), folderFiles);
        const auto config = NemotronStreamingConfig::fromFile(folder + "/metadata.json");
        QCOMPARE(config.chunkMs, chunkMs);
        QCOMPARE(config.chunkMelFrames, chunkMelFrames);
        QCOMPARE(config.totalMelFrames, 9 + chunkMelFrames);
        QCOMPARE(config.vocabSize, vocabulary);
        QCOMPARE(config.blankIdx, vocabulary);
        QCOMPARE(config.encoderDim, 96);
        QCOMPARE(config.decoderHidden, 48);
        QCOMPARE(config.decoderLayers, 2);
        QCOMPARE(config.cacheChannelShape, (std::vector<std::int64_t>{1, 2, 70, 192}));
        QCOMPARE(config.cacheTimeShape, (std::vector<std::int64_t>{1, 2, 96, 8}));

        const auto metadata = jsonObjectOf(folder + "/metadata.json");
        QCOMPARE(metadata["mel_hop_samples"].toInt(), 160);
        QCOMPARE(metadata["mel_left_context_samples"].toInt(), 257);
        QCOMPARE(metadata["mel_right_context_samples"].toInt(), 256);
        QCOMPARE(metadata["min_final_mel_frames"].toInt(), 8);
        QCOMPARE(metadata["max_symbols_per_frame"].toInt(), 10);
        QCOMPARE(metadata["precision"].toString(), "fp32");
        QCOMPARE(metadata["prompt_index"].toInt(-1), promptIndex);
        QCOMPARE(metadata["locale"].toString(), locale);
        QCOMPARE(metadata.contains("lang_tag_pattern"), variant == "multi");
        const auto source = metadata["source"].toObject();
        QCOMPARE(source["sha256"].toString(), fixtureSha256[variant]);
        QCOMPARE(source["file"].toString(), "small-" + variant + ".nemo");
        QCOMPARE(source["repository"].toString(), "");
        QCOMPARE(source["chunk_ms"].toInt(), chunkMs);
        const auto failure = firstChunkMismatch(folder, variant, chunkMs, !locale.isEmpty());
        QVERIFY2(failure.isEmpty(), qPrintable(failure));

        QFile pieces(
            QString::fromStdString(nemoFixturePath(variant.toStdString() + "/pieces.json")));
        QVERIFY(pieces.open(QIODevice::ReadOnly));
        const auto expected = QJsonDocument::fromJson(pieces.readAll()).array();
        const auto tokenizer = jsonObjectOf(folder + "/tokenizer.json");
        QCOMPARE(tokenizer.size(), expected.size());
        for (int id = 0; id < expected.size(); ++id)
            QCOMPARE(tokenizer[QString::number(id)].toString(), expected[id].toString());
    }

    // Only the encoder is quantized.
    void int8FolderKeepsTheDecoderAndJointExact() {
        QTemporaryDir root;
        const auto folder = root.filePath("model");
        import("en", folder, optionsFor(560, ModelPrecision::int8, ""));
        QCOMPARE(jsonObjectOf(folder + "/metadata.json")["precision"].toString(), "int8");
        const auto decoder = ModelRunner::load((folder + "/decoder.pt").toStdString(), {1});
        const auto joint = ModelRunner::load((folder + "/joint.pt").toStdString(), {1});
        const auto failure = NemoFixture::stepMismatch("en", *decoder, *joint);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void refusesWithoutLeavingAnything_data() {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<int>("chunkMs");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("out"); // inside the test's root
        QTest::addColumn<QString>("reason");
        QTest::newRow("unlisted chunk size")
            << "en" << 320 << ""
            << "model"
            << "no 320 ms chunk size; it offers 560, 160, 1120, 80";
        QTest::newRow("multi 320 ms") << "multi" << 320 << "ko-KR"
                                      << "model"
                                      << "no 320 ms";
        QTest::newRow("multi without locale") << "multi" << 560 << ""
                                              << "model"
                                              << "name a locale";
        QTest::newRow("unknown locale") << "multi" << 560 << "xx-XX"
                                        << "model"
                                        << "xx-XX";
        QTest::newRow("locale for en") << "en" << 560 << "ko-KR"
                                       << "model"
                                       << "no language prompts";
        QTest::newRow("unwritable out") << "en" << 560 << ""
                                        << "file/model"
                                        << "Cannot create";
        QTest::newRow("missing checkpoint") << "none" << 560 << ""
                                            << "model"
                                            << "small-none.nemo";
    }
    void refusesWithoutLeavingAnything() {
        QFETCH(QString, variant);
        QFETCH(int, chunkMs);
        QFETCH(QString, locale);
        QFETCH(QString, out);
        QFETCH(QString, reason);
        QTemporaryDir root;
        writeTestFile(root.filePath("file"), "not a folder");
        const auto failure = failureOf([&] {
            import(variant, root.filePath(out), optionsFor(chunkMs, ModelPrecision::fp32, locale));
        });
        QVERIFY2(failure.contains(reason), qPrintable(failure));
        QCOMPARE(entriesOf(root.path()), QStringList{"file"});
    }

    void replacesAModelFolderOnlyWithACompleteOne() {
        QTemporaryDir root;
        const auto folder = root.filePath("model");
        writeTestFile(folder + "/metadata.json", "{\"old\": true}");
        QVERIFY(!failureOf([&] {
                     import("en", folder, optionsFor(320, ModelPrecision::fp32, ""));
                 }).isEmpty());
        QVERIFY(jsonObjectOf(folder + "/metadata.json").contains("old"));

        import("en", folder, optionsFor(560, ModelPrecision::fp32, ""));
        QCOMPARE(filesUnder(folder), folderFiles);
        QCOMPARE(entriesOf(root.path()), QStringList{"model"});
    }

    void neverReplacesAFolderThatIsNotAModel() {
        QTemporaryDir root;
        const auto notes = writeTestFile(root.filePath("documents/notes.txt"), "keep me");
        const auto failure = failureOf([&] {
            import("en", root.filePath("documents"), optionsFor(560, ModelPrecision::fp32, ""));
        });
        QVERIFY2(failure.contains("not a model folder"), qPrintable(failure));
        QCOMPARE(filesUnder(root.path()), QStringList{"documents/notes.txt"});
    }

    void reportsStagesAndStopsWhenCancelled() {
        QTemporaryDir root;
        std::vector<ImportProgress> reports;
        const auto folder = root.filePath("model");
        const auto failure = failureOf(
            [&] {
            import("en", folder, optionsFor(560, ModelPrecision::fp32, ""),
                   [&](const ImportProgress& progress) { reports.push_back(progress);
            },
            [&] { return reports.size() >= 2; });
    });
    QCOMPARE(failure, "Import cancelled");
    QCOMPARE(entriesOf(root.path()), QStringList{});

    reports.clear();
        import("en", folder, optionsFor(560, ModelPrecision::fp32, ""),
               [&](const ImportProgress& progress) { reports.push_back(progress); });
QVERIFY(reports.size() >= 3);
for (std::size_t i = 1; i < reports.size(); ++i)
    QVERIFY(reports[i].fraction >= reports[i - 1].fraction);
QCOMPARE(reports.back().fraction, 1.0);
}

void commandLineDefaultsToTheFoldersTheProgramReads_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("chunkMs");
    QTest::newRow("English") << QStringList{"x.nemo"} << "/models/nemotron-streaming/560ms-macos14"
                             << 560;
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
    process.start(
        RELAYO_IMPORT_PROGRAM,
        arguments +
            QStringList{"--out", out, QString::fromStdString(NemoFixture::checkpointPath("en"))});
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitCode(), status);
    const auto text =
        status == 0 ? process.readAllStandardOutput() : process.readAllStandardError();
    const auto lines = QString::fromUtf8(text).trimmed().split('\n');
    QVERIFY2(lines.last().contains(output == "OUT" ? out : output), qPrintable(lines.last()));
    if (status != 0)
        QCOMPARE(lines.size(), arguments.contains("320") ? 2 : 1); // progress, then why
}
}
;

QTEST_GUILESS_MAIN(ModelImporterTest)
#include "ModelImporterTest.moc"
