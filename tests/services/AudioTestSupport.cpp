#include "tests/services/AudioTestSupport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <numbers>

namespace audiotest {

QString makeTone(const QTemporaryDir& folder, double frequency, double seconds) {
    const QString path =
        folder.filePath(QStringLiteral("tone-%1-%2.wav").arg(frequency).arg(seconds));
    if (!QFile::exists(path))
        QProcess::execute("sox",
                          {"-n", "-r", "48000", "-c", "2", path, "synth", QString::number(seconds),
                           "sine", QString::number(frequency), "vol", "0.5"});
    return path;
}

Process play(const QString& file, const QString& name, const QStringList& extraArguments,
             qint64 processID) {
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

Process silentClient(const QString& name, double frequency) {
    Process process(new QProcess);
    process->start(QStringLiteral(SILENT_SOUND_CLIENT), {name, QString::number(frequency)});
    // The client says so once its connection is ready, or exits.
    while (!process->canReadLine() && process->waitForReadyRead(-1)) {
    }
    return process;
}

void startPlaying(QProcess& client) {
    client.write("play\n");
    client.waitForBytesWritten();
}

double toneStrength(const std::vector<float>& samples, double frequency) {
    // Silence before and after the sound does not dilute it.
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

std::function<void(const PcmBuffer&)> Recording::handler() {
    auto token = std::make_shared<int>();
    m_handler = token;
    return [self = shared_from_this(), token](const PcmBuffer& buffer) { self->append(buffer); };
}

void Recording::append(const PcmBuffer& buffer) {
    std::lock_guard lock(m_mutex);
    const auto samples = buffer.samples<float>(0);
    m_samples.insert(m_samples.end(), samples.begin(), samples.end());
}

std::vector<float> Recording::samples() const {
    std::lock_guard lock(m_mutex);
    return m_samples;
}

void Recording::clear() {
    std::lock_guard lock(m_mutex);
    m_samples.clear();
}

QString PrivateDaemon::address() const {
    return "unix:" + m_folder.filePath("native");
}

bool PrivateDaemon::start() {
    // The sink comes first: once the socket answers, the server is complete.
    const QString socket =
        "module-native-protocol-unix auth-anonymous=1 socket=" + m_folder.filePath("native");
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PULSE_RUNTIME_PATH", m_folder.path());
    environment.remove("PULSE_SERVER");
    m_daemon = std::make_unique<QProcess>();
    m_daemon->setProcessEnvironment(environment);
    m_daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_daemon->setStandardOutputFile(QProcess::nullDevice());
    m_daemon->start("pulseaudio",
                    {"--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--system=false",
                     "-n", "-L", "module-null-sink sink_name=private_speakers", "-L", socket,
                     "--log-target=stderr"});
    const QDeadlineTimer deadline(std::chrono::minutes(2));
    while (m_daemon->state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QProcess probe;
        probe.start("pactl", {"--server=" + address(), "info"});
        probe.waitForFinished(-1);
        if (probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
            return true;
        m_daemon->waitForFinished(50);
    }
    return false;
}

void PrivateDaemon::stop() {
    if (!m_daemon)
        return;
    m_daemon->kill();
    m_daemon->waitForFinished(-1);
    m_daemon.reset();
    QFile::remove(m_folder.filePath("native"));
}

void PrivateDaemon::pause() {
    ::kill(pid_t(m_daemon->processId()), SIGSTOP);
}

void PrivateDaemon::resume() {
    ::kill(pid_t(m_daemon->processId()), SIGCONT);
}

QString pactl(const QStringList& arguments, const QString& server) {
    QProcess process;
    process.start("pactl", (server.isEmpty() ? QStringList{} : QStringList{"--server=" + server}) +
                               arguments);
    process.waitForFinished(-1);
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace audiotest
