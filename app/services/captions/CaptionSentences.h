#pragma once

#include <QString>

// Sentences of a running transcript. A sentence is a run of characters other than . ! ?,
// then one or more of them, then at most one closing quotation mark.
namespace CaptionSentences {

// The last sentence that ends in sentence punctuation, trimmed; empty when there is none.
QString latestCompletedSentence(const QString& text);
// The last sentence, or the unpunctuated run that ends the text, trimmed; empty when none.
QString latestSentenceOrFragment(const QString& text);

} // namespace CaptionSentences
