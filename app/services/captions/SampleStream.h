#pragma once

#include <coroutine>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

// An unbounded stream of sample blocks: any thread may add blocks or finish it; one
// coroutine on the main thread takes them in order. Blocks added before `finish` are
// still delivered; after them the consumer gets an empty optional.
class SampleStream {
public:
    using Block = std::vector<float>;

    // Adds a block; it is dropped only when the stream has already finished.
    void yield(Block block);
    void finish();

    class Next;
    // Awaits the next block, or an empty optional once the stream has finished.
    Next next();

private:
    // Returns the waiting consumer, if any, for the caller to wake after unlocking.
    std::coroutine_handle<> takeWaiter();
    static void wake(std::coroutine_handle<> waiter);

    std::mutex m_mutex;
    std::deque<Block> m_blocks;
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
