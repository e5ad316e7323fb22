#pragma once

#include "app/services/network/HttpTransport.h"

#include <memory>
#include <vector>

// Qt's network manager opens at most six HTTP/1.1 connections to one host and queues the rest,
// so the relay's calls upstream share a few transports, each taking at most six at once.
class TransportPool {
public:
    explicit TransportPool(int concurrentCalls);

    // Holds a transport for one call until it is destroyed.
    class Lease {
    public:
        Lease(TransportPool& pool, std::size_t index);
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease();

        HttpTransport& transport() const;

    private:
        TransportPool& m_pool;
        std::size_t m_index;
    };

    // The transport with the fewest calls in flight.
    Lease lease();

private:
    struct Member {
        std::unique_ptr<HttpTransport> transport;
        int calls = 0;
    };
    std::vector<Member> m_members;
};
