#pragma once

#include "speech-engine/hub/Repo.h"

#include <QString>

#include <optional>

// A model the hub publishes as one NeMo checkpoint, and how it becomes a local model folder.
struct HubModel {
    QString repository; // "owner/name"
    QString revision;   // branch, tag or commit
    QString folderName; // relative to the models root
    int chunkMs = 560;
    std::optional<QString> locale; // prompt of a multilingual checkpoint

    // The English caption model in the variant's folder.
    static HubModel english(Repo repo);
    // The multilingual model prompted for Korean, in "korean-streaming";
    // RLY_KO_MODEL_REPO and RLY_KO_MODEL_REVISION override its repository and revision.
    static HubModel korean();
};
