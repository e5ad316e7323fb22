#pragma once

#include <QString>

#include <cstdint>
#include <vector>

// Streaming constants of one model variant. The defaults describe the 1120 ms variant
// and hold until a model folder's "metadata.json" is read.
struct NemotronStreamingConfig {
    std::int64_t sampleRate = 16000;
    std::int64_t melFeatures = 128;
    std::int64_t chunkMelFrames = 112;
    std::int64_t chunkMs = 1120;
    std::int64_t preEncodeCache = 9;
    std::int64_t totalMelFrames = 121;
    std::int64_t vocabSize = 1024;
    std::int64_t blankIdx = 1024;
    std::int64_t encoderDim = 1024;
    std::int64_t decoderHidden = 640;
    std::int64_t decoderLayers = 2;
    std::vector<std::int64_t> cacheChannelShape{1, 24, 70, 1024};
    std::vector<std::int64_t> cacheTimeShape{1, 24, 1024, 8};

    // Reads a "metadata.json": keys that are absent or of the wrong type keep their default.
    // Throws std::runtime_error when the file cannot be read or is not JSON, and ASRError
    // ("Invalid metadata.json format") when its top level is not an object.
    static NemotronStreamingConfig fromFile(const QString& metadataPath);

    // One mel hop is 160 samples at 16 kHz.
    std::int64_t chunkSamples() const { return chunkMelFrames * 160; }

    bool operator==(const NemotronStreamingConfig&) const = default;
};
