#pragma once

#include "app/platform/PrivateFolder.h"
#include "app/workflow/contracts/IAudioOutput.h"

#include <QTimer>
#include <memory>

class PulseContext;
class PulsePlaybackStream;

// Output devices (the sound server's sinks), the free system voice, and
// playback of one audio file at a time on the default sink or a chosen one.
// When the sound server goes away it is reached again once it is back.
// Lives on the user-interface thread.
class AudioOutput : public IAudioOutput {
    Q_OBJECT

public:
    // Description of the virtual microphone this program can create.
    static const QString virtualMicrophoneName;

    // `serverAddress` names the sound server (empty: the user's default).
    explicit AudioOutput(QString serverAddress = {}, QObject* parent = nullptr);
    ~AudioOutput() override;

    void refreshDevices() override;
    QCoro::Task<QUrl> synthesize(QString text, QString voice) override;
    void play(const QUrl& file, std::optional<quint32> deviceID) override;
    void stop() override;
    QCoro::Task<> createVirtualMicrophone() override;

    // Sorts devices by name and, when nothing is selected or the selected device is
    // gone, picks the first likely virtual microphone.
    static QList<AudioDevice> sortedDevices(QList<AudioDevice> devices);
    static std::optional<quint32> firstVirtualMicrophone(const QList<AudioDevice>& devices);

private:
    // The connection to the sound server, made again after the server restarted, with the
    // virtual microphone the server had.
    PulseContext& context();
    void closePlayback();
    static void makeVirtualMicrophone(PulseContext& pulse);

    QString m_serverAddress;
    // The synthesised voice, gone with the output.
    PrivateFolder m_voiceFolder;
    std::unique_ptr<PulseContext> m_context;
    std::unique_ptr<PulsePlaybackStream> m_playback;
    // Tells the completion of the current playback from that of an interrupted one.
    quint64 m_playbackGeneration = 0;
    // Whether the server had the virtual microphone: a restarted one gets it again.
    bool m_keepsVirtualMicrophone = false;
    // While the server is gone: tries to reach it again.
    QTimer m_reconnect;
};
