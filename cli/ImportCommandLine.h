#pragma once

#include "speech-engine/import/vocabulary/ModelImport.h"

#include <QStringList>

#include <filesystem>

// The arguments of `relayo models import CHECKPOINT.nemo [--chunk-ms N]
// [--precision int8|fp32] [--locale L] [--out DIR]`.
struct ImportCommandLine {
    std::filesystem::path checkpoint;
    std::filesystem::path folder;
    ImportOptions options;

    // Without --out the folder is where the program looks for its model: the English 560 ms
    // variant's, or the Korean one's for a --locale import, under `modelsRoot`; without
    // --chunk-ms the chunk size is that model's. Throws
    // std::invalid_argument with a one-line reason for arguments it cannot take.
    static ImportCommandLine parse(const QStringList& arguments, const QString& modelsRoot);
};
