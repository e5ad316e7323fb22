#include "speech-engine/streaming/StreamingNemotronAsrManager.h"
#include "tests/speech-engine/models/ModelFolder.h"
#include "tests/speech-engine/models/TinyModels.h"
#include "tests/support/RunToCompletion.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

using namespace TinyModels;

// Emits, per chunk, the tokens 100 + the number of all-zero cached frames, 20 + cache length,
// 30 + the chunk's new frames and 90 + mel_length minus the frames given.
const std::string probeEncoder = R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
    zero_frames = (mel[0, :, 0:9].abs().sum(0) == 0).sum()
    ids = torch.stack([zero_frames + 100, cache_len[0].long() + 20,
                       torch.tensor(mel.size(2) - 9 + 30), mel_length[0].long() - mel.size(2) + 90])
    return {"encoded": torch.one_hot(ids, 129).t().unsqueeze(0).float(),
            "cache_channel_out": cache_channel, "cache_time_out": cache_time,
            "cache_len_out": cache_len + 1}
)";

// Chunks the probe encoder saw: the cached frames that were zero and the new frames of each.
using Chunks = QList<std::pair<int, int>>;

QString probeText(const Chunks& chunks) {
    QStringList words;
    for (int chunk = 0; chunk < chunks.size(); ++chunk)
        words << QStringLiteral("t%1 t%2 t%3 t90")
                     .arg(100 + chunks[chunk].first)
                     .arg(20 + chunk)
                     .arg(30 + chunks[chunk].second);
    return words.join(u' ');
}

// 16 kHz mono samples first + 1, first + 2, ...: every sample names its own position.
PcmBuffer ramp(int first, int count) {
    auto buffer = monoSamples(count);
    for (int i = 0; i < count; ++i)
        buffer.samples<float>(0)[i] = float(first + i + 1);
    return buffer;
}

// `length` samples in 20 ms blocks.
QList<int> twentyMs(int length) {
    QList<int> blocks(length / 320, 320);
    if (length % 320)
        blocks << length % 320;
    return blocks;
}

// Bins 0 to 3 of mel frame `frame` of a ramp of `length` samples (-1: still going on) as the
// tiny preprocessor shows them: the centre sample, the window's first and last samples, the
// pre-emphasis sample; zero outside the signal, and all zero for a frame its end masks.
QList<float> rampFrame(int frame, int length) {
    const bool ended = length >= 0;
    if (frame < 0 || (ended && frame >= length / 160))
        return {0, 0, 0, 0};
    const auto sample = [&](int at) {
        return at < 0 || (ended && at >= length) ? 0.0f : float(at + 1);
    };
    return {sample(160 * frame), sample(160 * frame - 256), sample(160 * frame + 255),
            sample(160 * frame - 257)};
}

// Bins 0 to 3 of the cached frames [8 bins, frames] must be those of frames [end - 9, end).
void compareCachedFrames(const std::vector<float>& melCache, int end, int length) {
    const auto frames = int(melCache.size() / 8);
    QCOMPARE(frames, 9);
    for (int frame = 0; frame < frames; ++frame)
        QCOMPARE((QList<float>{melCache[frame], melCache[frames + frame],
                               melCache[2 * frames + frame], melCache[3 * frames + frame]}),
                 rampFrame(end - 9 + frame, length));
}

constexpr int hello = 1, world = 2, again = 3;

QStringList testTokens() {
    QStringList tokens;
    for (int id = 0; id < 128; ++id)
        tokens << QStringLiteral("▁t%1").arg(id);
    tokens[hello] = QStringLiteral("▁hello");
    tokens[world] = QStringLiteral("▁world");
    tokens[again] = QStringLiteral("▁again");
    return tokens;
}

PcmBuffer withLookahead(PcmBuffer chunk) {
    chunk.setFrameLength(chunk.frameLength() + lookaheadSamples);
    return chunk;
}

QJsonObject metadataWith(const QJsonObject& changes) {
    auto metadata = TinyModels::metadata();
    for (auto change = changes.begin(); change != changes.end(); ++change)
        metadata.insert(change.key(), change.value());
    return metadata;
}

} // namespace

