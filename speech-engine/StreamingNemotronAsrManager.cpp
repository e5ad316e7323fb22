#include "speech-engine/StreamingNemotronAsrManager.h"

#include "speech-engine/ASRError.h"
#include "speech-engine/EncoderCacheManager.h"
#include "speech-engine/ModelNames.h"
#include "speech-engine/StreamingAsrUtils.h"

#include <QDir>
#include <QFileInfo>

namespace {

std::vector<float> elementsOf(const std::optional<MultiArray>& array) {
    std::vector<float> elements;
    if (array) {
        const float* data = array->data<float>();
        array->forEachOffset([&](std::int64_t offset) { elements.push_back(data[offset]); });
    }
    return elements;
}

std::unique_ptr<ModelRunner> loadModel(const QDir& folder, const QString& file,
                                       const ModelConfiguration& configuration) {
    return ModelRunner::load(folder.filePath(file).toStdString(), configuration);
}

} // namespace

StreamingNemotronAsrManager::StreamingNemotronAsrManager(
    ModelConfiguration configuration, std::optional<NemotronChunkSize> requestedChunkSize)
    : m_requestedChunkSize(requestedChunkSize), m_mlConfiguration(configuration) {}

StreamingNemotronAsrManager::~StreamingNemotronAsrManager() = default;

QCoro::Task<> StreamingNemotronAsrManager::loadModels(
    std::optional<QString> to, std::optional<ModelConfiguration> configuration,
    NemotronModelDownloader::ProgressHandler progressHandler, std::stop_token stop) {
    if (configuration) {
        co_await m_executor.run([this, configuration] { m_mlConfiguration = *configuration; });
    }
    const auto repo = m_requestedChunkSize.value_or(NemotronChunkSize::ms1120).repo();
    NemotronModelDownloader::Options download;
    download.import = ModelImporter::importCheckpoint;
    download.progress = std::move(progressHandler);
    download.stop = std::move(stop);
    const auto model = HubModel::english(repo);
    const auto folder = co_await NemotronModelDownloader::locateOrDownload(
        model, std::move(to), std::move(download), m_logger);
    co_await loadModelsFrom(folder);
}

QCoro::Task<> StreamingNemotronAsrManager::loadModels() {
    return loadModels(std::nullopt, std::nullopt, {});
}

QCoro::Task<> StreamingNemotronAsrManager::loadModelsFrom(QString folder) {
    return m_executor.run([this, folder] { loadFromFolder(folder); });
}

QCoro::Task<> StreamingNemotronAsrManager::setPartialCallback(PartialTranscriptCallback callback) {
    return m_executor.run([this, callback] { m_partialCallback = callback; });
}

QCoro::Task<>
StreamingNemotronAsrManager::setPartialTranscriptCallback(PartialTranscriptCallback callback) {
    return setPartialCallback(std::move(callback));
}

QCoro::Task<> StreamingNemotronAsrManager::appendAudio(PcmBuffer buffer) {
    return m_executor.run([this, buffer] { appendSamples(buffer); });
}

QCoro::Task<> StreamingNemotronAsrManager::processBufferedAudio() {
    return m_executor.run([this] { processBuffered(); });
}

QCoro::Task<QString> StreamingNemotronAsrManager::process(PcmBuffer audioBuffer) {
    return m_executor.run([this, audioBuffer] {
        requireModels();
        appendSamples(audioBuffer);
        processBuffered();
        return QString();
    });
}

QCoro::Task<QString> StreamingNemotronAsrManager::finish() {
    return m_executor.run([this] { return finishUtterance(); });
}

QCoro::Task<> StreamingNemotronAsrManager::reset() {
    return m_executor.run([this] { resetStreamingState(); });
}

QCoro::Task<> StreamingNemotronAsrManager::cleanup() {
    return m_executor.run([this] { releaseResources(); });
}

QCoro::Task<QString> StreamingNemotronAsrManager::getPartialTranscript() {
    return m_executor.run([this] { return transcript(); });
}

QCoro::Task<QString> StreamingNemotronAsrManager::displayName() {
    return m_executor.run(
        [this] { return QStringLiteral("Nemotron 0.6B (%1ms)").arg(m_config.chunkMs); });
}

QCoro::Task<NemotronStreamingConfig> StreamingNemotronAsrManager::config() {
    return m_executor.run([this] { return m_config; });
}

QCoro::Task<ModelConfiguration> StreamingNemotronAsrManager::mlConfiguration() {
    return m_executor.run([this] { return m_mlConfiguration; });
}

QCoro::Task<StreamingNemotronAsrManager::Snapshot> StreamingNemotronAsrManager::snapshot() {
    return m_executor.run([this] {
        const auto unprocessed = receivedSamples() - m_nextFrame * m_config.melHopSamples;
        return Snapshot{std::size_t(std::max<std::int64_t>(unprocessed, 0)),
                        m_accumulatedTokenIds,
                        m_processedChunks,
                        m_lastToken,
                        elementsOf(m_hState),
                        elementsOf(m_cState),
                        elementsOf(m_melCache)};
    });
}

