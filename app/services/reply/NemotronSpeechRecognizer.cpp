#include "app/services/reply/NemotronSpeechRecognizer.h"

#include "app/core/ServiceError.h"
#include "app/services/reply/NemotronRecognitionTask.h"
#include "speech-engine/import/ModelImporter.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"

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
    : m_modelsRoot(modelsRoot.value_or(NemotronModelDownloader::defaultModelsRoot())) {}

NemotronSpeechRecognizer::~NemotronSpeechRecognizer() {
    m_loadStop.request_stop();
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
        m_loadStop = std::stop_source();
        load = loadModels(m_manager, m_modelsRoot, m_loadStop.get_token(), m_modelProgress,
                          m_modelState);
    }
    auto turn = std::make_shared<RecognizerTurn>();
    const auto previous = std::exchange(m_lastTurn, turn);
    return std::make_unique<NemotronRecognitionTask>(m_manager, std::move(load), m_loadStop,
                                                     previous, std::move(turn), request,
                                                     std::move(handler));
}

QCoro::Task<> NemotronSpeechRecognizer::loadModels(
    std::shared_ptr<StreamingNemotronAsrManager> manager, QString modelsRoot, std::stop_token stop,
    ModelProgressHandler progress, std::shared_ptr<ModelState> state) {
    NemotronModelDownloader::Options download;
    download.import = ModelImporter::importCheckpoint;
    download.progress = std::move(progress);
    download.stop = std::move(stop);
    // Named: GCC 12 destroys temporaries of a co_await expression twice.
    const auto model = HubModel::korean();
    const std::optional<QString> root = modelsRoot;
    const AppLogger logger(QStringLiteral("KoreanReply"));
    try {
        const auto folder = co_await NemotronModelDownloader::locateOrDownload(
            model, root, std::move(download), logger);
        co_await manager->loadModelsFrom(folder);
    } catch (const std::exception& error) {
        *state = ModelState::absent;
        throw ServiceError(loadFailure(describe(error)), QStringLiteral("Speech"), 2);
    }
    *state = ModelState::loaded;
}

QString NemotronSpeechRecognizer::loadFailure(const QString& cause) {
    return QStringLiteral("한국어 음성 모델을 준비하지 못해 답변 녹음을 멈췄습니다. 터미널에서 "
                          "./relayo models 를 실행해 모델을 다시 받은 뒤 다시 시도해 주세요. "
                          "(원인: %1)")
        .arg(cause);
}

std::shared_ptr<RecognizerTurn> NemotronSpeechRecognizer::overTurn() {
    auto turn = std::make_shared<RecognizerTurn>();
    turn->end();
    return turn;
}
