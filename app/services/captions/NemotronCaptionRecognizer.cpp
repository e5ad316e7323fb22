#include "app/services/captions/NemotronCaptionRecognizer.h"

#include "speech-engine/streaming/StreamingNemotronAsrManager.h"

NemotronCaptionRecognizer::NemotronCaptionRecognizer(std::optional<QString> modelsRoot)
    : m_modelsRoot(std::move(modelsRoot)), m_manager(std::make_unique<StreamingNemotronAsrManager>(
                                               ModelConfiguration{}, NemotronChunkSize::ms560)) {}

NemotronCaptionRecognizer::~NemotronCaptionRecognizer() = default;

QCoro::Task<> NemotronCaptionRecognizer::setPartialCallback(PartialCallback callback) {
    return m_manager->setPartialCallback(std::move(callback));
}

QCoro::Task<> NemotronCaptionRecognizer::loadModels(ProgressHandler progress,
                                                    std::stop_token stop) {
    return m_manager->loadModels(m_modelsRoot, std::nullopt, std::move(progress), std::move(stop));
}

QCoro::Task<> NemotronCaptionRecognizer::reset() {
    return m_manager->reset();
}

QCoro::Task<> NemotronCaptionRecognizer::process(PcmBuffer audioBuffer) {
    co_await m_manager->process(std::move(audioBuffer));
}
