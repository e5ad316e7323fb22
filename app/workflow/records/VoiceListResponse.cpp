#include "app/workflow/records/VoiceListResponse.h"

#include <QJsonArray>
#include <QJsonDocument>

std::optional<VoiceListResponse> VoiceListResponse::fromJson(const QByteArray& body) {
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return std::nullopt;
    const QJsonValue voices = document.object().value(QStringLiteral("voices"));
    if (!voices.isArray())
        return std::nullopt;
    VoiceListResponse response;
    for (const QJsonValue& entry : voices.toArray()) {
        if (!entry.isObject())
            return std::nullopt;
        auto voice = ElevenLabsVoice::fromJson(entry.toObject());
        if (!voice)
            return std::nullopt;
        response.voices.append(*voice);
    }
    return response;
}
