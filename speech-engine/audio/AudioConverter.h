#pragma once

#include "speech-engine/audio/PcmBuffer.h"
#include "speech-engine/audio/SampleBlock.h"
#include "speech-engine/core/AppLogger.h"

#include <QString>

#include <span>
#include <vector>

// Turns audio in any PCM format into 32-bit float mono samples at the target rate:
// libsoxr (high quality, 20-bit) for mono and stereo input, a downmix with linear
// interpolation for three or more channels. Holds no state between calls; failures throw
// AudioConverterError, or std::runtime_error for file errors.
class AudioConverter {
public:
    // 16 kHz mono float, non-interleaved.
    AudioConverter();
    AudioConverter(double sampleRate, bool debug);

    const PcmFormat& targetFormat() const { return m_targetFormat; }
    bool isTargetFormat(const PcmFormat& format) const;

    // The first channel as it is when the buffer is already in the target format.
    std::vector<float> resampleBuffer(const PcmBuffer& buffer) const;
    std::vector<float> convertBuffer(const PcmBuffer& buffer, const PcmFormat& to) const;
    // Mono float samples at `from` Hz to the target rate.
    std::vector<float> resample(std::span<const float> samples, double from) const;
    std::vector<float> resampleWithSoxr(std::span<const float> samples, double from,
                                        double to) const;
    // A whole WAV, AIFF, FLAC or MP3 file, mono at the target rate.
    std::vector<float> resampleAudioFile(const QString& path) const;
    std::vector<float> resampleSampleBlock(const SampleBlock& block) const;

    PcmBuffer extractPcmBuffer(const SampleBlock& block) const;
    // Mono float samples at the buffer's own rate.
    std::vector<float> extractMonoFloat32(const PcmBuffer& buffer) const;

private:
    std::vector<float> convertWithSoxr(const PcmBuffer& buffer, const PcmFormat& to) const;
    std::vector<float> linearResample(const PcmBuffer& buffer, const PcmFormat& to) const;

    AppLogger m_logger{QStringLiteral("AudioConverter")};
    PcmFormat m_targetFormat;
    bool m_debug = false;
};
