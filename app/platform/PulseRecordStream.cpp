#include "app/platform/PulseRecordStream.h"

#include "app/platform/PulseContext.h"
#include "app/platform/PulseError.h"

#include <pulse/pulseaudio.h>
#include <vector>

PulseRecordStream::PulseRecordStream(PulseContext& context, const QString& source,
                                     std::optional<std::uint32_t> monitoredSinkInput,
                                     int fragmentFrames, SampleHandler onSamples,
                                     std::function<void()> onEnded)
    : m_onSamples(std::move(onSamples)), m_onEnded(std::move(onEnded)) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, sampleRate, 1};
    m_stream = pa_stream_new(context.handle(), "Relayo recording", &spec, nullptr);
    if (!m_stream)
        throw PulseError(QStringLiteral("Could not open a recording stream"),
                         pa_context_errno(context.handle()));
    pa_stream_set_read_callback(m_stream, &PulseRecordStream::onReadable, this);
    pa_stream_set_state_callback(m_stream, &PulseRecordStream::onStateChanged, this);

    // The sound of one playback stream is only heard on its own sink, and a source that goes
    // is not silently replaced by another (PipeWire moves a recording to whatever source is
    // left, an output's monitor even): either way the recording ends.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (monitoredSinkInput)
        pa_stream_set_monitor_stream(m_stream, *monitoredSinkInput);
    pa_buffer_attr attributes{};
    attributes.maxlength = std::uint32_t(-1);
    attributes.fragsize = std::uint32_t(fragmentFrames * sizeof(float));
    const QByteArray device = source.toUtf8();
    if (pa_stream_connect_record(m_stream, device.isEmpty() ? nullptr : device.constData(),
                                 &attributes, flags) < 0) {
        const int error = pa_context_errno(context.handle());
        release();
        throw PulseError(QStringLiteral("Could not start recording"), error);
    }
}

PulseRecordStream::~PulseRecordStream() {
    release();
}

void PulseRecordStream::release() {
    if (!m_stream)
        return;
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
        pa_stream_disconnect(m_stream);
    pa_stream_unref(std::exchange(m_stream, nullptr));
}

void PulseRecordStream::onReadable(pa_stream* stream, std::size_t, void* self) {
    auto* owner = static_cast<PulseRecordStream*>(self);
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0) {
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            return;
        const std::size_t count = bytes / sizeof(float);
        if (data) {
            owner->m_onSamples({static_cast<const float*>(data), count});
        } else {
            // A hole in the recording: keep the timeline with silence.
            const std::vector<float> silence(count, 0.0f);
            owner->m_onSamples(silence);
        }
        pa_stream_drop(stream);
    }
}

void PulseRecordStream::onStateChanged(pa_stream* stream, void* self) {
    auto* owner = static_cast<PulseRecordStream*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) && owner->m_onEnded)
        std::exchange(owner->m_onEnded, nullptr)();
}
