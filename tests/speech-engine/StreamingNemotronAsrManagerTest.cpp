#include "speech-engine/StreamingNemotronAsrManager.h"
#include "tests/speech-engine/ModelFolder.h"
#include "tests/speech-engine/TinyModels.h"
#include "tests/support/RunToCompletion.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>
#include <qcoro/qcorotask.h>

namespace {

using TinyModels::chunkEmitting;
using TinyModels::chunkSamples;
using TinyModels::monoSamples;

// Emits, per chunk, the tokens: number of all-zero cached frames (0-9), 20 + cache length,
// 40 + the chunk's first frame, 60 + the last cached frame, 80 + mel_length - 65.
const std::string probeEncoderSource = R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
    zero_frames = (mel[0, :, 0:9].abs().sum(0) == 0).sum()
    ids = torch.stack([zero_frames, cache_len[0].long() + 20, mel[0, 0, 9].round().long() + 40,
                       mel[0, 0, 8].round().long() + 60, mel_length[0].long() + 15])
    return {"encoded": torch.one_hot(ids, 129).t().unsqueeze(0).float(),
            "cache_channel_out": cache_channel, "cache_time_out": cache_time,
            "cache_len_out": cache_len + 1}
)";

// Token 3 and token 5 tie for the best score at every step.
const std::string tiedJointSource = R"(
def forward(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
    logits = torch.zeros(1, 129)
    logits[0, 5] = 2.0
    logits[0, 3] = 2.0
    return {"logits": logits}
)";

constexpr int hello = 1, world = 2, again = 3;

QStringList testTokens() {
    QStringList tokens;
    for (int id = 0; id < 128; ++id) {
        tokens << QStringLiteral("▁t%1").arg(id);
    }
    tokens[hello] = QStringLiteral("▁hello");
    tokens[world] = QStringLiteral("▁world");
    tokens[again] = QStringLiteral("▁again");
    return tokens;
}

template <typename T> QString failureOf(QCoro::Task<T> task) {
    try {
        runToCompletion(std::move(task));
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    }
    return QStringLiteral("no failure");
}

} // namespace

class StreamingNemotronAsrManagerTest : public QObject {
    Q_OBJECT

private:
    QString modelFolder(const ModelSources& sources) {
        const auto folder = m_root.filePath(QString::number(m_folders++));
        writeModelFolder(folder, sources, TinyModels::metadata(), testTokens());
        return folder;
    }

    std::unique_ptr<StreamingNemotronAsrManager> loadedManager(const ModelSources& sources) {
        auto manager = std::make_unique<StreamingNemotronAsrManager>();
        runToCompletion(manager->loadModelsFrom(modelFolder(sources)));
        return manager;
    }

    QTemporaryDir m_root;
    int m_folders = 0;
    const ModelSources m_models{{TinyModels::preprocessor},
                                {TinyModels::spellingEncoder},
                                {TinyModels::decoder},
                                {TinyModels::joint}};

private slots:
    void refusesToProcessUntilLoaded() {
        StreamingNemotronAsrManager manager;
        QCOMPARE(runToCompletion(manager.getPartialTranscript()), QString());
        QCOMPARE(runToCompletion(manager.displayName()), QStringLiteral("Nemotron 0.6B (1120ms)"));
        runToCompletion(manager.appendAudio(monoSamples(100)));
        QCOMPARE(failureOf(manager.processBufferedAudio()),
                 QStringLiteral("Nemotron is not initialized."));
        QCOMPARE(failureOf(manager.process(monoSamples(100))),
                 QStringLiteral("Nemotron is not initialized."));
        QCOMPARE(failureOf(manager.finish()), QStringLiteral("Nemotron is not initialized."));
        QCOMPARE(runToCompletion(manager.snapshot()).bufferedSamples, 100u);
    }

    void processesOnlyWholeChunks() {
        auto manager = loadedManager(m_models);
        QCOMPARE(runToCompletion(manager->displayName()), QStringLiteral("Nemotron 0.6B (560ms)"));
        QCOMPARE(runToCompletion(manager->process(monoSamples(8000))), QString());
        QCOMPARE(runToCompletion(manager->snapshot()).bufferedSamples, 8000u);
        QCOMPARE(runToCompletion(manager->snapshot()).processedChunks, 0);

        QCOMPARE(runToCompletion(manager->process(monoSamples(8000))), QString());
        const auto state = runToCompletion(manager->snapshot());
        QCOMPARE(state.processedChunks, 1);
        QCOMPARE(state.bufferedSamples, 7040u);
    }

