#pragma once

#include "app/services/captions/CaptionRecognizer.h"
#include "speech-engine/core/SerialExecutor.h"

#include <QStringList>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

// A recognizer without models, working on its own thread like the real one: every processed
// block reports the next of the scripted running transcripts through the partial callback.
// Records what it was given; can be told to be slow or to fail.
class ScriptedCaptionRecognizer : public CaptionRecognizer {
public:
    // What the recognizer will do; set before the service starts.
    struct Script {
        QStringList transcripts;
        // The next load fails with this description.
        std::optional<QString> loadFailure;
        // The next load reports progress and then ends only when stopped, as a download would.
        bool holdLoad = false;
        // This block fails with this description.
        std::optional<std::pair<int, QString>> blockFailure;
        std::chrono::microseconds blockDelay{0};
        // Each block waits inside the recognizer until `releaseBlocks`: a recognizer that has
        // fallen behind, for as long as the test wants.
        bool holdBlocks = false;
    };
    // What it was given so far.
    struct Record {
        std::vector<float> samples;
        int loads = 0, blocks = 0, resets = 0;
    };

    explicit ScriptedCaptionRecognizer(QStringList transcripts = {}) {
        script.transcripts = std::move(transcripts);
    }

    QCoro::Task<> setPartialCallback(PartialCallback callback) override {
        return m_executor.run([this, callback] { m_callback = callback; });
    }
    bool hasModel() const override { return false; }
    // Reports progress 0.5 and 1.0 and then takes a moment, unless told to fail or to hold.
    QCoro::Task<> loadModels(ProgressHandler progress, std::stop_token stop) override {
        return m_executor.run([this, progress, stop] {
            count(&Record::loads);
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
    QCoro::Task<> reset() override {
        return m_executor.run([this] { count(&Record::resets); });
    }
    QCoro::Task<> process(PcmBuffer audioBuffer) override {
        return m_executor.run([this, audioBuffer] {
            waitForRelease();
            const int index = count(&Record::blocks);
            if (script.blockFailure && script.blockFailure->first == index)
                throw std::runtime_error(script.blockFailure->second.toStdString());
            const auto samples = audioBuffer.samples<float>(0);
            // The real recognizer's audio conversion refuses such blocks too.
            if (!std::ranges::all_of(samples, [](float sample) { return std::isfinite(sample); }))
                throw std::runtime_error("The audio holds samples that are not finite numbers.");
            std::unique_lock lock(m_mutex);
            m_record.samples.insert(m_record.samples.end(), samples.begin(), samples.end());
            lock.unlock();
            std::this_thread::sleep_for(script.blockDelay);
            if (m_callback && index < script.transcripts.size())
                m_callback(script.transcripts[index]);
        });
    }

    // Safe from any thread.
    void releaseBlocks() {
        const std::scoped_lock lock(m_mutex);
        m_released = true;
        m_release.notify_all();
    }
    Record record() const {
        const std::scoped_lock lock(m_mutex);
        return m_record;
    }
    // Invokes the partial callback on the recognizer's thread, as a late report would.
    QCoro::Task<> reportPartial(QString text) {
        return m_executor.run([this, text] { m_callback(text); });
    }

    Script script;

private:
    // Adds one to a count of the record; returns the count before.
    int count(int Record::*counter) {
        const std::scoped_lock lock(m_mutex);
        return (m_record.*counter)++;
    }

    void waitForRelease() {
        std::unique_lock lock(m_mutex);
        m_release.wait(lock, [this] { return !script.holdBlocks || m_released; });
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_release;
    bool m_released = false;
    PartialCallback m_callback; // only on the executor's thread
    Record m_record;
    SerialExecutor m_executor{QStringLiteral("ScriptedRecognizer")};
};
