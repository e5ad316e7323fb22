#pragma once

#include "app/services/audio/MicrophoneSource.h"
#include "app/services/reply/SpeechRecognizer.h"
#include "app/workflow/contracts/ISpeechRecognitionService.h"

#include <memory>

// Recognises the user's spoken reply from the microphone, in the locale it was made for.
class SpeechRecognitionService : public ISpeechRecognitionService {
    Q_OBJECT

public:
    // Uses the on-device recognizer for the locale, and the user's sound server.
    explicit SpeechRecognitionService(QString localeIdentifier, QObject* parent = nullptr);
    // `recognizer` may be null (no recognizer for the locale); `microphoneServer` names the
    // sound server (empty: the user's default).
    SpeechRecognitionService(QString localeIdentifier, std::unique_ptr<SpeechRecognizer> recognizer,
                             QString microphoneServer = {}, QObject* parent = nullptr);
    ~SpeechRecognitionService() override;

    QCoro::Task<bool> requestPermissions() override;
    void startMicrophone() override;
    void stop() override;
    QCoro::Task<QString> finish() override;
    bool hasModel() const override;
    QCoro::Task<> prepareModel() override;
    void cancelModelDownload() override;

signals:
    // A reply's final result or error has arrived.
    void replyEnded();

private:
    // What one reply has produced; its results keep arriving after a newer reply started.
    struct Reply {
        QString text;
        std::optional<QString> error;
        bool ended = false;
    };

    void startRecording();
    void take(const std::shared_ptr<Reply>& reply, const SpeechRecognizer::Result& result);
    void microphoneLost(const std::shared_ptr<Reply>& reply);
    SpeechRecognizer::ResultHandler resultHandler(std::shared_ptr<Reply> reply);
    SpeechRecognizer::ModelProgressHandler modelProgressHandler();
    QString unavailableDescription() const;

    std::unique_ptr<SpeechRecognizer> m_recognizer;
    QString m_microphoneServer;
    MicrophoneSource m_microphone;
    bool m_microphoneRunning = false;
    std::shared_ptr<Reply> m_reply = std::make_shared<Reply>(Reply{QString(), std::nullopt, true});
    std::shared_ptr<SpeechAudioBufferRequest> m_request;
    std::unique_ptr<SpeechRecognitionTask> m_task;
};
