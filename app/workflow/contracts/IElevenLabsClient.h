#pragma once

#include "app/workflow/records/ElevenLabsVoice.h"

#include <QList>
#include <QString>
#include <QUrl>
#include <qcoro/qcorotask.h>

// The user's ElevenLabs account. Both operations may throw an error with a description.
class IElevenLabsClient {
public:
    virtual ~IElevenLabsClient() = default;

    // The voices of the key's account, in the service's order.
    virtual QCoro::Task<QList<ElevenLabsVoice>> voices(QString apiKey) = 0;
    // The location of a new audio file holding the spoken text.
    virtual QCoro::Task<QUrl> synthesize(QString text, QString voiceID, QString apiKey) = 0;
};