    void finishPadsTheRestAndEmptiesTheUtterance() {
        auto manager = loadedManager(m_models);
        auto samples = monoSamples(100);
        samples.samples<float>(0)[0] = float(hello + 1);
        runToCompletion(manager->appendAudio(samples));

        QCOMPARE(runToCompletion(manager->finish()), QStringLiteral("hello"));
        auto state = runToCompletion(manager->snapshot());
        QCOMPARE(state.processedChunks, 1);
        QCOMPARE(state.bufferedSamples, 0u);
        QVERIFY(state.accumulatedTokenIds.empty());

        // With nothing buffered, finish only decodes what is there and runs no model.
        runToCompletion(manager->process(chunkEmitting({world})));
        QCOMPARE(runToCompletion(manager->finish()), QStringLiteral("world"));
        QCOMPARE(runToCompletion(manager->finish()), QString());
        QCOMPARE(runToCompletion(manager->snapshot()).processedChunks, 2);
    }

    void chunksSeeCachedMelFramesAndCacheLength() {
        auto manager = loadedManager({{TinyModels::preprocessor},
                                      {probeEncoderSource},
                                      {TinyModels::decoder},
                                      {TinyModels::joint}});
        runToCompletion(manager->process(monoSamples(chunkSamples, 5)));
        runToCompletion(manager->process(monoSamples(chunkSamples, 7)));
        using Ids = std::vector<std::int64_t>;
        QCOMPARE(runToCompletion(manager->snapshot()).accumulatedTokenIds,
                 (Ids{9, 21, 45, 60, 80, 0, 22, 47, 65, 80}));

        runToCompletion(manager->reset());
        QCOMPARE(runToCompletion(manager->snapshot()).lastToken, 128);
        runToCompletion(manager->process(monoSamples(chunkSamples, 3)));
        QCOMPARE(runToCompletion(manager->snapshot()).accumulatedTokenIds,
                 (Ids{9, 21, 43, 60, 80}));
    }

    void emitsAtMostTenTokensPerFrameTakingTheLowestOfEqualScores() {
        auto manager = loadedManager({{TinyModels::preprocessor},
                                      {TinyModels::spellingEncoder},
                                      {TinyModels::decoder},
                                      {tiedJointSource}});
        QStringList partials;
        runToCompletion(
            manager->setPartialCallback([&](const QString& text) { partials << text; }));
        runToCompletion(manager->process(monoSamples(chunkSamples)));

        const auto state = runToCompletion(manager->snapshot());
        QCOMPARE(state.accumulatedTokenIds, std::vector<std::int64_t>(56 * 10, 3));
        QCOMPARE(state.lastToken, 3);
        QCOMPARE(partials.size(), 1);
        QCOMPARE(partials[0].count(QStringLiteral("again")), 560);
    }

    void callbackGetsTheRunningTranscriptOfChunksWithTokens() {
        auto manager = loadedManager(m_models);
        QStringList partials;
        runToCompletion(
            manager->setPartialTranscriptCallback([&](const QString& text) { partials << text; }));

        runToCompletion(manager->process(chunkEmitting({hello, world})));
        const auto afterWords = runToCompletion(manager->snapshot());
        QCOMPARE(afterWords.lastToken, world);
        QCOMPARE(afterWords.hState, std::vector<float>(4, 2.0f));

        // Blanks everywhere: nothing emitted, no call, decoder state as it was.
        runToCompletion(manager->process(chunkEmitting({})));
        const auto afterSilence = runToCompletion(manager->snapshot());
        QCOMPARE(afterSilence.lastToken, afterWords.lastToken);
        QCOMPARE(afterSilence.hState, afterWords.hState);
        QCOMPARE(afterSilence.cState, afterWords.cState);
        QCOMPARE(partials, QStringList{QStringLiteral("hello world")});

        runToCompletion(manager->process(chunkEmitting({again})));
        QCOMPARE(partials,
                 (QStringList{QStringLiteral("hello world"), QStringLiteral("hello world again")}));
        QCOMPARE(runToCompletion(manager->getPartialTranscript()),
                 QStringLiteral("hello world again"));
    }

