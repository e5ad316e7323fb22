#pragma once

#include "speech-engine/runtime/ModelRunner.h"
#include "speech-engine/runtime/MultiArray.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The encoder's three carried caches: how they start and how they come back from the encoder.
namespace EncoderCacheManager {

struct CacheConfig {
    std::vector<std::int64_t> channelShape;
    std::vector<std::int64_t> timeShape;
    std::vector<std::int64_t> lenShape;
};

struct Caches {
    MultiArray channel;
    MultiArray time;
    MultiArray len;
};

struct ExtractedCaches {
    std::optional<MultiArray> channel;
    std::optional<MultiArray> time;
    std::optional<MultiArray> len;
};

// All zero: channel and time as 32-bit floats, length as 32-bit integers. Throws
// std::invalid_argument for a negative dimension.
Caches createInitialCaches(const CacheConfig& config);

// Each cache is absent when the output lacks it or holds it with another element type.
ExtractedCaches extractCachesFromOutput(const ModelFeatures& output, const std::string& channelKey,
                                        const std::string& timeKey, const std::string& lenKey);

MultiArray createZeroArray(const std::vector<std::int64_t>& shape, MultiArrayDataType dataType);

} // namespace EncoderCacheManager
