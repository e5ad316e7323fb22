#pragma once

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <optional>

// One voice of the user's ElevenLabs account, as the voice list delivers it.
struct ElevenLabsVoice {
    QString voiceID;
    QString name;
    std::optional<QString> category;
    std::optional<bool> isOwner;

    bool operator==(const ElevenLabsVoice&) const = default;

    // "voice_id" and "name" are required strings; "category" and "is_owner" may be
    // missing or null. Any other shape gives no voice.
    static std::optional<ElevenLabsVoice> fromJson(const QJsonObject& object);
};

inline size_t qHash(const ElevenLabsVoice& voice, size_t seed = 0) {
    return qHashMulti(seed, voice.voiceID, voice.name, voice.category.value_or(QString()),
                      voice.category.has_value(), voice.isOwner.value_or(false),
                      voice.isOwner.has_value());
}
