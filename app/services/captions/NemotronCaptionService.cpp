#include "app/services/captions/NemotronCaptionService.h"

#include "app/core/MainThread.h"
#include "app/core/ServiceError.h"
#include "app/services/captions/AudioSamplePipe.h"
#include "app/services/captions/CaptionSentences.h"
#include "app/services/captions/NemotronEngine.h"
#include "speech-engine/core/AppLogger.h"

#include <cmath>

namespace {

constexpr std::size_t sampleRate = 16000;
// Audio waiting beyond this is dropped, oldest first, so that captions come back to the live
// meeting instead of lagging for the rest of it; memory stays bounded too.
constexpr std::size_t maxBacklogFrames = 20 * sampleRate;
constexpr auto backlogPollInterval = std::chrono::milliseconds(500);

// The mean of the channels, or nothing when the buffer carries no float samples.
std::optional<SampleStream::Block> mixToMono(const PcmBuffer& buffer) {
    const auto& format = buffer.format();
    if (format.sampleType != SampleType::float32 || format.planeCount() == 0) {
        return std::nullopt;
    }
    const auto frames = std::size_t(std::max(buffer.frameLength(), 0));
    const auto channels = std::size_t(format.channelCount);
    const auto stride = format.interleaved ? channels : 1;
    for (int plane = 0; plane < format.planeCount(); ++plane) {
        if (buffer.samples<float>(plane).size() < frames * stride) {
            return std::nullopt;
        }
    }
    SampleStream::Block mono(frames, 0.0f);
    for (std::size_t channel = 0; channel < channels; ++channel) {
        const auto samples = buffer.samples<float>(format.interleaved ? 0 : int(channel));
        const auto offset = format.interleaved ? channel : 0;
        for (std::size_t frame = 0; frame < frames; ++frame) {
            mono[frame] += samples[frame * stride + offset] / float(channels);
        }
    }
    return mono;
}

// Replaces samples that are not finite numbers with silence; tells how many there were.
std::size_t silenceNonFinite(SampleStream::Block& samples) {
    std::size_t replaced = 0;
    for (float& sample : samples) {
        if (!std::isfinite(sample)) {
            sample = 0.0f;
            ++replaced;
        }
    }
    return replaced;
}

} // namespace

NemotronCaptionService::NemotronCaptionService(std::unique_ptr<CaptionRecognizer> recognizer,
                                               QObject* parent)
    : INemotronCaptionService(parent),
      m_engine(std::make_shared<NemotronEngine>(std::move(recognizer))),
      m_audioPipe(std::make_unique<AudioSamplePipe>()) {
    m_backlogPoll.setInterval(backlogPollInterval);
    connect(&m_backlogPoll, &QTimer::timeout, this, &NemotronCaptionService::publishBacklog);
}

// A processing task still waiting for audio ends once its stream is finished.
NemotronCaptionService::~NemotronCaptionService() {
    m_preparation.request_stop();
    m_audioPipe->finish();
}

QCoro::Task<> NemotronCaptionService::start() {
    const QPointer self(this);
    co_await cancel();
    if (!self) {
        co_return;
    }
    setTranscript(QString());
    setCompletedSentence(QString());
    setRecognitionError(std::nullopt);
    setSkippedSeconds(0);
    setIsPreparing(true);

    const auto target = std::make_shared<WeakCaptionTarget>(WeakCaptionTarget{this});
    const auto engine = m_engine;
    co_await engine->setPartialCallback(partialCallback(target));
    if (!self) {
        co_return;
    }
    if (!co_await loadModelsOnce(target)) {
        co_return;
    }
    co_await engine->reset();
    if (!self) {
        co_return;
    }
    beginRun();
    setIsPreparing(false);
    setModelProgress(std::nullopt);
    setIsListening(true);
}

QCoro::Task<bool>
NemotronCaptionService::loadModelsOnce(std::shared_ptr<WeakCaptionTarget> target) {
    if (m_modelsLoaded) {
        co_return true;
    }
    const QPointer self(this);
    const auto engine = m_engine;
    m_preparation = std::stop_source();
    const auto stop = m_preparation.get_token();
    try {
        co_await engine->loadModels(progressHandler(target), stop);
    } catch (const std::exception& error) {
        // A cancelled preparation is no failure: `cancel` has already ended it.
        if (!self || stop.stop_requested()) {
            co_return false;
        }
        setIsPreparing(false);
        setModelProgress(std::nullopt);
        setRecognitionError(describe(error));
        throw;
    }
    if (!self) {
        co_return false;
    }
    m_modelsLoaded = true;
    co_return !stop.stop_requested();
}

bool NemotronCaptionService::hasModel() const {
    return m_modelsLoaded || m_engine->hasModel();
}

