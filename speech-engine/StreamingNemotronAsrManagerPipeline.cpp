// One chunk of the recognizer: mel preprocessing, the cache-aware encoder and greedy
// transducer decoding over the encoder's frames.
#include "speech-engine/StreamingNemotronAsrManager.h"

#include "speech-engine/ASRError.h"
#include "speech-engine/EncoderCacheManager.h"

#include <algorithm>
#include <limits>

namespace {

// At most this many tokens are emitted at one encoder frame before moving on.
constexpr int maxSymbolsPerFrame = 10;

MultiArray floatArray(std::vector<std::int64_t> shape) {
    return EncoderCacheManager::createZeroArray(std::move(shape), MultiArrayDataType::float32);
}

MultiArray intScalar(std::vector<std::int64_t> shape, std::int32_t value) {
    auto array = EncoderCacheManager::createZeroArray(std::move(shape), MultiArrayDataType::int32);
    *array.data<std::int32_t>() = value;
    return array;
}

// A float output of the given rank whose leading (batch) dimension is not empty; an output of
// another type or shape counts as missing, so it is never read out of bounds.
std::optional<MultiArray> floatOutput(const ModelFeatures& output, const std::string& name,
                                      std::size_t rank) {
    const auto found = output.find(name);
    if (found == output.end() || found->second.dataType() != MultiArrayDataType::float32 ||
        found->second.shape().size() != rank || (rank > 0 && found->second.shape()[0] < 1)) {
        return std::nullopt;
    }
    return found->second;
}

// Copies `frames` time steps of every bin of a [1, bins, time] array into another one.
void copyFrames(const MultiArray& from, std::int64_t fromFrame, const MultiArray& to,
                std::int64_t toFrame, std::int64_t frames) {
    const float* source = from.data<float>();
    float* target = to.data<float>();
    const auto bins = to.shape()[1];
    const auto& in = from.strides();
    const auto& out = to.strides();
    for (std::int64_t bin = 0; bin < bins; ++bin) {
        const float* sourceBin = source + bin * in[1] + fromFrame * in[2];
        float* targetBin = target + bin * out[1] + toFrame * out[2];
        for (std::int64_t frame = 0; frame < frames; ++frame) {
            targetBin[frame * out[2]] = sourceBin[frame * in[2]];
        }
    }
}

// [1, n, 1] holding source[0, i, index] for every i of dimension 1.
MultiArray column(const MultiArray& source, std::int64_t index) {
    const auto size = source.shape()[1];
    auto result = floatArray({1, size, 1});
    const float* from = source.data<float>() + index * source.strides()[2];
    float* to = result.data<float>();
    for (std::int64_t i = 0; i < size; ++i) {
        to[i] = from[i * source.strides()[1]];
    }
    return result;
}

// Index of the largest element; the lowest index wins among equal maxima.
std::int64_t argmax(const MultiArray& logits) {
    const float* data = logits.data<float>();
    float best = -std::numeric_limits<float>::infinity();
    std::int64_t bestIndex = 0;
    std::int64_t index = 0;
    logits.forEachOffset([&](std::int64_t offset) {
        if (data[offset] > best) {
            best = data[offset];
            bestIndex = index;
        }
        ++index;
    });
    return bestIndex;
}

} // namespace

void StreamingNemotronAsrManager::processChunk(std::span<const float> samples) {
    if (!modelsLoaded() || !m_cacheChannel || !m_cacheTime || !m_cacheLen || !m_hState ||
        !m_cState) {
        throw ASRError::notInitialized();
    }
    const auto mel = runPreprocessor(samples);
    const auto encoded = runEncoder(prependMelCache(mel));
    m_melCache = melTail(mel);
    decodeChunk(encoded);
    ++m_processedChunks;
}

MultiArray StreamingNemotronAsrManager::runPreprocessor(std::span<const float> samples) const {
    const auto count = static_cast<std::int64_t>(samples.size());
    auto audio = floatArray({1, count});
    std::copy(samples.begin(), samples.end(), audio.data<float>());
    const auto output = m_preprocessor->predict(
        {{"audio", audio}, {"audio_length", intScalar({1}, static_cast<std::int32_t>(count))}});
    const auto mel = floatOutput(output, "mel", 3);
    if (!mel || mel->shape()[1] != m_config.melFeatures) {
        throw ASRError::processingFailed(
            QStringLiteral("Preprocessor failed to produce mel output"));
    }
    return *mel;
}

