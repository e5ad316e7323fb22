#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <stdexcept>

// Every way an audio conversion fails; what() is the UTF-8 description.
class AudioConverterError : public std::runtime_error {
public:
    enum class Kind {
        conversionFailed,
        sampleBufferCopyFailed,
        failedToCreateConverter,
        failedToCreateBuffer,
        sampleBufferFormatMissing,
        failedToCreateSourceFormat,
    };

    // "Audio conversion failed: <underlying>" or "... Unknown error" without one.
    static AudioConverterError conversionFailed(std::optional<QString> underlying = {});
    static AudioConverterError sampleBufferCopyFailed(std::int32_t status);
    static AudioConverterError failedToCreateConverter();
    static AudioConverterError failedToCreateBuffer();
    static AudioConverterError sampleBufferFormatMissing();
    static AudioConverterError failedToCreateSourceFormat();

    Kind kind() const { return m_kind; }

private:
    AudioConverterError(Kind kind, const QString& description);

    Kind m_kind;
};
