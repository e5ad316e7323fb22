#pragma once

#include "app/workflow/contracts/IAudioOutput.h"
#include "tests/workflow/fakes/Script.h"

#include <QFile>
#include <QTemporaryDir>

// Output devices and playback; synthesis writes a real (empty) file per call
// unless the script says otherwise.
class FakeAudioOutput : public IAudioOutput {
public:
    struct Playback {
        QUrl file;
        std::optional<quint32> deviceID;
    };

    void refreshDevices() override { ++refreshCount; }
    QCoro::Task<QUrl> synthesize(QString text, QString voice) override {
        synthesizedTexts << text;
        synthesizedVoices << voice;
        const QString path =
            m_folder.filePath(QStringLiteral("meeting-voice-%1.aiff").arg(synthesizedTexts.size()));
        QFile(path).open(QIODevice::WriteOnly);
        co_return co_await syntheses.next(QUrl::fromLocalFile(path));
    }
    void play(const QUrl& file, std::optional<quint32> deviceID) override {
        if (playFailure)
            throw ServiceError(*playFailure, QStringLiteral("SpeechOutput"), 2);
        playbacks.append({file, deviceID});
        setIsPlaying(true);
    }
    void stop() override { setIsPlaying(false); }
    QCoro::Task<> createVirtualMicrophone() override { co_return; }

    Script<QUrl> syntheses;
    QStringList synthesizedTexts;
    QStringList synthesizedVoices;
    QList<Playback> playbacks;
    std::optional<QString> playFailure;
    int refreshCount = 0;

private:
    QTemporaryDir m_folder;
};
