#pragma once

#include "app/services/captions/CaptionRecognizer.h"
#include "speech-engine/SerialExecutor.h"

#include <QStringList>
#include <chrono>
#include <mutex>
#include <optional>
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
    };
    // What it was given so far.
    struct Record {
        std::vector<float> samples;
        int loads = 0;
        int blocks = 0;
    };

    explicit ScriptedCaptionRecognizer(QStringList transcripts = {});

    QCoro::Task<> setPartialCallback(PartialCallback callback) override;
    // Reports progress 0.5 and 1.0 and then takes a moment, unless told to fail or to hold.
    QCoro::Task<> loadModels(ProgressHandler progress, std::stop_token stop) override;
    QCoro::Task<> reset() override;
    QCoro::Task<> process(PcmBuffer audioBuffer) override;

    // Safe from any thread.
    Record record() const;
    // Invokes the partial callback on the recognizer's thread, as a late report would.
    QCoro::Task<> reportPartial(QString text);

    Script script;

private:
    mutable std::mutex m_mutex;
    PartialCallback m_callback; // only on the executor's thread
    Record m_record;
    SerialExecutor m_executor{QStringLiteral("ScriptedRecognizer")};
};
