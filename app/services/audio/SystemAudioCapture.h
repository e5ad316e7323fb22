#pragma once

#include "app/platform/DesktopEntries.h"
#include "app/platform/ProcessTable.h"
#include "app/platform/PulseContext.h"
#include "app/services/audio/PcmHandlerSlot.h"
#include "app/workflow/contracts/ISystemAudioCapture.h"

#include <QThread>
#include <memory>

class PulseApplicationRecorder;

// The meeting application's sound, and nothing else: a monitor recording of
// each playback stream of the chosen application's processes, mixed, in the speech engine's
// format (16 kHz mono float). Blocks reach the handler on the serial thread
// "meeting.system.audio", made once with the object. When the application or
// the sound server goes away the handler is cleared and the end handler runs.
class SystemAudioCapture : public ISystemAudioCapture {
public:
    // `serverAddress` names the sound server (empty: the user's default);
    // `processRoot` is where running meeting applications are looked for (a
    // folder laid out as /proc; tests give one of their own).
    explicit SystemAudioCapture(QString serverAddress = {},
                                QString processRoot = QStringLiteral("/proc"));
    ~SystemAudioCapture() override;

    QCoro::Task<QList<CaptureApplication>> availableApplications() override;
    QCoro::Task<> start(CaptureApplication application, BufferHandler onAudioBuffer,
                        EndHandler onEnded) override;
    QCoro::Task<> stop() override;

    // The applications connected to the sound server, whether they play or not,
    // and the running meeting applications that have not connected yet: one per
    // application (the topmost process of a program's process tree), other than
    // `ownProcessID`, the sound server's own programs and Relayo, named and drawn as the
    // desktop knows them (else by the first named client, else by the program),
    // sorted by title.
    static QList<CaptureApplication> applicationsFrom(const QList<PulseContext::Client>& clients,
                                                      const ProcessTable& processes,
                                                      const DesktopEntries& desktop,
                                                      qint64 ownProcessID);
    // Whether a program (command name or sandbox id) is a browser or a meeting client.
    static bool isMeetingProgram(const QString& program);

private:
    void post(std::uint64_t generation, std::vector<float> samples);
    void stopNow();

    QString m_serverAddress;
    QString m_processRoot;
    QThread m_queue;
    std::unique_ptr<QObject> m_queueContext;
    PcmHandlerSlot m_handler;
    std::unique_ptr<PulseApplicationRecorder> m_stream;
};
