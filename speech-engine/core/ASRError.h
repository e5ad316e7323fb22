#pragma once

#include <QString>

#include <exception>
#include <stdexcept>

// The speech engine's error; what() is its UTF-8 description.
class ASRError : public std::runtime_error {
public:
    enum class Kind { processingFailed, streamingConversionFailed, notInitialized };

    // "Speech recognition failed: <message>"
    static ASRError processingFailed(const QString& message);
    // "Audio conversion failed: <underlying description>"
    static ASRError streamingConversionFailed(const std::exception& underlying);
    // "Nemotron is not initialized."
    static ASRError notInitialized();

    Kind kind() const { return m_kind; }
    QString description() const { return QString::fromUtf8(what()); }

private:
    ASRError(Kind kind, const QString& description);

    Kind m_kind;
};
