#include "speech-engine/audio/AudioConverterError.h"

AudioConverterError::AudioConverterError(Kind kind, const QString& description)
    : std::runtime_error(description.toStdString()), m_kind(kind) {}

AudioConverterError AudioConverterError::conversionFailed(std::optional<QString> underlying) {
    return {Kind::conversionFailed, QStringLiteral("Audio conversion failed: ") +
                                        underlying.value_or(QStringLiteral("Unknown error"))};
}

AudioConverterError AudioConverterError::sampleBufferCopyFailed(std::int32_t status) {
    return {Kind::sampleBufferCopyFailed,
            QStringLiteral("Failed to copy samples from CMSampleBuffer (status: %1)").arg(status)};
}

AudioConverterError AudioConverterError::failedToCreateConverter() {
    return {Kind::failedToCreateConverter, QStringLiteral("Failed to create audio converter")};
}

AudioConverterError AudioConverterError::failedToCreateBuffer() {
    return {Kind::failedToCreateBuffer, QStringLiteral("Failed to create conversion buffer")};
}

AudioConverterError AudioConverterError::sampleBufferFormatMissing() {
    return {Kind::sampleBufferFormatMissing,
            QStringLiteral("Sample buffer is missing a valid audio format description.")};
}

AudioConverterError AudioConverterError::failedToCreateSourceFormat() {
    return {
        Kind::failedToCreateSourceFormat,
        QStringLiteral("Failed to create a source audio format description for CMSampleBuffer.")};
}
