#include "speech-engine/PcmBuffer.h"

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

PcmBuffer::PcmBuffer(PcmFormat format, int frameLength)
    : m_format(format), m_frameLength(frameLength) {
    const int samplesPerPlane = format.interleaved ? frameLength * format.channelCount : frameLength;
    const auto planeBytes = std::size_t(samplesPerPlane) * bytesPerSample(format.sampleType);
    m_planes.assign(std::size_t(format.planeCount()), std::vector<std::byte>(planeBytes));
}
