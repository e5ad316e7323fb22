#pragma once

#include "app/services/audio/PcmHandlerSlot.h"

#include <QString>
#include <memory>
#include <vector>

class PulseContext;
class PulseRecordStream;

// The user's microphone (the default input device) as PCM buffers for speech
// recognition: 16 kHz mono 32-bit float, `framesPerBuffer` frames each. The
// handler runs on the source's own thread ("microphone"), one buffer at a
// time, and must return quickly without calling back into the source. If the
// sound server goes away the handler is cleared and no more buffers come.
// Start and stop from one thread.
class MicrophoneSource {
public:
    using Handler = PcmHandlerSlot::Handler;

    static constexpr int framesPerBuffer = 1024;

    // `serverAddress` names the sound server (empty: the user's default).
    explicit MicrophoneSource(QString serverAddress = {});
    ~MicrophoneSource();
    MicrophoneSource(const MicrophoneSource&) = delete;
    MicrophoneSource& operator=(const MicrophoneSource&) = delete;

    // Stops a running recording, then records the default input device.
    // Throws ServiceError (domain "Capture", code 3) when there is no input
    // device, PulseError when the sound server cannot be reached.
    void start(Handler onBuffer);
    // No buffer reaches the handler once this returns. Safe to call at any time.
    void stop();

private:
    PcmHandlerSlot m_handler;
    QString m_serverAddress;
    std::unique_ptr<PulseContext> m_context;
    std::unique_ptr<PulseRecordStream> m_stream;
    // Samples waiting for a full buffer; touched only on the source's thread.
    std::vector<float> m_pending;
};
