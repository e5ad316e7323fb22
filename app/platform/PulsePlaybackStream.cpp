#include "app/platform/PulsePlaybackStream.h"

#include "app/platform/PulseContext.h"
#include "app/platform/PulseError.h"

#include <pulse/pulseaudio.h>

PulsePlaybackStream::PulsePlaybackStream(PulseContext& context, const QString& sink, Format format,
                                         Fill fill, Finished onFinished)
    : m_mainloop(context.mainloop()), m_channelCount(format.channelCount), m_fill(std::move(fill)),
      m_onFinished(std::move(onFinished)) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, std::uint32_t(format.sampleRate),
                              std::uint8_t(format.channelCount)};
    if (!pa_sample_spec_valid(&spec))
        throw PulseError(QStringLiteral("The audio format cannot be played"), PA_ERR_INVALID);
    m_stream = pa_stream_new(context.handle(), "Relayo playback", &spec, nullptr);
    if (!m_stream)
        throw PulseError(QStringLiteral("Could not open a playback stream"),
                         pa_context_errno(context.handle()));
    pa_stream_set_write_callback(m_stream, &PulsePlaybackStream::onWritable, this);
    pa_stream_set_state_callback(m_stream, &PulsePlaybackStream::onStateChanged, this);

    pa_buffer_attr attributes{};
    attributes.maxlength = std::uint32_t(-1);
    attributes.tlength = std::uint32_t(
        pa_usec_to_bytes(pa_usec_t(format.bufferMilliseconds) * PA_USEC_PER_MSEC, &spec));
    attributes.prebuf = std::uint32_t(-1);
    attributes.minreq = std::uint32_t(-1);
    const QByteArray device = sink.toUtf8();
    if (pa_stream_connect_playback(m_stream, device.isEmpty() ? nullptr : device.constData(),
                                   &attributes, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0) {
        const int error = pa_context_errno(context.handle());
        release();
        throw PulseError(QStringLiteral("Could not start playback"), error);
    }
    // The server makes or refuses the stream in one answer; none means it has stalled, and the
    // playback would never start nor end.
    try {
        context.waitForAnswer(
            [this] { return pa_stream_get_state(m_stream) != PA_STREAM_CREATING; });
    } catch (const PulseError&) {
        release();
        throw;
    }
}

PulsePlaybackStream::~PulsePlaybackStream() {
    release();
}

void PulsePlaybackStream::release() {
    if (!m_stream)
        return;
    pa_stream_set_write_callback(m_stream, nullptr, nullptr);
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    if (m_drain) {
        pa_operation_cancel(m_drain);
        pa_operation_unref(std::exchange(m_drain, nullptr));
    }
    if (pa_stream_get_state(m_stream) == PA_STREAM_CREATING) {
        // The server ignores a disconnect until it has made the stream: the stream keeps this
        // reference and disconnects itself once ready, instead of staying on the server silent.
        pa_stream_set_state_callback(m_stream, &PulsePlaybackStream::disconnectOnceReady, nullptr);
        m_stream = nullptr;
        return;
    }
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
        pa_stream_disconnect(m_stream);
    pa_stream_unref(std::exchange(m_stream, nullptr));
}

void PulsePlaybackStream::disconnectOnceReady(pa_stream* stream, void*) {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        pa_stream_disconnect(stream);
    } else if (!PA_STREAM_IS_GOOD(state)) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
    }
}

void PulsePlaybackStream::onWritable(pa_stream* stream, std::size_t bytes, void* self) {
    auto* owner = static_cast<PulsePlaybackStream*>(self);
    const std::size_t frameBytes = sizeof(float) * std::size_t(owner->m_channelCount);
    while (!owner->m_draining && bytes >= frameBytes) {
        void* buffer = nullptr;
        std::size_t size = bytes;
        if (pa_stream_begin_write(stream, &buffer, &size) < 0 || size < frameBytes)
            return;
        const std::size_t capacity = size / frameBytes * owner->m_channelCount;
        const std::size_t written =
            owner->m_fill({static_cast<float*>(buffer), capacity}) / owner->m_channelCount;
        if (written == 0) {
            pa_stream_cancel_write(stream);
            owner->m_draining = true;
            owner->m_drain = pa_stream_drain(stream, &PulsePlaybackStream::onDrained, owner);
            return;
        }
        pa_stream_write(stream, buffer, written * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
        bytes -= std::min(bytes, written * frameBytes);
    }
}

void PulsePlaybackStream::onDrained(pa_stream*, int success, void* self) {
    static_cast<PulsePlaybackStream*>(self)->finish(success != 0);
}

void PulsePlaybackStream::onStateChanged(pa_stream* stream, void* self) {
    auto* owner = static_cast<PulsePlaybackStream*>(self);
    pa_threaded_mainloop_signal(owner->m_mainloop, 0);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        owner->finish(false);
}

void PulsePlaybackStream::finish(bool played) {
    if (m_onFinished)
        std::exchange(m_onFinished, nullptr)(played);
}
