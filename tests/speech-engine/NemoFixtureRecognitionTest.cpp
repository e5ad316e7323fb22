// The recognizer over model folders imported from the NeMo fixtures: the texts and token ids
// NeMo's own streaming gave for the fixture's audio fed in 20 ms blocks, and the same final text
// from `relayo transcribe`.

#include "speech-engine/AudioConverter.h"
#include "speech-engine/ModelNames.h"
#include "speech-engine/StreamingNemotronAsrManager.h"
#include "speech-engine/import/ModelImporter.h"
#include "tests/speech-engine/import/Npy.h"
#include "tests/support/RunToCompletion.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <numeric>
#include <optional>

namespace {

QString fixture(const QString& relative) {
    return QString::fromStdString(nemoFixturePath(relative.toStdString()));
}

QString referenceText(const QString& relative) {
    QFile file(fixture(relative));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

std::vector<std::int64_t> referenceIds(const QString& relative) {
    const auto ids = Npy::read(fixture(relative).toStdString()).ints;
    return {ids.begin(), ids.end()};
}

// The running transcript after each chunk that emitted tokens, from the reference ids.
QStringList referencePartials(const Tokenizer& tokenizer, const std::vector<std::int64_t>& ids,
                              const std::vector<std::int32_t>& counts) {
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

class NemoFixtureRecognitionTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_root;
    std::vector<float> m_audio;

private slots:
    void initTestCase() { m_audio = AudioConverter().resampleAudioFile(fixture("input.wav")); }

    void recognisesAsNeMoStreams_data() {
        QTest::addColumn<QString>("checkpoint");
        QTest::addColumn<int>("chunkMs");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("reference");
        QTest::addColumn<bool>("twice");
        QTest::addColumn<ModelPrecision>("precision");
        for (const auto precision : {ModelPrecision::fp32, ModelPrecision::int8}) {
            const auto* name = precision == ModelPrecision::fp32 ? "fp32" : "int8";
            QTest::addRow("en 560 ms %s", name)
                << "small-en.nemo" << 560 << QString() << "en/stream_560ms" << false << precision;
            QTest::addRow("en 160 ms %s", name)
                << "small-en.nemo" << 160 << QString() << "en/stream_160ms" << false << precision;
            QTest::addRow("ko-KR 560 ms %s", name) << "small-multi.nemo" << 560 << "ko-KR"
                                                   << "multi/stream_560ms" << false << precision;
        }
        // int8 changes a close decision in each of these.
        QTest::newRow("ko-KR 160 ms fp32") << "small-multi.nemo" << 160 << "ko-KR"
                                           << "multi/stream_160ms" << false << ModelPrecision::fp32;
        // Long enough for the attention cache to fill and roll.
        QTest::newRow("en 560 ms, long fp32")
            << "small-en.nemo" << 560 << QString() << "en/stream_560ms_long" << true
            << ModelPrecision::fp32;
    }
    void recognisesAsNeMoStreams() {
        QFETCH(QString, checkpoint);
        QFETCH(int, chunkMs);
        QFETCH(QString, locale);
        QFETCH(QString, reference);
        QFETCH(bool, twice);
        QFETCH(ModelPrecision, precision);
        const auto folder = m_root.filePath(QTest::currentDataTag());
        ImportOptions options;
        options.chunkMs = chunkMs;
        options.precision = precision;
        if (!locale.isEmpty())
            options.locale = locale.toStdString();
        try {
            ModelImporter::importCheckpoint(fixture(checkpoint).toStdString(), folder.toStdString(),
                                            options);
        } catch (const ModelImportError& error) {
            QFAIL(error.what());
        }

        StreamingNemotronAsrManager manager;
        runToCompletion(manager.loadModelsFrom(folder));
        QStringList partials;
        runToCompletion(manager.setPartialCallback([&](const QString& text) { partials << text; }));
        auto audio = m_audio;
        if (twice) {
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
        const auto ids = referenceIds(reference + "/tokens.npy");
        const auto counts =
            Npy::read(fixture(reference + "/chunk_token_counts.npy").toStdString()).ints;
        const auto streamed = std::accumulate(counts.begin(), counts.end() - 1, std::size_t(0));
        const auto beforeEnd = runToCompletion(manager.snapshot());
        QCOMPARE(beforeEnd.processedChunks, int(counts.size()) - 1);
        QCOMPARE(beforeEnd.accumulatedTokenIds,
                 std::vector(ids.begin(), ids.begin() + std::ptrdiff_t(streamed)));

        QCOMPARE(runToCompletion(manager.finish()), referenceText(reference + "/text.txt"));
        QCOMPARE(runToCompletion(manager.snapshot()).processedChunks, int(counts.size()));
        const auto config = runToCompletion(manager.config());
        const Tokenizer tokenizer(QDir(folder).filePath(ModelNames::NemotronStreaming::tokenizer),
                                  config.langTagPattern);
        QCOMPARE(partials, referencePartials(tokenizer, ids, counts));

        if (!twice) {
            // The command prints the same final text last.
            QProcess transcribe;
            transcribe.start(QStringLiteral(RELAYO_TRANSCRIBE),
                             {QStringLiteral("--model"), folder, fixture("input.wav")});
            QVERIFY(transcribe.waitForFinished(120000));
            QCOMPARE(transcribe.exitCode(), 0);
            const auto lines = QString::fromUtf8(transcribe.readAllStandardOutput())
                                   .split(u'\n', Qt::SkipEmptyParts);
            QCOMPARE(lines.value(lines.size() - 1), referenceText(reference + "/text.txt"));
        }
    }
};

QTEST_GUILESS_MAIN(NemoFixtureRecognitionTest)
#include "NemoFixtureRecognitionTest.moc"
