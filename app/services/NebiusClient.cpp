#include "app/services/NebiusClient.h"

#include "app/services/EnvFile.h"
#include "app/services/NebiusAnswer.h"
#include "app/services/NebiusError.h"
#include "app/services/TransportError.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString keyName = QStringLiteral("NEBIUS_TOKEN_FACTORY_KEY");
constexpr int requestTimeoutMs = 90'000;
constexpr qint64 maxAnswerBytes = 1024 * 1024;
const QByteArray post = QByteArrayLiteral("POST");

const QString englishToKoreanPrompt = QStringLiteral(
    "Translate the supplied English live caption into natural Korean.\n"
    "Preserve names, numbers, negation, uncertainty, and question intent exactly.\n"
    "Do not summarize, answer, explain, or add labels. Return only the Korean translation.");

const QString koreanToEnglishPrompt = QStringLiteral(
    "Translate the supplied Korean spoken reply into concise, natural conversational English.\n"
    "Preserve meaning, uncertainty, commitments, names, numbers, and negation exactly.\n"
    "Remove only speech fillers. Do not add facts, promises, explanations, or labels.\n"
    "Return only the English translation that can be spoken directly to the other person.");

QNetworkRequest jsonPost(const QUrl& url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(requestTimeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    return request;
}

} // namespace

NebiusClient::NebiusClient(QUrl endpoint, QUrl relayEndpoint)
    : m_endpoint(std::move(endpoint)), m_relayEndpoint(std::move(relayEndpoint)),
      m_transport(std::make_unique<HttpTransport>()) {}

NebiusClient::~NebiusClient() = default;

QCoro::Task<QString> NebiusClient::translateToKorean(QString english, Cancellation cancellation) {
    const QString kind = QStringLiteral("en-ko");
    const QString answer =
        co_await requestContent(englishToKoreanPrompt, english, kind, cancellation);
    co_return answer.trimmed();
}

QCoro::Task<QString> NebiusClient::translateToEnglish(QString korean, Cancellation cancellation) {
    const QString kind = QStringLiteral("ko-en");
    const QString answer =
        co_await requestContent(koreanToEnglishPrompt, korean, kind, cancellation);
    co_return answer.trimmed();
}

QCoro::Task<QString> NebiusClient::requestContent(QString systemPrompt, QString text,
                                                  QString relayKind, Cancellation cancellation) {
    const std::optional<QString> key = loadKey();
    if (!key || key->isEmpty()) {
        const QString relayed = co_await requestRelay(relayKind, text, cancellation);
        co_return relayed;
    }
    if (!HttpTransport::isSafeHeaderValue(*key))
        throw NebiusError::server(
            QStringLiteral("The Token Factory key contains characters that cannot be sent."));

    const QJsonObject body{
        {QStringLiteral("model"), translationModel},
        {QStringLiteral("temperature"), 0},
        {QStringLiteral("max_tokens"), 600},
        {QStringLiteral("messages"),
         QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("system")},
                                {QStringLiteral("content"), systemPrompt}},
                    QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                {QStringLiteral("content"), text}}}},
    };
    QNetworkRequest request = jsonPost(m_endpoint);
    request.setRawHeader("Authorization", "Bearer " + key->toUtf8());
    // The key must not travel to another host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    const HttpTransport::Answer answer =
        co_await m_transport->send(request, post, payload, maxAnswerBytes, cancellation);
    if (!answer.isSuccess())
        throw NebiusError::server(NebiusAnswer::tokenFactoryFailure(answer.body, *key));
    co_return NebiusAnswer::tokenFactoryContent(answer.body);
}

QCoro::Task<QString> NebiusClient::requestRelay(QString kind, QString text,
                                                Cancellation cancellation) {
    QNetworkRequest request = jsonPost(m_relayEndpoint);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QByteArrayLiteral("Relayo/" RELAYO_VERSION));
    const QJsonObject body{{QStringLiteral("kind"), kind}, {QStringLiteral("text"), text}};
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);

    HttpTransport::Answer answer;
    try {
        answer = co_await m_transport->send(request, post, payload, maxAnswerBytes, cancellation);
    } catch (const TransportError&) {
        throw NebiusError::missingKey();
    }
    co_return NebiusAnswer::relayContent(answer.isSuccess(), answer.body);
}

std::optional<QString> NebiusClient::loadKey() {
    const QString fromEnvironment = qEnvironmentVariable("NEBIUS_TOKEN_FACTORY_KEY");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString executableFolder = QCoreApplication::applicationDirPath();
    for (const QString& folder :
         {QDir::currentPath(), executableFolder, QDir::cleanPath(executableFolder + "/..")}) {
        if (auto key =
                EnvFile::valueInFile(QDir(folder).filePath(QStringLiteral(".env.local")), keyName))
            return key;
    }
    return std::nullopt;
}
