#pragma once

#include <coroutine>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

// A stream of sample blocks: any thread may add blocks or finish it; one coroutine on the
// main thread takes them in order. Blocks added before `finish` are still delivered; after
// them the consumer gets an empty optional. When more than `maxFrames` samples wait, all but
// the newest block are dropped: a consumer that fell behind goes on from the live audio.
class SampleStream {
public:
    using Block = std::vector<float>;

    explicit SampleStream(std::size_t maxFrames) : m_maxFrames(maxFrames) {}

    // Adds a block; it is dropped only when the stream has already finished.
    void yield(Block block);
    void finish();
    // The samples waiting to be taken.
    std::size_t queuedFrames() const;
    // The samples dropped since the last call.
    std::size_t takeDroppedFrames();

    class Next;
    // Awaits the next block, or an empty optional once the stream has finished.
    Next next();

private:
    // Returns the waiting consumer, if any, for the caller to wake after unlocking.
    std::coroutine_handle<> takeWaiter();
    static void wake(std::coroutine_handle<> waiter);
    void dropAllButNewest();

    const std::size_t m_maxFrames;
    mutable std::mutex m_mutex;
    std::deque<Block> m_blocks;
    std::size_t m_queuedFrames = 0;
    std::size_t m_droppedFrames = 0;
    bool m_finished = false;
    std::coroutine_handle<> m_waiter;
};

class SampleStream::Next {
public:
    explicit Next(SampleStream& stream) : m_stream(stream) {}
    bool await_ready();
    bool await_suspend(std::coroutine_handle<> consumer);
    std::optional<Block> await_resume();

private:
    SampleStream& m_stream;
};
