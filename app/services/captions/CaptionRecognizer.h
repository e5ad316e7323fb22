#pragma once

#include "speech-engine/audio/PcmBuffer.h"
#include "speech-engine/hub/NemotronDownloadProgress.h"

#include <QString>
#include <functional>
#include <qcoro/qcorotask.h>
#include <stop_token>

// The streaming recognizer as the caption service uses it. Operations run one at a time on
// the recognizer's own executor and are awaited; callbacks arrive on that executor.
class CaptionRecognizer {
public:
    using PartialCallback = std::function<void(const QString& runningTranscript)>;
    using ProgressHandler = std::function<void(const NemotronDownloadProgress&)>;

    virtual ~CaptionRecognizer() = default;

    virtual QCoro::Task<> setPartialCallback(PartialCallback callback) = 0;
    // Downloads the model when it is missing, then loads it; a stop request ends the download
    // at once.
    virtual QCoro::Task<> loadModels(ProgressHandler progress, std::stop_token stop) = 0;
    // The model is on this computer, so loading it downloads nothing.
    virtual bool hasModel() const = 0;
    // Clears audio, caches and the running transcript.
    virtual QCoro::Task<> reset() = 0;
    // Takes 16 kHz mono float samples and recognises every full chunk.
    virtual QCoro::Task<> process(PcmBuffer audioBuffer) = 0;
};
