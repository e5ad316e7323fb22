// The recognizer over model folders imported from the NeMo fixtures: the texts NeMo's own
// streaming gave for the fixture's audio fed in 20 ms blocks.

#include "speech-engine/AudioConverter.h"
#include "speech-engine/ModelNames.h"
#include "speech-engine/StreamingNemotronAsrManager.h"
#include "speech-engine/import/ModelImporter.h"
#include "tests/speech-engine/TestHelpers.h"
#include "tests/speech-engine/import/Npy.h"
#include "tests/support/RunToCompletion.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

QString fixture(const QString& relative) {
    return QString::fromStdString(nemoFixturePath(relative.toStdString()));
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

class NemoFixtureRecognitionTest : public QObject {
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
        }
        // int8 changes a close decision in each of these.
        QTest::newRow("ko-KR 160 ms fp32") << 160 << "ko-KR"
                                           << "multi/stream_160ms" << ModelPrecision::fp32;
        // Long enough for the attention cache to fill and roll.
        QTest::newRow("en 560 ms, long fp32") << 560 << ""
                                              << "en/stream_560ms_long" << ModelPrecision::fp32;
    }
    void recognisesAsNeMoStreams() {
        QFETCH(int, chunkMs);
        QFETCH(QString, locale);
        QFETCH(QString, reference);
        QFETCH(ModelPrecision, precision);
        const bool twice = reference.endsWith("long");
        const auto folder = m_root.filePath(QTest::currentDataTag());
        ImportOptions options{chunkMs, precision, {}, {}};
        if (!locale.isEmpty())
            options.locale = locale.toStdString();
        const auto checkpoint = locale.isEmpty() ? "small-en.nemo" : "small-multi.nemo";
        try {
            ModelImporter::importCheckpoint(nemoFixturePath(checkpoint), folder.toStdString(),
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
        const auto counts =
            Npy::read(fixture(reference + "/chunk_token_counts.npy").toStdString()).ints;
        QCOMPARE(runToCompletion(manager.snapshot()).processedChunks, int(counts.size()) - 1);
        QCOMPARE(runToCompletion(manager.finish()),
                 QString::fromUtf8(readTestFile(fixture(reference + "/text.txt"))));
        const Tokenizer tokenizer(QDir(folder).filePath(ModelNames::NemotronStreaming::tokenizer),
                                  runToCompletion(manager.config()).langTagPattern);
        QCOMPARE(partials, referencePartials(tokenizer, reference, counts));
    }
};

QTEST_GUILESS_MAIN(NemoFixtureRecognitionTest)
#include "NemoFixtureRecognitionTest.moc"
