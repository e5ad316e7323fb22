#pragma once

#include "app/services/captions/CaptionRecognizer.h"
#include "app/services/captions/SampleStream.h"

#include <memory>

// The serial holder of the caption service's one recognizer: every call into the recognizer
// goes through it, and the recognizer runs them one at a time on its own executor. Shared
// with the processing task, so a block still inside the recognizer keeps it alive.
class NemotronEngine {
public:
    explicit NemotronEngine(std::unique_ptr<CaptionRecognizer> manager)
        : m_manager(std::move(manager)) {}

    QCoro::Task<> setPartialCallback(CaptionRecognizer::PartialCallback callback);
    QCoro::Task<> loadModels(CaptionRecognizer::ProgressHandler progress, std::stop_token stop);
    bool hasModel() const { return m_manager->hasModel(); }
    QCoro::Task<> reset();
    // Recognises one block as 16 kHz mono float audio; an empty block is skipped.
    QCoro::Task<> process(SampleStream::Block samples);

private:
    std::unique_ptr<CaptionRecognizer> m_manager;
};
