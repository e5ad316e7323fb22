#include "app/services/captions/NemotronCaptionRecognizer.h"

#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"

namespace {

constexpr NemotronChunkSize chunkSize = NemotronChunkSize::ms560;

} // namespace

NemotronCaptionRecognizer::NemotronCaptionRecognizer(std::optional<QString> modelsRoot)
    : m_modelsRoot(std::move(modelsRoot)),
      m_manager(std::make_unique<StreamingNemotronAsrManager>(ModelConfiguration{}, chunkSize)) {}

NemotronCaptionRecognizer::~NemotronCaptionRecognizer() = default;

QCoro::Task<> NemotronCaptionRecognizer::setPartialCallback(PartialCallback callback) {
    return m_manager->setPartialCallback(std::move(callback));
}

QCoro::Task<> NemotronCaptionRecognizer::loadModels(ProgressHandler progress,
                                                    std::stop_token stop) {
    return m_manager->loadModels(m_modelsRoot, std::nullopt, std::move(progress), std::move(stop));
}

bool NemotronCaptionRecognizer::hasModel() const {
    return NemotronModelDownloader::isModelComplete(NemotronModelDownloader::modelFolder(
        HubModel::english(chunkSize.repo()),
        m_modelsRoot.value_or(NemotronModelDownloader::defaultModelsRoot())));
}

QCoro::Task<> NemotronCaptionRecognizer::reset() {
    return m_manager->reset();
}

QCoro::Task<> NemotronCaptionRecognizer::process(PcmBuffer audioBuffer) {
    co_await m_manager->process(std::move(audioBuffer));
}
