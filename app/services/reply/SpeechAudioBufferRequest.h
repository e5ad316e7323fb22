#pragma once

#include "speech-engine/audio/PcmBuffer.h"

#include <functional>
#include <mutex>
#include <vector>

// A streaming recognition request: audio appended from any thread reaches the recognition
// task that consumes the request, until the audio is marked as ended.
class SpeechAudioBufferRequest {
public:
    enum class TaskHint { unspecified = 0, dictation = 1 };

    struct Settings {
        bool shouldReportPartialResults = false;
        TaskHint taskHint = TaskHint::unspecified;
        bool addsPunctuation = false;
        bool requiresOnDeviceRecognition = false;
    };

    using AudioHandler = std::function<void(const PcmBuffer&)>;
    using EndHandler = std::function<void()>;

    // The on-device recognizer always reports partial results, punctuates and stays on this
    // computer, so it keeps none of the settings.
    explicit SpeechAudioBufferRequest(Settings) {}

    // Any thread. Audio before a task consumes the request waits for it; audio after the end
    // is dropped.
    void appendAudioPCMBuffer(const PcmBuffer& buffer);
    void endAudio();

    // Called by the task that consumes the request: the audio that waited goes to `onAudio`
    // at once; `onEnd` runs once, at once when the audio has already ended. The handlers run on the
    // appending thread with the request locked.
    void consume(AudioHandler onAudio, EndHandler onEnd);

private:
    std::mutex m_mutex;
    AudioHandler m_onAudio;
    EndHandler m_onEnd;
    std::vector<PcmBuffer> m_early;
    bool m_ended = false;
};
