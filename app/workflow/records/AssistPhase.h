#pragma once

#include <QMetaType>
#include <QString>

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
QString rawValue(AssistPhase phase);
} // namespace AssistPhases

Q_DECLARE_METATYPE(AssistPhase)
