// Importing the NeMo fixtures: folders the recognizer reads to the texts NeMo's own streaming gave
// for the fixture's audio fed in 20 ms blocks; refused or cancelled imports leave nothing behind.
#include "speech-engine/import/ModelImporter.h"
#include "speech-engine/audio/AudioConverter.h"
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/import/Int8AgreementJson.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"
#include "tests/speech-engine/TestHelpers.h"
#include "tests/speech-engine/import/NemoFixture.h"
#include "tests/speech-engine/import/Npy.h"
#include "tests/support/RunToCompletion.h"
#include "tests/support/ScopedEnvironment.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFileDevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

QString fixture(const QString& relative) {
    return QString::fromStdString(nemoFixturePath(relative.toStdString()));
}

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

// A model folder as an import made it before folders had a manifest.
void writeOldModelFolder(const QString& folder) {
    using namespace ModelNames::NemotronStreaming;
    for (const auto file :
         {preprocessorFile, encoderPath, decoderFile, jointFile, metadata, tokenizer})
        writeTestFile(QDir(folder).filePath(file), "{\"old\": true}");
}

std::optional<Int8Agreement> agreementIn(const QString& folder) {
    return Int8AgreementJson::fromMetadata(jsonObjectOf(folder + "/metadata.json"));
}

// int8 near float32 but not equal to it, measured on every layer of the fixture models.
QString implausible(const Int8Agreement& agreement) {
    if (!agreement.measured())
        return QString::fromStdString("not measured: " + agreement.notMeasured);
    auto measures = agreement.layers;
    measures.push_back(agreement.encoder);
    const bool plausible = agreement.layers.size() == 2 && agreement.encoder.cosine > 0.999 &&
                           std::ranges::all_of(measures, [](const Int8Agreement::Measure& measure) {
                               return measure.cosine > 0.99 && measure.cosine < 1 + 1e-9 &&
                                      measure.maxDifference > 0 && measure.maxDifference < 0.1;
                           });
    return plausible ? QString()
                     : QStringLiteral("encoder cosine %1, max difference %2, %3 layers")
                           .arg(agreement.encoder.cosine)
                           .arg(agreement.encoder.maxDifference)
                           .arg(agreement.layers.size());
}

// The running transcript after each chunk that emitted tokens, from the reference ids.
QStringList referencePartials(const Tokenizer& tokenizer, const QString& reference,
                              const std::vector<std::int32_t>& counts) {
    const auto tokens = Npy::read(fixture(reference + "/tokens.npy").toStdString()).ints;
    const std::vector<std::int64_t> ids(tokens.begin(), tokens.end());
    QStringList partials;
    std::size_t emitted = 0;
    for (const auto count : counts) {
        emitted += std::size_t(count);
        if (count > 0)
            partials << tokenizer.decode(std::span(ids).first(emitted));
    }
    return partials;
}

} // namespace

class ModelImporterTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    std::vector<float> m_audio;

