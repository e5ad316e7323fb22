#include "speech-engine/model-files/NemotronStreamingConfig.h"

#include "speech-engine/core/ASRError.h"
#include "speech-engine/core/JsonFile.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>
#include <limits>
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

constexpr auto unbounded = std::numeric_limits<std::int64_t>::min();

// The sizes the chunk loop counts and divides with have a least usable value.
struct IntegerKey {
    const char* key;
    IntegerField field;
    std::int64_t minimum;
};

const IntegerKey integerKeys[] = {
    {"sample_rate", &NemotronStreamingConfig::sampleRate, unbounded},
    {"mel_features", &NemotronStreamingConfig::melFeatures, 1},
    {"chunk_mel_frames", &NemotronStreamingConfig::chunkMelFrames, 1},
    {"chunk_ms", &NemotronStreamingConfig::chunkMs, unbounded},
    {"pre_encode_cache", &NemotronStreamingConfig::preEncodeCache, 0},
    {"total_mel_frames", &NemotronStreamingConfig::totalMelFrames, unbounded},
    {"vocab_size", &NemotronStreamingConfig::vocabSize, unbounded},
    {"blank_idx", &NemotronStreamingConfig::blankIdx, unbounded},
    {"encoder_dim", &NemotronStreamingConfig::encoderDim, unbounded},
    {"decoder_hidden", &NemotronStreamingConfig::decoderHidden, unbounded},
    {"decoder_layers", &NemotronStreamingConfig::decoderLayers, unbounded},
    {"mel_hop_samples", &NemotronStreamingConfig::melHopSamples, 1},
    {"mel_left_context_samples", &NemotronStreamingConfig::melLeftContextSamples, 0},
    {"mel_right_context_samples", &NemotronStreamingConfig::melRightContextSamples, 0},
    {"min_final_mel_frames", &NemotronStreamingConfig::minFinalMelFrames, 1},
    {"max_symbols_per_frame", &NemotronStreamingConfig::maxSymbolsPerFrame, 1},
};
const std::pair<const char*, ShapeField> shapeFields[] = {
    {"cache_channel_shape", &NemotronStreamingConfig::cacheChannelShape},
    {"cache_time_shape", &NemotronStreamingConfig::cacheTimeShape},
};

ASRError invalid(const char* key) {
    return ASRError::processingFailed(QStringLiteral("Invalid %1 in metadata.json").arg(key));
}

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
    for (const auto& [key, field, minimum] : integerKeys) {
        if (auto value = integerValue(object.value(QLatin1String(key)))) {
            if (*value < minimum)
                throw invalid(key);
            config.*field = *value;
        }
    }
    for (const auto& [key, field] : shapeFields)
        readShape(object, key, config.*field);
    const auto pattern = object.value(QLatin1String("lang_tag_pattern"));
    if (pattern.isString()) {
        config.langTagPattern = pattern.toString();
        if (!QRegularExpression(config.langTagPattern).isValid())
            throw invalid("lang_tag_pattern");
    }
    return config;
}
