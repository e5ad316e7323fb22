#pragma once

#include "speech-engine/audio/PcmBuffer.h"
#include "tests/support/RunToCompletion.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>

// Tools for tests against a real sound server (PulseAudio, or PipeWire's PulseAudio server).
namespace audiotest {

// Writes a 48 kHz stereo sine tone with sox and returns its path.
inline QString makeTone(const QTemporaryDir& folder, double frequency, double seconds) {
    const QString path =
        folder.filePath(QStringLiteral("tone-%1-%2.wav").arg(frequency).arg(seconds));
    if (!QFile::exists(path))
        QProcess::execute("sox",
                          {"-n", "-r", "48000", "-c", "2", path, "synth", QString::number(seconds),
                           "sine", QString::number(frequency), "vol", "0.5"});
    return path;
}

// A child process, killed and waited for when released (without QProcess's warning).
struct StopProcess {
    void operator()(QProcess* process) const {
        process->kill();
        process->waitForFinished(-1);
        delete process;
    }
};
using Process = std::unique_ptr<QProcess, StopProcess>;

// A stand-in application playing `file` through paplay as the client `name`. `extraArguments`
// go to paplay; `processID` overrides the process id the sound server is told (0: paplay's).
inline Process play(const QString& file, const QString& name,
                    const QStringList& extraArguments = {}, qint64 processID = 0) {
    Process process(new QProcess);
    if (processID > 0) {
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PULSE_PROP",
                           QStringLiteral("application.process.id=%1").arg(processID));
        process->setProcessEnvironment(environment);
    }
    process->start("paplay",
                   QStringList{"--client-name=" + name} + extraArguments + QStringList{file});
    process->waitForStarted(-1);
    return process;
}

// How long a client of the sound server may take to be answered before the server counts as
// stalled: far longer than any answer takes, even on a loaded machine.
constexpr int answerDeadlineMs = 60'000;

