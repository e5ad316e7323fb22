#include "app/workflow/records/AssistPhase.h"

QString AssistPhases::rawValue(AssistPhase phase) {
    switch (phase) {
    case AssistPhase::idle:
        return QStringLiteral("Ready");
    case AssistPhase::listening:
        return QStringLiteral("Listening to the meeting");
    case AssistPhase::speakingKorean:
        return QStringLiteral("Listening to your Korean reply");
    case AssistPhase::translatingReply:
        return QStringLiteral("Translating your reply to English");
    case AssistPhase::readyToSend:
        return QStringLiteral("Ready to send");
    case AssistPhase::playing:
        return QStringLiteral("Sending to the meeting");
    case AssistPhase::error:
        return QStringLiteral("Needs attention");
    }
    return {};
}
