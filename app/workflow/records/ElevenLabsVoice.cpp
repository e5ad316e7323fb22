#include "app/workflow/records/ElevenLabsVoice.h"

#include <QJsonValue>

namespace {
// Missing or null gives absent; a value of another type is a decoding failure.
template <typename T> bool decodeOptional(const QJsonValue& value, std::optional<T>& out) {
    if (value.isUndefined() || value.isNull())
        return true;
    if constexpr (std::is_same_v<T, bool>) {
        if (!value.isBool())
            return false;
        out = value.toBool();
    } else {
        if (!value.isString())
            return false;
        out = value.toString();
    }
    return true;
}
} // namespace

std::optional<ElevenLabsVoice> ElevenLabsVoice::fromJson(const QJsonObject& object) {
    const QJsonValue voiceID = object.value(QStringLiteral("voice_id"));
    const QJsonValue name = object.value(QStringLiteral("name"));
    if (!voiceID.isString() || !name.isString())
        return std::nullopt;
    ElevenLabsVoice voice{voiceID.toString(), name.toString(), std::nullopt, std::nullopt};
    if (!decodeOptional(object.value(QStringLiteral("category")), voice.category) ||
        !decodeOptional(object.value(QStringLiteral("is_owner")), voice.isOwner))
        return std::nullopt;
    return voice;
}
