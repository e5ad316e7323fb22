#include "speech-engine/hub/Repo.h"

#include "speech-engine/core/EnvironmentOr.h"

QString Repo::remotePath() {
    return environmentOr("RLY_MODEL_REPO",
                         QStringLiteral("nvidia/nemotron-speech-streaming-en-0.6b"));
}

QString Repo::revision() {
    return environmentOr("RLY_MODEL_REVISION", QStringLiteral("main"));
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

int Repo::chunkMs() const {
    static const int chunkMs[] = {1120, 560, 160, 80};
    return chunkMs[m_case];
}
