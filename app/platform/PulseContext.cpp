#include "app/platform/PulseContext.h"

#include "app/platform/PulseError.h"

#include <pulse/pulseaudio.h>

namespace {

// A stalled server (stopped, swapping, deadlocked) must not hold its caller longer than this.
constexpr pa_usec_t answerLimit = 3 * PA_USEC_PER_SEC;

struct Deadline {
    pa_threaded_mainloop* mainloop;
    bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
    auto* deadline = static_cast<Deadline*>(data);
    deadline->passed = true;
    pa_threaded_mainloop_signal(deadline->mainloop, 0);
}

PulseError stalled() {
    return PulseError(QStringLiteral("The sound server did not answer within %1 seconds")
                          .arg(answerLimit / PA_USEC_PER_SEC),
                      PA_ERR_TIMEOUT);
}

QString propertyOf(pa_proplist* properties, const char* key) {
    const char* value = properties ? pa_proplist_gets(properties, key) : nullptr;
    return value ? QString::fromUtf8(value) : QString();
}

qint64 processIDOf(pa_proplist* properties) {
    return propertyOf(properties, PA_PROP_APPLICATION_PROCESS_ID).toLongLong();
}

// The process PipeWire saw connect. A client of PipeWire's PulseAudio server reaches PipeWire
// through that server, whose own process PipeWire saw instead.
qint64 hostProcessIDOf(pa_proplist* properties) {
    if (propertyOf(properties, "client.api") == QStringLiteral("pipewire-pulse"))
        return 0;
    return propertyOf(properties, "pipewire.sec.pid").toLongLong();
}

// PipeWire names the Flatpak application behind a client that came through the portal.
QString sandboxIDOf(pa_proplist* properties) {
    return propertyOf(properties, "pipewire.access.portal.app_id");
}

} // namespace

PulseContext::Lock::Lock(const PulseContext& context) : m_mainloop(context.mainloop()) {
    pa_threaded_mainloop_lock(m_mainloop);
}

PulseContext::Lock::~Lock() {
    pa_threaded_mainloop_unlock(m_mainloop);
}

PulseContext::PulseContext(const QString& serverAddress, const char* threadName)
    : m_mainloop(pa_threaded_mainloop_new()) {
    pa_threaded_mainloop_set_name(m_mainloop, threadName);
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_mainloop), "Relayo");
    pa_context_set_state_callback(m_context, &PulseContext::onStateChanged, this);
    pa_threaded_mainloop_start(m_mainloop);
    try {
        connectTo(serverAddress);
    } catch (...) {
        release();
        throw;
    }
}

PulseContext::~PulseContext() {
    release();
}

void PulseContext::connectTo(const QString& serverAddress) {
    Lock lock(*this);
    const QByteArray server = serverAddress.toUtf8();
    if (pa_context_connect(m_context, server.isEmpty() ? nullptr : server.constData(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        throw PulseError(QStringLiteral("Could not reach the sound server"),
                         pa_context_errno(m_context));
    const auto settled = [this] {
        return pa_context_get_state(m_context) == PA_CONTEXT_READY ||
               !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context));
    };
    waitForAnswer(settled);
    if (pa_context_get_state(m_context) != PA_CONTEXT_READY)
        throw PulseError(QStringLiteral("Could not reach the sound server"),
                         pa_context_errno(m_context));
}

void PulseContext::waitForAnswer(const std::function<bool()>& settled) {
    if (!waitBounded(settled))
        throw stalled();
}

bool PulseContext::waitBounded(const std::function<bool()>& settled) {
    Deadline deadline{m_mainloop};
    pa_time_event* timer =
        pa_context_rttime_new(m_context, pa_rtclock_now() + answerLimit, &onDeadline, &deadline);
    while (!settled() && !deadline.passed)
        pa_threaded_mainloop_wait(m_mainloop);
    if (timer)
        pa_threaded_mainloop_get_api(m_mainloop)->time_free(timer);
    return settled();
}

void PulseContext::release() {
    {
        Lock lock(*this);
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
    }
    pa_threaded_mainloop_stop(m_mainloop);
    pa_threaded_mainloop_free(m_mainloop);
}

void PulseContext::onStateChanged(pa_context* context, void* self) {
    auto* owner = static_cast<PulseContext*>(self);
    pa_threaded_mainloop_signal(owner->m_mainloop, 0);
    const pa_context_state_t state = pa_context_get_state(context);
    if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && owner->m_lost)
        std::exchange(owner->m_lost, nullptr)();
}

bool PulseContext::isConnected() const {
    Lock lock(*this);
    return pa_context_get_state(m_context) == PA_CONTEXT_READY;
}

void PulseContext::waitFor(pa_operation* operation) {
    if (!operation)
        throw PulseError(QStringLiteral("The sound server refused a request"),
                         pa_context_errno(m_context));
    const auto settled = [&] {
        return pa_operation_get_state(operation) != PA_OPERATION_RUNNING ||
               !PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context));
    };
    if (!waitBounded(settled)) {
        // Cancelled, the operation never calls back into the caller's finished frame.
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
        throw stalled();
    }
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    if (!done)
        throw PulseError(QStringLiteral("Lost the connection to the sound server"),
                         PA_ERR_CONNECTIONTERMINATED);
}

