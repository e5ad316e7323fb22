#pragma once

#include "speech-engine/PcmBuffer.h"
#include "tests/support/RunToCompletion.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <mutex>
#include <qcoro/qcorotask.h>
#include <vector>

// Tools for tests against a real PulseAudio daemon.
namespace audiotest {

// Writes a 48 kHz stereo sine tone with sox and returns its path.
QString makeTone(const QTemporaryDir& folder, double frequency, double seconds);

// A child process, killed and waited for when released (without QProcess's warning).
struct StopProcess {
    void operator()(QProcess* process) const {
        process->kill();
        process->waitForFinished(-1);
        delete process;
    }
};
using Process = std::unique_ptr<QProcess, StopProcess>;

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
class Recording : public std::enable_shared_from_this<Recording> {
public:
    // A handler that records here; `released` once whoever held the latest one let it go.
    std::function<void(const PcmBuffer&)> handler();
    bool released() const { return m_handler.expired(); }
    void append(const PcmBuffer& buffer);
    std::vector<float> samples() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<float> m_samples;
    std::weak_ptr<int> m_handler;
};

// A private PulseAudio daemon with one null sink, for tests that kill or
// reshape the server without touching the shared one.
class PrivateDaemon {
public:
    ~PrivateDaemon() { stop(); }
    // Starts (again) and waits until it answers; false when it exited instead or stayed silent
    // for two minutes (its log goes to the test's error output).
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

// Runs pactl (against `server`, or the default) and returns its output.
QString pactl(const QStringList& arguments, const QString& server = {});

} // namespace audiotest