MultiArray StreamingNemotronAsrManager::prependMelCache(const MultiArray& mel) const {
    const auto total = std::max<std::int64_t>(m_config.totalMelFrames, 0);
    auto input = floatArray({1, m_config.melFeatures, total});
    if (m_melCache) {
        copyFrames(*m_melCache, 0, input, 0, std::min(m_melCache->shape()[2], total));
    }
    // The chunk always starts after the cached frames' place, whether or not they are there.
    const auto start = std::clamp<std::int64_t>(m_config.preEncodeCache, 0, total);
    copyFrames(mel, 0, input, start, std::min(mel.shape()[2], total - start));
    return input;
}

MultiArray StreamingNemotronAsrManager::melTail(const MultiArray& mel) const {
    const auto frames = mel.shape()[2];
    const auto kept = std::clamp<std::int64_t>(m_config.preEncodeCache, 0, frames);
    auto tail = floatArray({1, m_config.melFeatures, kept});
    copyFrames(mel, frames - kept, tail, 0, kept);
    return tail;
}

MultiArray StreamingNemotronAsrManager::runEncoder(const MultiArray& mel) {
    const auto output = m_encoder->predict(
        {{"mel", mel},
         {"mel_length", intScalar({1}, static_cast<std::int32_t>(m_config.totalMelFrames))},
         {"cache_channel", *m_cacheChannel},
         {"cache_time", *m_cacheTime},
         {"cache_len", *m_cacheLen}});
    auto caches = EncoderCacheManager::extractCachesFromOutput(output, "cache_channel_out",
                                                               "cache_time_out", "cache_len_out");
    if (caches.channel) {
        m_cacheChannel = std::move(caches.channel);
    }
    if (caches.time) {
        m_cacheTime = std::move(caches.time);
    }
    if (caches.len) {
        m_cacheLen = std::move(caches.len);
    }
    const auto encoded = floatOutput(output, "encoded", 3);
    if (!encoded) {
        throw ASRError::processingFailed(QStringLiteral("Encoder failed to produce output"));
    }
    return *encoded;
}

// The prediction network's output depends only on the last emitted token and the state before
// it, so it runs once per emitted token, not once per frame and symbol: a chunk of blanks costs
// joint calls alone.
const StreamingNemotronAsrManager::Prediction& StreamingNemotronAsrManager::prediction() {
    if (!m_prediction) {
        const auto decoded = m_decoder->predict({{"token", intScalar({1, 1}, m_lastToken)},
                                                 {"token_length", intScalar({1}, 1)},
                                                 {"h_in", *m_hState},
                                                 {"c_in", *m_cState}});
        const auto decoderOut = floatOutput(decoded, "decoder_out", 3);
        const auto hOut = floatOutput(decoded, "h_out", 3);
        const auto cOut = floatOutput(decoded, "c_out", 3);
        if (!decoderOut || decoderOut->shape()[2] < 1 || !hOut || !cOut) {
            throw ASRError::processingFailed(QStringLiteral("Decoder failed"));
        }
        m_prediction = Prediction{column(*decoderOut, 0), *hOut, *cOut};
    }
    return *m_prediction;
}

std::int64_t StreamingNemotronAsrManager::bestSymbol(const MultiArray& encoderStep,
                                                     const MultiArray& decoderOut) const {
    const auto joint = m_joint->predict({{"encoder", encoderStep}, {"decoder", decoderOut}});
    const auto logits = joint.find("logits");
    if (logits == joint.end() || logits->second.dataType() != MultiArrayDataType::float32 ||
        logits->second.count() == 0) {
        throw ASRError::processingFailed(QStringLiteral("Joint failed"));
    }
    return argmax(logits->second);
}

void StreamingNemotronAsrManager::decodeChunk(const MultiArray& encoded) {
    bool emitted = false;
    for (std::int64_t frame = 0; frame < encoded.shape()[2]; ++frame) {
        const auto encoderStep = column(encoded, frame);
        for (int symbols = 0; symbols < maxSymbolsPerFrame; ++symbols) {
            const auto& predicted = prediction();
            const auto best = bestSymbol(encoderStep, predicted.decoderOut);
            if (best == m_config.blankIdx) {
                // A blank keeps token and state; the next frame starts from them again.
                break;
            }
            // The token and the state it was predicted from, together.
            m_accumulatedTokenIds.push_back(best);
            m_hState = predicted.h;
            m_cState = predicted.c;
            m_lastToken = static_cast<std::int32_t>(best);
            m_prediction.reset();
            emitted = true;
        }
    }
    if (emitted && m_partialCallback && m_tokenizer) {
        m_partialCallback(transcript());
    }
}
