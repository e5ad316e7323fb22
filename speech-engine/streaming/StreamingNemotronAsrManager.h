#pragma once

#include "speech-engine/audio/AudioConverter.h"
#include "speech-engine/audio/SampleIntake.h"
#include "speech-engine/core/AppLogger.h"
#include "speech-engine/core/SerialExecutor.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/model-files/NemotronChunkSize.h"
#include "speech-engine/model-files/NemotronStreamingConfig.h"
#include "speech-engine/model-files/Tokenizer.h"
#include "speech-engine/runtime/ModelRunner.h"
#include "speech-engine/runtime/MultiArray.h"
#include "speech-engine/streaming/StreamingAsrManager.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

// The on-device streaming recognizer: buffers 16 kHz mono samples of one continuous signal and
// runs each chunk of new mel frames, once the last frame's window is buffered, through the
// preprocessor and the cache-aware encoder, then greedy transducer decoding with the decoder
// and joint, carrying encoder caches, mel frames and decoder state from chunk to chunk. The
// preprocessor sees the samples around each chunk, so the chunks' frames are those of the
// whole signal. `finish` ends the signal; `reset` starts a new one. Samples are taken in on the
// caller's thread; everything else runs one operation at a time on the recognizer's own
// executor, and appending hops there only when the samples complete a chunk. The samples
// appended before `finish` or `reset` is called belong to the signal it ends.
class StreamingNemotronAsrManager : public StreamingAsrManager {
public:
    // What a chunk leaves behind, for callers that need to look inside.
    struct Snapshot {
        // Samples of the signal after the last processed chunk's frames.
        std::size_t bufferedSamples = 0;
        std::vector<std::int64_t> accumulatedTokenIds;
        int processedChunks = 0;
        std::int32_t lastToken = 0;
        std::vector<float> hState;
        std::vector<float> cState;
        // The mel frames the next chunk gets in front of its own, bin-major [bins, frames].
        std::vector<float> melCache;
    };

    // Without a chunk size, loading uses the 1120 ms variant.
    explicit StreamingNemotronAsrManager(
        ModelConfiguration configuration = {},
        std::optional<NemotronChunkSize> requestedChunkSize = std::nullopt);
    ~StreamingNemotronAsrManager() override;

    // Loads the variant of the requested chunk size from `to` (default: the per-user models
    // root), downloading and importing it first when it is not there; a stop request ends
    // that at once.
    QCoro::Task<> loadModels(std::optional<QString> to,
                             std::optional<ModelConfiguration> configuration,
                             NemotronModelDownloader::ProgressHandler progressHandler,
                             std::stop_token stop = {});
    QCoro::Task<> loadModels() override;
    // Loads the models, "tokenizer.json" and, when present, "metadata.json" of one variant folder.
    QCoro::Task<> loadModelsFrom(QString folder);

    QCoro::Task<> setPartialCallback(PartialTranscriptCallback callback);
    QCoro::Task<> setPartialTranscriptCallback(PartialTranscriptCallback callback) override;
    QCoro::Task<> appendAudio(PcmBuffer buffer) override;
    // Any thread, without waiting: takes the block in and tells whether a chunk is now due, that
    // is whether processBufferedAudio has work. Throws what the converter throws.
    bool takeIn(const PcmBuffer& buffer) { return m_intake.append(buffer); }
    QCoro::Task<> processBufferedAudio() override;
    // Appends and processes; text reaches callers only through the partial callback.
    QCoro::Task<QString> process(PcmBuffer audioBuffer);
    QCoro::Task<QString> finish() override;
    QCoro::Task<> reset() override;
    QCoro::Task<> cleanup() override;
    QCoro::Task<QString> getPartialTranscript() override;
    QCoro::Task<QString> displayName() override;
    QCoro::Task<NemotronStreamingConfig> config();
    QCoro::Task<ModelConfiguration> mlConfiguration();
    QCoro::Task<Snapshot> snapshot();
    // Operations that have hopped onto the executor so far.
    std::uint64_t executorHops() const { return m_executor.jobsGiven(); }

private:
    // Runs `job` on the executor after the samples appended so far reach the buffer, and tells
    // the intake where the next chunk becomes possible afterwards.
    template <typename Job> auto onExecutor(Job job);

    // Everything below runs on the executor.
    void takeIntake();
    void updateDuePosition();
    void loadFromFolder(const QString& folder);
    void processBuffered();
    // `signalEnd`: the intake position at which the signal ends.
    QString finishUtterance(std::int64_t signalEnd);
    void resetStreamingState(std::int64_t signalEnd);
    void resetDecodingState();
    // The next signal starts at intake position `start`; samples from there on are kept.
    void startSignal(std::int64_t start);
    void releaseResources(std::int64_t signalEnd);
    bool modelsLoaded() const;
    void requireModels() const;
    std::int64_t receivedSamples() const;
    bool nextChunkIsBuffered() const;
    QString transcript() const;

    // The pipeline of one chunk (StreamingNemotronAsrManagerPipeline.cpp): mel frames
    // [m_nextFrame, endFrame) of the signal, which has ended after `signalEnd` samples when
    // that is known.
    void processChunk(std::int64_t endFrame, std::optional<std::int64_t> signalEnd);
    MultiArray runPreprocessor(std::int64_t endFrame, std::optional<std::int64_t> signalEnd) const;
    MultiArray prependMelCache(const MultiArray& mel, std::int64_t frames) const;
    MultiArray runEncoder(const MultiArray& mel);
    void decodeChunk(const MultiArray& encoded);
    struct Prediction {
        MultiArray projected; // the decoder's output in the joint's hidden space, [1, 1, J]
        MultiArray h;
        MultiArray c;
    };
    // The prediction network on the last token and the state before it, run once per token.
    const Prediction& prediction();
    // Both arguments already projected into the joint's hidden space.
    std::int64_t bestSymbol(const MultiArray& encoderStep, const MultiArray& prediction) const;

    AppLogger m_logger{QStringLiteral("NemotronStreaming")};
    std::unique_ptr<ModelRunner> m_preprocessor;
    std::unique_ptr<ModelRunner> m_encoder;
    std::unique_ptr<ModelRunner> m_decoder;
    std::unique_ptr<ModelRunner> m_joint;
    SampleIntake m_intake;
    std::unique_ptr<Tokenizer> m_tokenizer;
    NemotronStreamingConfig m_config;
    // The intake position of the signal's first sample.
    std::int64_t m_signalStart = 0;
    // Samples of the signal from m_bufferStart on: what the next chunk's frames reach back to,
    // and everything after it.
    std::vector<float> m_audioBuffer;
    std::int64_t m_bufferStart = 0;
    // The first mel frame of the signal that no chunk has processed yet.
    std::int64_t m_nextFrame = 0;
    std::vector<std::int64_t> m_accumulatedTokenIds;
    std::optional<MultiArray> m_cacheChannel;
    std::optional<MultiArray> m_cacheTime;
    std::optional<MultiArray> m_cacheLen;
    std::optional<MultiArray> m_melCache;
    std::optional<MultiArray> m_hState;
    std::optional<MultiArray> m_cState;
    std::int32_t m_lastToken = 1024;
    std::optional<Prediction> m_prediction;
    PartialTranscriptCallback m_partialCallback;
    std::optional<NemotronChunkSize> m_requestedChunkSize;
    int m_processedChunks = 0;
    ModelConfiguration m_mlConfiguration;
    // Last, so that it stops, and lets the running operation end, before any other member goes.
    SerialExecutor m_executor{QStringLiteral("NemotronStreaming")};
};
