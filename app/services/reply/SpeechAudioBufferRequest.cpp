#include "app/services/reply/SpeechAudioBufferRequest.h"

#include <utility>

void SpeechAudioBufferRequest::appendAudioPCMBuffer(const PcmBuffer& buffer) {
    const std::scoped_lock lock(m_mutex);
    if (m_ended) {
        return;
    }
    if (m_onAudio) {
        m_onAudio(buffer);
    } else {
        m_early.push_back(buffer);
    }
}

void SpeechAudioBufferRequest::endAudio() {
    const std::scoped_lock lock(m_mutex);
    if (m_ended) {
        return;
    }
    m_ended = true;
    if (m_onEnd) {
        m_onEnd();
    }
}

void SpeechAudioBufferRequest::consume(AudioHandler onAudio, EndHandler onEnd) {
    const std::scoped_lock lock(m_mutex);
    m_onAudio = std::move(onAudio);
    m_onEnd = std::move(onEnd);
    for (const auto& buffer : std::exchange(m_early, {})) {
        m_onAudio(buffer);
    }
    if (m_ended && m_onEnd) {
        m_onEnd();
    }
}
