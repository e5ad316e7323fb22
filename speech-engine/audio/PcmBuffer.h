#pragma once

#include <cstddef>
#include <span>
#include <vector>

// The sample types a buffer can carry.
enum class SampleType { float32, float64, int16, int32 };

std::size_t bytesPerSample(SampleType type);

struct PcmFormat {
    double sampleRate = 0;
    int channelCount = 0;
    SampleType sampleType = SampleType::float32;
    // Interleaved audio lives in one plane; otherwise there is one plane per channel.
    bool interleaved = false;

    int planeCount() const { return interleaved ? 1 : channelCount; }
    bool operator==(const PcmFormat&) const = default;
};

// A block of audio: the unit that capture delivers, the caption service mixes
// and the engine converts.
class PcmBuffer {
public:
    PcmBuffer() = default;
    // Allocates `frameLength` frames of silence in `format`. Throws AudioConverterError
    // (failedToCreateBuffer) for a negative size or more samples in a plane than an int counts.
    PcmBuffer(PcmFormat format, int frameLength);

    const PcmFormat& format() const { return m_format; }
    int frameLength() const { return m_frameLength; }
    // Shortens the buffer, or extends it with silence; throws as the constructor does.
    void setFrameLength(int frameLength);

    std::span<std::byte> plane(int index) { return m_planes.at(index); }
    std::span<const std::byte> plane(int index) const { return m_planes.at(index); }

    // Typed view of a plane; the caller names the type that matches `format().sampleType`.
    template <typename Sample> std::span<Sample> samples(int planeIndex) {
        auto bytes = plane(planeIndex);
        return {reinterpret_cast<Sample*>(bytes.data()), bytes.size() / sizeof(Sample)};
    }
    template <typename Sample> std::span<const Sample> samples(int planeIndex) const {
        auto bytes = plane(planeIndex);
        return {reinterpret_cast<const Sample*>(bytes.data()), bytes.size() / sizeof(Sample)};
    }

private:
    PcmFormat m_format;
    int m_frameLength = 0;
    std::vector<std::vector<std::byte>> m_planes;
};
