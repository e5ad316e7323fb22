#include "app/services/captions/AudioSamplePipe.h"

#include <utility>

void AudioSamplePipe::install(std::shared_ptr<SampleStream> continuation) {
    std::shared_ptr<SampleStream> old;
    {
        const std::scoped_lock lock(m_lock);
        old = std::exchange(m_continuation, std::move(continuation));
    }
    if (old) {
        old->finish();
    }
}

void AudioSamplePipe::yield(SampleStream::Block samples) {
    std::shared_ptr<SampleStream> continuation;
    {
        const std::scoped_lock lock(m_lock);
        continuation = m_continuation;
    }
    if (continuation) {
        continuation->yield(std::move(samples));
    }
}

void AudioSamplePipe::finish() {
    std::shared_ptr<SampleStream> old;
    {
        const std::scoped_lock lock(m_lock);
        old = std::exchange(m_continuation, nullptr);
    }
    if (old) {
        old->finish();
    }
}
