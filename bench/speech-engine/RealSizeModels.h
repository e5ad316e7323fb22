#pragma once

#include "speech-engine/import/ModelImporter.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <utility>

// Models built from the real-size random-weight checkpoint, made once and reused by every
// benchmark: under $RELAYO_BENCH_MODELS when set, else under the build folder. The checkpoint
// itself ("bench-en.nemo", 2.5 GB) is written there first when it is missing.
namespace RealSizeModels {

std::filesystem::path cacheFolder();
std::filesystem::path checkpoint();

// The model folder the importer makes from the checkpoint for a chunk size, made anew when it
// is older than the running benchmark (whose importer may have changed).
std::filesystem::path folder(int chunkMs, ModelPrecision precision);

// The streaming encoder for an attention context {left, right}: that of the folder whose
// chunk size lists it.
std::filesystem::path encoder(std::pair<std::int64_t, std::int64_t> attContext,
                              ModelPrecision precision);

// A copy of `folder` at `copy` whose joint scales the blank's logit by `scale` and adds `bias`,
// which steers how often the random-weight model emits; the other files are links to the
// originals.
void copyWithBlankLogit(const std::filesystem::path& folder, const std::filesystem::path& copy,
                        double scale, double bias);

// The blank bias at which `emittedAt(bias)`, the symbols per chunk a model with that bias emits,
// comes within a fifth of `symbols`, or the closest found: emission falls as the bias grows, from
// every frame's cap to none within a few hundredths of it, and not always smoothly.
double calibratedBlankBias(double symbols, const std::function<double(double bias)>& emittedAt);

} // namespace RealSizeModels
