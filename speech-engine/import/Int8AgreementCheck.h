#pragma once

#include "speech-engine/import/ImportPlan.h"
#include "speech-engine/import/checkpoint/NemoModelConfig.h"
#include "speech-engine/import/vocabulary/Int8Agreement.h"

#include <filesystem>
#include <functional>
#include <optional>

// Measures a built int8 encoder against the float32 encoder of the same checkpoint on a
// SpokenSample, the mel coming from the folder's preprocessor. Each encoder is loaded in turn,
// so that only one is in memory at a time.
namespace Int8AgreementCheck {
struct Models {
    std::filesystem::path preprocessor;
    std::filesystem::path int8Encoder;
    std::filesystem::path fp32Encoder;
};

// A sample that cannot be made gives an agreement that says why it was not measured. Nothing
// when `cancelled` answers true; throws ModelImportError when a model fails to run.
// `scratch` must exist.
std::optional<Int8Agreement> measure(const NemoModelConfig& config, const ImportPlan& plan,
                                     const Models& models, const std::filesystem::path& scratch,
                                     const std::function<bool()>& cancelled);
} // namespace Int8AgreementCheck