class StreamingNemotronAsrManagerTest : public QObject {
    Q_OBJECT

    QString modelFolder(const ModelSources& sources, const QJsonObject& metadata) {
        const auto folder = m_root.filePath(QString::number(m_folders++));
        writeModelFolder(folder, sources, metadata, testTokens());
        return folder;
    }
    std::unique_ptr<StreamingNemotronAsrManager>
    loaded(const ModelSources& sources, const QJsonObject& metadata = TinyModels::metadata()) {
        auto manager = std::make_unique<StreamingNemotronAsrManager>();
        runToCompletion(manager->loadModelsFrom(modelFolder(sources, metadata)));
        return manager;
    }

    QTemporaryDir m_root;
    int m_folders = 0;
    const ModelSources m_models{{preprocessor}, {spellingEncoder}, {decoder}, {joint}};
    const ModelSources m_probe{{preprocessor}, {probeEncoder}, {decoder}, {joint}};

private slots:
    // Never loaded, unloaded by cleanup, or after a folder that failed to load (decoding needs
    // the joint's projections apart): every call that needs the models says so, and the samples
    // of a refused call are kept, as those of a failing chunk are.
    void refusesToProcessWithoutModels() {
        StreamingNemotronAsrManager manager;
        QCOMPARE(runToCompletion(manager.displayName()), QStringLiteral("Nemotron 0.6B (1120ms)"));
        runToCompletion(manager.appendAudio(monoSamples(100)));
        const auto notInitialized = QStringLiteral("Nemotron is not initialized.");
        QCOMPARE(taskFailure(manager.processBufferedAudio()), notInitialized);
        QCOMPARE(taskFailure(manager.process(monoSamples(100))), notInitialized);
        QCOMPARE(taskFailure(manager.finish()), notInitialized);
        QCOMPARE(runToCompletion(manager.snapshot()).bufferedSamples, 200u);

        auto unloaded = loaded(m_models);
        runToCompletion(unloaded->cleanup());
        QCOMPARE(taskFailure(unloaded->process(withLookahead(chunkEmitting({hello})))),
                 notInitialized);
        QCOMPARE(runToCompletion(unloaded->getPartialTranscript()), QString());
        auto withoutProjections = m_models;
        withoutProjections.joint.source = R"(
def forward(self, encoder: Tensor, decoder: Tensor) -> Dict[str, Tensor]:
    return {"logits": encoder}
)";
        const auto folder = modelFolder(withoutProjections, TinyModels::metadata());
        QVERIFY(
            taskFailure(unloaded->loadModelsFrom(folder)).contains("no method project_encoder"));
        QCOMPARE(taskFailure(unloaded->process(monoSamples(1))), notInitialized);