template <typename Info, typename Item, typename Start, typename Convert>
QList<Item> PulseContext::collect(Start start, Convert convert) {
    struct Request {
        pa_threaded_mainloop* mainloop;
        Convert convert;
        QList<Item> items;
    } request{m_mainloop, convert, {}};
    auto received = [](pa_context*, const Info* info, int endOfList, void* data) {
        auto* request = static_cast<Request*>(data);
        if (endOfList == 0 && info)
            request->convert(*info, request->items);
        else
            pa_threaded_mainloop_signal(request->mainloop, 0);
    };
    Lock lock(*this);
    waitFor(start(m_context, received, &request));
    return request.items;
}

PulseContext::Client PulseContext::clientFrom(const pa_client_info& info) {
    return {info.index,
            processIDOf(info.proplist),
            propertyOf(info.proplist, PA_PROP_APPLICATION_NAME),
            propertyOf(info.proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
            propertyOf(info.proplist, PA_PROP_APPLICATION_ID),
            propertyOf(info.proplist, PA_PROP_APPLICATION_ICON_NAME),
            hostProcessIDOf(info.proplist),
            sandboxIDOf(info.proplist)};
}

PulseContext::SinkInput PulseContext::sinkInputFrom(const pa_sink_input_info& info) {
    return {info.index,
            info.client,
            processIDOf(info.proplist),
            propertyOf(info.proplist, PA_PROP_APPLICATION_PROCESS_BINARY),
            hostProcessIDOf(info.proplist),
            sandboxIDOf(info.proplist)};
}

QList<PulseContext::Client> PulseContext::clients() {
    return collect<pa_client_info, Client>(
        &pa_context_get_client_info_list,
        [](const pa_client_info& info, QList<Client>& items) { items.append(clientFrom(info)); });
}

QList<PulseContext::SinkInput> PulseContext::sinkInputs() {
    return collect<pa_sink_input_info, SinkInput>(
        &pa_context_get_sink_input_info_list,
        [](const pa_sink_input_info& info, QList<SinkInput>& items) {
            items.append(sinkInputFrom(info));
        });
}

QList<PulseContext::Sink> PulseContext::sinks() {
    return collect<pa_sink_info, Sink>(&pa_context_get_sink_info_list,
                                       [](const pa_sink_info& info, QList<Sink>& items) {
                                           items.append({info.index, QString::fromUtf8(info.name),
                                                         QString::fromUtf8(info.description)});
                                       });
}

QString PulseContext::defaultInputSourceName() {
    struct Source {
        QString name;
        bool isMonitor;
    };
    const QList<Source> sources = collect<pa_source_info, Source>(
        &pa_context_get_source_info_list, [](const pa_source_info& info, QList<Source>& items) {
            items.append({QString::fromUtf8(info.name), info.monitor_of_sink != PA_INVALID_INDEX});
        });
    struct Request {
        pa_threaded_mainloop* mainloop;
        QString name;
    } request{m_mainloop, {}};
    auto received = [](pa_context*, const pa_server_info* info, void* data) {
        auto* request = static_cast<Request*>(data);
        if (info && info->default_source_name)
            request->name = QString::fromUtf8(info->default_source_name);
        pa_threaded_mainloop_signal(request->mainloop, 0);
    };
    {
        Lock lock(*this);
        waitFor(pa_context_get_server_info(m_context, received, &request));
    }
    for (const Source& source : sources) {
        if (source.name == request.name && !source.isMonitor)
            return source.name;
    }
    return {};
}

void PulseContext::loadModule(const QString& name, const QString& arguments) {
    struct Request {
        pa_threaded_mainloop* mainloop;
        std::uint32_t index = PA_INVALID_INDEX;
    } request{m_mainloop};
    auto loaded = [](pa_context*, std::uint32_t index, void* data) {
        auto* request = static_cast<Request*>(data);
        request->index = index;
        pa_threaded_mainloop_signal(request->mainloop, 0);
    };
    Lock lock(*this);
    waitFor(pa_context_load_module(m_context, name.toUtf8().constData(),
                                   arguments.toUtf8().constData(), loaded, &request));
    if (request.index == PA_INVALID_INDEX)
        throw PulseError(QStringLiteral("The sound server could not load %1").arg(name),
                         pa_context_errno(m_context));
}

void PulseContext::onLost(std::function<void()> lost) {
    Lock lock(*this);
    m_lost = std::move(lost);
}

void PulseContext::subscribe(EventHandler events, std::function<void()> lost) {
    onLost(std::move(lost));
    Lock lock(*this);
    m_events = std::move(events);
    auto notify = [](pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                     void* self) { static_cast<PulseContext*>(self)->m_events(type, index); };
    pa_context_set_subscribe_callback(m_context, notify, this);
    waitFor(pa_context_subscribe(
        m_context,
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_CLIENT |
                                            PA_SUBSCRIPTION_MASK_SINK_INPUT),
        [](pa_context*, int, void* mainloop) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(mainloop), 0);
        },
        m_mainloop));
}
