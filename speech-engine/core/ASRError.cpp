#include "speech-engine/core/ASRError.h"

ASRError::ASRError(Kind kind, const QString& description)
    : std::runtime_error(description.toStdString()), m_kind(kind) {}

ASRError ASRError::processingFailed(const QString& message) {
    return {Kind::processingFailed, QStringLiteral("Speech recognition failed: ") + message};
}

ASRError ASRError::streamingConversionFailed(const std::exception& underlying) {
    return {Kind::streamingConversionFailed,
            QStringLiteral("Audio conversion failed: ") + QString::fromUtf8(underlying.what())};
}

ASRError ASRError::notInitialized() {
    return {Kind::notInitialized, QStringLiteral("Nemotron is not initialized.")};
}
