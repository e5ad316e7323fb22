#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

// Mixes the playback streams of one application into one timeline of mono
// samples. A block goes out as soon as every open stream has sound for it;
// a stream that sends nothing (paused) holds the others back for at most
// `maxLagFrames`, after which it counts as silent. The sound a stream sent
// before it ended is still mixed in. Used on one thread.
class CaptureMixer {
public:
    explicit CaptureMixer(std::size_t maxLagFrames) : m_maxLagFrames(maxLagFrames) {}

    // Queues a stream's samples and returns the mixed samples now ready (maybe none).
    std::vector<float> add(std::uint32_t stream, std::span<const float> samples);
    // Marks the stream as ended and returns the mixed samples now ready.
    std::vector<float> end(std::uint32_t stream);

private:
    struct Queue {
        std::vector<float> samples;
        bool ended = false;
    };

    std::vector<float> takeReady();
    std::size_t readyFrames() const;

    std::size_t m_maxLagFrames;
    std::map<std::uint32_t, Queue> m_queues;
};
