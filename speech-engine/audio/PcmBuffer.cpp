#include "speech-engine/audio/PcmBuffer.h"

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
    m_planes.resize(std::size_t(format.planeCount()));
    setFrameLength(frameLength);
}

void PcmBuffer::setFrameLength(int frameLength) {
    m_frameLength = frameLength;
    const int samplesPerPlane =
        m_format.interleaved ? frameLength * m_format.channelCount : frameLength;
    const auto planeBytes = std::size_t(samplesPerPlane) * bytesPerSample(m_format.sampleType);
    for (auto& plane : m_planes)
        plane.resize(planeBytes);
}
