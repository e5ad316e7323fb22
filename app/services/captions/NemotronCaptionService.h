#pragma once

#include "app/core/Cancellation.h"
#include "app/services/captions/CaptionRecognizer.h"
#include "app/workflow/contracts/INemotronCaptionService.h"

#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <atomic>
#include <memory>
#include <optional>
#include <stop_token>

class AudioSamplePipe;
class NemotronEngine;
class SampleStream;

// Live English captions: feeds the meeting's audio to the streaming recognizer and publishes
// the latest completed sentence and the latest sentence or fragment. Keeps no history.
class NemotronCaptionService : public INemotronCaptionService {
    Q_OBJECT

public:
    explicit NemotronCaptionService(std::unique_ptr<CaptionRecognizer> recognizer,
                                    QObject* parent = nullptr);
    ~NemotronCaptionService() override;

    QCoro::Task<> start() override;
    void append(const PcmBuffer& buffer) override;
    QCoro::Task<> cancel() override;
    bool hasModel() const override;
    QCoro::Task<> prepareModel() override;

private:
    // What the recognizer's callbacks hold instead of the service, so they never keep it
    // alive; read only on the main thread.
    struct WeakCaptionTarget {
        QPointer<NemotronCaptionService> value;
    };
    struct ProcessingTask {
        QCoro::Task<> task;
        Cancellation cancellation;
    };

    static CaptionRecognizer::PartialCallback
    partialCallback(std::shared_ptr<WeakCaptionTarget> target);
    static CaptionRecognizer::ProgressHandler
    progressHandler(std::shared_ptr<WeakCaptionTarget> target);
    static QCoro::Task<> processSamples(QPointer<NemotronCaptionService> service,
                                        std::shared_ptr<NemotronEngine> engine,
                                        std::shared_ptr<SampleStream> stream, QUuid runID,
                                        Cancellation cancellation);

    // Fetches and loads the model unless loaded; false when a cancel stopped it or the service
    // went.
    QCoro::Task<bool> loadModelsOnce(std::shared_ptr<WeakCaptionTarget> target);
    void beginRun();
    void receivePartial(const QString& text);
    // Publishes how far recognition is behind the meeting, and the audio skipped to catch up.
    void publishBacklog();
    // Recognition has ended: no lag to show.
    void stopBacklog();

    std::shared_ptr<NemotronEngine> m_engine;
    // Shared by the capture thread; its own lock guards it.
    std::unique_ptr<AudioSamplePipe> m_audioPipe;
    std::optional<ProcessingTask> m_processingTask;
    // The current run's stream, and the samples of the block inside the recognizer.
    std::shared_ptr<SampleStream> m_stream;
    std::size_t m_inFlightFrames = 0;
    std::size_t m_skippedFrames = 0;
    QTimer m_backlogPoll;
    // Stopped by `cancel`: ends a model download or import under way.
    std::stop_source m_preparation;
    QUuid m_sessionID = QUuid::createUuid();
    bool m_modelsLoaded = false;
    // Non-finite audio is reported once per run; set by whichever thread appends.
    std::atomic<bool> m_reportedNonFinite = false;
};
