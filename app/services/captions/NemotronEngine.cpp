#include "app/services/captions/NemotronEngine.h"

#include <algorithm>

QCoro::Task<> NemotronEngine::setPartialCallback(CaptionRecognizer::PartialCallback callback) {
    return m_manager->setPartialCallback(std::move(callback));
}

QCoro::Task<> NemotronEngine::loadModels(CaptionRecognizer::ProgressHandler progress,
                                         std::stop_token stop) {
    return m_manager->loadModels(std::move(progress), std::move(stop));
}

QCoro::Task<> NemotronEngine::reset() {
    return m_manager->reset();
}

// The capture delivers 16 kHz, so the samples are labelled with that rate as they are.
QCoro::Task<> NemotronEngine::process(SampleStream::Block samples) {
    if (samples.empty()) {
        co_return;
    }
    PcmBuffer buffer(PcmFormat{16000, 1, SampleType::float32, false}, int(samples.size()));
    std::ranges::copy(samples, buffer.samples<float>(0).begin());
    co_await m_manager->process(std::move(buffer));
}
