#pragma once

#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

struct pa_client_info;
struct pa_context;
struct pa_operation;
struct pa_sink_input_info;
struct pa_threaded_mainloop;

// A connection to the sound server with its own event thread (a libpulse
// threaded main loop). Callbacks of the context and of its streams run on that
// thread with the loop locked; every other thread takes `Lock` before it touches
// a libpulse object. The queries below wait for the server's answer, which on a
// local socket takes a few milliseconds, and give up with a PulseError after a
// few seconds of silence; they must not be called from the event thread.
class PulseContext {
public:
    struct Client {
        std::uint32_t index = 0;
        qint64 processID = 0;
        QString name;
        QString binary;
        QString applicationID;
        QString iconName{};
        // Who the client is as the server saw it, for sandboxed clients whose own
        // process id is that of their namespace (PipeWire): the process id on this
        // system and the Flatpak application id; 0 and empty when not known.
        qint64 hostProcessID = 0;
        QString sandboxID{};
    };
    struct SinkInput {
        std::uint32_t index = 0;
        std::uint32_t client = 0;
        qint64 processID = 0;
        QString binary{};
        qint64 hostProcessID = 0;
        QString sandboxID{};
    };
    struct Sink {
        std::uint32_t index = 0;
        QString name;
        QString description;
    };

    // Notified on the event thread of every new, changed or removed client and
    // sink input (libpulse subscription event type and object index).
    using EventHandler = std::function<void(int eventType, std::uint32_t index)>;

    // Connects at once to `serverAddress` (empty: the user's default server);
    // throws PulseError when the server cannot be reached. `threadName` names
    // the event thread.
    PulseContext(const QString& serverAddress, const char* threadName);
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    class Lock;

    static Client clientFrom(const pa_client_info& info);
    static SinkInput sinkInputFrom(const pa_sink_input_info& info);

    bool isConnected() const;
    QList<Client> clients();
    QList<SinkInput> sinkInputs();
    QList<Sink> sinks();
    // The default source when it is an input device; empty when there is none
    // (no default source, or only the monitor of an output).
    QString defaultInputSourceName();
    // Throws PulseError when the server refuses the module.
    void loadModule(const QString& name, const QString& arguments);

    // Starts delivering client and sink-input events; `lost` runs once when the
    // connection to the server ends. Both run on the event thread.
    void subscribe(EventHandler events, std::function<void()> lost);
    // Runs `lost` once, on the event thread, when the connection to the server ends.
    void onLost(std::function<void()> lost);

    // Waits, with the lock held, until `settled` holds; throws PulseError when the server's
    // time to answer passes first. What `settled` looks at must signal the main loop when it
    // changes.
    void waitForAnswer(const std::function<bool()>& settled);

    pa_context* handle() const { return m_context; }
    pa_threaded_mainloop* mainloop() const { return m_mainloop; }

private:
    static void onStateChanged(pa_context* context, void* self);
    void connectTo(const QString& serverAddress);
    void release();
    // Waits, with the lock held, until the server has answered `operation`.
    void waitFor(pa_operation* operation);
    // Waits, with the lock held, until `settled` holds or the server's time to answer has
    // passed; tells whether it holds.
    bool waitBounded(const std::function<bool()>& settled);
    template <typename Info, typename Item, typename Start, typename Convert>
    QList<Item> collect(Start start, Convert convert);

    pa_threaded_mainloop* m_mainloop = nullptr;
    pa_context* m_context = nullptr;
    EventHandler m_events;
    std::function<void()> m_lost;
};

// Holds the event loop's lock for a scope (never on the event thread itself).
class PulseContext::Lock {
public:
    explicit Lock(const PulseContext& context);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* m_mainloop;
};
