#include "speech-engine/model-files/Tokenizer.h"

#include "speech-engine/core/ASRError.h"
#include "speech-engine/core/JsonFile.h"

#include <QJsonObject>

#include <charconv>

namespace {

const QString wordBoundary = QStringLiteral("\u2581");

// An optional sign followed by decimal digits only, within 64 bits.
std::optional<std::int64_t> parseId(const QString& key) {
    const auto text = key.toLatin1();
    const char* begin = text.constData();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+' && ++begin != end && *begin == '-')
        return std::nullopt;
    if (begin == end)
        return std::nullopt;
    std::int64_t id = 0;
    const auto [stop, error] = std::from_chars(begin, end, id);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return id;
}

bool isBlankOrTab(QChar c) {
    return c == u' ' || c == u'\t';
}

QString trimmedBlanksAndTabs(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && isBlankOrTab(text[first]))
        ++first;
    while (last > first && isBlankOrTab(text[last - 1]))
        --last;
    return text.mid(first, last - first);
}

} // namespace

Tokenizer::Tokenizer(const QString& vocabPath, const QString& langTagPattern) {
    if (!langTagPattern.isEmpty()) {
        // Unicode classes, so that \s matches the spaces Python's \s matches.
        m_langTag.emplace(langTagPattern, QRegularExpression::UseUnicodePropertiesOption);
        if (!m_langTag->isValid())
            throw ASRError::processingFailed(QStringLiteral("Invalid lang_tag_pattern"));
    }
    const auto document = JsonFile::read(vocabPath);
    if (!document.isObject())
        throw ASRError::processingFailed(QStringLiteral("Invalid tokenizer.json format"));
    const auto object = document.object();
    for (auto entry = object.begin(); entry != object.end(); ++entry) {
        if (!entry.value().isString())
            throw ASRError::processingFailed(QStringLiteral("Invalid tokenizer.json format"));
        const auto token = entry.value().toString();
        m_vocab.insert(entry.key(), token);
        if (auto id = parseId(entry.key()))
            m_idToToken.insert(*id, token);
    }
}

QString Tokenizer::decode(std::span<const std::int64_t> ids) const {
    QString text;
    for (auto id : ids) {
        const auto token = m_idToToken.constFind(id);
        if (token != m_idToToken.constEnd())
            text += *token;
    }
    text.replace(wordBoundary, QStringLiteral(" "));
    if (m_langTag)
        text.remove(*m_langTag);
    return trimmedBlanksAndTabs(text);
}
