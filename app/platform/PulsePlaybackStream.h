#pragma once

#include <QString>
#include <cstddef>
#include <functional>
#include <span>

class PulseContext;
struct pa_operation;
struct pa_stream;
struct pa_threaded_mainloop;

// A playback stream of interleaved 32-bit float samples that pulls its audio
// from `fill` whenever the server asks for more. Callbacks run on the context's
// event thread. Make and destroy it with the context locked or on its event
// thread; after destruction no callback runs.
class PulsePlaybackStream {
public:
    // Writes up to `samples.size()` samples (whole frames) and returns how many;
    // 0 ends the audio.
    using Fill = std::function<std::size_t(std::span<float>)>;

    struct Format {
        int sampleRate = 0;
        int channelCount = 0;
        // How far ahead of the loudspeaker the server buffers.
        int bufferMilliseconds = 0;
    };

    // Runs once: with true when everything has been played, with false when the
    // server ended the stream first.
    using Finished = std::function<void(bool played)>;

    // Plays on `sink` (a sink name or index; empty for the default sink).
    // Throws PulseError when the stream cannot be made or the server does not answer.
    PulsePlaybackStream(PulseContext& context, const QString& sink, Format format, Fill fill,
                        Finished onFinished);
    ~PulsePlaybackStream();
    PulsePlaybackStream(const PulsePlaybackStream&) = delete;
    PulsePlaybackStream& operator=(const PulsePlaybackStream&) = delete;

private:
    static void onWritable(pa_stream* stream, std::size_t bytes, void* self);
    static void onStateChanged(pa_stream* stream, void* self);
    static void onDrained(pa_stream* stream, int success, void* self);
    static void disconnectOnceReady(pa_stream* stream, void*);
    void release();
    void finish(bool played);

    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_stream* m_stream = nullptr;
    pa_operation* m_drain = nullptr;
    int m_channelCount = 0;
    bool m_draining = false;
    Fill m_fill;
    Finished m_onFinished;
};
