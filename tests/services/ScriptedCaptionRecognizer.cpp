#include "tests/services/ScriptedCaptionRecognizer.h"

#include <cmath>
#include <stdexcept>
#include <thread>

ScriptedCaptionRecognizer::ScriptedCaptionRecognizer(QStringList transcripts) {
    script.transcripts = std::move(transcripts);
}

QCoro::Task<> ScriptedCaptionRecognizer::setPartialCallback(PartialCallback callback) {
    return m_executor.run([this, callback] { m_callback = callback; });
}

QCoro::Task<> ScriptedCaptionRecognizer::loadModels(ProgressHandler progress,
                                                    std::stop_token stop) {
    return m_executor.run([this, progress, stop] {
        std::unique_lock lock(m_mutex);
        ++m_record.loads;
        lock.unlock();
        if (auto failure = std::exchange(script.loadFailure, std::nullopt))
            throw std::runtime_error(failure->toStdString());
        const bool hold = std::exchange(script.holdLoad, false);
        NemotronDownloadProgress report;
        report.fractionCompleted = 0.5;
        progress(report);
        while (hold && !stop.stop_requested())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (hold)
            throw std::runtime_error("The model download was cancelled.");
        report.fractionCompleted = 1.0;
        progress(report);
        // Like a download, loading takes a while after the last report.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
}

QCoro::Task<> ScriptedCaptionRecognizer::reset() {
    return m_executor.run([] {});
}

QCoro::Task<> ScriptedCaptionRecognizer::process(PcmBuffer audioBuffer) {
    return m_executor.run([this, audioBuffer] {
        std::unique_lock lock(m_mutex);
        const int index = m_record.blocks++;
        if (script.blockFailure && script.blockFailure->first == index)
            throw std::runtime_error(script.blockFailure->second.toStdString());
        const auto samples = audioBuffer.samples<float>(0);
        // The real recognizer's audio conversion refuses such blocks too.
        if (!std::ranges::all_of(samples, [](float sample) { return std::isfinite(sample); }))
            throw std::runtime_error("The audio holds samples that are not finite numbers.");
        m_record.samples.insert(m_record.samples.end(), samples.begin(), samples.end());
        lock.unlock();
        std::this_thread::sleep_for(script.blockDelay);
        if (m_callback && index < script.transcripts.size())
            m_callback(script.transcripts[index]);
    });
}

QCoro::Task<> ScriptedCaptionRecognizer::reportPartial(QString text) {
    return m_executor.run([this, text] { m_callback(text); });
}

ScriptedCaptionRecognizer::Record ScriptedCaptionRecognizer::record() const {
    const std::scoped_lock lock(m_mutex);
    return m_record;
}
