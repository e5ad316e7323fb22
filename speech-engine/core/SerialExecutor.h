#pragma once

#include <QFuture>
#include <QObject>
#include <QPromise>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <memory>
#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>
#include <type_traits>

// Runs jobs one at a time, in the order they were given, on a worker thread with its own event
// loop. Callers await each job as a task; a job's exception reaches the awaiting caller.
// Destruction waits for the running job; jobs still queued then are dropped.
class SerialExecutor {
public:
    explicit SerialExecutor(const QString& name);
    ~SerialExecutor();
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    // Jobs given so far: each one a hop between threads, which costs the caller a wake-up.
    std::uint64_t jobsGiven() const { return m_jobsGiven; }

    template <typename Job> QCoro::Task<std::invoke_result_t<Job&>> run(Job job) {
        using Result = std::invoke_result_t<Job&>;
        ++m_jobsGiven;
        auto promise = std::make_shared<QPromise<Result>>();
        auto future = promise->future();
        QMetaObject::invokeMethod(
            &m_context,
            [promise, job = std::move(job)]() mutable {
                promise->start();
                try {
                    if constexpr (std::is_void_v<Result>) {
                        job();
                    } else {
                        promise->addResult(job());
                    }
                } catch (...) {
                    promise->setException(std::current_exception());
                }
                promise->finish();
            },
            Qt::QueuedConnection);
        co_return co_await future;
    }

private:
    QThread m_thread;
    // Lives on the worker thread; queued jobs are delivered to it.
    QObject m_context;
    std::atomic<std::uint64_t> m_jobsGiven = 0;
};
