#pragma once

#include "app/core/Cancellation.h"

#include <QTimer>
#include <chrono>

// A cancellation that fires when its caller's does or when `limit` has passed, whichever comes
// first, so a call can tell running out of time from being called off.
class Deadline {
public:
    Deadline(const Cancellation& caller, std::chrono::milliseconds limit);

    const Cancellation& cancellation() const { return m_cancellation; }
    bool hasPassed() const { return m_passed; }

private:
    Cancellation m_cancellation;
    Cancellation::Registration m_forward;
    QTimer m_timer;
    bool m_passed = false;
};
