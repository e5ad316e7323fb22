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
    explicit ScriptedCaptionRecognizer(QStringList transcripts = {});

    QCoro::Task<> setPartialCallback(PartialCallback callback) override;
    // Reports progress 0.5 and 1.0 and then takes a moment, unless told to fail or to wait for
    // the stop request.
    QCoro::Task<> loadModels(ProgressHandler progress, std::stop_token stop) override;
    QCoro::Task<> reset() override;
    QCoro::Task<> process(PcmBuffer audioBuffer) override;

    // Safe from any thread.
    std::vector<float> receivedSamples() const;
    int loadCount() const;
    int processedBlocks() const;
    void failNextLoad(const QString& description);
    // The next load reports progress and then ends only when stopped, as a download would.
    void holdNextLoadUntilStopped();
    void failBlock(int index, const QString& description);
    void setBlockDelay(std::chrono::microseconds delay);
    // Invokes the partial callback on the recognizer's thread, as a late report would.
    QCoro::Task<> reportPartial(QString text);

private:
    mutable std::mutex m_mutex;
    QStringList m_transcripts;
    PartialCallback m_callback;
    std::vector<float> m_samples;
    int m_loads = 0;
    int m_blocks = 0;
    std::optional<QString> m_loadFailure;
    bool m_holdLoad = false;
    std::optional<std::pair<int, QString>> m_blockFailure;
    std::chrono::microseconds m_delay{0};
    SerialExecutor m_executor{QStringLiteral("ScriptedRecognizer")};
};
