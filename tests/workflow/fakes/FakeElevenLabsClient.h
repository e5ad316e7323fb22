#pragma once

#include "app/workflow/contracts/IElevenLabsClient.h"
#include "tests/workflow/fakes/Script.h"

#include <QStringList>
#include <QTemporaryDir>

// The ElevenLabs account: a scripted voice list and synthesis into real files.
class FakeElevenLabsClient : public IElevenLabsClient {
public:
    QCoro::Task<QList<ElevenLabsVoice>> voices(QString apiKey) override;
    QCoro::Task<QUrl> synthesize(QString text, QString voiceID, QString apiKey) override;

    Script<QList<ElevenLabsVoice>> voiceLists;
    Script<QUrl> syntheses;
    QStringList voiceListKeys;
    QStringList synthesizedTexts;
    QStringList synthesizedVoiceIDs;

private:
    QTemporaryDir m_folder;
};
