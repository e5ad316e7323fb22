// Both real-size models loaded at once, as while the window is open after a first reply: the
// caption recognizer and the Korean one, each streaming audio. Reports the peak resident
// memory, then the reply latency: from the end of the speech (the user finishing the reply)
// to the final text, for replies whose last chunk is cut at different points.
//
// The random-weight checkpoint has the English model's shape; the Korean model differs only by
// its prompt projection (well under 1 % of the weights), so the same checkpoint stands for both,
// imported at the chunk size each uses.

#include "bench/speech-engine/ProcessMemory.h"
#include "bench/speech-engine/RealSizeModels.h"
#include "speech-engine/hub/HubModel.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <qcoro/qcorotask.h>

#include <cstdio>
#include <vector>

namespace {

constexpr int sampleRate = 16000;
constexpr int blockFrames = 1024;
constexpr int captionChunkMs = 560;

template <typename T> T await(QCoro::Task<T> task) {
    return QCoro::waitFor(std::move(task));
}

void reportMemory(const char* when) {
    std::printf("%s: resident %.0f MB, peak %.0f MB\n", when, ProcessMemory::statusMiB("VmRSS:"),
                ProcessMemory::statusMiB("VmHWM:"));
    std::fflush(stdout);
}

// Deterministic noise standing in for speech.
std::vector<float> speech(double seconds) {
    std::vector<float> samples(std::size_t(seconds * sampleRate));
    std::uint32_t state = 12345;
    for (auto& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = float(int(state >> 16) - 32768) / 327680.0f;
    }
    return samples;
}

// Streams `audio` in microphone-sized blocks, each processed as it comes.
void stream(StreamingNemotronAsrManager& recognizer, const std::vector<float>& audio) {
    for (std::size_t start = 0; start < audio.size(); start += blockFrames) {
        const auto count = std::min<std::size_t>(blockFrames, audio.size() - start);
        PcmBuffer block(PcmFormat{double(sampleRate), 1, SampleType::float32, false}, int(count));
        std::copy_n(audio.begin() + std::ptrdiff_t(start), count, block.samples<float>(0).begin());
        await(recognizer.process(block));
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const auto folder = [](int chunkMs) {
        return QString::fromStdString(
            RealSizeModels::folder(chunkMs, ModelPrecision::int8).string());
    };
    const int replyChunkMs = HubModel::korean().chunkMs;
    const auto captionFolder = folder(captionChunkMs), replyFolder = folder(replyChunkMs);
    ProcessMemory::resetPeak(); // an import's peak is not the program's

    StreamingNemotronAsrManager captions;
    await(captions.loadModelsFrom(captionFolder));
    reportMemory("caption model loaded");
    StreamingNemotronAsrManager reply;
    await(reply.loadModelsFrom(replyFolder));
    reportMemory("both models loaded");

    stream(captions, speech(10));
    stream(reply, speech(10));
    await(reply.finish());
    reportMemory("both models after 10 s of audio each (target: peak < 2560 MB)");

    // The speech's end falls just after a chunk, mid-chunk, and just before the next chunk.
    for (const int tailMs : {replyChunkMs / 8, replyChunkMs / 2, replyChunkMs - 20}) {
        await(reply.reset());
        stream(reply, speech(5 * replyChunkMs / 1000.0 + tailMs / 1000.0));
        QElapsedTimer clock;
        clock.start();
        await(reply.finish());
        std::printf("reply latency, speech ending %3d ms into a chunk: %lld ms\n", tailMs,
                    clock.elapsed());
        std::fflush(stdout);
    }
    return 0;
}
