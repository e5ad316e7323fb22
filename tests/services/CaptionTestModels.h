#pragma once

#include "speech-engine/PcmBuffer.h"
#include "tests/speech-engine/TinyModels.h"

#include <QString>
#include <QStringList>

// Tiny streaming models with 560 ms chunks (8960 samples) over a vocabulary of 128 tokens,
// blank 128, for tests and benchmarks of the speech services.
namespace CaptionTestModels {

inline constexpr int chunkSamples = TinyModels::chunkSamples;
// Silence after a chunk that lets its last frame be computed.
inline constexpr int lookaheadSamples = TinyModels::lookaheadSamples;

// Models whose running transcript the audio spells: frame t of a chunk (sample 160 t) holding
// the value v + 1 emits token v. `words` are tokens 0, 1, ... ("▁" starts a word).
void writeSpelling(const QString& folder, const QStringList& words);
// Models that emit the next of `words` once for every chunk whose loudest frame reaches
// `threshold` (0: every chunk); quiet chunks add nothing.
void writeCounting(const QString& folder, const QStringList& words, double threshold);

// One chunk of 16 kHz mono audio that spells `tokens` for `writeSpelling` models; it is
// recognised once the next chunk's first samples (`lookaheadSamples` of them) are there.
PcmBuffer chunkSpelling(const QList<int>& tokens);

} // namespace CaptionTestModels
