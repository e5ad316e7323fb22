#include "tests/workflow/fakes/FakeAudioOutput.h"

#include "app/workflow/ServiceError.h"

#include <QFile>

void FakeAudioOutput::refreshDevices() {
    ++refreshCount;
}

QCoro::Task<QUrl> FakeAudioOutput::synthesize(QString text, QString voice) {
    synthesizedTexts << text;
    synthesizedVoices << voice;
    const QString path =
        m_folder.filePath(QStringLiteral("meeting-voice-%1.aiff").arg(synthesizedTexts.size()));
    QFile(path).open(QIODevice::WriteOnly);
    co_return co_await syntheses.next(QUrl::fromLocalFile(path));
}

void FakeAudioOutput::play(const QUrl& file, std::optional<quint32> deviceID) {
    if (playFailure)
        throw ServiceError(*playFailure, QStringLiteral("SpeechOutput"), 2);
    playbacks.append({file, deviceID});
    setIsPlaying(true);
}

void FakeAudioOutput::stop() {
    setIsPlaying(false);
}

QCoro::Task<> FakeAudioOutput::createVirtualMicrophone() {
    co_return;
}
