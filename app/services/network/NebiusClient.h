#pragma once

#include "app/services/network/HttpTransport.h"
#include "app/services/network/ServiceEndpoints.h"
#include "app/translation/TranslationDirection.h"
#include "app/translation/TranslationRoute.h"
#include "app/workflow/contracts/INebiusClient.h"

#include <QUrl>
#include <chrono>
#include <memory>

// Translates short spoken texts between English and Korean, through the service the
// environment or the settings name (TranslationRoute): a chat-completions server (Token
// Factory or any OpenAI-compatible one), whose answer streams in, or the relay, which gets only
// the text and a direction code. The route and its key are worked out anew for every request.
class NebiusClient : public INebiusClient {
public:
    // Bounds of one streamed answer: a server that never stops is cut off.
    struct Limits {
        qsizetype maxTextBytes = 16 * 1024;
        std::chrono::milliseconds timeout = std::chrono::seconds(90);
    };

    explicit NebiusClient(QUrl tokenFactoryEndpoint = ServiceEndpoints::tokenFactory());
    NebiusClient(QUrl tokenFactoryEndpoint, Limits limits);
    ~NebiusClient() override;

    QCoro::Task<QString> translateToKorean(QString english, Cancellation cancellation = {},
                                           PartialText onPartial = {}) override;
    QCoro::Task<QString> translateToEnglish(QString korean, Cancellation cancellation = {},
                                            PartialText onPartial = {}) override;
    void useSettings(TranslationSettings settings) override;
    bool hasService() const override;

private:
    QCoro::Task<QString> translate(TranslationDirection direction, QString text,
                                   Cancellation cancellation, PartialText onPartial);
    QCoro::Task<QString> requestChat(TranslationRoute route, TranslationDirection direction,
                                     QString text, Cancellation cancellation,
                                     PartialText onPartial);
    QCoro::Task<QString> requestRelay(QUrl endpoint, QString kind, QString text,
                                      Cancellation cancellation);
    TranslationRoute route() const;

    QUrl m_tokenFactoryEndpoint;
    Limits m_limits;
    TranslationSettings m_settings;
    std::unique_ptr<HttpTransport> m_transport;
};
