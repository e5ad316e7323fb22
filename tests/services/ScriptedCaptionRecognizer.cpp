#include "tests/services/ScriptedCaptionRecognizer.h"

#include <cmath>
#include <stdexcept>
#include <thread>

ScriptedCaptionRecognizer::ScriptedCaptionRecognizer(QStringList transcripts)
    : m_transcripts(std::move(transcripts)) {}

QCoro::Task<> ScriptedCaptionRecognizer::setPartialCallback(PartialCallback callback) {
    return m_executor.run([this, callback] {
        const std::scoped_lock lock(m_mutex);
        m_callback = callback;
    });
}

QCoro::Task<> ScriptedCaptionRecognizer::loadModels(ProgressHandler progress) {
    return m_executor.run([this, progress] {
        std::unique_lock lock(m_mutex);
        ++m_loads;
        if (auto failure = std::exchange(m_loadFailure, std::nullopt)) {
            throw std::runtime_error(failure->toStdString());
        }
        lock.unlock();
        progress(0.5);
        progress(1.0);
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
        const int index = m_blocks++;
        if (m_blockFailure && m_blockFailure->first == index) {
            throw std::runtime_error(m_blockFailure->second.toStdString());
        }
        const auto samples = audioBuffer.samples<float>(0);
        // The real recognizer's audio conversion refuses such blocks too.
        if (!std::ranges::all_of(samples, [](float sample) { return std::isfinite(sample); })) {
            throw std::runtime_error("The audio holds samples that are not finite numbers.");
        }
        m_samples.insert(m_samples.end(), samples.begin(), samples.end());
        const auto delay = m_delay;
        const auto callback = m_callback;
        const auto transcript = index < m_transcripts.size() ? m_transcripts[index] : QString();
        lock.unlock();
        std::this_thread::sleep_for(delay);
        if (callback && !transcript.isNull()) {
            callback(transcript);
        }
    });
}

QCoro::Task<> ScriptedCaptionRecognizer::reportPartial(QString text) {
    return m_executor.run([this, text] {
        std::unique_lock lock(m_mutex);
        const auto callback = m_callback;
        lock.unlock();
        callback(text);
    });
}

std::vector<float> ScriptedCaptionRecognizer::receivedSamples() const {
    const std::scoped_lock lock(m_mutex);
    return m_samples;
}

int ScriptedCaptionRecognizer::loadCount() const {
    const std::scoped_lock lock(m_mutex);
    return m_loads;
}

int ScriptedCaptionRecognizer::processedBlocks() const {
    const std::scoped_lock lock(m_mutex);
    return m_blocks;
}

void ScriptedCaptionRecognizer::failNextLoad(const QString& description) {
    const std::scoped_lock lock(m_mutex);
    m_loadFailure = description;
}

void ScriptedCaptionRecognizer::failBlock(int index, const QString& description) {
    const std::scoped_lock lock(m_mutex);
    m_blockFailure = {index, description};
}

void ScriptedCaptionRecognizer::setBlockDelay(std::chrono::microseconds delay) {
    const std::scoped_lock lock(m_mutex);
    m_delay = delay;
}
