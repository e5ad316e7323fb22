#pragma once

#include <QHash>
#include <QRegularExpression>
#include <QString>

#include <cstdint>
#include <optional>
#include <span>

// Turns the decoder's token ids back into text, from a model folder's "tokenizer.json"
// (one flat object: decimal id → token, word starts marked with "▁"). Read-only once loaded.
class Tokenizer {
public:
    // Throws std::runtime_error when the file cannot be read or is not JSON, and
    // ASRError ("Invalid tokenizer.json format") when it is not an object of strings, or
    // ("Invalid lang_tag_pattern") when `langTagPattern` is no regular expression.
    explicit Tokenizer(const QString& vocabPath, const QString& langTagPattern = {});

    // Ids without a token contribute nothing; "▁" becomes a space; every match of the
    // language-tag pattern is removed from that text (so a tag leaves no space of its own
    // behind); then blanks and tabs are trimmed from both ends. Linear in the number of ids.
    QString decode(std::span<const std::int64_t> ids) const;

    const QHash<QString, QString>& vocab() const { return m_vocab; }

private:
    QHash<QString, QString> m_vocab;
    QHash<std::int64_t, QString> m_idToToken;
    std::optional<QRegularExpression> m_langTag;
};
