#include "speech-engine/audio/SampleIntake.h"

bool SampleIntake::append(const PcmBuffer& buffer) {
    const auto samples = m_converter.resampleBuffer(buffer);
    const std::lock_guard lock(m_mutex);
    m_samples.insert(m_samples.end(), samples.begin(), samples.end());
    m_end += std::int64_t(samples.size());
    return m_end >= m_due;
}

bool SampleIntake::isDue() const {
    const std::lock_guard lock(m_mutex);
    return m_end >= m_due;
}

std::vector<float> SampleIntake::take() {
    const std::lock_guard lock(m_mutex);
    return std::exchange(m_samples, {});
}

std::int64_t SampleIntake::end() const {
    const std::lock_guard lock(m_mutex);
    return m_end;
}

void SampleIntake::setDue(std::int64_t position) {
    const std::lock_guard lock(m_mutex);
    m_due = position;
}
