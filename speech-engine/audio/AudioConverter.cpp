#include "speech-engine/audio/AudioConverter.h"

#include "speech-engine/audio/AudioConverterError.h"

#include <QFile>
#include <QLocale>

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

namespace {

constexpr std::size_t drainFrames = 4096;
// The status a capture layer reports when a block holds fewer bytes than its frames need.
constexpr std::int32_t blockTooShortStatus = -12737;

PcmFormat monoFloatFormat(double sampleRate) {
    return {sampleRate, 1, SampleType::float32, false};
}

// Shortest decimal form that keeps a fractional part, e.g. "48000.0".
QString rateText(double rate) {
    auto text = QString::number(rate, 'g', QLocale::FloatingPointShortest);
    return text.contains(u'.') || text.contains(u'e') ? text : text + QStringLiteral(".0");
}

void requireValidFormat(const PcmFormat& format) {
    if (!std::isfinite(format.sampleRate) || format.sampleRate <= 0 || format.channelCount < 1)
        throw AudioConverterError::failedToCreateSourceFormat();
}

void requireFinite(std::span<const float> samples) {
    if (!std::all_of(samples.begin(), samples.end(), [](float s) { return std::isfinite(s); }))
        throw AudioConverterError::conversionFailed(
            QStringLiteral("The audio holds samples that are not finite numbers."));
}

float toFloat(float sample) {
    return sample;
}
float toFloat(double sample) {
    return float(sample);
}
float toFloat(std::int16_t sample) {
    return float(sample) / 32768.0f;
}
float toFloat(std::int32_t sample) {
    return float(double(sample) / 2147483648.0);
}

template <typename Sample> void addChannel(const PcmBuffer& buffer, int channel, float* mono) {
    const auto& format = buffer.format();
    const auto plane = buffer.samples<Sample>(format.interleaved ? 0 : channel);
    const std::size_t stride = format.interleaved ? std::size_t(format.channelCount) : 1;
    const Sample* source = plane.data() + (format.interleaved ? channel : 0);
    for (int i = 0; i < buffer.frameLength(); ++i)
        mono[i] += toFloat(source[std::size_t(i) * stride]);
}

void addChannel(const PcmBuffer& buffer, int channel, float* mono) {
    switch (buffer.format().sampleType) {
    case SampleType::float32:
        return addChannel<float>(buffer, channel, mono);
    case SampleType::float64:
        return addChannel<double>(buffer, channel, mono);
    case SampleType::int16:
        return addChannel<std::int16_t>(buffer, channel, mono);
    case SampleType::int32:
        return addChannel<std::int32_t>(buffer, channel, mono);
    }
}

// Mean of all channels as float samples; a mono float plane is copied in one block move.
std::vector<float> downmixToMono(const PcmBuffer& buffer) {
    const auto& format = buffer.format();
    requireValidFormat(format);
    std::vector<float> mono(std::size_t(buffer.frameLength()));
    if (format.channelCount == 1 && format.sampleType == SampleType::float32) {
        // An empty plane may have no storage at all, and memcpy must not be given null.
        if (!mono.empty())
            std::memcpy(mono.data(), buffer.plane(0).data(), mono.size() * sizeof(float));
    } else {
        for (int channel = 0; channel < format.channelCount; ++channel)
            addChannel(buffer, channel, mono.data());
        const float scale = 1.0f / float(format.channelCount);
        for (auto& sample : mono)
            sample *= scale;
    }
    requireFinite(mono);
    return mono;
}

struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using SoxrHandle = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

SoxrHandle createResampler(double from, double to) {
    soxr_error_t error = nullptr;
    const auto io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    // High quality (20-bit): the very-high recipe spends about 10 ms designing its filter,
    // which every conversion would pay again since each makes its own resampler.
    const auto quality = soxr_quality_spec(SOXR_HQ, 0);
    const auto runtime = soxr_runtime_spec(1);
    SoxrHandle resampler(soxr_create(from, to, 1, &error, &io, &quality, &runtime));
    if (error || !resampler)
        throw AudioConverterError::failedToCreateConverter();
    return resampler;
}

// Feeds what is left of `input` (or the end of the stream once it is all consumed) and
// appends up to `capacity` frames of output; true when the stream has ended.
bool convertStep(soxr_t resampler, std::span<const float>& input, std::vector<float>& result,
                 std::size_t capacity) {
    const bool ending = input.empty();
    const auto start = result.size();
    result.resize(start + capacity);
    std::size_t consumed = 0;
    std::size_t produced = 0;
    const auto error = soxr_process(resampler, ending ? nullptr : input.data(), input.size(),
                                    &consumed, result.data() + start, capacity, &produced);
    result.resize(start + produced);
    if (error)
        throw AudioConverterError::conversionFailed(QString::fromUtf8(error));
    input = input.subspan(consumed);
    return ending && produced < capacity;
}

// The first output block is sized for the whole input; the drain then collects what the
// filter still holds, at least once, until the end of the stream.
std::vector<float> soxrResample(std::span<const float> samples, double from, double to) {
    auto resampler = createResampler(from, to);
    const auto firstCapacity = std::size_t(std::ceil(to / from * double(samples.size())));
    std::vector<float> result;
    result.reserve(firstCapacity + 2 * drainFrames);
    convertStep(resampler.get(), samples, result, firstCapacity);
    while (!convertStep(resampler.get(), samples, result, drainFrames)) {
    }
    return result;
}

struct SndfileDeleter {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

} // namespace

AudioConverter::AudioConverter() : m_targetFormat(monoFloatFormat(16000)) {}

AudioConverter::AudioConverter(double sampleRate, bool debug)
    : m_targetFormat(monoFloatFormat(sampleRate)), m_debug(debug) {}

bool AudioConverter::isTargetFormat(const PcmFormat& format) const {
    return format == m_targetFormat;
}

std::vector<float> AudioConverter::resampleBuffer(const PcmBuffer& buffer) const {
    if (isTargetFormat(buffer.format()))
        return downmixToMono(buffer);
    return convertBuffer(buffer, m_targetFormat);
}

std::vector<float> AudioConverter::convertBuffer(const PcmBuffer& buffer,
                                                 const PcmFormat& to) const {
    requireValidFormat(buffer.format());
    requireValidFormat(to);
    if (buffer.format().channelCount >= 3)
        return linearResample(buffer, to);
    auto result = convertWithSoxr(buffer, to);
    if (m_debug && buffer.frameLength() > 0)
        m_logger.debug(QStringLiteral("Audio conversion: %1 samples → %2 samples, ratio: %3")
                           .arg(buffer.frameLength())
                           .arg(result.size())
                           .arg(double(result.size()) / buffer.frameLength()));
    return result;
}

std::vector<float> AudioConverter::convertWithSoxr(const PcmBuffer& buffer,
                                                   const PcmFormat& to) const {
    auto mono = downmixToMono(buffer);
    if (mono.empty() || buffer.format().sampleRate == to.sampleRate)
        return mono;
    return soxrResample(mono, buffer.format().sampleRate, to.sampleRate);
}

std::vector<float> AudioConverter::linearResample(const PcmBuffer& buffer,
                                                  const PcmFormat& to) const {
    const auto& from = buffer.format();
    if (from.sampleType != SampleType::float32)
        throw AudioConverterError::failedToCreateBuffer();
    const auto mono = downmixToMono(buffer);
    if (from.sampleRate == to.sampleRate)
        return mono;

    const double step = from.sampleRate / to.sampleRate;
    const auto n = std::int64_t(mono.size());
    std::vector<float> result(std::size_t(double(n) / step));
    for (std::size_t j = 0; j < result.size(); ++j) {
        const double position = step * double(j);
        const auto k = std::int64_t(position);
        if (k < n - 1) {
            const float f = float(position - double(k));
            result[j] = (1 - f) * mono[std::size_t(k)] + mono[std::size_t(k + 1)] * f;
        } else if (k == n - 1) {
            result[j] = mono[std::size_t(n - 1)];
        }
    }
    if (m_debug)
        m_logger.debug(QStringLiteral("Manual resampling: %1 channels → mono, %2Hz → %3Hz")
                           .arg(from.channelCount)
                           .arg(rateText(from.sampleRate), rateText(to.sampleRate)));
    return result;
}

std::vector<float> AudioConverter::resample(std::span<const float> samples, double from) const {
    if (samples.empty())
        return {};
    if (from == m_targetFormat.sampleRate) {
        requireFinite(samples);
        return {samples.begin(), samples.end()};
    }
    return resampleWithSoxr(samples, from, m_targetFormat.sampleRate);
}

std::vector<float> AudioConverter::resampleWithSoxr(std::span<const float> samples, double from,
                                                    double to) const {
    const auto sourceFormat = monoFloatFormat(from);
    requireValidFormat(sourceFormat);
    if (samples.size() > std::size_t(std::numeric_limits<int>::max()))
        throw AudioConverterError::failedToCreateBuffer();
    PcmBuffer buffer(sourceFormat, int(samples.size()));
    std::copy(samples.begin(), samples.end(), buffer.samples<float>(0).begin());
    const auto destinationFormat = monoFloatFormat(to);
    requireValidFormat(destinationFormat);
    return convertBuffer(buffer, destinationFormat);
}

std::vector<float> AudioConverter::resampleAudioFile(const QString& path) const {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SndfileDeleter> file(
        sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    if (!file)
        throw std::runtime_error(QStringLiteral("Could not open audio file %1: %2")
                                     .arg(path, QString::fromUtf8(sf_strerror(nullptr)))
                                     .toStdString());
    const PcmFormat fileFormat{double(info.samplerate), info.channels, SampleType::float32, true};
    requireValidFormat(fileFormat);

    std::vector<float> samples;
    // A fixed block, not one second: the header's rate and channels are the file's to choose.
    constexpr sf_count_t blockFrames = 1 << 16;
    for (sf_count_t position = 0; position < info.frames;) {
        PcmBuffer block(fileFormat, int(std::min(blockFrames, info.frames - position)));
        const auto read =
            sf_readf_float(file.get(), block.samples<float>(0).data(), block.frameLength());
        if (sf_error(file.get()) != SF_ERR_NO_ERROR)
            throw std::runtime_error(QStringLiteral("Could not read audio file %1: %2")
                                         .arg(path, QString::fromUtf8(sf_strerror(file.get())))
                                         .toStdString());
        if (read == 0)
            break;
        block.setFrameLength(int(read));
        const auto mono = extractMonoFloat32(block);
        samples.insert(samples.end(), mono.begin(), mono.end());
        position += read;
    }
    if (samples.empty() || fileFormat.sampleRate == m_targetFormat.sampleRate)
        return samples;
    return resampleWithSoxr(samples, fileFormat.sampleRate, m_targetFormat.sampleRate);
}

std::vector<float> AudioConverter::resampleSampleBlock(const SampleBlock& block) const {
    return convertBuffer(extractPcmBuffer(block), m_targetFormat);
}

PcmBuffer AudioConverter::extractPcmBuffer(const SampleBlock& block) const {
    if (!block.format)
        throw AudioConverterError::sampleBufferFormatMissing();
    requireValidFormat(*block.format);
    if (block.frameCount < 0)
        throw AudioConverterError::failedToCreateBuffer();
    PcmBuffer buffer(*block.format, block.frameCount);
    std::size_t offset = 0;
    for (int index = 0; index < block.format->planeCount(); ++index) {
        auto plane = buffer.plane(index);
        if (block.bytes.size() < offset + plane.size())
            throw AudioConverterError::sampleBufferCopyFailed(blockTooShortStatus);
        if (!plane.empty()) // an empty plane may have no storage; memcpy must not see null
            std::memcpy(plane.data(), block.bytes.data() + offset, plane.size());
        offset += plane.size();
    }
    return buffer;
}

std::vector<float> AudioConverter::extractMonoFloat32(const PcmBuffer& buffer) const {
    return downmixToMono(buffer);
}
