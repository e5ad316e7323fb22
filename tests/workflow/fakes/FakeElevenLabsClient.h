#pragma once

#include "app/workflow/contracts/IElevenLabsClient.h"
#include "tests/workflow/fakes/Script.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

// The ElevenLabs account: a scripted voice list and synthesis into real files.
class FakeElevenLabsClient : public IElevenLabsClient {
public:
    QCoro::Task<QList<ElevenLabsVoice>> voices(QString apiKey) override {
        voiceListKeys << apiKey;
        co_return co_await voiceLists.next({});
    }
    QCoro::Task<QUrl> synthesize(QString text, QString voiceID, QString) override {
        synthesizedTexts << text;
        synthesizedVoiceIDs << voiceID;
        const QString path = m_folder.filePath(
            QStringLiteral("meeting-elevenlabs-%1.mp3").arg(synthesizedTexts.size()));
        QFile(path).open(QIODevice::WriteOnly);
        co_return co_await syntheses.next(QUrl::fromLocalFile(path));
    }

    Script<QList<ElevenLabsVoice>> voiceLists;
    Script<QUrl> syntheses;
    QStringList voiceListKeys;
    QStringList synthesizedTexts;
    QStringList synthesizedVoiceIDs;

private:
    QTemporaryDir m_folder;
};
