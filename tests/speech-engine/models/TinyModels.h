#pragma once

#include "speech-engine/audio/PcmBuffer.h"

#include <QJsonObject>
#include <QList>
#include <string>

// Pieces shared by the tiny streaming models of the tests: 560 ms chunks (56 mel frames of 160
// samples, 8 mel bins, windows of 512 samples) over a vocabulary of 128 tokens with the blank at
// 128. Frame t of the signal repeats sample 160 t; encoders built on that turn a frame of value
// v into token v - 1.
namespace TinyModels {

inline constexpr int chunkSamples = 56 * 160;
// What a chunk's last frame's window reaches beyond the chunk's samples.
inline constexpr int lookaheadSamples = 256 - 160;

// The preprocessor of a model folder, with frames that show the samples they saw: frame j of a
// segment holds, in bins 0 to 3, the sample at its centre (audio[1 + 160 j + 256], also in bins
// 4 to 7), the first and the last sample of its window, and the sample before the window. Samples
// from "audio_length" on are zero, and so are the frames the signal's end masks.
extern const std::string preprocessor;
// Turns each chunk frame of value v into a frame preferring token v - 1 (0 and below: the
// blank). Each chunk adds 1 to the channel cache and the cache length.
extern const std::string spellingEncoder;
// Marks the token it was given; its states count the calls (h + 1, c - 1).
extern const std::string decoder;
// A joint whose projections pass the encoder frame on and scale the decoder's output by -10,
// and whose `joint_projected` has `body` (over `encoder` and `decoder`, both [1, 1, 129]).
std::string jointScoring(const std::string& body);
// Avoids the token the decoder marks, so a frame emits its token once and then the blank.
extern const std::string joint;
// The "metadata.json" of such a model folder.
QJsonObject metadata();

// `count` samples of 16 kHz mono float audio, all `value`.
PcmBuffer monoSamples(int count, float value = 0);
// One chunk whose frames carry `tokens` one after another, then silence.
PcmBuffer chunkEmitting(const QList<int>& tokens);

} // namespace TinyModels
