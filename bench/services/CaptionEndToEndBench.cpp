// End-to-end caption latency: from the last sample a 560 ms chunk needs leaving a stand-in meeting
// application (this process, playing through the sound server) to the caption service announcing
// the transcript that chunk changed, with the real-size int8 model on the capture the app uses.
// The random-weight model emits for any sound, and its joint's blank bias is calibrated so that
// a chunk emits about four symbols, as speech does; a chunk that changes no transcript is not
// timed. Which chunk a transcript comes from is told by the audio the recognizer had been handed
// when it reported it.

#include "app/services/audio/SystemAudioCapture.h"
#include "app/services/captions/NemotronCaptionRecognizer.h"
#include "app/services/captions/NemotronCaptionService.h"
#include "bench/speech-engine/RealSizeModels.h"
#include "bench/support/MeetingPlayback.h"
#include "bench/support/Percentile.h"
#include "bench/support/SpeechLikeNoise.h"
#include "speech-engine/core/ModelNames.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/model-files/NemotronStreamingConfig.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"
#include "tests/support/RunToCompletion.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int sampleRate = 16000;
constexpr int warmUpChunks = 5;
constexpr int measuredChunks = 100;
constexpr double symbolsPerChunk = 4;

// Symbols per 560 ms the recognizer of `folder` emits over 20 chunks' length of the noise.
double emittedSymbols(const QString& folder) {
    StreamingNemotronAsrManager recognizer;
    runToCompletion(recognizer.loadModelsFrom(folder));
    runToCompletion(recognizer.setPartialCallback([](const QString&) {}));
    constexpr int chunks = 20;
    SpeechLikeNoise noise;
    PcmBuffer audio(PcmFormat{sampleRate, 1, SampleType::float32, false}, sampleRate * 560 / 1000);
    for (int i = 0; i < chunks; ++i) {
        noise.fill(audio.samples<float>(0));
        runToCompletion(recognizer.process(audio));
    }
    return double(runToCompletion(recognizer.snapshot()).accumulatedTokenIds.size()) / chunks;
}

// When the sound left the player and reached the captions, and when transcripts were reported
// and shown. Shared by the player's thread, the capture's, the recognizer's and the main thread.
struct Timeline {
    std::atomic<bool> heard = false;
    std::atomic<std::int64_t> played = 0;
    std::mutex mutex;
    // When the first sound was written, and when the capture handed it over.
    std::optional<Clock::time_point> soundWritten, soundHeard;
    // (16 kHz samples handed to the captions so far, when), one entry per capture buffer.
    std::vector<std::pair<std::int64_t, Clock::time_point>> arrivals;
    // A running transcript the recognizer reported while it took in samples [from, to).
    struct Report {
        std::int64_t from, to;
        Clock::time_point at;
    };
    std::vector<Report> reports;
    std::vector<Clock::time_point> changes;

    // When the buffer holding sample `index` of the captions' audio arrived.
    std::optional<Clock::time_point> arrivalOf(std::int64_t index) const {
        const auto arrival = std::ranges::upper_bound(
            arrivals, index, {}, [](const auto& entry) { return entry.first; });
        return arrival == arrivals.end() ? std::nullopt : std::optional(arrival->second);
    }
};

// Hands everything on to the caption recognizer, noting which samples each running transcript
// came with.
class ReportingRecognizer : public CaptionRecognizer {
public:
    ReportingRecognizer(std::unique_ptr<CaptionRecognizer> recognizer, Timeline& timeline)
        : m_recognizer(std::move(recognizer)), m_timeline(timeline) {}

    QCoro::Task<> setPartialCallback(PartialCallback callback) override {
        return m_recognizer->setPartialCallback([this, callback](const QString& transcript) {
            {
                std::lock_guard lock(m_timeline.mutex);
                m_timeline.reports.push_back({m_from, m_to, Clock::now()});
            }
            callback(transcript);
        });
    }
    QCoro::Task<> loadModels(ProgressHandler progress, std::stop_token stop) override {
        return m_recognizer->loadModels(std::move(progress), stop);
    }
    bool hasModel() const override { return m_recognizer->hasModel(); }
    QCoro::Task<> reset() override { return m_recognizer->reset(); }
    // Calls run one at a time, and the callback comes during the call that completed a chunk.
    QCoro::Task<> process(PcmBuffer audioBuffer) override {
        m_from = m_to.load();
        m_to += audioBuffer.frameLength();
        return m_recognizer->process(std::move(audioBuffer));
    }

private:
    std::unique_ptr<CaptionRecognizer> m_recognizer;
    Timeline& m_timeline;
    std::atomic<std::int64_t> m_from = 0, m_to = 0;
};

// Silence until the capture hears this process, then the noise.
PulsePlaybackStream::Fill player(Timeline& timeline) {
    return [&timeline, noise = SpeechLikeNoise()](std::span<float> out) mutable {
        if (!timeline.heard) {
            std::ranges::fill(out, 0.0f);
            return out.size();
        }
        if (timeline.played == 0) {
            std::lock_guard lock(timeline.mutex);
            timeline.soundWritten = Clock::now();
        }
        noise.fill(out);
        timeline.played += std::int64_t(out.size());
        return out.size();
    };
}

bool holdsSound(const PcmBuffer& buffer) {
    return std::ranges::any_of(buffer.samples<float>(0),
                               [](float sample) { return std::abs(sample) > 1e-4f; });
}

