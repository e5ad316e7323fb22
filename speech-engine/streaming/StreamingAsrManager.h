#pragma once

#include "speech-engine/audio/PcmBuffer.h"

#include <QString>
#include <functional>
#include <qcoro/qcorotask.h>

// A streaming recognizer whose operations run one at a time on its own executor; callers
// await each of them.
class StreamingAsrManager {
public:
    using PartialTranscriptCallback = std::function<void(const QString&)>;

    virtual ~StreamingAsrManager() = default;

    virtual QCoro::Task<QString> displayName() = 0;
    virtual QCoro::Task<> loadModels() = 0;
    virtual QCoro::Task<> appendAudio(PcmBuffer buffer) = 0;
    virtual QCoro::Task<> processBufferedAudio() = 0;
    virtual QCoro::Task<QString> finish() = 0;
    virtual QCoro::Task<> reset() = 0;
    virtual QCoro::Task<> cleanup() = 0;
    virtual QCoro::Task<QString> getPartialTranscript() = 0;
    // Called on the recognizer's executor with the whole running transcript.
    virtual QCoro::Task<> setPartialTranscriptCallback(PartialTranscriptCallback callback) = 0;
};
