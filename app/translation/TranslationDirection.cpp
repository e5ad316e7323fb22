#include "app/translation/TranslationDirection.h"

QString systemPrompt(TranslationDirection direction) {
    switch (direction) {
    case TranslationDirection::englishToKorean:
        return QStringLiteral(
            "Translate the supplied English live caption into natural Korean.\n"
            "Preserve names, numbers, negation, uncertainty, and question intent exactly.\n"
            "Do not summarize, answer, explain, or add labels. Return only the Korean "
            "translation.");
    case TranslationDirection::koreanToEnglish:
        return QStringLiteral(
            "Translate the supplied Korean spoken reply into concise, natural conversational "
            "English.\n"
            "Preserve meaning, uncertainty, commitments, names, numbers, and negation exactly.\n"
            "Remove only speech fillers. Do not add facts, promises, explanations, or labels.\n"
            "Return only the English translation that can be spoken directly to the other "
            "person.");
    }
    Q_UNREACHABLE();
}

QString relayKind(TranslationDirection direction) {
    return direction == TranslationDirection::englishToKorean ? QStringLiteral("en-ko")
                                                              : QStringLiteral("ko-en");
}

std::optional<TranslationDirection> directionOfRelayKind(QStringView kind) {
    for (const auto direction :
         {TranslationDirection::englishToKorean, TranslationDirection::koreanToEnglish}) {
        if (kind == relayKind(direction))
            return direction;
    }
    return std::nullopt;
}
