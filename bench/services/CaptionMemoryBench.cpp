// Memory while listening for one simulated hour: capture-sized blocks go to `append` as fast
// as the recognizer keeps up; resident memory at 1, 30 and 60 simulated minutes.

#include "app/services/captions/NemotronCaptionRecognizer.h"
#include "app/services/captions/NemotronCaptionService.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "tests/services/CaptionTestModels.h"
#include "tests/support/RunToCompletion.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

constexpr int blockFrames = 1024;
constexpr int sampleRate = 16000;

template <typename T> void await(QCoro::Task<T> task) {
    runToCompletion(std::move(task));
}

double residentMegabytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    statm.open(QIODevice::ReadOnly);
    const auto fields = statm.readAll().split(' ');
    return fields.value(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    qputenv("HF_ENDPOINT", "http://127.0.0.1:1");
    QTemporaryDir root;
    CaptionTestModels::writeSpelling(
        NemotronModelDownloader::variantFolder(Repo::nemotronStreaming560, root.path()),
        {QStringLiteral("▁one"), QStringLiteral("▁two"), QStringLiteral(".")});

    NemotronCaptionService captions(std::make_unique<NemotronCaptionRecognizer>(root.path()));
    await(captions.start());
    qint64 announced = 0;
    QObject::connect(&captions, &INemotronCaptionService::transcriptChanged,
                     [&announced] { ++announced; });

    // One short sentence per chunk, "one." and "two." in turn, so that every chunk changes the
    // transcript; the audio is cut into capture-sized blocks.
    std::vector<float> audio;
    for (const auto& chunk :
         {TinyModels::chunkEmitting({0, 2}), TinyModels::chunkEmitting({1, 2})}) {
        const auto samples = chunk.samples<float>(0);
        audio.insert(audio.end(), samples.begin(), samples.end());
    }
    const PcmFormat format{double(sampleRate), 1, SampleType::float32, false};
    const qint64 totalBlocks = qint64(3600) * sampleRate / blockFrames;
    for (qint64 block = 1; block <= totalBlocks; ++block) {
        PcmBuffer buffer(format, blockFrames);
        const qint64 first = (block - 1) * blockFrames;
        for (int i = 0; i < blockFrames; ++i) {
            buffer.samples<float>(0)[i] = audio[std::size_t((first + i) % qint64(audio.size()))];
        }
        captions.append(buffer);
        // Keep up: when a chunk can run (its lookahead is there too), wait until the
        // recognizer has finished it.
        const auto chunksReady = [](qint64 samples) {
            return std::max<qint64>(samples - TinyModels::lookaheadSamples, 0) /
                   CaptionTestModels::chunkSamples;
        };
        const qint64 chunksDone = chunksReady(block * blockFrames);
        if (chunksDone > chunksReady(first)) {
            QEventLoop loop;
            const auto connection = QObject::connect(
                &captions, &INemotronCaptionService::transcriptChanged, &loop, [&] {
                    if (announced >= chunksDone) {
                        loop.quit();
                    }
                });
            if (announced < chunksDone) {
                loop.exec();
            }
            QObject::disconnect(connection);
        }
        const qint64 second = block * blockFrames / sampleRate;
        const qint64 previous = first / sampleRate;
        for (const int minute : {1, 30, 60}) {
            if (previous < minute * 60 && second >= minute * 60) {
                std::printf("resident memory at %2d simulated minutes: %.1f MB\n", minute,
                            residentMegabytes());
                std::fflush(stdout);
            }
        }
    }
    await(captions.cancel());
    return 0;
}
