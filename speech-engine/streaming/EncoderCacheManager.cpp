#include "speech-engine/streaming/EncoderCacheManager.h"

namespace EncoderCacheManager {

namespace {

std::optional<MultiArray> featureOfType(const ModelFeatures& output, const std::string& key,
                                        MultiArrayDataType type) {
    const auto found = output.find(key);
    if (found == output.end() || found->second.dataType() != type) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace

Caches createInitialCaches(const CacheConfig& config) {
    return {createZeroArray(config.channelShape, MultiArrayDataType::float32),
            createZeroArray(config.timeShape, MultiArrayDataType::float32),
            createZeroArray(config.lenShape, MultiArrayDataType::int32)};
}

ExtractedCaches extractCachesFromOutput(const ModelFeatures& output, const std::string& channelKey,
                                        const std::string& timeKey, const std::string& lenKey) {
    return {featureOfType(output, channelKey, MultiArrayDataType::float32),
            featureOfType(output, timeKey, MultiArrayDataType::float32),
            featureOfType(output, lenKey, MultiArrayDataType::int32)};
}

MultiArray createZeroArray(const std::vector<std::int64_t>& shape, MultiArrayDataType dataType) {
    return MultiArray::createZeroed(shape, dataType);
}

} // namespace EncoderCacheManager
