#include "app/core/Deadline.h"

Deadline::Deadline(const Cancellation& caller, std::chrono::milliseconds limit)
    : m_forward(caller.onCancel([cancellation = m_cancellation] { cancellation.cancel(); })) {
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        m_passed = true;
        m_cancellation.cancel();
    });
    m_timer.start(limit);
}
