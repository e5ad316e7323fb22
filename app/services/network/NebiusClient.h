#pragma once

#include "app/services/network/HttpTransport.h"
#include "app/services/network/ServiceEndpoints.h"
#include "app/translation/TranslationDirection.h"
#include "app/workflow/contracts/INebiusClient.h"

#include <QUrl>
#include <memory>

// Translates short spoken texts between English and Korean. With a Token
// Factory key (environment or ".env.local") it asks the language model itself;
// without one only the text and a direction code go to the relay. The key is
// looked up anew for every request and never kept.
class NebiusClient : public INebiusClient {
public:
    explicit NebiusClient(QUrl endpoint = ServiceEndpoints::tokenFactory(),
                          QUrl relayEndpoint = ServiceEndpoints::relay());
    ~NebiusClient() override;

    QCoro::Task<QString> translateToKorean(QString english,
                                           Cancellation cancellation = {}) override;
    QCoro::Task<QString> translateToEnglish(QString korean,
                                            Cancellation cancellation = {}) override;

private:
    QCoro::Task<QString> requestContent(TranslationDirection direction, QString text,
                                        Cancellation cancellation);
    QCoro::Task<QString> requestRelay(QString kind, QString text, Cancellation cancellation);

    QUrl m_endpoint;
    QUrl m_relayEndpoint;
    std::unique_ptr<HttpTransport> m_transport;
};
