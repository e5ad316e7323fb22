#include "speech-engine/audio/PcmBuffer.h"

#include "speech-engine/audio/AudioConverterError.h"

#include <cstdint>
#include <limits>

std::size_t bytesPerSample(SampleType type) {
    switch (type) {
    case SampleType::float32:
    case SampleType::int32:
        return 4;
    case SampleType::float64:
        return 8;
    case SampleType::int16:
        return 2;
    }
    return 4;
}

PcmBuffer::PcmBuffer(PcmFormat format, int frameLength) : m_format(format) {
    if (format.channelCount < 0)
        throw AudioConverterError::failedToCreateBuffer();
    m_planes.resize(std::size_t(format.planeCount()));
    setFrameLength(frameLength);
}

// Frames and channels may both come from a sound file's header: their product is checked, so
// that every sample of a plane can be counted with an int.
void PcmBuffer::setFrameLength(int frameLength) {
    const std::int64_t samplesPerPlane =
        std::int64_t(frameLength) * (m_format.interleaved ? m_format.channelCount : 1);
    if (frameLength < 0 || samplesPerPlane > std::numeric_limits<int>::max())
        throw AudioConverterError::failedToCreateBuffer();
    m_frameLength = frameLength;
    const auto planeBytes = std::size_t(samplesPerPlane) * bytesPerSample(m_format.sampleType);
    for (auto& plane : m_planes)
        plane.resize(planeBytes);
}
