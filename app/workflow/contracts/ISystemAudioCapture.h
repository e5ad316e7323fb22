#pragma once

#include "app/workflow/records/CaptureApplication.h"
#include "speech-engine/audio/PcmBuffer.h"

#include <QList>
#include <functional>
#include <qcoro/qcorotask.h>

// Per-application meeting audio.
class ISystemAudioCapture {
public:
    // Called on the capture queue, one block per call, in order.
    using BufferHandler = std::function<void(const PcmBuffer&)>;
    // Called once, on any thread, when the capture ends by itself: the application quit or
    // the sound server went.
    using EndHandler = std::function<void()>;

    virtual ~ISystemAudioCapture() = default;

    // Ordinary applications other than this program, sorted by title. May throw.
    virtual QCoro::Task<QList<CaptureApplication>> availableApplications() = 0;
    // Stops a running capture first; on normal return `onAudioBuffer` receives the
    // application's audio until a stop, or until `onEnded` runs. May throw.
    virtual QCoro::Task<> start(CaptureApplication application, BufferHandler onAudioBuffer,
                                EndHandler onEnded) = 0;
    // No block reaches the handler afterwards. Safe without a prior start; never throws.
    virtual QCoro::Task<> stop() = 0;
};
