#include "tests/workflow/fakes/Gate.h"

#include <qcoro/qcorosignal.h>

void Gate::open() {
    if (m_open)
        return;
    m_open = true;
    emit opened();
}

QCoro::Task<> Gate::wait() {
    if (!m_open)
        co_await qCoro(this, &Gate::opened);
}
