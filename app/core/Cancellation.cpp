#include "app/core/Cancellation.h"

#include <utility>

Cancellation::Cancellation() : m_state(std::make_shared<State>()) {}

void Cancellation::cancel() const {
    if (m_state->cancelled)
        return;
    m_state->cancelled = true;
    auto aborts = std::exchange(m_state->aborts, {});
    for (auto& [id, abort] : aborts)
        abort();
}

bool Cancellation::isCancelled() const {
    return m_state->cancelled;
}

Cancellation::Registration Cancellation::onCancel(std::function<void()> abort) const {
    if (m_state->cancelled) {
        abort();
        return {};
    }
    const int id = m_state->nextID++;
    m_state->aborts.emplace(id, std::move(abort));
    return {m_state, id};
}

Cancellation::Registration& Cancellation::Registration::operator=(Registration&& other) noexcept {
    if (this != &other) {
        release();
        m_state = std::move(other.m_state);
        m_id = std::exchange(other.m_id, -1);
    }
    return *this;
}

void Cancellation::Registration::release() {
    if (auto state = m_state.lock())
        state->aborts.erase(m_id);
    m_state.reset();
}
