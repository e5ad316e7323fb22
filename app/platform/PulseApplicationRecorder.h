#pragma once

#include <QSet>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>

class ProcessTable;
class PulseContext;
class PulseRecordStream;
struct pa_client_info;
struct pa_context;
struct pa_io_event;
struct pa_sink_input_info;

// Records the sound one application plays: one monitor stream per playback
// stream of the process or of its descendants (16 kHz mono float), including
// streams they open later, and none of any other application. Sandboxed
// clients count by the process they really are on this system. Handlers run on the recorder's own
// event thread, one at a time.
class PulseApplicationRecorder {
public:
    struct Handlers {
        // A block of one playback stream's sound.
        std::function<void(std::uint32_t stream, std::span<const float> samples)> samples;
        // That playback stream has ended; no more samples of it follow.
        std::function<void(std::uint32_t stream)> streamEnded;
        // The process has exited or the server has gone; runs once.
        std::function<void()> ended;
    };

    // Connects to `serverAddress` (empty: the default server) and starts
    // recording. Throws PulseError when the server cannot be reached.
    PulseApplicationRecorder(const QString& serverAddress, qint64 processID, int fragmentFrames,
                             Handlers handlers);
    ~PulseApplicationRecorder();
    PulseApplicationRecorder(const PulseApplicationRecorder&) = delete;
    PulseApplicationRecorder& operator=(const PulseApplicationRecorder&) = delete;

    // Whether the process was running when recording began.
    bool applicationRunning() const { return m_applicationRunning; }

private:
    void startFollowing();
    // Ends every recording and the connection; no handler runs afterwards.
    void close();
    void onEvent(int eventType, std::uint32_t index);
    static void onSinkInputInfo(pa_context*, const pa_sink_input_info* info, int endOfList,
                                void* self);
    static void onClientInfo(pa_context*, const pa_client_info* info, int endOfList, void* self);
    // Whether a client or sink input comes from the recorded application.
    template <typename Record>
    bool belongs(const Record& record, const ProcessTable& processes) const;
    void follow(std::uint32_t sinkInput);
    void endStream(std::uint32_t sinkInput);
    void end();
    // Ends the recording when the process exits, also after it closed its connections
    // to the server (then no event of the server tells).
    void watchForExit();
    void stopWatchingForExit();

    std::unique_ptr<PulseContext> m_context;
    qint64 m_processID;
    int m_fragmentFrames;
    Handlers m_handlers;
    bool m_applicationRunning = false;
    // Below: touched only with the context locked.
    bool m_closing = false;
    QSet<std::uint32_t> m_clients;
    std::map<std::uint32_t, std::unique_ptr<PulseRecordStream>> m_streams;
    // A pidfd of the process, readable once it has exited, and its watch on the event loop.
    int m_exitDescriptor = -1;
    pa_io_event* m_exitWatch = nullptr;
};
