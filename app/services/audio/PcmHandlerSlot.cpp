#include "app/services/audio/PcmHandlerSlot.h"

std::uint64_t PcmHandlerSlot::install(Handler handler) {
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
    return ++m_generation;
}

void PcmHandlerSlot::clear() {
    std::lock_guard lock(m_mutex);
    m_handler = nullptr;
}

bool PcmHandlerSlot::clear(std::uint64_t generation) {
    std::lock_guard lock(m_mutex);
    if (generation != m_generation || !m_handler)
        return false;
    m_handler = nullptr;
    return true;
}

bool PcmHandlerSlot::isSet() const {
    std::lock_guard lock(m_mutex);
    return bool(m_handler);
}

void PcmHandlerSlot::deliver(std::uint64_t generation, const PcmBuffer& buffer) {
    std::lock_guard lock(m_mutex);
    if (generation == m_generation && m_handler)
        m_handler(buffer);
}