        runToCompletion(unloaded->loadModelsFrom(modelFolder(m_models, TinyModels::metadata())));
        runToCompletion(unloaded->reset());
        runToCompletion(unloaded->process(withLookahead(chunkEmitting({hello}))));
        QCOMPARE(runToCompletion(unloaded->getPartialTranscript()), QStringLiteral("hello"));
    }

    // A chunk runs once its last frame's window is buffered, and only the call that completes
    // it hops onto the recognizer's executor. The chunks see the frames of the continuous
    // signal: each frame's window where it lies in the signal, across chunk edges; the signal's
    // end masks its last frame and cuts the windows that reach past it.
    void chunksSeeTheFramesOfTheWholeSignal_data() {
        QTest::addColumn<int>("chunkFrames");
        QTest::addColumn<QList<int>>("blocks");
        QTest::addColumn<bool>("finished");
        QTest::addColumn<Chunks>("chunks");
        QTest::addColumn<int>("hops");
        const int chunk = chunkSamples, lookahead = lookaheadSamples;
        const Chunks one{{9, 56}}, two{{9, 56}, {0, 56}};
        QTest::newRow("half a chunk") << 56 << QList{8000} << false << Chunks{} << 0;
        QTest::newRow("two halves") << 56 << QList{8000, 8000} << false << one << 1;
        QTest::newRow("no lookahead") << 56 << QList{chunk} << false << Chunks{} << 0;
        QTest::newRow("one sample short")
            << 56 << QList{chunk, lookahead - 1} << false << Chunks{} << 0;
        QTest::newRow("with lookahead") << 56 << QList{chunk, lookahead} << false << one << 1;
        QTest::newRow("two at once") << 56 << QList{2 * chunk + lookahead} << false << two << 1;
        QTest::newRow("20 ms blocks") << 56 << twentyMs(2 * chunk + lookahead) << false << two << 2;
        QTest::newRow("last full chunk runs at the end")
            << 56 << twentyMs(2 * chunk - 160) << true << two << 1;
        QTest::newRow("short final chunk")
            << 56 << twentyMs(chunk + 20 * 160) << true << Chunks{{9, 56}, {0, 21}} << 1;
        QTest::newRow("remainder of the least length")
            << 56 << twentyMs(chunk + 7 * 160) << true << Chunks{{9, 56}, {0, 8}} << 1;
        QTest::newRow("shorter remainder dropped")
            << 56 << twentyMs(chunk + 6 * 160) << true << one << 1;
        QTest::newRow("reply shorter than a chunk")
            << 56 << twentyMs(3000) << true << Chunks{{9, 19}} << 0;
        QTest::newRow("nothing heard") << 56 << QList<int>{} << true << Chunks{} << 0;
        QTest::newRow("chunks shorter than the cache")
            << 8 << twentyMs(3 * 1280 + lookahead) << false << Chunks{{9, 8}, {1, 8}, {0, 8}} << 3;
        QTest::newRow("short chunks to the end")
            << 8 << twentyMs(4960) << true << Chunks{{9, 8}, {1, 8}, {0, 8}, {0, 8}} << 3;
    }
    void chunksSeeTheFramesOfTheWholeSignal() {
        QFETCH(int, chunkFrames);
        QFETCH(QList<int>, blocks);
        QFETCH(bool, finished);
        QFETCH(Chunks, chunks);
        QFETCH(int, hops);
        auto manager = loaded(m_probe, metadataWith({{"chunk_mel_frames", chunkFrames},
                                                     {"chunk_ms", chunkFrames * 10}}));
        QCOMPARE(runToCompletion(manager->displayName()),
                 QStringLiteral("Nemotron 0.6B (%1ms)").arg(chunkFrames * 10));
        const auto hopsBefore = manager->executorHops();
        int length = 0;
        for (const int block : blocks) {
            QCOMPARE(runToCompletion(manager->process(ramp(length, block))), QString());
            length += block;
        }
        QCOMPARE(manager->executorHops() - hopsBefore, std::uint64_t(hops));
        const auto text = finished ? runToCompletion(manager->finish())
                                   : runToCompletion(manager->getPartialTranscript());
        QCOMPARE(text, probeText(chunks));
        const auto state = runToCompletion(manager->snapshot());
        QCOMPARE(state.processedChunks, chunks.size());
        int endFrame = 0;
        for (const auto& chunk : chunks)
            endFrame += chunk.second;
        QCOMPARE(state.bufferedSamples, std::size_t(finished ? 0 : length - 160 * endFrame));
        compareCachedFrames(state.melCache, endFrame, finished ? length : -1);
    }

    // Finishing decodes what is left, resetting starts afresh, and the samples given after
    // either call belong to the next signal, even those given before it has run.
    void finishedSignalIsFollowedByANewOne() {
        auto manager = loaded(m_probe);
        runToCompletion(manager->process(ramp(0, chunkSamples + 20 * 160)));
        auto finishing = manager->finish();
        auto resetting = manager->reset();
        auto next = manager->process(ramp(0, 3000));
        QCOMPARE(runToCompletion(std::move(finishing)), probeText({{9, 56}, {0, 21}}));
        runToCompletion(std::move(resetting));
        runToCompletion(std::move(next));
        QCOMPARE(runToCompletion(manager->finish()), probeText({{9, 19}}));
        compareCachedFrames(runToCompletion(manager->snapshot()).melCache, 19, 3000);
        QCOMPARE(runToCompletion(manager->finish()), QString());

        runToCompletion(manager->reset());
        const auto state = runToCompletion(manager->snapshot());
        QCOMPARE(state.lastToken, 128);
        QCOMPARE(state.bufferedSamples, 0u);
        QVERIFY(state.accumulatedTokenIds.empty());
    }

    void emitsAtMostSomeTokensPerFrameTakingTheLowestOfEqualScores_data() {
        QTest::addColumn<QJsonObject>("metadata");
        QTest::addColumn<int>("symbols");
        QTest::newRow("default") << TinyModels::metadata() << 10;
        QTest::newRow("from metadata") << metadataWith({{"max_symbols_per_frame", 3}}) << 3;
    }
    void emitsAtMostSomeTokensPerFrameTakingTheLowestOfEqualScores() {
        QFETCH(QJsonObject, metadata);
        QFETCH(int, symbols);
        // Tokens 3 and 5 tie for the best score at every step.
        auto manager = loaded({{preprocessor}, {spellingEncoder}, {decoder}, {jointScoring(R"(
    logits = torch.zeros(1, 129)
    logits[0, 5] = 2.0
    logits[0, 3] = 2.0
    return {"logits": logits})")}},
                              metadata);
        QStringList partials;
        runToCompletion(
            manager->setPartialCallback([&](const QString& text) { partials << text; }));
        runToCompletion(manager->process(monoSamples(chunkSamples + lookaheadSamples)));
        const auto state = runToCompletion(manager->snapshot());
        QCOMPARE(state.accumulatedTokenIds, std::vector<std::int64_t>(56 * symbols, 3));
        QCOMPARE(state.lastToken, 3);
        QCOMPARE(partials.size(), 1);
        QCOMPARE(partials[0].count(QStringLiteral("again")), 56 * symbols);
    }

    void callbackGetsTheRunningTranscriptOfChunksWithTokens() {
        auto manager = loaded(m_models);
        QStringList partials;
        runToCompletion(
            manager->setPartialTranscriptCallback([&](const QString& text) { partials << text; }));
        // A chunk waits for the window of its last frame, which reaches into the next chunk.
        runToCompletion(manager->process(chunkEmitting({hello, world})));
        QVERIFY(partials.isEmpty());
        runToCompletion(manager->process(chunkEmitting({})));
        const auto afterWords = runToCompletion(manager->snapshot());
        QCOMPARE(afterWords.lastToken, world);
        QCOMPARE(afterWords.hState, std::vector<float>(4, 2.0f));

        // Blanks everywhere: nothing emitted, no call, decoder state as it was.
        runToCompletion(manager->process(chunkEmitting({again})));
        const auto afterSilence = runToCompletion(manager->snapshot());
        QCOMPARE(afterSilence.hState, afterWords.hState);
        QCOMPARE(afterSilence.cState, afterWords.cState);
        QCOMPARE(partials, QStringList{QStringLiteral("hello world")});

        runToCompletion(manager->process(monoSamples(lookaheadSamples)));
        QCOMPARE(partials.last(), QStringLiteral("hello world again"));
        QCOMPARE(runToCompletion(manager->finish()), QStringLiteral("hello world again"));
    }

    // An encoder step that yields no frames is a chunk of nothing: done, and nothing emitted.
    void chunkWithoutEncodedFramesEmitsNothing() {
        auto sources = m_models;
        sources.encoder.source = R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
    return {"encoded": torch.zeros(1, 129, 0), "cache_channel_out": cache_channel,
            "cache_time_out": cache_time, "cache_len_out": cache_len + 1}
)";
        auto manager = loaded(sources);
        runToCompletion(manager->process(withLookahead(chunkEmitting({hello}))));
        const auto state = runToCompletion(manager->snapshot());
        QCOMPARE(state.processedChunks, 1);
        QVERIFY(state.accumulatedTokenIds.empty());
    }

    // A model that fails, whatever way, fails the call that ran it; the chunk runs again.
    void failingChunkKeepsItsSamples_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("failure");
        const auto encoder = [](const QString& body) {
            return R"(
def forward(self, mel: Tensor, mel_length: Tensor, cache_channel: Tensor, cache_time: Tensor,
            cache_len: Tensor) -> Dict[str, Tensor]:
)" + body + "\n";
        };
        const QString cacheFailure = "Encoder returned its caches with another type or shape";
        QTest::newRow("no mel") << "preprocessor"
                                << R"(
