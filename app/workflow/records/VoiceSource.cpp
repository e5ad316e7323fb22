#include "app/workflow/records/VoiceSource.h"

QString VoiceSources::rawValue(VoiceSource source) {
    switch (source) {
    case VoiceSource::local:
        return QStringLiteral("Local voices · Free");
    case VoiceSource::elevenLabs:
        return QStringLiteral("ElevenLabs · Optional");
    }
    return {};
}

std::optional<VoiceSource> VoiceSources::fromRawValue(const QString& raw) {
    for (VoiceSource source : all) {
        if (rawValue(source) == raw)
            return source;
    }
    return std::nullopt;
}
