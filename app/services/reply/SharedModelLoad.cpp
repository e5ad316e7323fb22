#include "app/services/reply/SharedModelLoad.h"

#include <qcoro/qcorosignal.h>

SharedModelLoad::SharedModelLoad(Load load) : m_load(std::move(load)) {}

QCoro::Task<> SharedModelLoad::ensure(std::shared_ptr<SharedModelLoad> self) {
    if (self->m_state == State::absent) {
        self->m_state = State::loading;
        self->m_stop = std::stop_source();
        run(self);
    }
    while (self->m_state == State::loading)
        co_await qCoro(self.get(), &SharedModelLoad::finished);
    if (self->m_state != State::loaded)
        std::rethrow_exception(self->m_failure);
}

void SharedModelLoad::cancel() {
    m_stop.request_stop();
}

QCoro::Task<> SharedModelLoad::run(std::shared_ptr<SharedModelLoad> self) {
    std::exception_ptr failure;
    try {
        co_await self->m_load(self->m_stop.get_token());
    } catch (...) {
        failure = std::current_exception();
    }
    self->m_failure = failure;
    self->m_state = failure ? State::absent : State::loaded;
    emit self->finished();
}
