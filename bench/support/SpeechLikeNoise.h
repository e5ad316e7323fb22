#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <span>

// Noise whose loudness changes every 80 ms (one encoder frame) at 16 kHz over 40 dB, as speech's
// does, so that frames differ; the same for every run.
class SpeechLikeNoise {
public:
    void fill(std::span<float> out) {
        for (auto& sample : out) {
            if (m_position++ % 1280 == 0)
                m_gain = std::pow(10.0f, m_decibels(m_random) / 20);
            sample = m_gain * m_normal(m_random);
        }
    }

private:
    std::mt19937 m_random{7};
    std::normal_distribution<float> m_normal{0.0f, 1.0f};
    std::uniform_real_distribution<float> m_decibels{-50.0f, -10.0f};
    std::int64_t m_position = 0;
    float m_gain = 0;
};
