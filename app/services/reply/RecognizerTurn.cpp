#include "app/services/reply/RecognizerTurn.h"

#include <utility>

void RecognizerTurn::whenOver(std::function<void()> next) {
    if (m_over) {
        next();
    } else {
        m_next = std::move(next);
    }
}

void RecognizerTurn::end() {
    if (std::exchange(m_over, true)) {
        return;
    }
    if (const auto next = std::exchange(m_next, nullptr)) {
        next();
    }
}
