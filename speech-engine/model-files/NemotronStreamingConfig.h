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
    // Samples per mel frame, and the samples a frame's window reaches before and after the
    // frame's own position (the window's half plus the pre-emphasis sample, and its other half).
    std::int64_t melHopSamples = 160;
    std::int64_t melLeftContextSamples = 257;
    std::int64_t melRightContextSamples = 256;
    // The signal's last chunk runs only when it has at least this many new mel frames.
    std::int64_t minFinalMelFrames = 8;
    std::int64_t maxSymbolsPerFrame = 10;
    // Removed from the decoded text (language tags); empty: nothing is removed.
    QString langTagPattern;

    // Reads a "metadata.json": keys that are absent or of the wrong type keep their default.
    // Throws std::runtime_error when the file cannot be read or is not JSON, and ASRError
    // ("Invalid metadata.json format") when its top level is not an object, or ("Invalid <key>
    // in metadata.json") for a size the recognizer cannot run with or a pattern that is no
    // regular expression.
    static NemotronStreamingConfig fromFile(const QString& metadataPath);

    bool operator==(const NemotronStreamingConfig&) const = default;
};
