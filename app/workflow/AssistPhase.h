#pragma once

#include <QMetaType>
#include <QString>
#include <array>
#include <optional>

// The phase of the current exchange.
enum class AssistPhase {
    idle,
    listening,
    speakingKorean,
    translatingReply,
    readyToSend,
    playing,
    error
};

namespace AssistPhases {
inline constexpr std::array all = {AssistPhase::idle,           AssistPhase::listening,
                                   AssistPhase::speakingKorean, AssistPhase::translatingReply,
                                   AssistPhase::readyToSend,    AssistPhase::playing,
                                   AssistPhase::error};

QString rawValue(AssistPhase phase);
// Matches the seven raw values exactly; anything else gives no phase.
std::optional<AssistPhase> fromRawValue(const QString& raw);
} // namespace AssistPhases

Q_DECLARE_METATYPE(AssistPhase)
