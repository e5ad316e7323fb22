#include "app/services/NebiusClient.h"

#include "app/services/NebiusError.h"
#include "app/services/TransportError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

namespace {

const QString keyName = QStringLiteral("NEBIUS_TOKEN_FACTORY_KEY");
constexpr int requestTimeoutMs = 90'000;
constexpr qint64 maxAnswerBytes = 1024 * 1024;
constexpr int maxErrorCharacters = 400;
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

// "=" at the start is skipped; the name runs to the next "=", the value is
// everything after it. A line without both parts gives nothing.
std::optional<std::pair<QString, QString>> nameAndValue(const QString& line) {
    qsizetype start = 0;
    while (start < line.size() && line[start] == u'=')
        ++start;
    const qsizetype separator = line.indexOf(u'=', start);
    if (separator < 0 || separator + 1 == line.size())
        return std::nullopt;
    return std::pair{line.mid(start, separator - start), line.mid(separator + 1)};
}

QString trimmedOf(QString text, QStringView characters) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && characters.contains(text[begin]))
        ++begin;
    while (end > begin && characters.contains(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

// The first matching line wins, even when its value is empty.
std::optional<QString> keyFromFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const auto parts = nameAndValue(line);
        if (parts && trimmedOf(parts->first, u" \t") == keyName)
            return trimmedOf(parts->second.trimmed(), u"\"'");
    }
    return std::nullopt;
}

// At most `count` user-perceived characters, never cutting one apart.
QString firstCharacters(const QString& text, int count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (int taken = 0; taken < count; ++taken) {
        if (finder.toNextBoundary() < 0)
            return text;
    }
    return text.left(finder.position());
}

QString tokenFactoryFailure(const QByteArray& body, const QString& key) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(body);
    if (decoder.hasError() || text.isEmpty())
        return QStringLiteral("Token Factory request failed.");
    return firstCharacters(withoutSecret(text, key), maxErrorCharacters);
}

QJsonValue chatContent(const QJsonDocument& document) {
    const QJsonArray choices = document.object().value(QStringLiteral("choices")).toArray();
    return choices.at(0)
        .toObject()
        .value(QStringLiteral("message"))
        .toObject()
        .value(QStringLiteral("content"));
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
        throw NebiusError::server(tokenFactoryFailure(answer.body, *key));

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(answer.body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw ServiceError(parseError.errorString(), QStringLiteral("QJsonParseError"),
                           parseError.error);
    const QJsonValue content = chatContent(document);
    if (!content.isString())
        throw NebiusError::invalidResponse();
    co_return content.toString();
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

    const QJsonObject object = QJsonDocument::fromJson(answer.body).object();
    if (answer.isSuccess()) {
        const QJsonValue content = object.value(QStringLiteral("content"));
        if (!content.isString())
            throw NebiusError::invalidResponse();
        co_return content.toString();
    }
    const QString message = object.value(QStringLiteral("message")).toString();
    throw NebiusError::server(
        message.isEmpty()
            ? QStringLiteral("번역 서버가 응답하지 않습니다. 잠시 뒤 다시 시도해 주세요.")
            : message);
}

std::optional<QString> NebiusClient::loadKey() {
    const QString fromEnvironment = qEnvironmentVariable("NEBIUS_TOKEN_FACTORY_KEY");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString executableFolder = QCoreApplication::applicationDirPath();
    for (const QString& folder :
         {QDir::currentPath(), executableFolder, QDir::cleanPath(executableFolder + "/..")}) {
        if (auto key = keyFromFile(QDir(folder).filePath(QStringLiteral(".env.local"))))
            return key;
    }
    return std::nullopt;
}
