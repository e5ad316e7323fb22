#pragma once

#include "app/services/SpeechRecognizer.h"

#include <memory>
#include <optional>

class StreamingNemotronAsrManager;

// The on-device Korean recognizer: the speech engine's streaming recognizer with the Korean
// model variant from "korean-streaming/" under the models root. Available once that variant
// is there (`./relayo models` fetches it). The models are loaded with the first task.
class NemotronSpeechRecognizer : public SpeechRecognizer {
public:
    static constexpr QLatin1String koreanFolderName{"korean-streaming"};

    // The recognizer for `localeIdentifier`, or null when there is none for that locale.
    static std::unique_ptr<SpeechRecognizer>
    forLocale(const QString& localeIdentifier, std::optional<QString> modelsRoot = std::nullopt);

    // `modelsRoot` holds the model cache (absent: the per-user models root).
    explicit NemotronSpeechRecognizer(std::optional<QString> modelsRoot = std::nullopt);
    ~NemotronSpeechRecognizer() override;

    bool isAvailable() const override;
    bool supportsOnDeviceRecognition() const override { return true; }
    // Nothing to ask for: recognition stays on this computer.
    QCoro::Task<bool> requestAuthorization() override;
    std::unique_ptr<SpeechRecognitionTask>
    recognitionTask(std::shared_ptr<SpeechAudioBufferRequest> request,
                    ResultHandler handler) override;

private:
    enum class ModelState { absent, loading, loaded };
    static QCoro::Task<> loadModels(std::shared_ptr<StreamingNemotronAsrManager> manager,
                                    QString folder, std::shared_ptr<ModelState> state);

    QString m_folder;
    std::shared_ptr<StreamingNemotronAsrManager> m_manager;
    // Shared with a load still under way; a failed load is tried again by the next task.
    std::shared_ptr<ModelState> m_modelState = std::make_shared<ModelState>(ModelState::absent);
};
