#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

class PulseContext;
struct pa_stream;

// A record stream in the speech engine's format, 16 kHz mono 32-bit float.
// Samples and the end of the stream are reported on the context's event
// thread. Make and destroy it with the context locked or on its event thread;
// after destruction no callback runs.
class PulseRecordStream {
public:
    using SampleHandler = std::function<void(std::span<const float>)>;

    static constexpr int sampleRate = 16000;

    // Records `source` (a source name or index; empty for the default source).
    // With `monitoredSinkInput` only the sound of that playback stream is
    // recorded, from the monitor of the sink it plays to. `fragmentFrames` is
    // the size of the blocks the server sends. `onEnded` runs once when the
    // server ends the stream. Throws PulseError when the stream cannot be made.
    PulseRecordStream(PulseContext& context, const QString& source,
                      std::optional<std::uint32_t> monitoredSinkInput, int fragmentFrames,
                      SampleHandler onSamples, std::function<void()> onEnded);
    ~PulseRecordStream();
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

private:
    void release();
    static void onReadable(pa_stream* stream, std::size_t bytes, void* self);
    static void onStateChanged(pa_stream* stream, void* self);

    pa_stream* m_stream = nullptr;
    SampleHandler m_onSamples;
    std::function<void()> m_onEnded;
};
