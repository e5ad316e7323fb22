#include "app/services/captions/SampleStream.h"

#include "app/core/MainThread.h"

#include <utility>

void SampleStream::yield(Block block) {
    std::unique_lock lock(m_mutex);
    if (m_finished) {
        return;
    }
    m_queuedFrames += block.size();
    m_blocks.push_back(std::move(block));
    if (m_queuedFrames > m_maxFrames) {
        dropAllButNewest();
    }
    const auto waiter = takeWaiter();
    lock.unlock();
    wake(waiter);
}

void SampleStream::finish() {
    std::unique_lock lock(m_mutex);
    m_finished = true;
    const auto waiter = takeWaiter();
    lock.unlock();
    wake(waiter);
}

std::size_t SampleStream::queuedFrames() const {
    const std::scoped_lock lock(m_mutex);
    return m_queuedFrames;
}

std::size_t SampleStream::takeDroppedFrames() {
    const std::scoped_lock lock(m_mutex);
    return std::exchange(m_droppedFrames, 0);
}

void SampleStream::dropAllButNewest() {
    while (m_blocks.size() > 1) {
        m_queuedFrames -= m_blocks.front().size();
        m_droppedFrames += m_blocks.front().size();
        m_blocks.pop_front();
    }
}

SampleStream::Next SampleStream::next() {
    return Next(*this);
}

std::coroutine_handle<> SampleStream::takeWaiter() {
    return std::exchange(m_waiter, nullptr);
}

// The consumer resumes from the main thread's event loop, never inside a producer's call.
void SampleStream::wake(std::coroutine_handle<> waiter) {
    if (waiter) {
        postToMainThread([waiter] { waiter.resume(); });
    }
}

bool SampleStream::Next::await_ready() {
    const std::scoped_lock lock(m_stream.m_mutex);
    return !m_stream.m_blocks.empty() || m_stream.m_finished;
}

bool SampleStream::Next::await_suspend(std::coroutine_handle<> consumer) {
    const std::scoped_lock lock(m_stream.m_mutex);
    if (!m_stream.m_blocks.empty() || m_stream.m_finished) {
        return false;
    }
    m_stream.m_waiter = consumer;
    return true;
}

std::optional<SampleStream::Block> SampleStream::Next::await_resume() {
    const std::scoped_lock lock(m_stream.m_mutex);
    if (m_stream.m_blocks.empty()) {
        return std::nullopt;
    }
    auto block = std::move(m_stream.m_blocks.front());
    m_stream.m_blocks.pop_front();
    m_stream.m_queuedFrames -= block.size();
    return block;
}
