#pragma once

#include "speech-engine/PcmBuffer.h"
#include "tests/support/RunToCompletion.h"

#include <QEventLoop>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <qcoro/qcorotask.h>
#include <vector>

// Tools for tests against a real PulseAudio daemon.
namespace audiotest {

// Writes a 48 kHz stereo sine tone with sox and returns its path.
QString makeTone(const QTemporaryDir& folder, double frequency, double seconds);

// Ends a child process and waits for it.
struct StopProcess {
    void operator()(QProcess* process) const;
};
using Process = std::unique_ptr<QProcess, StopProcess>;

// A process that just stays alive: an application identity for paplay clients.
Process idleProcess();

// A stand-in application playing `file` through paplay as the client `name`.
// `extraArguments` go to paplay; `processID` overrides the process id the
// sound server is told (0: paplay's own).
Process play(const QString& file, const QString& name, const QStringList& extraArguments = {},
             qint64 processID = 0);

// A client of the sound server that has connected as `name` and plays nothing
// until `startPlaying`; then a sine tone of `frequency`.
Process silentClient(const QString& name, double frequency);
void startPlaying(QProcess& client);

// The relative strength of `frequency` in mono 16 kHz `samples` between their first and last
// audible sample (Goertzel power per sample).
double toneStrength(const std::vector<float>& samples, double frequency);

// What a handler received, collected across threads.
class Recording {
public:
    void append(const PcmBuffer& buffer);
    std::vector<float> samples() const;
    std::size_t frameCount() const;
    QSet<QString> threadNames() const;
    QList<int> blockSizes() const;
    // Every block was 16 kHz mono 32-bit float.
    bool allInSpeechFormat() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<float> m_samples;
    QSet<QString> m_threadNames;
    QList<int> m_blockSizes;
    bool m_speechFormat = true;
};

// A private PulseAudio daemon with one null sink, for tests that kill or
// reshape the server without touching the shared one.
class PrivateDaemon {
public:
    PrivateDaemon();
    ~PrivateDaemon();
    // Starts (again) and waits until it answers; false, with its log as a warning, when it
    // exited instead or stayed silent for two minutes.
    bool start();
    // Kills the daemon and waits until it and its socket are gone.
    void stop();
    // Stops the daemon's process (SIGSTOP) until `resume`: a server that never answers.
    void pause();
    void resume();
    QString address() const;

private:
    QTemporaryDir m_folder;
    std::unique_ptr<QProcess> m_daemon;
};

// A handler that records into `recording`; `watch`, when given, expires once
// the handler has been released by whoever held it.
std::function<void(const PcmBuffer&)> recorder(std::shared_ptr<Recording> recording,
                                               std::weak_ptr<int>* watch = nullptr);

// Runs pactl (against `server`, or the default) and returns its output.
QString pactl(const QStringList& arguments, const QString& server = {});

} // namespace audiotest
