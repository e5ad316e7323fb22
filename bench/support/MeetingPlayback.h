#pragma once

#include "app/platform/PulseContext.h"
#include "app/platform/PulsePlaybackStream.h"

#include <memory>
#include <utility>

// This process playing as a meeting application would: a connection of its own to the sound
// server and a mono stream of 20 ms blocks to the default sink, whose samples `fill` writes.
class MeetingPlayback {
public:
    MeetingPlayback(const char* threadName, int sampleRate, PulsePlaybackStream::Fill fill)
        : m_context({}, threadName) {
        PulseContext::Lock lock(m_context);
        m_stream = std::make_unique<PulsePlaybackStream>(
            m_context, QString(), PulsePlaybackStream::Format{sampleRate, 1, 20}, std::move(fill),
            [](bool) {});
    }
    ~MeetingPlayback() { stop(); }
    MeetingPlayback(const MeetingPlayback&) = delete;
    MeetingPlayback& operator=(const MeetingPlayback&) = delete;

    // Ends the stream: `fill` is not called again.
    void stop() {
        PulseContext::Lock lock(m_context);
        m_stream.reset();
    }

private:
    PulseContext m_context;
    std::unique_ptr<PulsePlaybackStream> m_stream;
};
