#include "relay/TransportPool.h"

#include <algorithm>

namespace {

// Qt's limit of HTTP/1.1 connections per host and network manager.
constexpr int connectionsPerManager = 6;

} // namespace

TransportPool::TransportPool(int concurrentCalls) {
    const int size =
        std::max(1, (concurrentCalls + connectionsPerManager - 1) / connectionsPerManager);
    for (int index = 0; index < size; ++index)
        m_members.push_back({std::make_unique<HttpTransport>()});
}

TransportPool::Lease TransportPool::lease() {
    const auto least = std::ranges::min_element(m_members, {}, &Member::calls);
    return Lease(*this, std::size_t(least - m_members.begin()));
}

TransportPool::Lease::Lease(TransportPool& pool, std::size_t index) : m_pool(pool), m_index(index) {
    ++m_pool.m_members[m_index].calls;
}

TransportPool::Lease::~Lease() {
    --m_pool.m_members[m_index].calls;
}

HttpTransport& TransportPool::Lease::transport() const {
    return *m_pool.m_members[m_index].transport;
}
