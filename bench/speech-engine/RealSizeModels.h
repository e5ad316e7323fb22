#pragma once

#include "speech-engine/import/ModelImporter.h"

#include <cstdint>
#include <filesystem>
#include <utility>

// Models built from the real-size random-weight checkpoint, made once and reused by every
// benchmark: under $RELAYO_BENCH_MODELS when set, else under the build folder. The checkpoint
// itself ("bench-en.nemo", 2.5 GB) is written there first when it is missing.
namespace RealSizeModels {

std::filesystem::path cacheFolder();
std::filesystem::path checkpoint();

// The streaming encoder for an attention context {left, right}.
std::filesystem::path encoder(std::pair<std::int64_t, std::int64_t> attContext,
                              ModelPrecision precision);

} // namespace RealSizeModels
