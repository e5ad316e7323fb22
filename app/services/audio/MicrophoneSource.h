#pragma once

#include "app/services/audio/PcmHandlerSlot.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class PulseContext;
class PulseRecordStream;

// The user's microphone (the default input device) as PCM buffers for speech
// recognition: 16 kHz mono 32-bit float, `framesPerBuffer` frames each. The
// handler runs on the source's own thread ("microphone"), one buffer at a
// time, and must return quickly without calling back into the source. If the
// microphone or the sound server goes away the handler is cleared, no more
// buffers come and `onLost` is called on the source's thread. `stop` hands the
// samples of a last, shorter buffer to the handler. Start and stop from one thread.
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
    void start(Handler onBuffer, std::function<void()> onLost = {});
    // No buffer reaches the handler once this returns. Safe to call at any time.
    void stop();

private:
    PcmHandlerSlot m_handler;
    QString m_serverAddress;
    std::unique_ptr<PulseContext> m_context;
    std::unique_ptr<PulseRecordStream> m_stream;
    std::uint64_t m_generation = 0;
    // Samples waiting for a full buffer; touched only on the source's thread.
    std::vector<float> m_pending;

    void deliverPending();
};
