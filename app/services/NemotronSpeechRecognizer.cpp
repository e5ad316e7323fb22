#include "app/services/NemotronSpeechRecognizer.h"

#include "app/services/NemotronRecognitionTask.h"
#include "speech-engine/ModelNames.h"
#include "speech-engine/StreamingNemotronAsrManager.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <utility>

std::unique_ptr<SpeechRecognizer>
NemotronSpeechRecognizer::forLocale(const QString& localeIdentifier,
                                    std::optional<QString> modelsRoot) {
    if (QLocale(localeIdentifier).language() != QLocale::Korean) {
        return nullptr;
    }
    return std::make_unique<NemotronSpeechRecognizer>(std::move(modelsRoot));
}

NemotronSpeechRecognizer::NemotronSpeechRecognizer(std::optional<QString> modelsRoot)
    : m_folder(QDir(modelsRoot.value_or(NemotronModelDownloader::defaultModelsRoot()))
                   .filePath(koreanFolderName)) {}

NemotronSpeechRecognizer::~NemotronSpeechRecognizer() = default;

bool NemotronSpeechRecognizer::isAvailable() const {
    return QFileInfo::exists(QDir(m_folder).filePath(ModelNames::NemotronStreaming::encoderPath));
}

QCoro::Task<bool> NemotronSpeechRecognizer::requestAuthorization() {
    co_return true;
}

// The models load once, queued before the first task's work; a failed load is reported as
// that task's error.
std::unique_ptr<SpeechRecognitionTask>
NemotronSpeechRecognizer::recognitionTask(std::shared_ptr<SpeechAudioBufferRequest> request,
                                          ResultHandler handler) {
    if (!m_manager) {
        m_manager = std::make_shared<StreamingNemotronAsrManager>();
    }
    std::optional<QCoro::Task<>> load;
    if (*m_modelState == ModelState::absent) {
        *m_modelState = ModelState::loading;
        load = loadModels(m_manager, m_folder, m_modelState);
    }
    return std::make_unique<NemotronRecognitionTask>(m_manager, std::move(load), request,
                                                     std::move(handler));
}

QCoro::Task<>
NemotronSpeechRecognizer::loadModels(std::shared_ptr<StreamingNemotronAsrManager> manager,
                                     QString folder, std::shared_ptr<ModelState> state) {
    try {
        co_await manager->loadModelsFrom(folder);
    } catch (...) {
        *state = ModelState::absent;
        throw;
    }
    *state = ModelState::loaded;
}
