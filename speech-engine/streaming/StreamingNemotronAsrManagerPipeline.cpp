// One chunk of the recognizer: mel preprocessing, the cache-aware encoder and greedy
// transducer decoding over the encoder's frames.
#include "speech-engine/streaming/StreamingNemotronAsrManager.h"

#include "speech-engine/core/ASRError.h"
#include "speech-engine/streaming/EncoderCacheManager.h"

#include <algorithm>
#include <limits>
#include <tuple>

namespace {

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

// [1, 1, n]: row `index` of a [1, rows, n] array, viewed in place.
MultiArray row(const MultiArray& source, std::int64_t index) {
    const auto& strides = source.strides();
    return MultiArray::view(source.data<float>() + index * strides[1], {1, 1, source.shape()[2]},
                            {strides[0], strides[1], strides[2]}, MultiArrayDataType::float32,
                            source.owner());
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

void StreamingNemotronAsrManager::processChunk(std::int64_t endFrame,
                                               std::optional<std::int64_t> signalEnd) {
    if (!modelsLoaded() || !m_cacheChannel || !m_cacheTime || !m_cacheLen || !m_melCache ||
        !m_hState || !m_cState) {
        throw ASRError::notInitialized();
    }
    const auto input =
        prependMelCache(runPreprocessor(endFrame, signalEnd), endFrame - m_nextFrame);
    // A failed chunk runs again from the same frames, so the encoder's caches and the decoding
    // it had done by then are put back; arrays are replaced, never written, so copies are cheap.
    const auto tokens = m_accumulatedTokenIds.size();
    const auto before = std::tuple(m_cacheChannel, m_cacheTime, m_cacheLen, m_hState, m_cState,
                                   m_lastToken, m_prediction);
    try {
        decodeChunk(runEncoder(input));
    } catch (...) {
        std::tie(m_cacheChannel, m_cacheTime, m_cacheLen, m_hState, m_cState, m_lastToken,
                 m_prediction) = before;
        m_accumulatedTokenIds.resize(tokens);
        throw;
    }
    // The chunk is done only now, so that a failed one runs again from the same frames.
    const auto frames = input.shape()[2];
    auto cache = floatArray({1, m_config.melFeatures, m_config.preEncodeCache});
    copyFrames(input, frames - m_config.preEncodeCache, cache, 0, m_config.preEncodeCache);
    m_melCache = std::move(cache);
    m_nextFrame = endFrame;
    const auto unneeded = std::clamp<std::int64_t>(
        m_nextFrame * m_config.melHopSamples - m_config.melLeftContextSamples - m_bufferStart, 0,
        std::int64_t(m_audioBuffer.size()));
    m_audioBuffer.erase(m_audioBuffer.begin(), m_audioBuffer.begin() + unneeded);
    m_bufferStart += unneeded;
    ++m_processedChunks;
}

// The samples the windows of frames [m_nextFrame, endFrame) reach, with the one before them
// for pre-emphasis; zeros outside the signal. A length shorter than the segment tells the
// preprocessor where the signal ended.
MultiArray
StreamingNemotronAsrManager::runPreprocessor(std::int64_t endFrame,
                                             std::optional<std::int64_t> signalEnd) const {
    const auto hop = m_config.melHopSamples;
    const auto frames = endFrame - m_nextFrame;
    const auto start = m_nextFrame * hop - m_config.melLeftContextSamples;
    const auto count =
        (frames - 1) * hop + m_config.melLeftContextSamples + m_config.melRightContextSamples;
    auto audio = floatArray({1, count});
    const auto first = std::max(start, m_bufferStart);
    const auto last = std::min(start + count, signalEnd.value_or(receivedSamples()));
    if (first < last) {
        std::copy(m_audioBuffer.begin() + (first - m_bufferStart),
                  m_audioBuffer.begin() + (last - m_bufferStart),
                  audio.data<float>() + (first - start));
    }
    const auto length = signalEnd ? std::clamp<std::int64_t>(*signalEnd - start, 0, count) : count;
    const auto output = m_preprocessor->predict(
        {{"audio", audio}, {"audio_length", intScalar({1}, static_cast<std::int32_t>(length))}});
    const auto mel = floatOutput(output, "mel", 3);
    if (!mel || mel->shape()[1] != m_config.melFeatures || mel->shape()[2] < frames) {
        throw ASRError::processingFailed(
            QStringLiteral("Preprocessor failed to produce mel output"));
    }
    return *mel;
}

// The cached frames, then the chunk's first `frames` frames.
MultiArray StreamingNemotronAsrManager::prependMelCache(const MultiArray& mel,
                                                        std::int64_t frames) const {
    const auto cached = m_melCache->shape()[2];
    auto input = floatArray({1, m_config.melFeatures, cached + frames});
    copyFrames(*m_melCache, 0, input, 0, cached);
    copyFrames(mel, 0, input, cached, frames);
    return input;
}

MultiArray StreamingNemotronAsrManager::runEncoder(const MultiArray& mel) {
    const auto output = m_encoder->predict(
        {{"mel", mel},
         {"mel_length", intScalar({1}, static_cast<std::int32_t>(mel.shape()[2]))},
         {"cache_channel", *m_cacheChannel},
         {"cache_time", *m_cacheTime},
         {"cache_len", *m_cacheLen}});
    const auto encoded = floatOutput(output, "encoded", 3);
    if (!encoded) {
        throw ASRError::processingFailed(QStringLiteral("Encoder failed to produce output"));
    }
    auto caches = EncoderCacheManager::extractCachesFromOutput(output, "cache_channel_out",
                                                               "cache_time_out", "cache_len_out");
    // A cache that does not come back as it went in would silently corrupt every later chunk.
    const auto fits = [](const std::optional<MultiArray>& next, const MultiArray& current) {
        return next && next->shape() == current.shape();
    };
    if (!fits(caches.channel, *m_cacheChannel) || !fits(caches.time, *m_cacheTime) ||
        !fits(caches.len, *m_cacheLen)) {
        throw ASRError::processingFailed(
            QStringLiteral("Encoder returned its caches with another type or shape"));
    }
    m_cacheChannel = std::move(caches.channel);
    m_cacheTime = std::move(caches.time);
    m_cacheLen = std::move(caches.len);
    return *encoded;
}

// The prediction network's output depends only on the last emitted token and the state before
// it, so it runs, and is projected into the joint's hidden space, once per emitted token: a
// chunk of blanks costs the joint's last layer alone.
const StreamingNemotronAsrManager::Prediction& StreamingNemotronAsrManager::prediction() {
    if (!m_prediction) {
        const auto decoded = m_decoder->predict({{"token", intScalar({1, 1}, m_lastToken)},
                                                 {"token_length", intScalar({1}, 1)},
                                                 {"h_in", *m_hState},
                                                 {"c_in", *m_cState}});
        const auto decoderOut = floatOutput(decoded, "decoder_out", 3);
        const auto hOut = floatOutput(decoded, "h_out", 3);
        const auto cOut = floatOutput(decoded, "c_out", 3);
        if (!decoderOut || decoderOut->shape()[2] != 1 || !hOut || !cOut) {
            throw ASRError::processingFailed(QStringLiteral("Decoder failed"));
        }
        const auto projected = floatOutput(
            m_joint->predict({{"decoder", *decoderOut}}, "project_decoder"), "projected", 3);
        if (!projected || projected->shape()[1] != 1) {
            throw ASRError::processingFailed(QStringLiteral("Joint failed to project the decoder"));
        }
        m_prediction = Prediction{*projected, *hOut, *cOut};
    }
    return *m_prediction;
}

std::int64_t StreamingNemotronAsrManager::bestSymbol(const MultiArray& encoderStep,
                                                     const MultiArray& prediction) const {
    const auto joint =
        m_joint->predict({{"encoder", encoderStep}, {"decoder", prediction}}, "joint_projected");
    const auto logits = joint.find("logits");
    if (logits == joint.end() || logits->second.dataType() != MultiArrayDataType::float32 ||
        logits->second.count() == 0) {
        throw ASRError::processingFailed(QStringLiteral("Joint failed"));
    }
    return argmax(logits->second);
}

// All of the chunk's frames are projected into the joint's hidden space in one call.
void StreamingNemotronAsrManager::decodeChunk(const MultiArray& encoded) {
    const auto frames = encoded.shape()[2];
    const auto projected =
        floatOutput(m_joint->predict({{"encoder", encoded}}, "project_encoder"), "projected", 3);
    if (!projected || projected->shape()[1] != frames) {
        throw ASRError::processingFailed(QStringLiteral("Joint failed to project the encoder"));
    }
    bool emitted = false;
    for (std::int64_t frame = 0; frame < frames; ++frame) {
        const auto encoderStep = row(*projected, frame);
        for (std::int64_t symbols = 0; symbols < m_config.maxSymbolsPerFrame; ++symbols) {
            const auto& predicted = prediction();
            const auto best = bestSymbol(encoderStep, predicted.projected);
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