def forward(self, audio: Tensor, audio_length: Tensor) -> Dict[str, Tensor]:
    return {"spectrogram": audio.unsqueeze(0)}
)"
                                << "Preprocessor failed to produce mel output";
        QTest::newRow("no encoded")
            << "encoder" << encoder(R"(    return {"cache_len_out": cache_len + 1})")
            << "Encoder failed to produce output";
        QTest::newRow("encoded of doubles")
            << "encoder" << encoder(R"(    return {"encoded": torch.zeros(1, 129, 4).double()})")
            << "Encoder failed to produce output";
        QTest::newRow("cache length of floats") << "encoder" << encoder(R"(
    return {"encoded": torch.zeros(1, 129, 4), "cache_channel_out": cache_channel,
            "cache_time_out": cache_time, "cache_len_out": cache_len.float() + 1}
)") << cacheFailure;
        QTest::newRow("cache channel cut short") << "encoder" << encoder(R"(
    return {"encoded": torch.zeros(1, 129, 4), "cache_channel_out": cache_channel[:, :, :1],
            "cache_time_out": cache_time, "cache_len_out": cache_len + 1}
)") << cacheFailure;
        QTest::newRow("script raises") << "encoder" << encoder(R"(
    assert mel_length[0] < 0, "encoder broke"
    return {"encoded": mel}
)") << "Model prediction failed: RuntimeError: AssertionError: encoder broke";
        QTest::newRow("index out of range") << "decoder"
                                            << R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    return {"decoder_out": h_in[5:6], "h_out": h_in, "c_out": c_in[7]}
)"
                                            << "out of range";
        QTest::newRow("no cell state") << "decoder"
                                       << R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    return {"decoder_out": torch.zeros(1, 129, 1), "h_out": h_in}
)"
                                       << "Decoder failed";
        // The first token is decoded before the prediction network fails on it.
        QTest::newRow("decoder failing after a token") << "decoder"
                                                       << R"(
