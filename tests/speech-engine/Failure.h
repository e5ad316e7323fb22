#pragma once

#include <QString>

#include <exception>

// The description of what `operation` threw, or an empty text when it succeeded.
template <typename Operation> QString failureOf(Operation&& operation) {
    try {
        operation();
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}
