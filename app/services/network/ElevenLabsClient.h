#pragma once

#include "app/platform/PrivateFolder.h"
#include "app/services/network/HttpTransport.h"
#include "app/services/network/ServiceEndpoints.h"
#include "app/workflow/contracts/IElevenLabsClient.h"

#include <memory>

// The program's only contact with ElevenLabs: the account's voices and
// text-to-speech into an MP3 file in the temporary folder. The key comes with
// every call and is kept nowhere.
class ElevenLabsClient : public IElevenLabsClient {
public:
    explicit ElevenLabsClient(QUrl baseURL = ServiceEndpoints::elevenLabs());
    ~ElevenLabsClient() override;

    QCoro::Task<QList<ElevenLabsVoice>> voices(QString apiKey) override;
    QCoro::Task<QUrl> synthesize(QString text, QString voiceID, QString apiKey) override;

private:
    // Sends with the key and returns the body of a 2xx answer; throws otherwise.
    QCoro::Task<QByteArray> send(QUrl url, QByteArray verb, QByteArray body, qint64 maxBodyBytes,
                                 QString apiKey);

    QString m_base;
    std::unique_ptr<HttpTransport> m_transport;
    // The synthesised replies, gone with the client.
    PrivateFolder m_audioFolder;
};
