#include "speech-engine/Repo.h"

#include <QtGlobal>

namespace {

QString environmentOr(const char* name, const QString& fallback) {
    const auto value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}

} // namespace

QString Repo::remotePath() {
    return environmentOr("RLY_MODEL_REPO",
                         QStringLiteral("Quillory/nemotron-speech-streaming-en-0.6b-coreml"));
}

QString Repo::revision() {
    return environmentOr("RLY_MODEL_REVISION",
                         QStringLiteral("5d0a6f3c1e8b4a7d9f2c6e1b0a3d8f7c4e9b2a61"));
}

QString Repo::folderName() const {
    // Only the 560 ms variant's local folder carries the suffix.
    static const char* const folderNames[] = {
        "nemotron-streaming/1120ms",
        "nemotron-streaming/560ms-macos14",
        "nemotron-streaming/160ms",
        "nemotron-streaming/80ms",
    };
    return QLatin1String(folderNames[m_case]);
}

QString Repo::subPath() const {
    static const char* const subPaths[] = {
        "nemotron_coreml_1120ms",
        "nemotron_coreml_560ms",
        "nemotron_coreml_160ms",
        "nemotron_coreml_80ms",
    };
    return QLatin1String(subPaths[m_case]);
}
