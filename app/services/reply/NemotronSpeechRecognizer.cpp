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
    : m_modelsRoot(modelsRoot.value_or(NemotronModelDownloader::defaultModelsRoot())),
      m_manager(std::make_shared<StreamingNemotronAsrManager>()),
      m_load(std::make_shared<SharedModelLoad>([manager = m_manager, root = m_modelsRoot,
                                                progress = m_modelProgress](std::stop_token stop) {
          return loadModels(manager, root, std::move(stop), progress);
      })) {}

// A download under way stops when the recognizer goes.
NemotronSpeechRecognizer::~NemotronSpeechRecognizer() {
    m_load->cancel();
}

bool NemotronSpeechRecognizer::hasModel() const {
    return m_load->isLoaded() ||
           NemotronModelDownloader::isModelComplete(
               NemotronModelDownloader::modelFolder(HubModel::korean(), m_modelsRoot));
}

QCoro::Task<> NemotronSpeechRecognizer::prepareModel() {
    co_await SharedModelLoad::ensure(m_load);
}

void NemotronSpeechRecognizer::cancelModelFetch() {
    m_load->cancel();
}

QCoro::Task<bool> NemotronSpeechRecognizer::requestAuthorization() {
    co_return true;
}

// Each task waits for the model when its turn begins, so a task queued behind a failed load
// starts the load again instead of reaching a recognizer without a model.
std::unique_ptr<SpeechRecognitionTask>
NemotronSpeechRecognizer::recognitionTask(std::shared_ptr<SpeechAudioBufferRequest> request,
                                          ResultHandler handler) {
    auto turn = std::make_shared<RecognizerTurn>();
    const auto previous = std::exchange(m_lastTurn, turn);
    return std::make_unique<NemotronRecognitionTask>(m_manager, m_load, previous, std::move(turn),
                                                     request, std::move(handler));
}

// The window's progress ends (with no report) once the load is over, whichever way.
QCoro::Task<>
NemotronSpeechRecognizer::loadModels(std::shared_ptr<StreamingNemotronAsrManager> manager,
                                     QString modelsRoot, std::stop_token stop,
                                     std::shared_ptr<ModelProgressHandler> progress) {
    const auto report = [progress](const std::optional<NemotronDownloadProgress>& value) {
        if (*progress)
            (*progress)(value);
    };
    NemotronModelDownloader::Options download;
    download.import = ModelImporter::importCheckpoint;
    download.progress = report;
    download.stop = stop;
    // Named: GCC 12 destroys temporaries of a co_await expression twice.
    const auto model = HubModel::korean();
    const std::optional<QString> root = modelsRoot;
    const AppLogger logger(QStringLiteral("KoreanReply"));
    std::optional<QString> failure;
    try {
        const auto folder = co_await NemotronModelDownloader::locateOrDownload(
            model, root, std::move(download), logger);
        co_await manager->loadModelsFrom(folder);
    } catch (const std::exception& error) {
        failure = stop.stop_requested()
                      ? QStringLiteral("한국어 인식 모델 받기를 취소했어요. ‘다시 받기’를 누르면 "
                                       "이어서 받아요.")
                      : loadFailure(describe(error));
    }
    report(std::nullopt);
    if (failure)
        throw ServiceError(*failure, QStringLiteral("Speech"), 2);
}

QString NemotronSpeechRecognizer::loadFailure(const QString& cause) {
    return QStringLiteral("한국어 음성 모델을 준비하지 못해 답변 녹음을 멈췄습니다. ‘다시 받기’를 "
                          "누른 뒤 다시 말해 주세요. (원인: %1)")
        .arg(cause);
}

std::shared_ptr<RecognizerTurn> NemotronSpeechRecognizer::overTurn() {
    auto turn = std::make_shared<RecognizerTurn>();
    turn->end();
    return turn;
}