def forward(self, token: Tensor, token_length: Tensor, h_in: Tensor, c_in: Tensor) -> Dict[str, Tensor]:
    assert bool(token.reshape(-1)[0] == 128), "decoder broke after a token"
    return {"decoder_out": torch.zeros(1, 129, 1), "h_out": h_in + 1.0, "c_out": c_in - 1.0}
)"
                                                       << "decoder broke after a token";
        QTest::newRow("no logits")
            << "joint" << QString::fromStdString(jointScoring(R"(    return {"scores": encoder})"))
            << "Joint failed";
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
        auto manager = loaded(sources);
        const auto before = runToCompletion(manager->snapshot());
        const auto error = taskFailure(manager->process(withLookahead(chunkEmitting({hello}))));
        QVERIFY2(error.contains(failure), qPrintable(error));
        const auto state = runToCompletion(manager->snapshot());
        QCOMPARE(state.bufferedSamples, std::size_t(chunkSamples + lookaheadSamples));
        QCOMPARE(state.processedChunks, 0);
        QCOMPARE(state.accumulatedTokenIds, before.accumulatedTokenIds);
        QCOMPARE(state.lastToken, before.lastToken);
        QCOMPARE(state.hState, before.hState);
        QCOMPARE(state.cState, before.cState);
    }
};

QTEST_GUILESS_MAIN(StreamingNemotronAsrManagerTest)
#include "StreamingNemotronAsrManagerTest.moc"
