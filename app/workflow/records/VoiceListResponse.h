#pragma once

#include "app/workflow/records/ElevenLabsVoice.h"

#include <QByteArray>
#include <QList>
#include <optional>

// The body of the ElevenLabs voice list; only "voices" is read.
struct VoiceListResponse {
    QList<ElevenLabsVoice> voices;

    // A body that is not an object with a "voices" array of valid voices gives nothing.
    static std::optional<VoiceListResponse> fromJson(const QByteArray& body);
};
