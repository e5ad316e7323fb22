#include "tests/workflow/fakes/FakeElevenLabsClient.h"

#include <QFile>

QCoro::Task<QList<ElevenLabsVoice>> FakeElevenLabsClient::voices(QString apiKey) {
    voiceListKeys << apiKey;
    co_return co_await voiceLists.next({});
}

QCoro::Task<QUrl> FakeElevenLabsClient::synthesize(QString text, QString voiceID, QString) {
    synthesizedTexts << text;
    synthesizedVoiceIDs << voiceID;
    const QString path =
        m_folder.filePath(QStringLiteral("meeting-elevenlabs-%1.mp3").arg(synthesizedTexts.size()));
    QFile(path).open(QIODevice::WriteOnly);
    co_return co_await syntheses.next(QUrl::fromLocalFile(path));
}
