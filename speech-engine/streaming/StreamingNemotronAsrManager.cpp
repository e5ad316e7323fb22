#include "speech-engine/streaming/StreamingNemotronAsrManager.h"

#include "speech-engine/core/ASRError.h"
#include "speech-engine/core/ModelFolderManifest.h"
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/import/ModelImporter.h"
#include "speech-engine/model-files/StreamingAsrUtils.h"
#include "speech-engine/streaming/EncoderCacheManager.h"

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

// Decoding projects frames and predictions apart from the joint's last layer.
void requireJointProjections(const ModelRunner& joint) {
    for (const char* method : {"project_encoder", "project_decoder", "joint_projected"}) {
        if (!joint.hasMethod(method)) {
            throw ASRError::processingFailed(
                QStringLiteral("The joint model has no method %1: import the model again")
                    .arg(QLatin1String(method)));
        }
    }
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

template <typename Job> auto StreamingNemotronAsrManager::onExecutor(Job job) {
    return m_executor.run([this, job = std::move(job)]() mutable {
        takeIntake();
        // Also after a failure: the job may have changed what the next chunk needs.
        struct DueUpdate {
            StreamingNemotronAsrManager* manager;
            ~DueUpdate() { manager->updateDuePosition(); }
        } dueUpdate{this};
        return job();
    });
}

QCoro::Task<> StreamingNemotronAsrManager::loadModelsFrom(QString folder) {
    return onExecutor([this, folder] { loadFromFolder(folder); });
}

QCoro::Task<> StreamingNemotronAsrManager::setPartialCallback(PartialTranscriptCallback callback) {
    return m_executor.run([this, callback] { m_partialCallback = callback; });
}

QCoro::Task<>
StreamingNemotronAsrManager::setPartialTranscriptCallback(PartialTranscriptCallback callback) {
    return setPartialCallback(std::move(callback));
}

QCoro::Task<> StreamingNemotronAsrManager::appendAudio(PcmBuffer buffer) {
    m_intake.append(buffer);
    co_return;
}

QCoro::Task<> StreamingNemotronAsrManager::processBufferedAudio() {
    if (m_intake.isDue()) {
        co_await onExecutor([this] { processBuffered(); });
    }
}

QCoro::Task<QString> StreamingNemotronAsrManager::process(PcmBuffer audioBuffer) {
    if (m_intake.append(audioBuffer)) {
        co_await onExecutor([this] { processBuffered(); });
    }
    co_return QString();
}

QCoro::Task<QString> StreamingNemotronAsrManager::finish() {
    return onExecutor([this, end = m_intake.end()] { return finishUtterance(end); });
}

QCoro::Task<> StreamingNemotronAsrManager::reset() {
    return onExecutor([this, end = m_intake.end()] { resetStreamingState(end); });
}

QCoro::Task<> StreamingNemotronAsrManager::cleanup() {
    return onExecutor([this, end = m_intake.end()] { releaseResources(end); });
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
    return onExecutor([this] {
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

void StreamingNemotronAsrManager::takeIntake() {
    const auto samples = m_intake.take();
    m_audioBuffer.insert(m_audioBuffer.end(), samples.begin(), samples.end());
}

// Until models are loaded every call is due, so that it fails as it should.
void StreamingNemotronAsrManager::updateDuePosition() {
    const auto lastFrame = m_nextFrame + m_config.chunkMelFrames - 1;
    m_intake.setDue(modelsLoaded() ? m_signalStart + lastFrame * m_config.melHopSamples +
                                         m_config.melRightContextSamples
                                   : 0);
}

// A folder that fails to load leaves no models loaded, rather than a mix of two folders; the
// models in use go first, so that two sets never take memory together.
void StreamingNemotronAsrManager::loadFromFolder(const QString& folder) {
    using namespace ModelNames::NemotronStreaming;
    m_logger.info(QStringLiteral("Loading Nemotron models from %1...").arg(folder));
    if (const auto mismatch = ModelFolderManifest::mismatch(folder))
        throw ASRError::processingFailed(
            QStringLiteral("The model folder %1 is damaged (%2): import it again")
                .arg(folder, *mismatch));
    m_preprocessor.reset();
    m_encoder.reset();
    m_decoder.reset();
    m_joint.reset();
    const QDir dir(folder);
    auto config = QFileInfo::exists(dir.filePath(metadata))
                      ? NemotronStreamingConfig::fromFile(dir.filePath(metadata))
                      : NemotronStreamingConfig{};
    auto preprocessor = loadModel(dir, preprocessorFile, m_mlConfiguration);
    auto encoder = loadModel(dir, encoderPath, m_mlConfiguration);
    auto decoder = loadModel(dir, decoderFile, m_mlConfiguration);
    auto joint = loadModel(dir, jointFile, m_mlConfiguration);
    requireJointProjections(*joint);
    m_tokenizer = std::make_unique<Tokenizer>(dir.filePath(tokenizer), config.langTagPattern);
    m_config = std::move(config);
    m_preprocessor = std::move(preprocessor);
    m_encoder = std::move(encoder);
    m_decoder = std::move(decoder);
    m_joint = std::move(joint);
    resetDecodingState();
    m_logger.info(QStringLiteral("Nemotron models loaded (%1 ms chunks, %2 mel frames).")
                      .arg(m_config.chunkMs)
                      .arg(m_config.chunkMelFrames));
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
QString StreamingNemotronAsrManager::finishUtterance(std::int64_t signalEnd) {
    if (!m_tokenizer || !modelsLoaded()) {
        throw ASRError::notInitialized();
    }
    const auto end = std::clamp<std::int64_t>(signalEnd - m_signalStart, 0, receivedSamples());
    const auto frames = end > 0 ? 1 + end / m_config.melHopSamples : 0;
    while (m_nextFrame + m_config.chunkMelFrames <= frames) {
        processChunk(m_nextFrame + m_config.chunkMelFrames, end);
    }
    if (frames - m_nextFrame >= m_config.minFinalMelFrames) {
        processChunk(frames, end);
    }
    const auto text = transcript();
    m_accumulatedTokenIds.clear();
    startSignal(signalEnd);
    return text;
}

void StreamingNemotronAsrManager::resetStreamingState(std::int64_t signalEnd) {
    startSignal(signalEnd);
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

void StreamingNemotronAsrManager::startSignal(std::int64_t start) {
    const auto bufferEnd = m_signalStart + receivedSamples();
    const auto kept =
        std::clamp<std::int64_t>(bufferEnd - start, 0, std::int64_t(m_audioBuffer.size()));
    m_audioBuffer.erase(m_audioBuffer.begin(), m_audioBuffer.end() - kept);
    m_signalStart = bufferEnd - kept;
    m_bufferStart = 0;
    m_nextFrame = 0;
}

void StreamingNemotronAsrManager::releaseResources(std::int64_t signalEnd) {
    resetStreamingState(signalEnd);
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
