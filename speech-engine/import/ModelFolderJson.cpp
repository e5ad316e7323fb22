#include "speech-engine/import/ModelFolderJson.h"

#include "speech-engine/core/ModelNames.h"
#include "speech-engine/import/FileSha256.h"
#include "speech-engine/import/Int8AgreementJson.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

const char* precisionName(ModelPrecision precision) {
    return precision == ModelPrecision::int8 ? "int8" : "fp32";
}

void write(const QJsonObject& object, const std::filesystem::path& path) {
    QFile file(text(path.string()));
    const auto json = QJsonDocument(object).toJson();
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.flush())
        throw ModelImportError("Cannot write " + path.string() + ": " +
                               file.errorString().toStdString());
}

QJsonObject sourceOf(const ImportOptions& options, const std::string& checkpointName,
                     const std::string& sha256) {
    const auto& source = options.source;
    return {{"repository", text(source.repository)},
            {"commit", text(source.commit)},
            {"file", text(source.fileName.empty() ? checkpointName : source.fileName)},
            {"sha256", text(sha256)},
            {"chunk_ms", options.chunkMs},
            {"precision", precisionName(options.precision)}};
}

} // namespace

void ModelFolderJson::writeMetadata(const NemoModelConfig& config, const ImportPlan& plan,
                                    const ImportOptions& options, const std::string& checkpointName,
                                    const std::string& sha256,
                                    const std::optional<Int8Agreement>& agreement,
                                    const std::filesystem::path& file) {
    const auto& encoder = config.encoder;
    const auto& preprocessor = config.preprocessor;
    const auto preEncodeCache = encoder.subsamplingFactor + 1;
    const auto vocabulary = config.decoder.vocabSize;
    QJsonObject metadata{
        {"sample_rate", qint64(config.sampleRate)},
        {"mel_features", qint64(preprocessor.features)},
        {"chunk_mel_frames", qint64(plan.chunkMelFrames)},
        {"chunk_ms", options.chunkMs},
        {"pre_encode_cache", qint64(preEncodeCache)},
        {"total_mel_frames", qint64(preEncodeCache + plan.chunkMelFrames)},
        {"vocab_size", qint64(vocabulary)},
        {"blank_idx", qint64(vocabulary)},
        {"encoder_dim", qint64(encoder.dModel)},
        {"decoder_hidden", qint64(config.decoder.predHidden)},
        {"decoder_layers", qint64(config.decoder.rnnLayers)},
        // Each layer's projected keys and values of the cached rows, side by side.
        {"cache_channel_shape", QJsonArray{1, qint64(encoder.layers), qint64(plan.attContext.first),
                                           qint64(2 * encoder.dModel)}},
        {"cache_time_shape", QJsonArray{1, qint64(encoder.layers), qint64(encoder.dModel),
                                        qint64(encoder.convKernelSize - 1)}},
        {"mel_hop_samples", qint64(preprocessor.hopSamples)},
        {"mel_left_context_samples", qint64(preprocessor.nFft / 2 + 1)},
        {"mel_right_context_samples", qint64(preprocessor.nFft / 2)},
        // NeMo's streaming buffer leaves out a final remainder shorter than one subsampling step.
        {"min_final_mel_frames", qint64(encoder.subsamplingFactor)},
        {"max_symbols_per_frame", qint64(config.decoding.maxSymbols)},
        {"precision", precisionName(options.precision)},
        {"source", sourceOf(options, checkpointName, sha256)}};
    if (config.decoding.stripLangTags)
        metadata.insert("lang_tag_pattern", text(config.decoding.langTagPattern));
    if (plan.promptIndex) {
        metadata.insert("locale", text(*options.locale));
        metadata.insert("prompt_index", qint64(*plan.promptIndex));
    }
    if (agreement)
        metadata.insert(Int8AgreementJson::key, Int8AgreementJson::toJson(*agreement));
    write(metadata, file);
}

void ModelFolderJson::writeTokenizer(const std::vector<std::string>& pieces,
                                     const std::filesystem::path& file) {
    QJsonObject tokenizer;
    for (std::size_t id = 0; id < pieces.size(); ++id)
        tokenizer.insert(QString::number(id), text(pieces[id]));
    write(tokenizer, file);
}

bool ModelFolderJson::writeManifest(const std::filesystem::path& folder,
                                    const std::function<bool()>& cancelled) {
    const auto manifest = folder / ModelNames::NemotronStreaming::manifest.data();
    QJsonObject files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path() == manifest)
            continue;
        const auto sha256 = fileSha256(entry.path(), cancelled);
        if (!sha256)
            return false;
        files.insert(text(entry.path().lexically_relative(folder).generic_string()),
                     QJsonObject{{"size", qint64(entry.file_size())}, {"sha256", text(*sha256)}});
    }
    write({{"files", files}}, manifest);
    return true;
}
