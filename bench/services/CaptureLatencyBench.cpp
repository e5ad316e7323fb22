// Capture latency: from a sample leaving a stand-in meeting application (this
// process, playing clicks through the sound server) to the capture handler.

#include "app/services/audio/SystemAudioCapture.h"
#include "bench/support/MeetingPlayback.h"
#include "bench/support/Percentile.h"
#include "tests/support/RunToCompletion.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <qcoro/qcorotask.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int playbackRate = 48000;
constexpr int clickEverySamples = playbackRate / 4;
constexpr int clickSamples = playbackRate / 200;
constexpr int clickCount = 60;
constexpr int warmUpClicks = 4;

// Shared between the player's thread and the capture queue.
struct Clicks {
    // Set once the capture hears the player, so that no burst is sent unheard.
    std::atomic<bool> heard = false;
    std::mutex mutex;
    std::deque<Clock::time_point> sent;
    std::vector<double> latenciesMs;
};

// Writes silence with a 5 ms burst at the start of the first block after each
// quarter second, noting when each burst leaves this process.
PulsePlaybackStream::Fill clickTrack(Clicks& clicks) {
    return [&clicks, sinceClick = clickEverySamples](std::span<float> out) mutable {
        std::ranges::fill(out, 0.0f);
        if (clicks.heard && sinceClick >= clickEverySamples) {
            const std::size_t burst = std::min<std::size_t>(clickSamples, out.size());
            for (std::size_t i = 0; i < burst; ++i)
                out[i] = (i / 24) % 2 ? 0.8f : -0.8f; // 1 kHz square
            std::lock_guard lock(clicks.mutex);
            clicks.sent.push_back(Clock::now());
            sinceClick = 0;
        }
        sinceClick += int(out.size());
        return out.size();
    };
}

// Notes the arrival of each burst's first loud sample: one after at least 100 ms of quiet.
// The capture starts in quiet, so the first burst counts too; missing it would pair every
// later burst with the one sent before it, a click period too late.
ISystemAudioCapture::BufferHandler clickDetector(Clicks& clicks) {
    constexpr int burstGap = 1600;
    return [&clicks, quiet = burstGap + 1](const PcmBuffer& buffer) mutable {
        clicks.heard = true;
        for (float sample : buffer.samples<float>(0)) {
            if (std::abs(sample) < 0.2f) {
                ++quiet;
                continue;
            }
            if (quiet > burstGap) {
                std::lock_guard lock(clicks.mutex);
                if (!clicks.sent.empty()) {
                    const std::chrono::duration<double, std::milli> latency =
                        Clock::now() - clicks.sent.front();
                    clicks.sent.pop_front();
                    clicks.latenciesMs.push_back(latency.count());
                }
            }
            quiet = 0;
        }
    };
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    Clicks clicks;
    SystemAudioCapture capture;
    runToCompletion(capture.start({qint32(QCoreApplication::applicationPid()), "Bench", {}, {}},
                                  clickDetector(clicks), [] {}));

    MeetingPlayback player("bench.player", playbackRate, clickTrack(clicks));

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        std::lock_guard lock(clicks.mutex);
        if (clicks.latenciesMs.size() >= std::size_t(clickCount))
            application.quit();
    });
    poll.start(100);
    QTimer::singleShot(std::chrono::seconds(60), &application, &QCoreApplication::quit);
    application.exec();

    player.stop();
    runToCompletion(capture.stop());
    std::lock_guard lock(clicks.mutex);
    if (clicks.latenciesMs.size() <= std::size_t(warmUpClicks)) {
        std::printf("capture latency: no clicks arrived\n");
        return 1;
    }
    const std::vector<double> measured(clicks.latenciesMs.begin() + warmUpClicks,
                                       clicks.latenciesMs.end());
    std::printf("capture latency over %zu clicks: median %.1f ms, p95 %.1f ms, max %.1f ms "
                "(target: median 30 ms at most)\n",
                measured.size(), percentile(measured, 0.5), percentile(measured, 0.95),
                percentile(measured, 1.0));
    return 0;
}
