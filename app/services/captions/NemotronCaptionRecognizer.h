#pragma once

#include "app/services/captions/CaptionRecognizer.h"

#include <memory>
#include <optional>

class StreamingNemotronAsrManager;

// The speech engine's English recognizer with 560 ms chunks on the CPU.
class NemotronCaptionRecognizer : public CaptionRecognizer {
public:
    // `modelsRoot` holds the model cache (absent: the per-user models root).
    explicit NemotronCaptionRecognizer(std::optional<QString> modelsRoot = std::nullopt);
    ~NemotronCaptionRecognizer() override;

    QCoro::Task<> setPartialCallback(PartialCallback callback) override;
    QCoro::Task<> loadModels(ProgressHandler progress, std::stop_token stop) override;
    bool hasModel() const override;
    QCoro::Task<> reset() override;
    QCoro::Task<> process(PcmBuffer audioBuffer) override;

private:
    std::optional<QString> m_modelsRoot;
    std::unique_ptr<StreamingNemotronAsrManager> m_manager;
};