// Ahead of the first listen, which then starts at once; a stop ends it like a start's.
QCoro::Task<> NemotronCaptionService::prepareModel() {
    if (m_modelsLoaded || isPreparing() || isListening()) {
        co_return;
    }
    const QPointer self(this);
    setIsPreparing(true);
    setRecognitionError(std::nullopt);
    const auto target = std::make_shared<WeakCaptionTarget>(WeakCaptionTarget{this});
    if (co_await loadModelsOnce(target) && self) {
        setIsPreparing(false);
        setModelProgress(std::nullopt);
    }
}

void NemotronCaptionService::beginRun() {
    m_sessionID = QUuid::createUuid();
    m_stream = std::make_shared<SampleStream>(maxBacklogFrames);
    m_audioPipe->install(m_stream);
    m_reportedNonFinite = false;
    m_inFlightFrames = 0;
    m_skippedFrames = 0;
    m_backlogPoll.start();
    Cancellation cancellation;
    m_processingTask.emplace(ProcessingTask{
        processSamples(this, m_engine, m_stream, m_sessionID, cancellation), cancellation});
}

QCoro::Task<> NemotronCaptionService::cancel() {
    m_preparation.request_stop();
    m_sessionID = QUuid::createUuid();
    m_audioPipe->finish();
    if (m_processingTask) {
        m_processingTask->cancellation.cancel();
        m_processingTask.reset();
    }
    stopBacklog();
    const QPointer self(this);
    const auto engine = m_engine;
    co_await engine->reset();
    if (self) {
        setIsListening(false);
        setIsPreparing(false);
        setModelProgress(std::nullopt);
    }
}

void NemotronCaptionService::append(const PcmBuffer& buffer) {
    if (auto mono = mixToMono(buffer)) {
        // A broken block from a driver or application must not end the captions.
        const std::size_t replaced = silenceNonFinite(*mono);
        if (replaced > 0 && !m_reportedNonFinite.exchange(true))
            AppLogger(QStringLiteral("captions"))
                .warning(QStringLiteral("The meeting audio held %1 samples that are not finite "
                                        "numbers; they are heard as silence.")
                             .arg(replaced));
        m_audioPipe->yield(std::move(*mono));
    }
}

QCoro::Task<> NemotronCaptionService::processSamples(QPointer<NemotronCaptionService> service,
                                                     std::shared_ptr<NemotronEngine> engine,
                                                     std::shared_ptr<SampleStream> stream,
                                                     QUuid runID, Cancellation cancellation) {
    while (auto samples = co_await stream->next()) {
        if (cancellation.isCancelled() || !service || service->m_sessionID != runID) {
            co_return;
        }
        try {
            service->m_inFlightFrames = samples->size();
            co_await engine->process(std::move(*samples));
            if (service && service->m_sessionID == runID) {
                service->m_inFlightFrames = 0;
            }
        } catch (const std::exception& error) {
            if (!cancellation.isCancelled() && service) {
                service->stopBacklog();
                service->setRecognitionError(describe(error));
            }
            co_return;
        }
    }
}

void NemotronCaptionService::stopBacklog() {
    m_backlogPoll.stop();
    m_stream.reset();
    m_inFlightFrames = 0;
    setLagSeconds(0);
}

void NemotronCaptionService::publishBacklog() {
    if (!m_stream) {
        return;
    }
    if (const std::size_t dropped = m_stream->takeDroppedFrames(); dropped > 0) {
        m_skippedFrames += dropped;
        setSkippedSeconds(int(m_skippedFrames / sampleRate));
        AppLogger(QStringLiteral("captions"))
            .warning(QStringLiteral("Recognition fell behind the meeting: %1 s of audio were "
                                    "skipped.")
                         .arg(double(dropped) / sampleRate, 0, 'f', 1));
    }
    setLagSeconds(int((m_stream->queuedFrames() + m_inFlightFrames) / sampleRate));
}

CaptionRecognizer::PartialCallback
NemotronCaptionService::partialCallback(std::shared_ptr<WeakCaptionTarget> target) {
    return [target](const QString& text) {
        postToMainThread([target, text] {
            if (target->value) {
                target->value->receivePartial(text);
            }
        });
    };
}

CaptionRecognizer::ProgressHandler
NemotronCaptionService::progressHandler(std::shared_ptr<WeakCaptionTarget> target) {
    // A report that arrives after preparation has ended is stale and dropped.
    return [target](const NemotronDownloadProgress& report) {
        postToMainThread([target, report] {
            if (target->value && target->value->isPreparing()) {
                target->value->setModelProgress(report);
            }
        });
    };
}

// Neither text ever goes back to empty, and an unchanged value is not announced again.
void NemotronCaptionService::receivePartial(const QString& text) {
    if (!isListening() && !isPreparing()) {
        return;
    }
    const auto sentence = CaptionSentences::latestCompletedSentence(text);
    if (!sentence.isEmpty() && sentence != completedSentence()) {
        setCompletedSentence(sentence);
    }
    const auto fragment = CaptionSentences::latestSentenceOrFragment(text);
    if (!fragment.isEmpty() && fragment != transcript()) {
        setTranscript(fragment);
    }
}
