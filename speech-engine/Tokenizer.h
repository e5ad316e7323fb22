#pragma once

#include <QHash>
#include <QString>

#include <cstdint>
#include <span>

// Turns the decoder's token ids back into text, from a model folder's "tokenizer.json"
// (one flat object: decimal id → token, word starts marked with "▁"). Read-only once loaded.
class Tokenizer {
public:
    // Throws std::runtime_error when the file cannot be read or is not JSON, and
    // ASRError ("Invalid tokenizer.json format") when it is not an object of strings.
    explicit Tokenizer(const QString& vocabPath);

    // Ids without a token contribute nothing; "▁" becomes a space; blanks and tabs are
    // trimmed from both ends. Linear in the number of ids.
    QString decode(std::span<const std::int64_t> ids) const;

    const QHash<QString, QString>& vocab() const { return m_vocab; }

private:
    QHash<QString, QString> m_vocab;
    QHash<std::int64_t, QString> m_idToToken;
};
