#pragma once

#include "app/workflow/contracts/IAudioOutput.h"
#include "tests/workflow/fakes/Script.h"

#include <QTemporaryDir>

// Output devices and playback; synthesis writes a real (empty) file per call
// unless the script says otherwise.
class FakeAudioOutput : public IAudioOutput {
public:
    struct Playback {
        QUrl file;
        std::optional<quint32> deviceID;
    };

    void refreshDevices() override;
    QCoro::Task<QUrl> synthesize(QString text, QString voice) override;
    void play(const QUrl& file, std::optional<quint32> deviceID) override;
    void stop() override;
    QCoro::Task<> createVirtualMicrophone() override;

    Script<QUrl> syntheses;
    QStringList synthesizedTexts;
    QStringList synthesizedVoices;
    QList<Playback> playbacks;
    std::optional<QString> playFailure;
    int refreshCount = 0;

private:
    QTemporaryDir m_folder;
};
