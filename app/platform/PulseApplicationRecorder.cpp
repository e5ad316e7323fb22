#include "app/platform/PulseApplicationRecorder.h"

#include "app/platform/ProcessTable.h"
#include "app/platform/PulseContext.h"
#include "app/platform/PulseRecordStream.h"

#include <QFile>
#include <pulse/pulseaudio.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Exited processes that their parent has not reaped yet count as gone.
bool isRunning(qint64 processID) {
    QFile status(QStringLiteral("/proc/%1/stat").arg(processID));
    if (processID <= 0 || !status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = status.readAll();
    const qsizetype state = line.lastIndexOf(')') + 2;
    return state < line.size() && line[state] != 'Z' && line[state] != 'X';
}

} // namespace

PulseApplicationRecorder::PulseApplicationRecorder(const QString& serverAddress, qint64 processID,
                                                   int fragmentFrames, Handlers handlers)
    : m_context(std::make_unique<PulseContext>(serverAddress, "meeting.pulse")),
      m_processID(processID), m_fragmentFrames(fragmentFrames), m_handlers(std::move(handlers)) {
    try {
        startFollowing();
    } catch (...) {
        close();
        throw;
    }
}

template <typename Record>
bool PulseApplicationRecorder::belongs(const Record& record, const ProcessTable& processes) const {
    const qint64 host =
        processes.hostProcessOf(record.processID, record.binary, record.hostProcessID);
    if (processes.find(host))
        return processes.belongsTo(host, m_processID);
    // A client whose process this system cannot see counts by its program.
    const auto* application = processes.find(m_processID);
    return application &&
           ((!record.binary.isEmpty() && record.binary.left(15) == application->name) ||
            (!record.sandboxID.isEmpty() && record.sandboxID == application->sandboxID));
}

void PulseApplicationRecorder::startFollowing() {
    // Subscribe first, so that nothing opened while the lists are read is missed.
    m_context->subscribe([this](int type, std::uint32_t index) { onEvent(type, index); },
                         [this] { end(); });
    const auto clients = m_context->clients();
    const auto sinkInputs = m_context->sinkInputs();
    const ProcessTable processes = ProcessTable::read();
    PulseContext::Lock lock(*m_context);
    for (const auto& client : clients) {
        if (belongs(client, processes))
            m_clients.insert(client.index);
    }
    m_applicationRunning = isRunning(m_processID);
    if (m_applicationRunning)
        watchForExit();
    for (const auto& sinkInput : sinkInputs) {
        if (belongs(sinkInput, processes))
            follow(sinkInput.index);
    }
}

PulseApplicationRecorder::~PulseApplicationRecorder() {
    close();
}

void PulseApplicationRecorder::close() {
    {
        PulseContext::Lock lock(*m_context);
        m_closing = true;
        m_streams.clear();
        stopWatchingForExit();
    }
    m_context.reset();
}

void PulseApplicationRecorder::onEvent(int eventType, std::uint32_t index) {
    if (m_closing)
        return;
    const int facility = eventType & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const bool removed =
        (eventType & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    pa_context* context = m_context->handle();
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && removed) {
        endStream(index);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && !m_streams.contains(index)) {
        // A new stream, or one that moved to another sink and lost its recording.
        if (auto* operation =
                pa_context_get_sink_input_info(context, index, &onSinkInputInfo, this))
            pa_operation_unref(operation);
    } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT && removed) {
        // A browser may close its connection while it is silent; only an exit ends the capture.
        if (m_clients.remove(index) && m_clients.isEmpty() && !isRunning(m_processID))
            end();
    } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT && !m_clients.contains(index)) {
        if (auto* operation = pa_context_get_client_info(context, index, &onClientInfo, this))
            pa_operation_unref(operation);
    }
}

void PulseApplicationRecorder::onSinkInputInfo(pa_context*, const pa_sink_input_info* info,
                                               int endOfList, void* self) {
    auto* recorder = static_cast<PulseApplicationRecorder*>(self);
    if (endOfList != 0 || !info || recorder->m_closing)
        return;
    if (recorder->belongs(PulseContext::sinkInputFrom(*info), ProcessTable::read())) {
        recorder->m_clients.insert(info->client);
        recorder->follow(info->index);
    }
}

void PulseApplicationRecorder::onClientInfo(pa_context*, const pa_client_info* info, int endOfList,
                                            void* self) {
    auto* recorder = static_cast<PulseApplicationRecorder*>(self);
    if (endOfList == 0 && info && !recorder->m_closing &&
        recorder->belongs(PulseContext::clientFrom(*info), ProcessTable::read()))
        recorder->m_clients.insert(info->index);
}

void PulseApplicationRecorder::follow(std::uint32_t sinkInput) {
    if (m_streams.contains(sinkInput))
        return;
    try {
        m_streams[sinkInput] = std::make_unique<PulseRecordStream>(
            *m_context, QString(), sinkInput, m_fragmentFrames,
            [this, sinkInput](std::span<const float> samples) {
                m_handlers.samples(sinkInput, samples);
            },
            [this, sinkInput] { endStream(sinkInput); });
    } catch (const std::exception&) {
        // The playback stream vanished before its recording could start.
        m_streams.erase(sinkInput);
    }
}

void PulseApplicationRecorder::endStream(std::uint32_t sinkInput) {
    if (m_streams.erase(sinkInput) > 0)
        m_handlers.streamEnded(sinkInput);
}

void PulseApplicationRecorder::end() {
    if (m_closing)
        return;
    m_closing = true;
    m_handlers.ended();
}

void PulseApplicationRecorder::watchForExit() {
    m_exitDescriptor = int(::syscall(SYS_pidfd_open, pid_t(m_processID), 0));
    if (m_exitDescriptor < 0)
        return; // Gone already: the client events end the recording.
    pa_mainloop_api* loop = pa_threaded_mainloop_get_api(m_context->mainloop());
    m_exitWatch = loop->io_new(
        loop, m_exitDescriptor, PA_IO_EVENT_INPUT,
        [](pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void* self) {
            // While a client of the process is still connected, its removal ends the recording.
            auto* recorder = static_cast<PulseApplicationRecorder*>(self);
            recorder->stopWatchingForExit();
            if (recorder->m_clients.isEmpty())
                recorder->end();
        },
        this);
}

void PulseApplicationRecorder::stopWatchingForExit() {
    if (m_exitWatch)
        pa_threaded_mainloop_get_api(m_context->mainloop())
            ->io_free(std::exchange(m_exitWatch, nullptr));
    if (m_exitDescriptor >= 0)
        ::close(std::exchange(m_exitDescriptor, -1));
}