    void cleanupUnloadsUntilTheNextLoad() {
        auto manager = loadedManager(m_models);
        runToCompletion(manager->cleanup());
        QCOMPARE(failureOf(manager->process(chunkEmitting({hello}))),
                 QStringLiteral("Nemotron is not initialized."));
        QCOMPARE(runToCompletion(manager->getPartialTranscript()), QString());

        runToCompletion(manager->loadModelsFrom(modelFolder(m_models)));
        runToCompletion(manager->reset());
        runToCompletion(manager->process(chunkEmitting({hello})));
        QCOMPARE(runToCompletion(manager->getPartialTranscript()), QStringLiteral("hello"));
    }

    void failingChunkKeepsItsSamples_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("failure");
        const QString encoderHead = R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
)";
        QTest::newRow("no mel")
            << "preprocessor"
            << R"(
def forward(self, audio: Tensor, audio_length: Tensor) -> Dict[str, Tensor]:
    return {"spectrogram": audio.unsqueeze(0)}
)"
            << "Speech recognition failed: Preprocessor failed to produce mel output";
        QTest::newRow("no encoded")
            << "encoder" << encoderHead + R"(
    return {"cache_len_out": cache_len + 1}
)"
            << "Speech recognition failed: Encoder failed to produce output";
        QTest::newRow("encoded of doubles")
            << "encoder" << encoderHead + R"(
    return {"encoded": torch.zeros(1, 129, 4).double()}
)"
            << "Speech recognition failed: Encoder failed to produce output";
        const QString cacheFailure =
            "Speech recognition failed: Encoder returned its caches with another type or shape";
        QTest::newRow("cache length of floats") << "encoder" << encoderHead + R"(
    return {"encoded": torch.zeros(1, 129, 4), "cache_channel_out": cache_channel,
            "cache_time_out": cache_time, "cache_len_out": cache_len.float() + 1}
)" << cacheFailure;
        QTest::newRow("cache channel cut short") << "encoder" << encoderHead + R"(
    return {"encoded": torch.zeros(1, 129, 4), "cache_channel_out": cache_channel[:, :, :1],
            "cache_time_out": cache_time, "cache_len_out": cache_len + 1}
)" << cacheFailure;
        QTest::newRow("no cache time") << "encoder" << encoderHead + R"(
    return {"encoded": torch.zeros(1, 129, 4), "cache_channel_out": cache_channel,
            "cache_len_out": cache_len + 1}
)" << cacheFailure;
        QTest::newRow("failing encoder") << "encoder" << encoderHead + R"(
    return {"encoded": mel[5]}
)"
                                         << "out of range";
        QTest::newRow("no cell state") << "decoder"
                                       << R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    return {"decoder_out": torch.zeros(1, 129, 1), "h_out": h_in}
)"
                                       << "Speech recognition failed: Decoder failed";
        QTest::newRow("no logits") << "joint"
                                   << R"(
def forward(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
    return {"scores": encoder}
)"
                                   << "Speech recognition failed: Joint failed";
    }

    void failingChunkKeepsItsSamples() {
        QFETCH(QString, model);
        QFETCH(QString, source);
        QFETCH(QString, failure);
        auto sources = m_models;
        auto& replaced = model == "preprocessor" ? sources.preprocessor
                         : model == "encoder"    ? sources.encoder
                         : model == "decoder"    ? sources.decoder
                                                 : sources.joint;
        replaced.source = source.toStdString();
        auto manager = loadedManager(sources);

        const auto error = failureOf(manager->process(chunkEmitting({hello})));
        QVERIFY2(error.contains(failure), qPrintable(error));
        const auto state = runToCompletion(manager->snapshot());
        QCOMPARE(state.bufferedSamples, std::size_t(chunkSamples));
        QCOMPARE(state.processedChunks, 0);
    }
};

QTEST_GUILESS_MAIN(StreamingNemotronAsrManagerTest)
#include "StreamingNemotronAsrManagerTest.moc"