void StreamingNemotronAsrManager::loadFromFolder(const QString& folder) {
    using namespace ModelNames::NemotronStreaming;
    m_logger.info(QStringLiteral("Loading Nemotron CoreML models from %1...").arg(folder));
    const QDir dir(folder);
    if (QFileInfo::exists(dir.filePath(metadata))) {
        m_config = NemotronStreamingConfig::fromFile(dir.filePath(metadata));
        m_logger.info(QStringLiteral("Loaded config: %1ms chunks, %2 mel frames")
                          .arg(m_config.chunkMs)
                          .arg(m_config.chunkMelFrames));
    }
    m_preprocessor = loadModel(dir, preprocessorFile, m_mlConfiguration);
    m_encoder = loadModel(dir, encoderPath, m_mlConfiguration);
    m_decoder = loadModel(dir, decoderFile, m_mlConfiguration);
    m_joint = loadModel(dir, jointFile, m_mlConfiguration);
    m_tokenizer = std::make_unique<Tokenizer>(dir.filePath(tokenizer), m_config.langTagPattern);
    resetDecodingState();
    m_logger.info(
        QStringLiteral("Nemotron models loaded successfully (%1ms chunks).").arg(m_config.chunkMs));
}

void StreamingNemotronAsrManager::appendSamples(const PcmBuffer& buffer) {
    const auto samples = m_audioConverter.resampleBuffer(buffer);
    m_audioBuffer.insert(m_audioBuffer.end(), samples.begin(), samples.end());
}

void StreamingNemotronAsrManager::processBuffered() {
    requireModels();
    while (nextChunkIsBuffered()) {
        processChunk(m_nextFrame + m_config.chunkMelFrames, std::nullopt);
    }
}

// The end of the signal: its length fixes its frames, 1 + samples / hop of them, the last one
// masked. The full chunks left run, then the remainder as one short chunk when it is long
// enough for the encoder to give a frame.
QString StreamingNemotronAsrManager::finishUtterance() {
    if (!m_tokenizer || !modelsLoaded()) {
        throw ASRError::notInitialized();
    }
    const auto end = receivedSamples();
    const auto frames = end > 0 ? 1 + end / m_config.melHopSamples : 0;
    while (m_nextFrame + m_config.chunkMelFrames <= frames) {
        processChunk(m_nextFrame + m_config.chunkMelFrames, end);
    }
    if (frames - m_nextFrame >= m_config.minFinalMelFrames) {
        processChunk(frames, end);
    }
    const auto text = transcript();
    m_accumulatedTokenIds.clear();
    startSignal();
    return text;
}

void StreamingNemotronAsrManager::resetStreamingState() {
    startSignal();
    m_accumulatedTokenIds.clear();
    m_processedChunks = 0;
    try {
        resetDecodingState();
    } catch (const std::exception& error) {
        m_logger.error(QStringLiteral("Failed to reset states: ") +
                       QString::fromUtf8(error.what()));
    }
}

void StreamingNemotronAsrManager::resetDecodingState() {
    const auto caches = EncoderCacheManager::createInitialCaches(
        {m_config.cacheChannelShape, m_config.cacheTimeShape, {1}});
    m_cacheChannel = caches.channel;
    m_cacheTime = caches.time;
    m_cacheLen = caches.len;
    // Before the signal's first frame there are only zero frames.
    m_melCache = EncoderCacheManager::createZeroArray(
        {1, m_config.melFeatures, m_config.preEncodeCache}, MultiArrayDataType::float32);
    const std::vector<std::int64_t> stateShape{m_config.decoderLayers, 1, m_config.decoderHidden};
    m_hState = EncoderCacheManager::createZeroArray(stateShape, MultiArrayDataType::float32);
    m_cState = EncoderCacheManager::createZeroArray(stateShape, MultiArrayDataType::float32);
    m_lastToken = static_cast<std::int32_t>(m_config.blankIdx);
    m_prediction.reset();
}

void StreamingNemotronAsrManager::startSignal() {
    m_audioBuffer.clear();
    m_bufferStart = 0;
    m_nextFrame = 0;
}

void StreamingNemotronAsrManager::releaseResources() {
    resetStreamingState();
    m_preprocessor.reset();
    m_encoder.reset();
    m_decoder.reset();
    m_joint.reset();
    m_tokenizer.reset();
    m_cacheChannel.reset();
    m_cacheTime.reset();
    m_cacheLen.reset();
    m_melCache.reset();
    m_hState.reset();
    m_cState.reset();
    m_prediction.reset();
    m_logger.info(QStringLiteral("StreamingNemotronAsrManager resources cleaned up"));
}

bool StreamingNemotronAsrManager::modelsLoaded() const {
    return m_preprocessor && m_encoder && m_decoder && m_joint;
}

void StreamingNemotronAsrManager::requireModels() const {
    if (!modelsLoaded()) {
        throw ASRError::notInitialized();
    }
}

std::int64_t StreamingNemotronAsrManager::receivedSamples() const {
    return m_bufferStart + std::int64_t(m_audioBuffer.size());
}

// The next chunk's last frame has its whole window buffered: a few milliseconds of lookahead.
bool StreamingNemotronAsrManager::nextChunkIsBuffered() const {
    const auto lastFrame = m_nextFrame + m_config.chunkMelFrames - 1;
    return receivedSamples() >=
           lastFrame * m_config.melHopSamples + m_config.melRightContextSamples;
}

QString StreamingNemotronAsrManager::transcript() const {
    return m_tokenizer ? StreamingAsrUtils::decodeTokens(m_accumulatedTokenIds, *m_tokenizer)
                       : QString();
}
