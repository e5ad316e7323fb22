#pragma once

#include "app/services/reply/RecognizerTurn.h"
#include "app/services/reply/SharedModelLoad.h"
#include "app/services/reply/SpeechRecognizer.h"

#include <memory>
#include <optional>
#include <stop_token>

class StreamingNemotronAsrManager;

// The on-device Korean recognizer: the speech engine's streaming recognizer with the
// multilingual model prompted for Korean, from "korean-streaming/" under the models root. The
// model is fetched and imported when missing and loaded, once for every task that waits for it.
class NemotronSpeechRecognizer : public SpeechRecognizer {
public:
    // The recognizer for `localeIdentifier`, or null when there is none for that locale.
    static std::unique_ptr<SpeechRecognizer>
    forLocale(const QString& localeIdentifier, std::optional<QString> modelsRoot = std::nullopt);

    // `modelsRoot` holds the model cache (absent: the per-user models root).
    explicit NemotronSpeechRecognizer(std::optional<QString> modelsRoot = std::nullopt);
    ~NemotronSpeechRecognizer() override;

    // The model is fetched when missing, so the recognizer is always there.
    bool isAvailable() const override { return true; }
    bool supportsOnDeviceRecognition() const override { return true; }
    // Nothing to ask for: recognition stays on this computer.
    QCoro::Task<bool> requestAuthorization() override;
    std::unique_ptr<SpeechRecognitionTask>
    recognitionTask(std::shared_ptr<SpeechAudioBufferRequest> request,
                    ResultHandler handler) override;
    void setModelProgressHandler(ModelProgressHandler handler) override {
        *m_modelProgress = std::move(handler);
    }
    bool hasModel() const override;
    QCoro::Task<> prepareModel() override;
    void cancelModelFetch() override;

private:
    // What the reply step shows when the model cannot be fetched or does not load.
    static QString loadFailure(const QString& cause);
    static std::shared_ptr<RecognizerTurn> overTurn();
    static QCoro::Task<> loadModels(std::shared_ptr<StreamingNemotronAsrManager> manager,
                                    QString modelsRoot, std::stop_token stop,
                                    std::shared_ptr<ModelProgressHandler> progress);

    QString m_modelsRoot;
    // Shared with a load under way, which reads the handler set last.
    std::shared_ptr<ModelProgressHandler> m_modelProgress =
        std::make_shared<ModelProgressHandler>();
    std::shared_ptr<StreamingNemotronAsrManager> m_manager;
    std::shared_ptr<SharedModelLoad> m_load;
    // The turn of the latest reply; the next one starts when it is over.
    std::shared_ptr<RecognizerTurn> m_lastTurn = overTurn();
};
