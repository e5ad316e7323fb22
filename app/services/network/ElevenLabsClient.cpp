#include "app/services/network/ElevenLabsClient.h"

#include "app/services/network/ElevenLabsError.h"
#include "app/workflow/records/VoiceListResponse.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <QUuid>

namespace {

constexpr int requestTimeoutMs = 60'000;
// A first page of 100 voices with their labels and descriptions runs to a few MiB.
constexpr qint64 maxVoiceListBytes = 8 * 1024 * 1024;
constexpr qint64 maxAudioBytes = 50 * 1024 * 1024;
// Anything this short is an error page or silence, not speech.
constexpr qint64 minAudioBytes = 1001;

QByteArray speechRequest(const QString& text) {
    const QJsonObject voiceSettings{
        {QStringLiteral("stability"), 0.5},
        {QStringLiteral("similarity_boost"), 0.8},
        {QStringLiteral("style"), 0.15},
        {QStringLiteral("use_speaker_boost"), true},
    };
    const QJsonObject request{
        {QStringLiteral("text"), text},
        {QStringLiteral("model_id"), QStringLiteral("eleven_flash_v2_5")},
        {QStringLiteral("voice_settings"), voiceSettings},
    };
    return QJsonDocument(request).toJson(QJsonDocument::Compact);
}

} // namespace

ElevenLabsClient::ElevenLabsClient(QUrl baseURL)
    : m_base(baseURL.toString(QUrl::FullyEncoded | QUrl::StripTrailingSlash)),
      m_transport(std::make_unique<HttpTransport>()),
      m_audioFolder(QStringLiteral("relayo-elevenlabs")) {}

ElevenLabsClient::~ElevenLabsClient() = default;

QCoro::Task<QList<ElevenLabsVoice>> ElevenLabsClient::voices(QString apiKey) {
    QUrl url(m_base + QStringLiteral("/v2/voices"));
    QUrlQuery query;
    query.setQueryItems({{QStringLiteral("page_size"), QStringLiteral("100")},
                         {QStringLiteral("voice_type"), QStringLiteral("non-community")},
                         {QStringLiteral("sort"), QStringLiteral("name")},
                         {QStringLiteral("sort_direction"), QStringLiteral("asc")}});
    url.setQuery(query);
    const QByteArray verb = QByteArrayLiteral("GET");
    const QByteArray noBody;
    const QByteArray body = co_await send(url, verb, noBody, maxVoiceListBytes, apiKey);
    const std::optional<VoiceListResponse> response = VoiceListResponse::fromJson(body);
    if (!response)
        throw ServiceError(
            QStringLiteral("The data couldn’t be read because it isn’t in the correct format."),
            QStringLiteral("JSON"));
    co_return response->voices;
}

QCoro::Task<QUrl> ElevenLabsClient::synthesize(QString text, QString voiceID, QString apiKey) {
    // Characters allowed in a URL path, the slash included, travel unchanged.
    const QByteArray encodedVoice = QUrl::toPercentEncoding(voiceID, "!$&'()*+,/:;=@");
    const QUrl url = QUrl::fromEncoded(m_base.toUtf8() + "/v1/text-to-speech/" + encodedVoice +
                                           "?output_format=mp3_44100_128",
                                       QUrl::StrictMode);
    const QByteArray verb = QByteArrayLiteral("POST");
    const QByteArray payload = speechRequest(text);
    const QByteArray audio = co_await send(url, verb, payload, maxAudioBytes, apiKey);
    if (audio.size() < minAudioBytes)
        throw ElevenLabsError(QStringLiteral("ElevenLabs returned an empty audio file."));
    const QString name = QStringLiteral("meeting-elevenlabs-%1.mp3")
                             .arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    co_return QUrl::fromLocalFile(m_audioFolder.writeFile(name, audio));
}

QCoro::Task<QByteArray> ElevenLabsClient::send(QUrl url, QByteArray verb, QByteArray body,
                                               qint64 maxBodyBytes, QString apiKey) {
    if (!HttpTransport::isSafeHeaderValue(apiKey))
        throw ElevenLabsError(
            QStringLiteral("The ElevenLabs API key contains characters that cannot be sent."));
    QNetworkRequest request(url);
    request.setTransferTimeout(requestTimeoutMs);
    request.setRawHeader("xi-api-key", apiKey.toUtf8());
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
    // The key must not travel to another host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);

    const Cancellation notCancelled;
    const HttpTransport::Answer answer =
        co_await m_transport->send(request, verb, body, maxBodyBytes, notCancelled);
    if (!answer.status)
        throw ElevenLabsError(QStringLiteral("ElevenLabs did not return a valid response."));
    if (answer.isSuccess())
        co_return answer.body;
    if (const auto detail = ElevenLabsError::detailIn(answer.body))
        throw ElevenLabsError(withoutSecret(*detail, apiKey));
    throw ElevenLabsError(
        QStringLiteral("ElevenLabs request failed (HTTP %1).").arg(*answer.status));
}
