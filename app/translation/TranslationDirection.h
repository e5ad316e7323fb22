#pragma once

#include <QString>
#include <QStringView>
#include <optional>

// The two ways a text is translated: live captions into Korean, the user's
// Korean reply into English.
enum class TranslationDirection { englishToKorean, koreanToEnglish };

// The fixed system prompt the language model gets for the direction.
QString systemPrompt(TranslationDirection direction);
// The direction code the relay receives instead of the prompt: "en-ko" or "ko-en".
QString relayKind(TranslationDirection direction);
// The direction a relay code names, if it names one.
std::optional<TranslationDirection> directionOfRelayKind(QStringView kind);