// Hands the capture to the captions, noting when each buffer arrived and when the first sound did.
// A player that falls behind gets silence inserted by the server, so the captured audio is timed
// as it arrives, not by the samples played.
ISystemAudioCapture::BufferHandler toCaptions(Timeline& timeline,
                                              NemotronCaptionService& captions) {
    return [&timeline, &captions, handed = std::int64_t(0)](const PcmBuffer& buffer) mutable {
        timeline.heard = true;
        const auto now = Clock::now();
        handed += std::llround(buffer.frameLength() * sampleRate / buffer.format().sampleRate);
        {
            std::lock_guard lock(timeline.mutex);
            if (!timeline.soundHeard && holdsSound(buffer))
                timeline.soundHeard = now;
            timeline.arrivals.emplace_back(handed, now);
        }
        captions.append(buffer);
    };
}

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// The samples a chunk takes and how many it needs past its end (its last mel frame's window).
struct Chunking {
    std::int64_t samples, lookahead;
    // Chunks that `received` samples let the recognizer run.
    std::int64_t completedBy(std::int64_t received) const {
        return (received - lookahead) / samples;
    }
};

// Milliseconds from the arrival of the last sample each reported chunk needed to the transcript
// change that followed the report, for reports that came from one chunk and changed the
// transcript.
std::vector<double> latencies(const Timeline& timeline, const Chunking& chunking) {
    std::vector<double> result;
    const auto& reports = timeline.reports;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const auto chunk = chunking.completedBy(reports[i].to);
        if (chunk - chunking.completedBy(reports[i].from) != 1 || chunk <= warmUpChunks)
            continue;
        const auto arrived = timeline.arrivalOf(chunk * chunking.samples + chunking.lookahead - 1);
        const auto change = std::ranges::lower_bound(timeline.changes, reports[i].at);
        if (!arrived || change == timeline.changes.end() ||
            (i + 1 < reports.size() && *change >= reports[i + 1].at))
            continue;
        result.push_back(milliseconds(*change - *arrived));
    }
    return result;
}

// The real-size int8 folder where the caption service under `root` looks for its model, with the
// blank bias that makes the noise emit about `symbolsPerChunk` symbols a chunk.
QString prepareModel(const QString& root) {
    const auto original = RealSizeModels::folder(560, ModelPrecision::int8);
    const auto folder =
        NemotronModelDownloader::variantFolder(Repo::nemotronStreaming560, root).toStdString();
    const auto bias = RealSizeModels::calibratedBlankBias(symbolsPerChunk, [&](double bias) {
        RealSizeModels::copyWithBlankLogit(original, folder, 50, bias);
        return emittedSymbols(QString::fromStdString(folder));
    });
    RealSizeModels::copyWithBlankLogit(original, folder, 50, bias);
    std::printf("blank bias %.3f: %.1f symbols per chunk of the noise\n", bias,
                emittedSymbols(QString::fromStdString(folder)));
    return QString::fromStdString(folder);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    qputenv("HF_ENDPOINT", "http://127.0.0.1:1");
    QTemporaryDir root;
    const auto folder = prepareModel(root.path());
    const auto config = NemotronStreamingConfig::fromFile(
        QDir(folder).filePath(ModelNames::NemotronStreaming::metadata));
    const Chunking chunking{config.chunkMelFrames * config.melHopSamples,
                            config.melRightContextSamples - config.melHopSamples};

    Timeline timeline;
    NemotronCaptionService captions(std::make_unique<ReportingRecognizer>(
        std::make_unique<NemotronCaptionRecognizer>(root.path()), timeline));
    runToCompletion(captions.start());
    QObject::connect(&captions, &INemotronCaptionService::transcriptChanged, [&timeline] {
        std::lock_guard lock(timeline.mutex);
        timeline.changes.push_back(Clock::now());
    });
    SystemAudioCapture capture;
    runToCompletion(capture.start({qint32(QCoreApplication::applicationPid()), "Bench", {}, {}},
                                  toCaptions(timeline, captions), [] {}));
    MeetingPlayback meeting("bench.meeting", sampleRate, player(timeline));

    // Plays the chunks, and one more so that the last is followed by the next one's samples.
    const auto enough = (warmUpChunks + measuredChunks + 2) * chunking.samples;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (timeline.played >= enough)
            application.quit();
    });
    poll.start(100);
    application.exec();

    meeting.stop();
    runToCompletion(capture.stop());
    runToCompletion(captions.cancel());
    std::lock_guard lock(timeline.mutex);
    const auto measured = latencies(timeline, chunking);
    if (measured.empty() || !timeline.soundHeard) {
        std::printf("caption end-to-end latency: no chunk changed the transcript\n");
        return 1;
    }
    // The capture's own latency, from the first sound: bench-capture-latency measures it closely.
    const double captureMs = milliseconds(*timeline.soundHeard - *timeline.soundWritten);
    std::printf("caption latency, real-size int8 model, 560 ms chunks, %zu of %d chunks changed "
                "the transcript:\n",
                measured.size(), measuredChunks);
    std::printf("  capture -> transcript          median %6.1f ms  p95 %6.1f ms  max %6.1f ms\n",
                percentile(measured, 0.5), percentile(measured, 0.95), percentile(measured, 1.0));
    std::printf("  played -> transcript (+%4.1f ms) median %6.1f ms  p95 %6.1f ms  max %6.1f ms\n",
                captureMs, captureMs + percentile(measured, 0.5),
                captureMs + percentile(measured, 0.95), captureMs + percentile(measured, 1.0));
    return 0;
}
