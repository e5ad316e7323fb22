#include "speech-engine/NemotronStreamingConfig.h"

#include "speech-engine/ASRError.h"
#include "speech-engine/JsonFile.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cmath>
#include <optional>

namespace {

// JSON numbers are doubles; only whole values in the 64-bit range count as integers.
std::optional<std::int64_t> integerValue(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (std::trunc(number) != number || std::abs(number) >= 0x1p63)
        return std::nullopt;
    return std::int64_t(number);
}

using IntegerField = std::int64_t NemotronStreamingConfig::*;
using ShapeField = std::vector<std::int64_t> NemotronStreamingConfig::*;

const std::pair<const char*, IntegerField> integerFields[] = {
    {"sample_rate", &NemotronStreamingConfig::sampleRate},
    {"mel_features", &NemotronStreamingConfig::melFeatures},
    {"chunk_mel_frames", &NemotronStreamingConfig::chunkMelFrames},
    {"chunk_ms", &NemotronStreamingConfig::chunkMs},
    {"pre_encode_cache", &NemotronStreamingConfig::preEncodeCache},
    {"total_mel_frames", &NemotronStreamingConfig::totalMelFrames},
    {"vocab_size", &NemotronStreamingConfig::vocabSize},
    {"blank_idx", &NemotronStreamingConfig::blankIdx},
    {"encoder_dim", &NemotronStreamingConfig::encoderDim},
    {"decoder_hidden", &NemotronStreamingConfig::decoderHidden},
    {"decoder_layers", &NemotronStreamingConfig::decoderLayers},
};
const std::pair<const char*, ShapeField> shapeFields[] = {
    {"cache_channel_shape", &NemotronStreamingConfig::cacheChannelShape},
    {"cache_time_shape", &NemotronStreamingConfig::cacheTimeShape},
};

void readShape(const QJsonObject& object, const char* key, std::vector<std::int64_t>& field) {
    const auto value = object.value(QLatin1String(key));
    if (!value.isArray())
        return;
    std::vector<std::int64_t> shape;
    for (const auto element : value.toArray()) {
        auto dimension = integerValue(element);
        if (!dimension)
            return;
        shape.push_back(*dimension);
    }
    field = std::move(shape);
}

} // namespace

NemotronStreamingConfig NemotronStreamingConfig::fromFile(const QString& metadataPath) {
    const auto document = JsonFile::read(metadataPath);
    if (!document.isObject())
        throw ASRError::processingFailed(QStringLiteral("Invalid metadata.json format"));
    const auto object = document.object();

    NemotronStreamingConfig config;
    for (const auto& [key, field] : integerFields)
        if (auto value = integerValue(object.value(QLatin1String(key))))
            config.*field = *value;
    for (const auto& [key, field] : shapeFields)
        readShape(object, key, config.*field);
    return config;
}
