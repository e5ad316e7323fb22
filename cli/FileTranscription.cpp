#include "cli/FileTranscription.h"

#include "speech-engine/core/ModelFolderManifest.h"
#include "speech-engine/hub/NemotronModelDownloader.h"
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"

#include <QFileInfo>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace {

// 20 ms at 16 kHz, the block size of the captions.
constexpr std::size_t blockSamples = 320;

void requireCompleteFolder(const QString& folder) {
    if (!QFileInfo(folder).isDir()) {
        throw std::runtime_error("No model folder at " + folder.toStdString());
    }
    if (const auto fault = ModelFolderManifest::fault(folder)) {
        throw std::runtime_error("The model folder " + folder.toStdString() +
                                 " is incomplete: " + fault->toStdString());
    }
}

PcmBuffer monoBlock(std::span<const float> samples) {
    PcmBuffer block(PcmFormat{16000, 1, SampleType::float32, false}, int(samples.size()));
    std::ranges::copy(samples, block.samples<float>(0).begin());
    return block;
}

// Passes a transcript on only when it differs from the one before.
StreamingAsrManager::PartialTranscriptCallback
changesOnly(FileTranscription::PartialHandler partial) {
    return [partial = std::move(partial), last = std::make_shared<QString>()](const QString& text) {
        if (text != *last) {
            *last = text;
            partial(text);
        }
    };
}

} // namespace

QCoro::Task<QString> FileTranscription::run(QString modelFolder, QString audioPath,
                                            PartialHandler partial) {
    requireCompleteFolder(modelFolder);
    const auto samples = AudioConverter().resampleAudioFile(audioPath);
    auto recognizer = std::make_unique<StreamingNemotronAsrManager>();
    co_await recognizer->loadModelsFrom(modelFolder);
    co_await recognizer->setPartialCallback(changesOnly(std::move(partial)));
    for (std::size_t start = 0; start < samples.size(); start += blockSamples) {
        const auto count = std::min(blockSamples, samples.size() - start);
        co_await recognizer->process(monoBlock(std::span(samples).subspan(start, count)));
    }
    // What the end of the signal adds shows only in the final text.
    co_await recognizer->setPartialCallback({});
    co_return co_await recognizer->finish();
}
