#pragma once

#include <QEventLoop>
#include <QString>

#include <qcoro/qcorotask.h>

#include <exception>
#include <optional>
#include <type_traits>

// Runs `task` to completion in a nested event loop and returns its result or rethrows its
// failure (QCoro::waitFor never returns when the task throws).
template <typename T> T runToCompletion(QCoro::Task<T> task) {
    QEventLoop loop;
    bool done = false;
    std::exception_ptr failure;
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> result{};
    auto run = [&]() -> QCoro::Task<> {
        try {
            if constexpr (std::is_void_v<T>)
                co_await task;
            else
                result = co_await task;
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    auto running = run();
    if (!done)
        loop.exec();
    if (failure)
        std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<T>)
        return std::move(*result);
}

// The description of what `task` threw, or an empty text when it succeeded.
template <typename T> QString taskFailure(QCoro::Task<T> task) {
    try {
        runToCompletion(std::move(task));
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}
