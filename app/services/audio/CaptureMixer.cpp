#include "app/services/audio/CaptureMixer.h"

#include <algorithm>

std::vector<float> CaptureMixer::add(std::uint32_t stream, std::span<const float> samples) {
    auto& queue = m_queues[stream].samples;
    queue.insert(queue.end(), samples.begin(), samples.end());
    return takeReady();
}

std::vector<float> CaptureMixer::end(std::uint32_t stream) {
    if (auto found = m_queues.find(stream); found != m_queues.end())
        found->second.ended = true;
    return takeReady();
}

std::size_t CaptureMixer::readyFrames() const {
    std::size_t common = SIZE_MAX;
    std::size_t fullest = 0;
    std::size_t endedTail = 0;
    for (const auto& [stream, queue] : m_queues) {
        fullest = std::max(fullest, queue.samples.size());
        if (queue.ended)
            endedTail = std::max(endedTail, queue.samples.size());
        else
            common = std::min(common, queue.samples.size());
    }
    if (common == SIZE_MAX || fullest >= m_maxLagFrames)
        common = fullest;
    return std::max(common, endedTail);
}

std::vector<float> CaptureMixer::takeReady() {
    const std::size_t frames = readyFrames();
    std::vector<float> mixed(frames, 0.0f);
    for (auto it = m_queues.begin(); it != m_queues.end();) {
        auto& samples = it->second.samples;
        const std::size_t taken = std::min(frames, samples.size());
        std::transform(samples.begin(), samples.begin() + taken, mixed.begin(), mixed.begin(),
                       std::plus<>());
        samples.erase(samples.begin(), samples.begin() + taken);
        it = it->second.ended && samples.empty() ? m_queues.erase(it) : std::next(it);
    }
    return mixed;
}
