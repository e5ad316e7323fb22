#include "speech-engine/audio/AudioWAV.h"

#include "speech-engine/audio/AudioConverterError.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr std::size_t headerSize = 44;

void appendLittleEndian32(QByteArray& image, std::uint32_t value) {
    char bytes[4];
    qToLittleEndian(value, bytes);
    image.append(bytes, 4);
}

void appendLittleEndian16(QByteArray& image, std::uint16_t value) {
    char bytes[2];
    qToLittleEndian(value, bytes);
    image.append(bytes, 2);
}

std::int16_t toPcm16(float sample) {
    if (sample >= 1.0f)
        return 32767;
    return std::int16_t(std::max(sample, -1.0f) * 32767.0f);
}

} // namespace

namespace AudioWAV {

QByteArray data(std::span<const float> samples, double sampleRate) {
    // A NaN or an infinity would turn the whole image into clicks or silence.
    if (!std::all_of(samples.begin(), samples.end(), [](float s) { return std::isfinite(s); }))
        throw AudioConverterError::conversionFailed(
            QStringLiteral("The audio holds samples that are not finite numbers."));
    const auto dataBytes = samples.size() * 2;
    if (dataBytes > std::numeric_limits<std::uint32_t>::max() - 36 ||
        dataBytes > std::size_t(std::numeric_limits<int>::max()) - headerSize)
        throw AudioConverterError::failedToCreateBuffer();
    if (!(sampleRate >= 1 && sampleRate * 2 <= std::numeric_limits<std::uint32_t>::max()))
        throw AudioConverterError::failedToCreateSourceFormat();
    const auto rate = std::uint32_t(sampleRate);

    float peak = 0;
    for (auto sample : samples)
        peak = std::max(peak, std::abs(sample));

    QByteArray image;
    image.reserve(qsizetype(headerSize + dataBytes));
    image.append("RIFF");
    appendLittleEndian32(image, std::uint32_t(36 + dataBytes));
    image.append("WAVEfmt ");
    appendLittleEndian32(image, 16);
    appendLittleEndian16(image, 1);
    appendLittleEndian16(image, 1);
    appendLittleEndian32(image, rate);
    appendLittleEndian32(image, rate * 2);
    appendLittleEndian16(image, 2);
    appendLittleEndian16(image, 16);
    image.append("data");
    appendLittleEndian32(image, std::uint32_t(dataBytes));
    for (auto sample : samples)
        appendLittleEndian16(image, std::uint16_t(toPcm16(peak > 0 ? sample / peak : sample)));
    return image;
}

} // namespace AudioWAV
