#pragma once

#include "tests/speech-engine/models/TinyModels.h"

#include <QString>
#include <QStringList>

// Tiny streaming models with 560 ms chunks (8960 samples) over a vocabulary of 128 tokens,
// blank 128, for tests and benchmarks of the speech services.
namespace CaptionTestModels {

inline constexpr int chunkSamples = TinyModels::chunkSamples;

// Models whose running transcript the audio spells: frame t of a chunk (sample 160 t) holding
// the value v + 1 emits token v. `words` are tokens 0, 1, ... ("▁" starts a word).
void writeSpelling(const QString& folder, const QStringList& words);
// Models that emit the next of `words` once for every chunk whose loudest frame reaches
// `threshold` (0: every chunk); quiet chunks add nothing.
void writeCounting(const QString& folder, const QStringList& words, double threshold);

} // namespace CaptionTestModels