private slots:
    void initTestCase() { m_audio = AudioConverter().resampleAudioFile(fixture("input.wav")); }

    void recognisesAsNeMoStreams_data() {
        QTest::addColumn<int>("chunkMs");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("reference");
        QTest::addColumn<ModelPrecision>("precision");
        for (const auto precision : {ModelPrecision::fp32, ModelPrecision::int8}) {
            const auto* name = precision == ModelPrecision::fp32 ? "fp32" : "int8";
            QTest::addRow("en 560 ms %s", name) << 560 << ""
                                                << "en/stream_560ms" << precision;
            QTest::addRow("en 160 ms %s", name) << 160 << ""
                                                << "en/stream_160ms" << precision;
            QTest::addRow("ko-KR 560 ms %s", name) << 560 << "ko-KR"
                                                   << "multi/stream_560ms" << precision;
            QTest::addRow("ko-KR 160 ms %s", name) << 160 << "ko-KR"
                                                   << "multi/stream_160ms" << precision;
        }
        // Long enough for the attention cache to fill and roll.
        QTest::newRow("en 560 ms, long fp32") << 560 << ""
                                              << "en/stream_560ms_long" << ModelPrecision::fp32;
    }
    // The import replaces an old model folder, its progress grows, the folder records its source
    // and, for int8, how closely it follows float32.
    void recognisesAsNeMoStreams() {
        QFETCH(int, chunkMs);
        QFETCH(QString, locale);
        QFETCH(QString, reference);
        QFETCH(ModelPrecision, precision);
        const auto folder = m_root.filePath(QTest::currentDataTag());
        writeOldModelFolder(folder);
        ImportOptions options{chunkMs, precision, {}, {"owner/name", "e0e1", "a.nemo", {}}};
        if (!locale.isEmpty())
            options.locale = locale.toStdString();
        std::vector<double> fractions;
        ModelImporter::importCheckpoint(
            NemoFixture::checkpointPath(locale.isEmpty() ? "en" : "multi"), folder.toStdString(),
            options,
            [&](const ImportProgress& progress) { fractions.push_back(progress.fraction); });
        QVERIFY(fractions.size() >= 3 && std::ranges::is_sorted(fractions));
        QCOMPARE(fractions.back(), 1.0);
        QCOMPARE(filesUnder(folder),
                 (QStringList{"decoder.pt", "encoder/encoder_int8.pt", "joint.pt", "manifest.json",
                              "metadata.json", "preprocessor.pt", "tokenizer.json"}));
        const auto listed = jsonObjectOf(folder + "/manifest.json")["files"].toObject();
        QCOMPARE(listed.size(), 6);
        for (auto file = listed.begin(); file != listed.end(); ++file) {
            const auto content = readTestFile(QDir(folder).filePath(file.key()));
            const auto entry = file.value().toObject();
            QCOMPARE(entry["size"].toInteger(), content.size());
            QCOMPARE(entry["sha256"].toString().toLatin1(),
                     QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
        }
        const auto source = jsonObjectOf(folder + "/metadata.json")["source"].toObject();
        QCOMPARE((QStringList{source["repository"].toString(), source["commit"].toString(),
                              source["file"].toString()}),
                 (QStringList{"owner/name", "e0e1", "a.nemo"}));
        const auto agreement = agreementIn(folder);
        QCOMPARE(agreement.has_value(), precision == ModelPrecision::int8);
        if (agreement)
            QCOMPARE(implausible(*agreement), QString());

        StreamingNemotronAsrManager manager;
        runToCompletion(manager.loadModelsFrom(folder));
        QStringList partials;
        runToCompletion(manager.setPartialCallback([&](const QString& text) { partials << text; }));
        auto audio = m_audio;
        if (reference.endsWith("long")) {
            // The long reference's input: the audio twice, then 200 zero samples.
            audio.insert(audio.end(), m_audio.begin(), m_audio.end());
            audio.resize(audio.size() + 200, 0.0f);
        }
        for (std::size_t start = 0; start < audio.size(); start += 320) {
            const auto count = std::min<std::size_t>(320, audio.size() - start);
            PcmBuffer block(PcmFormat{16000, 1, SampleType::float32, false}, int(count));
            std::copy_n(audio.begin() + std::ptrdiff_t(start), count,
                        block.samples<float>(0).begin());
            runToCompletion(manager.process(block));
        }
        // The last chunk holds the signal's masked final frame: only its end lets it run.
        const auto counts =
            Npy::read(fixture(reference + "/chunk_token_counts.npy").toStdString()).ints;
        QCOMPARE(runToCompletion(manager.snapshot()).processedChunks, int(counts.size()) - 1);
        QCOMPARE(runToCompletion(manager.finish()),
                 QString::fromUtf8(readTestFile(fixture(reference + "/text.txt"))));
        const Tokenizer tokenizer(QDir(folder).filePath(ModelNames::NemotronStreaming::tokenizer),
                                  runToCompletion(manager.config()).langTagPattern);
        QCOMPARE(partials, referencePartials(tokenizer, reference, counts));

        // A file cut short later is noticed at the next load.
        QVERIFY(QFile(QDir(folder).filePath("tokenizer.json")).resize(10));
        QVERIFY(!NemotronModelDownloader::isModelComplete(folder));
        StreamingNemotronAsrManager reloaded;
        const auto failure = failureOf([&] { runToCompletion(reloaded.loadModelsFrom(folder)); });
        QVERIFY2(failure.contains("tokenizer.json is 10 bytes") &&
                     failure.contains("import it again"),
                 qPrintable(failure));
    }

    void int8UncheckedWithoutTheSpeechTool_data() {
        QTest::addColumn<QByteArray>("tool"); // the espeak-ng on the PATH; empty: none
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QByteArray() << "could not be started";
        QTest::newRow("failing") << QByteArray("#!/bin/sh\nexit 3\n") << "status 3";
        QTest::newRow("writing no sound")
            << QByteArray("#!/bin/sh\necho noise > \"$4\"\n") << "could not be read";
    }
    // The import still makes a whole folder, and records why int8 went unchecked.
    void int8UncheckedWithoutTheSpeechTool() {
        QFETCH(QByteArray, tool);
        QFETCH(QString, reason);
        QTemporaryDir bin;
        if (!tool.isEmpty()) {
            writeTestFile(bin.filePath("espeak-ng"), tool);
            QVERIFY(QFile::setPermissions(bin.filePath("espeak-ng"),
                                          QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
        ScopedEnvironment environment;
        environment.set("PATH", bin.path().toUtf8());
        const auto folder = m_root.filePath(QTest::currentDataTag());
        ModelImporter::importCheckpoint(NemoFixture::checkpointPath("en"), folder.toStdString(),
                                        {560, ModelPrecision::int8, {}, {}});
        QVERIFY(NemotronModelDownloader::isModelComplete(folder));
        QVERIFY(!QDir(folder + "/scratch").exists());
        const auto agreement = agreementIn(folder);
        QVERIFY(agreement && !agreement->measured());
        QVERIFY2(QString::fromStdString(agreement->notMeasured).contains(reason),
                 agreement->notMeasured.c_str());
    }

    // Cancelled while the two encoders step through the spoken sample, the import leaves nothing.
    void cancelledWhileCheckingInt8() {
        QTemporaryDir root;
        bool checking = false;
        const auto failure = failureOf([&] {
            ModelImporter::importCheckpoint(
                NemoFixture::checkpointPath("en"), root.filePath("model").toStdString(),
                {560, ModelPrecision::int8, {}, {}},
                [&](const ImportProgress& progress) {
                    checking = progress.stage == "Checking int8 against float32";
                },
                [&, checks = 0]() mutable { return checking && ++checks > 3; });
        });
        QVERIFY2(failure.contains("Import cancelled"), qPrintable(failure));
        QCOMPARE(filesUnder(root.path()), QStringList());
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
        row("locale without prompts", "en", 560, "ko-KR", "model", "takes no locale");
        row("missing checkpoint", "none", 560, "", "model", "small-none.nemo");
        row("not a model folder", "en", 560, "", "documents", "not a model folder");
        row("folder holding a metadata.json", "en", 560, "", "unrelated", "not a model folder");
        row("checkpoint not the hub's", "en", 560, "", "model", "its SHA-256 differs");
        row("cancelled halfway", "en", 560, "", "model", "Import cancelled");
    }
    void refusesWithoutLeavingAnything() {
        QFETCH(QString, variant);
        QFETCH(int, chunkMs);
        QFETCH(QString, locale);
        QFETCH(QString, out);
        QFETCH(QString, reason);
        QTemporaryDir root;
        writeTestFile(root.filePath("documents/notes.txt"), "keep me");
        writeTestFile(root.filePath("unrelated/metadata.json"), "{\"unrelated\": true}");
        writeOldModelFolder(root.filePath("model"));
        const auto before = filesUnder(root.path());
        ImportOptions options{chunkMs, ModelPrecision::fp32, {}, {}};
        if (!locale.isEmpty())
            options.locale = locale.toStdString();
        if (reason.contains("SHA-256"))
            options.source.sha256 = std::string(64, '0');
        const auto failure = failureOf([&] {
            ModelImporter::importCheckpoint(
                NemoFixture::checkpointPath(variant.toStdString()),
                root.filePath(out).toStdString(), options, {},
                [&, checks = 0]() mutable { return reason == "Import cancelled" && ++checks > 2; });
        });
        QVERIFY2(failure.contains(reason), qPrintable(failure));
        QCOMPARE(filesUnder(root.path()), before);
        QVERIFY(jsonObjectOf(root.filePath("model/metadata.json")).contains("old"));
        QVERIFY(jsonObjectOf(root.filePath("unrelated/metadata.json")).contains("unrelated"));
    }
};

QTEST_GUILESS_MAIN(ModelImporterTest)
#include "ModelImporterTest.moc"
