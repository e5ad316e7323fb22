#pragma once

#include <QString>

#include <chrono>
#include <optional>

// How far fetching a model has come: first the checkpoint's download, then its import.
struct NemotronDownloadProgress {
    enum class Stage { downloading, importing };
    Stage stage = Stage::downloading;
    double fractionCompleted = 0; // of the stage, in [0, 1]
    // Downloading: bytes of the checkpoint present and in all; the time left once a rate is
    // known.
    qint64 bytesReceived = 0;
    qint64 bytesTotal = 0;
    std::optional<std::chrono::seconds> timeLeft;
    // Importing: what the importer is doing, in its words.
    QString importStage;

    bool operator==(const NemotronDownloadProgress&) const = default;
};
