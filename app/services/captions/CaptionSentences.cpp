#include "app/services/captions/CaptionSentences.h"

#include <QRegularExpression>

namespace {

QString lastMatch(const QString& text, const QRegularExpression& pattern) {
    const auto trimmed = text.trimmed();
    if (trimmed.isEmpty() || !pattern.isValid()) {
        return {};
    }
    QString last;
    for (const auto& match : pattern.globalMatch(trimmed)) {
        last = match.captured();
    }
    return last.trimmed();
}

} // namespace

QString CaptionSentences::latestCompletedSentence(const QString& text) {
    static const QRegularExpression sentence(QStringLiteral("[^.!?]+[.!?]+(?:[\"'”’])?"));
    return lastMatch(text, sentence);
}

QString CaptionSentences::latestSentenceOrFragment(const QString& text) {
    static const QRegularExpression sentenceOrFragment(
        QStringLiteral("[^.!?]+[.!?]+(?:[\"'”’])?|[^.!?]+$"));
    return lastMatch(text, sentenceOrFragment);
}
