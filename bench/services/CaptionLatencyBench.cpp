// Caption latency: from the last sample of a chunk entering `append` to `transcript` changing
// on the main thread, minus the models' own time (the same chunk on a bare recognizer).

#include "app/services/captions/NemotronCaptionRecognizer.h"
#include "app/services/captions/NemotronCaptionService.h"
#include "bench/support/Percentile.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"
#include "tests/services/CaptionTestModels.h"
#include "tests/support/RunToCompletion.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int chunkCount = 300;

template <typename T> void await(QCoro::Task<T> task) {
    runToCompletion(std::move(task));
}

// Microseconds until the service announces a new transcript after the chunk is appended.
double serviceLatency(NemotronCaptionService& captions, const PcmBuffer& chunk) {
    QEventLoop loop;
    QElapsedTimer timer;
    qint64 elapsed = -1;
    const auto connection =
        QObject::connect(&captions, &INemotronCaptionService::transcriptChanged, &loop, [&] {
            elapsed = timer.nsecsElapsed();
            loop.quit();
        });
    timer.start();
    captions.append(chunk);
    if (elapsed < 0) {
        loop.exec();
    }
    QObject::disconnect(connection);
    return double(elapsed) / 1000.0;
}

// Microseconds the bare recognizer needs for the same chunk, callback included.
double modelTime(StreamingNemotronAsrManager& manager, const PcmBuffer& chunk) {
    QElapsedTimer timer;
    timer.start();
    await(manager.process(chunk));
    return double(timer.nsecsElapsed()) / 1000.0;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    qputenv("HF_ENDPOINT", "http://127.0.0.1:1");
    QTemporaryDir root;
    const auto folder =
        NemotronModelDownloader::variantFolder(Repo::nemotronStreaming560, root.path());
    CaptionTestModels::writeSpelling(folder, {QStringLiteral("▁one"), QStringLiteral("▁two")});

    NemotronCaptionService captions(std::make_unique<NemotronCaptionRecognizer>(root.path()));
    await(captions.start());
    StreamingNemotronAsrManager bare;
    await(bare.loadModelsFrom(folder));
    await(bare.setPartialCallback([](const QString&) {}));

    // Every chunk adds one word, "one" and "two" in turn (the decoder does not repeat a
    // token), so every chunk changes the transcript.
    const PcmBuffer chunks[] = {TinyModels::chunkEmitting({0}), TinyModels::chunkEmitting({1})};
    // A chunk runs once the next one's first samples are there: one chunk goes ahead, so that
    // every append lets the chunk before it run.
    captions.append(chunks[1]);
    await(bare.process(chunks[1]));
    std::vector<double> total, models, overhead;
    for (int i = 0; i < chunkCount; ++i) {
        const auto& chunk = chunks[i % 2];
        const double model = modelTime(bare, chunk);
        const double latency = serviceLatency(captions, chunk);
        if (i >= 10) { // warm-up
            total.push_back(latency);
            models.push_back(model);
            overhead.push_back(std::max(0.0, latency - model));
        }
    }
    await(captions.cancel());

    std::printf("caption latency over %zu chunks (microseconds):\n", total.size());
    std::printf("  append -> transcript   median %8.1f  p95 %8.1f\n", percentile(total, 0.5),
                percentile(total, 0.95));
    std::printf("  models alone           median %8.1f  p95 %8.1f\n", percentile(models, 0.5),
                percentile(models, 0.95));
    std::printf("  service overhead       median %8.1f  p95 %8.1f\n", percentile(overhead, 0.5),
                percentile(overhead, 0.95));
    return 0;
}