// Runs pactl (against `server`, or the default) and returns its output; nothing when a stalled
// server kept it from finishing.
inline QString pactl(const QStringList& arguments, const QString& server = {}) {
    QProcess process;
    process.start("pactl", (server.isEmpty() ? QStringList{} : QStringList{"--server=" + server}) +
                               arguments);
    if (!process.waitForFinished(answerDeadlineMs)) {
        process.kill();
        process.waitForFinished(-1);
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Makes `source` the default source of `server` (empty: the default server) and waits until the
// server says so: PipeWire's session manager applies the choice a moment later.
inline bool makeDefaultSource(const QString& source, const QString& server = {}) {
    pactl({"set-default-source", source}, server);
    const QDeadlineTimer deadline(std::chrono::seconds(30));
    while (pactl({"get-default-source"}, server).trimmed() != source) {
        if (deadline.hasExpired())
            return false;
    }
    return true;
}

// A client of the sound server that has connected as `name` and opens no stream (pactl waiting
// for events), as a meeting application does before the call's audio begins; its streams can
// then be played with `play` and its process id. Null when it ended or the server did not list
// it before the deadline.
inline Process silentClient(const QString& name) {
    Process process(new QProcess);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->start("pactl", {"--client-name=" + name, "subscribe"});
    process->waitForStarted(-1);
    const QString connected =
        QStringLiteral("application.process.id = \"%1\"").arg(process->processId());
    const QDeadlineTimer deadline(answerDeadlineMs);
    while (!pactl({"list", "clients"}).contains(connected)) {
        if (process->state() != QProcess::Running || deadline.hasExpired())
            return nullptr;
        process->waitForFinished(20);
    }
    return process;
}

// The relative strength of `frequency` in mono 16 kHz `samples` between their first and last
// audible sample (Goertzel power per sample): silence around the sound does not dilute it.
inline double toneStrength(const std::vector<float>& samples, double frequency) {
    const auto audible = [](float sample) { return std::abs(sample) > 1e-4f; };
    const auto first = std::ranges::find_if(samples, audible);
    const auto last = std::ranges::find_if(samples.rbegin(), samples.rend(), audible).base();
    if (first >= last)
        return 0;
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / 16000.0);
    double previous = 0, beforePrevious = 0;
    for (auto sample = first; sample != last; ++sample) {
        const double current = *sample + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious -
                         coefficient * previous * beforePrevious;
    const double count = double(last - first);
    return power / (count * count);
}

// What a handler received, collected across threads.
class Recording : public std::enable_shared_from_this<Recording> {
public:
    // A handler that records here; `released` once whoever held the latest one let it go.
    std::function<void(const PcmBuffer&)> handler() {
        auto token = std::make_shared<int>();
        m_handler = token;
        return [self = shared_from_this(), token](const PcmBuffer& buffer) {
            const std::lock_guard lock(self->m_mutex);
            const auto samples = buffer.samples<float>(0);
            self->m_samples.insert(self->m_samples.end(), samples.begin(), samples.end());
        };
    }
    bool released() const { return m_handler.expired(); }
    // Marks the recording as ended by the capture itself.
    std::function<void()> endHandler() {
        return [self = shared_from_this()] { self->m_ended = true; };
    }
    bool ended() const { return m_ended; }
    std::vector<float> samples() const {
        const std::lock_guard lock(m_mutex);
        return m_samples;
    }
    void clear() {
        const std::lock_guard lock(m_mutex);
        m_samples.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<float> m_samples;
    std::weak_ptr<int> m_handler;
    std::atomic<bool> m_ended = false;
};

// Records a source (e.g. "speakers.monitor") of `server` (empty: the default) as 16 kHz mono
// float through parec.
class SourceRecording {
public:
    explicit SourceRecording(const QString& source, const QString& server = {})
        : m_process(new QProcess) {
        m_process->start("parec",
                         (server.isEmpty() ? QStringList{} : QStringList{"--server=" + server}) +
                             QStringList{"--device=" + source, "--raw", "--format=float32le",
                                         "--rate=16000", "--channels=1", "--latency-msec=20"});
        m_process->waitForStarted(-1);
    }
    // Everything heard since the start.
    std::vector<float> samples() {
        m_bytes += m_process->readAllStandardOutput();
        const auto* data = reinterpret_cast<const float*>(m_bytes.constData());
        return {data, data + m_bytes.size() / sizeof(float)};
    }

private:
    Process m_process;
    QByteArray m_bytes;
};

// Which sound server the test runs on (RELAYO_TEST_SOUND_SERVER, set by tools/test-on.sh).
inline bool onPipeWire() {
    return qEnvironmentVariable("RELAYO_TEST_SOUND_SERVER") == QStringLiteral("pipewire");
}

// A private sound server of the kind the test runs on (PulseAudio, or PipeWire with its session
// manager and PulseAudio server), with one null sink "private_speakers", for tests that kill or
// reshape the server without touching the shared one.
class PrivateDaemon {
public:
    ~PrivateDaemon() { stop(); }
    QString address() const { return "unix:" + m_folder.filePath("native"); }

    // Starts (again) and waits until it answers with its sink; false when it exited instead or
    // stayed silent for two minutes (its log goes to the test's error output).
    bool start() {
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PULSE_RUNTIME_PATH", m_folder.path());
        environment.remove("PULSE_SERVER");
        if (onPipeWire()) {
            environment.insert("XDG_RUNTIME_DIR", m_folder.path());
            environment.insert("XDG_STATE_HOME", m_folder.filePath("state"));
            launch("pipewire", {}, environment);
            // Its session manager and PulseAudio server give up when its socket is not there.
            if (!waitUntil([this] { return QFile::exists(m_folder.filePath("pipewire-0")); }))
                return false;
            launch("wireplumber", {}, environment);
            launch("pipewire-pulse", {}, environment);
        } else {
            // The sink comes first: once the socket answers, the server is complete.
            launch("pulseaudio",
                   {"--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--system=false",
                    "-n", "-L", "module-null-sink sink_name=private_speakers", "-L",
                    "module-native-protocol-unix auth-anonymous=1 socket=" +
                        m_folder.filePath("native"),
                    "--log-target=stderr"},
                   environment);
        }
        return waitUntil([this] { return answers({"info"}); }) &&
               (!onPipeWire() ||
                (answers({"load-module", "module-null-sink", "sink_name=private_speakers"}) &&
                 waitUntil([this] { return hasSinkPorts(); })));
    }
    // Kills the server and waits until it and its socket are gone.
    void stop() {
        while (!m_processes.empty()) {
            m_processes.back()->kill();
            m_processes.back()->waitForFinished(-1);
            m_processes.pop_back();
        }
        // A socket left behind would pass for the next start's.
        for (const char* socket : {"native", "pipewire-0", "pipewire-0.lock"})
            QFile::remove(m_folder.filePath(socket));
    }
    // Stops the process that answers clients (SIGSTOP) until `resume`: a server that never
    // answers.
    void pause() { ::kill(pid_t(m_processes.back()->processId()), SIGSTOP); }
    void resume() { ::kill(pid_t(m_processes.back()->processId()), SIGCONT); }

private:
    void launch(const QString& program, const QStringList& arguments,
                const QProcessEnvironment& environment) {
        auto& process = m_processes.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start(program, arguments);
    }
    // Whether `ready` came true while every process of the server ran, within two minutes.
    bool waitUntil(const std::function<bool()>& ready) {
        const QDeadlineTimer deadline(std::chrono::minutes(2));
        while (running() && !deadline.hasExpired()) {
            if (ready())
                return true;
            m_processes.back()->waitForFinished(50);
        }
        return false;
    }
    bool running() const {
        return std::ranges::all_of(m_processes, [](const auto& process) {
            return process->state() != QProcess::NotRunning;
        });
    }
    // The session manager links a stream only to ports that exist when it looks, and does not
    // look again: a stream that comes before the sink's ports stays silent.
    bool hasSinkPorts() const {
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", m_folder.path());
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start("pw-link", {"--output", "--input"});
        probe.waitForFinished(-1);
        const QString ports = QString::fromUtf8(probe.readAllStandardOutput());
        return ports.contains("private_speakers:monitor_") &&
               ports.contains("private_speakers:playback_");
    }
    bool answers(const QStringList& arguments) const {
        QProcess probe;
        probe.start("pactl", QStringList{"--server=" + address()} + arguments);
        probe.waitForFinished(-1);
        return probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    }

    QTemporaryDir m_folder;
    // The server's processes, the one that answers clients last.
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

} // namespace audiotest
