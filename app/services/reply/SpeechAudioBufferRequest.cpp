#include "app/services/reply/SpeechAudioBufferRequest.h"

void SpeechAudioBufferRequest::appendAudioPCMBuffer(const PcmBuffer& buffer) {
    const std::scoped_lock lock(m_mutex);
    if (!m_ended && m_onAudio) {
        m_onAudio(buffer);
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
    if (m_ended && m_onEnd) {
        m_onEnd();
    }
}
